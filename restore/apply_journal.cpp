#include "restore/apply_journal.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/native_text.h"

namespace {

std::string Escape(const std::string& strField) {
    std::string strOut;
    for (char c : strField) {
        switch (c) {
            case '%':
                strOut += "%25";
                break;
            case '\t':
                strOut += "%09";
                break;
            case '\r':
                strOut += "%0D";
                break;
            case '\n':
                strOut += "%0A";
                break;
            default:
                strOut += c;
        }
    }
    return strOut;
}

std::optional<std::string> Unescape(std::string_view field) {
    std::string strOut;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            strOut += field[i];
            continue;
        }
        const std::string_view code = field.substr(i + 1, 2);
        if (code == "25")
            strOut += '%';
        else if (code == "09")
            strOut += '\t';
        else if (code == "0D")
            strOut += '\r';
        else if (code == "0A")
            strOut += '\n';
        else
            return std::nullopt;
        i += 2;
    }
    return strOut;
}

uint32_t Checksum(std::string_view text) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

std::string FolderOf(const std::string& strPath) {
    return Utf8FromPath(PathFromUtf8(strPath).parent_path());
}

}  // namespace

std::string EncodeJournalLine(const JournalRecord& record) {
    std::string strBody;
    for (size_t i = 0; i < record.size(); ++i)
        strBody += (i > 0 ? "\t" : "") + Escape(record[i]);
    char szCheck[9];
    std::snprintf(szCheck, sizeof szCheck, "%08x", static_cast<unsigned>(Checksum(strBody)));
    return std::string(szCheck) + " " + strBody;
}

std::optional<JournalRecord> DecodeJournalLine(const std::string& strLine) {
    if (strLine.size() < 10 || strLine[8] != ' ')
        return std::nullopt;
    const std::string_view body = std::string_view(strLine).substr(9);
    char szCheck[9];
    std::snprintf(szCheck, sizeof szCheck, "%08x", static_cast<unsigned>(Checksum(body)));
    if (strLine.compare(0, 8, szCheck) != 0)
        return std::nullopt;
    JournalRecord record;
    size_t nStart = 0;
    while (true) {
        const size_t nTab = body.find('\t', nStart);
        const auto field = Unescape(
            body.substr(nStart, nTab == std::string_view::npos ? body.npos : nTab - nStart));
        if (!field)
            return std::nullopt;
        record.push_back(*field);
        if (nTab == std::string_view::npos)
            break;
        nStart = nTab + 1;
    }
    return record;
}

bool CApplyJournal::Fail(const std::string& strWhat) {
    m_strError = strWhat + " " + m_strPath + ": " + m_file.ErrorText();
    return false;
}

bool CApplyJournal::Create(const JournalRecord& header) {
    m_file.Close();
    if (!m_file.Open(m_strPath, CNativeFile::EMode::CreateNew))
        return Fail("cannot create");
    m_bNeedsNewline = false;
    if (!Append(header))
        return false;
    std::string strError;
    if (!SyncFolder(FolderOf(m_strPath), &strError)) {
        m_strError = "cannot flush the folder of " + m_strPath + ": " + strError;
        return false;
    }
    return true;
}

bool CApplyJournal::OpenForAppend() {
    if (m_file.IsOpen())
        return true;
    std::string strText;
    {
        CNativeFile reader;
        if (!reader.Open(m_strPath, CNativeFile::EMode::Read))
            return Fail("cannot open");
        char buffer[4096];
        for (int64_t n; (n = reader.Read(buffer, sizeof buffer)) > 0;)
            strText.append(buffer, static_cast<size_t>(n));
    }
    m_bNeedsNewline = !strText.empty() && strText.back() != '\n';
    if (!m_file.Open(m_strPath, CNativeFile::EMode::Append))
        return Fail("cannot open");
    return true;
}

bool CApplyJournal::Append(const JournalRecord& record) {
    if (!m_file.IsOpen() && !OpenForAppend())
        return false;
    std::string strLine = (m_bNeedsNewline ? "\n" : "") + EncodeJournalLine(record) + "\n";
    if (!m_file.Write(strLine.data(), strLine.size()))
        return Fail("cannot write");
    if (!m_file.Sync())
        return Fail("cannot flush");
    m_bNeedsNewline = false;
    return true;
}

bool CApplyJournal::Remove() {
    m_file.Close();
    std::error_code ec;
    std::filesystem::remove(PathFromUtf8(m_strPath), ec);
    if (ec) {
        m_strError = "cannot remove " + m_strPath + ": " + ec.message();
        return false;
    }
    SyncFolder(FolderOf(m_strPath));
    return true;
}

bool CApplyJournal::Exists(const std::string& strPath) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(PathFromUtf8(strPath), ec));
}

std::optional<std::vector<JournalRecord>> CApplyJournal::Read(const std::string& strPath,
                                                              std::string* pError, bool* pExists) {
    if (pExists != nullptr)
        *pExists = Exists(strPath);
    CNativeFile file;
    if (!file.Open(strPath, CNativeFile::EMode::Read)) {
        if (pError != nullptr)
            *pError = "cannot open " + strPath + ": " + file.ErrorText();
        return std::nullopt;
    }
    std::string strText;
    char buffer[4096];
    int64_t n = 0;
    while ((n = file.Read(buffer, sizeof buffer)) > 0)
        strText.append(buffer, static_cast<size_t>(n));
    if (n < 0) {
        if (pError != nullptr)
            *pError = "cannot read " + strPath + ": " + file.ErrorText();
        return std::nullopt;
    }
    std::vector<JournalRecord> records;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        if (auto record = DecodeJournalLine(strText.substr(nStart, nEnd - nStart)))
            records.push_back(std::move(*record));
        nStart = nEnd + 1;
    }
    return records;
}

#include "app/saved_variables_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <system_error>

#include "app/app_messages.h"
#include "app/categories.h"
#include "platform/ascii_case.h"
#include "platform/native_text.h"

namespace fs = std::filesystem;

namespace {

// Byte classes outside strings and comments.
enum : uint8_t { kPlain = 0, kBlank = 1, kSpecial = 2, kNul = 3 };

constexpr std::array<uint8_t, 256> MakeCodeClasses() {
    std::array<uint8_t, 256> classes{};
    for (unsigned char c : std::string_view(" \t\r\n\f\v"))
        classes[c] = kBlank;
    for (unsigned char c : std::string_view("{}\"'-["))
        classes[c] = kSpecial;
    classes[0] = kNul;
    return classes;
}
constexpr std::array<uint8_t, 256> kCodeClasses = MakeCodeClasses();

// Bytes that end a run of ordinary bytes inside a quoted string.
constexpr std::array<bool, 256> MakeQuotedStops() {
    std::array<bool, 256> stops{};
    for (unsigned char c : std::string_view("\"'\\\r\n"))
        stops[c] = true;
    stops[0] = true;
    return stops;
}
constexpr std::array<bool, 256> kQuotedStops = MakeQuotedStops();

constexpr bool IsLuaSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

constexpr bool IsLineBreak(char c) {
    return c == '\n' || c == '\r';
}

// Files are read in pieces of this size.
constexpr size_t kReadChunk = 1 << 20;

// How the file ends, or nullopt when it cannot be read.
std::optional<ELuaEnd> ScanFile(const fs::path& path, std::vector<char>& buffer) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    CLuaEndScanner scanner;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        scanner.Feed(std::string_view(buffer.data(), static_cast<size_t>(in.gcount())));
    }
    if (in.bad())
        return std::nullopt;
    return scanner.End();
}

bool IsFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// The folders directly in folder, by name (empty when it cannot be listed).
std::vector<std::string> SubfolderNames(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (IsFolder(it->path()))
            names.push_back(Utf8FromPath(it->path().filename()));
    }
    return names;
}

// The parts joined by the native separator.
std::string Joined(std::initializer_list<std::string_view> parts) {
    std::string strPath;
    for (const std::string_view part : parts) {
        if (!strPath.empty())
            strPath += kNativeSep;
        strPath.append(part);
    }
    return strPath;
}

// Checks the *.lua files directly in folder; strRelative is folder relative to WTF.
void ScanSavedVariablesFolder(const fs::path& folder, const std::string& strRelative,
                              std::vector<char>& buffer, std::vector<SDamagedFile>& damaged) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string strName = Utf8FromPath(it->path().filename());
        std::error_code ecType;
        if (!EndsWithAsciiNoCase(strName, ".lua") || !fs::is_regular_file(it->path(), ecType))
            continue;
        std::optional<ELuaEnd> eEnd = ScanFile(it->path(), buffer);
        if (eEnd && *eEnd != ELuaEnd::Clean)
            damaged.push_back(
                {std::string(strRelative).append(1, kNativeSep).append(strName), *eEnd});
    }
}

}  // namespace

CLuaEndScanner::EState CLuaEndScanner::ReadCode(const char*& p, const char* pEnd, int64_t& nDepth,
                                                bool& bContent) {
    // Runs of code, and the quoted strings and lone '[' and '-' in it, are read here without
    // a change of state: they make up most of a SavedVariables file.
    // Up to the text's first byte of content, white space and NUL bytes: what an unwritten
    // file holds. From there on nothing needs to be told about content.
    while (!bContent && p < pEnd) {
        const uint8_t nClass = kCodeClasses[static_cast<unsigned char>(*p)];
        if (nClass == kBlank || nClass == kNul) {
            m_bZeroed = m_bZeroed || nClass == kNul;
            ++p;
        } else {
            bContent = true;
        }
    }
    while (p < pEnd) {
        const char c = *p;
        const uint8_t nClass = kCodeClasses[static_cast<unsigned char>(c)];
        if (nClass < kSpecial) {
            ++p;
            continue;
        }
        if (c == '{' || c == '}') {
            nDepth += c == '{' ? 1 : -1;
            m_bUnbalanced = m_bUnbalanced || nDepth < 0;
            ++p;
        } else if (c == '"' || c == '\'') {
            // The string is read here up to its end, unless a line break, \z or the end of
            // the piece needs the states.
            const char* q = p + 1;
            while (true) {
                while (q < pEnd && !kQuotedStops[static_cast<unsigned char>(*q)])
                    ++q;
                if (q == pEnd || IsLineBreak(*q) || *q == c || *q == '\0')
                    break;
                if (*q != '\\') {
                    ++q;  // the other quote
                } else if (q + 1 < pEnd && !IsLineBreak(q[1]) && q[1] != 'z') {
                    q += 2;
                } else {
                    break;
                }
            }
            if (q < pEnd && *q == c) {
                p = q + 1;
                continue;
            }
            m_cQuote = c;
            p = q;
            return EState::Quoted;
        } else if (nClass == kNul) {
            m_bZeroed = true;  // no Lua text holds one here
            ++p;
        } else if (p + 1 == pEnd || p[1] == c || (c == '[' && p[1] == '=')) {
            // "--", "[[", "[=" or a piece that ends before it is known.
            ++p;
            return c == '-' ? EState::Dash : EState::OpenBracket;
        } else {
            ++p;  // a minus sign or an index
        }
    }
    return EState::Code;
}

const char* CLuaEndScanner::SkipNulRun(const char* p, const char* pStart, const char* pEnd) {
    const char* q = p;
    while (q < pEnd && *q == '\0')
        ++q;
    const size_t nRun = static_cast<size_t>(q - p) + (p == pStart ? m_nNulRun : 0);
    m_bZeroed = m_bZeroed || nRun >= kLongNulRun;
    m_nNulRun = q == pEnd ? nRun : 0;
    return q;
}

void CLuaEndScanner::Feed(std::string_view bytes) {
    if (bytes.empty())
        return;  // a NUL run that ended the last piece goes on
    const char* const pStart = bytes.data();
    const char* p = pStart;
    const char* const pEnd = p + bytes.size();
    // Counted again only when the run goes on at this piece's first byte.
    m_nNulRun = p[0] == '\0' ? m_nNulRun : 0;
    // Locals: the compiler need not reload them after every byte read through p.
    EState eState = m_eState;
    size_t nCount = m_nCount;
    int64_t nDepth = m_nDepth;
    bool bContent = m_bContent;
    while (p < pEnd) {
        const char c = *p;
        switch (eState) {
            case EState::Code:
                eState = ReadCode(p, pEnd, nDepth, bContent);
                m_bComment = false;  // what follows, if anything, is a '[' of code
                nCount = 0;
                break;
            case EState::Dash:
                if (c == '-') {
                    eState = EState::CommentStart;
                    ++p;
                } else {
                    eState = EState::Code;  // a minus sign; the byte is read again as code
                }
                break;
            case EState::CommentStart:
                if (c == '[') {
                    eState = EState::OpenBracket;
                    m_bComment = true;
                    nCount = 0;
                    ++p;
                } else {
                    eState = EState::LineComment;
                }
                break;
            case EState::OpenBracket:
                if (c == '=') {
                    ++nCount;
                    ++p;
                } else if (c == '[') {
                    eState = EState::LongBody;
                    m_nLevel = nCount;
                    ++p;
                } else {
                    // Not a long bracket: "--[" starts a line comment, "[" was an index.
                    eState = m_bComment ? EState::LineComment : EState::Code;
                }
                break;
            case EState::LineComment:
                while (p < pEnd && !IsLineBreak(*p) && *p != '\0')
                    ++p;
                if (p < pEnd && *p == '\0') {
                    p = SkipNulRun(p, pStart, pEnd);
                } else if (p < pEnd) {
                    eState = EState::Code;
                    ++p;
                }
                break;
            case EState::Quoted:
                while (p < pEnd && !kQuotedStops[static_cast<unsigned char>(*p)])
                    ++p;
                if (p == pEnd)
                    break;
                if (*p == '\0') {
                    p = SkipNulRun(p, pStart, pEnd);
                    break;
                }
                if (*p == m_cQuote)
                    eState = EState::Code;
                else if (*p == '\\')
                    eState = EState::Escape;
                else if (IsLineBreak(*p))
                    eState = EState::UnfinishedText;
                ++p;  // the other quote is an ordinary byte here
                break;
            case EState::Escape:
                // Only a line break or \z reach beyond the escaped byte; \ddd, \xXX and \u{...}
                // continue with ordinary bytes.
                if (IsLineBreak(c)) {
                    eState = EState::EscapedBreak;
                    m_cBreak = c;
                } else {
                    eState = c == 'z' ? EState::SkipSpace : EState::Quoted;
                }
                ++p;
                break;
            case EState::EscapedBreak:
                // "\r\n" and "\n\r" are one line break.
                if (IsLineBreak(c) && c != m_cBreak)
                    ++p;
                eState = EState::Quoted;
                break;
            case EState::SkipSpace:
                if (IsLuaSpace(c))
                    ++p;
                else
                    eState = EState::Quoted;
                break;
            case EState::LongBody: {
                const auto* pClose =
                    static_cast<const char*>(std::memchr(p, ']', static_cast<size_t>(pEnd - p)));
                const char* const pStop = pClose != nullptr ? pClose : pEnd;
                // NUL runs in the body, looked for only until the text is known to be zeroed.
                while (!m_bZeroed && p < pStop) {
                    const auto* pNul = static_cast<const char*>(
                        std::memchr(p, '\0', static_cast<size_t>(pStop - p)));
                    if (pNul == nullptr)
                        break;
                    p = SkipNulRun(pNul, pStart, pStop);
                    if (p == pStop && pClose != nullptr)
                        m_nNulRun = 0;  // the ']' ends the run, not the piece
                }
                if (pClose != nullptr) {
                    p = pClose + 1;
                    eState = EState::LongClose;
                    nCount = 0;
                } else {
                    p = pEnd;
                }
                break;
            }
            case EState::LongClose:
                if (c == '=') {
                    ++nCount;
                } else if (c == ']') {
                    if (nCount == m_nLevel)
                        eState = EState::Code;
                    nCount = 0;  // otherwise this ']' may begin the closing bracket
                } else {
                    eState = EState::LongBody;  // the byte is read again in the body
                    break;
                }
                ++p;
                break;
            case EState::UnfinishedText:
                p = pEnd;
                break;
        }
    }
    m_eState = eState;
    m_nCount = nCount;
    m_nDepth = nDepth;
    m_bContent = bContent;
}

ELuaEnd CLuaEndScanner::End() const {
    if (!m_bContent)
        return ELuaEnd::Empty;
    if (m_bZeroed)
        return ELuaEnd::Zeroed;
    switch (m_eState) {
        case EState::Quoted:
        case EState::Escape:
        case EState::EscapedBreak:
        case EState::SkipSpace:
        case EState::UnfinishedText:
            return ELuaEnd::String;
        case EState::LongBody:
        case EState::LongClose:
            return m_bComment ? ELuaEnd::Comment : ELuaEnd::String;
        case EState::Code:
        case EState::Dash:
        case EState::CommentStart:
        case EState::OpenBracket:
        case EState::LineComment:
            break;
    }
    if (m_nDepth > 0)
        return ELuaEnd::Table;
    return m_bUnbalanced ? ELuaEnd::Unbalanced : ELuaEnd::Clean;
}

ELuaEnd ScanLuaEnd(std::string_view text) {
    CLuaEndScanner scanner;
    scanner.Feed(text);
    return scanner.End();
}

std::vector<SDamagedFile> FindDamagedSavedVariables(const std::string& strGameFolder) {
    std::vector<SDamagedFile> damaged;
    std::vector<char> buffer(kReadChunk);
    const fs::path accounts = PathFromUtf8(strGameFolder) / "WTF" / "Account";
    const std::string strSv = "SavedVariables";
    for (const std::string& strAccount : SubfolderNames(accounts)) {
        const fs::path account = accounts / PathFromUtf8(strAccount);
        const std::string strAccountRel = std::string("Account") + kNativeSep + strAccount;
        ScanSavedVariablesFolder(account / strSv, Joined({strAccountRel, strSv}), buffer, damaged);
        for (const std::string& strRealm : SubfolderNames(account)) {
            const fs::path realm = account / PathFromUtf8(strRealm);
            for (const std::string& strCharacter : SubfolderNames(realm)) {
                ScanSavedVariablesFolder(realm / PathFromUtf8(strCharacter) / strSv,
                                         Joined({strAccountRel, strRealm, strCharacter, strSv}),
                                         buffer, damaged);
            }
        }
    }
    std::sort(damaged.begin(), damaged.end(),
              [](const SDamagedFile& a, const SDamagedFile& b) { return a.strPath < b.strPath; });
    return damaged;
}

std::string DamagedFilesQuestion(const std::vector<SDamagedFile>& files) {
    constexpr size_t kNamed = 5;
    std::string strText = kMsgDamagedHead;
    for (size_t i = 0; i < files.size() && i < kNamed; ++i) {
        strText += files[i].strPath;
        switch (files[i].eEnd) {
            case ELuaEnd::Empty:
                strText += kMsgDamagedEmpty;
                break;
            case ELuaEnd::Zeroed:
                strText += kMsgDamagedZeroed;
                break;
            case ELuaEnd::Unbalanced:
                strText += kMsgDamagedUnbalanced;
                break;
            case ELuaEnd::Clean:
            case ELuaEnd::Table:
            case ELuaEnd::String:
            case ELuaEnd::Comment:
                strText += kMsgDamagedCut;
                break;
        }
    }
    if (files.size() > kNamed)
        strText +=
            kMsgDamagedMoreBefore + std::to_string(files.size() - kNamed) + kMsgDamagedMoreAfter;
    strText += kAskDamagedBackup;
    return strText;
}

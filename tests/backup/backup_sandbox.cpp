#include "backup_sandbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

CGameSandbox::CGameSandbox() {
    std::string strTemplate = (fs::temp_directory_path() / "zav-backup-XXXXXX").string();
    if (mkdtemp(strTemplate.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_strRoot = strTemplate;
    // A game folder with a Korean name, as a member's installation may have.
    m_strFolder = m_strRoot + "/월드 오브 워크래프트/";
    fs::create_directories(m_strFolder + "Ralum/Temp");
}

CGameSandbox::~CGameSandbox() {
    std::error_code ec;
    fs::remove_all(m_strRoot, ec);
}

void CGameSandbox::Write(const std::string& strRelative, const std::string& strContent) const {
    fs::path path = Path(strRelative);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

void CGameSandbox::MakeDir(const std::string& strRelative) const {
    fs::create_directories(Path(strRelative));
}

bool CGameSandbox::Exists(const std::string& strRelative) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Path(strRelative), ec));
}

std::string ReadWholeFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string RandomBytes(size_t nSize, unsigned nSeed) {
    std::mt19937 gen(nSeed);
    std::string str(nSize, '\0');
    for (char& c : str)
        c = static_cast<char>(gen() & 0xFF);
    return str;
}

std::vector<std::pair<std::string, std::string>> ReadArchive(const std::string& strPath) {
    std::vector<std::pair<std::string, std::string>> vec;
    CZipArchiver zip;
    try {
        zip.Open(strPath, ZipOpenMode::ReadOnly);
        for (int i = 0; i < zip.EntryCount(); ++i) {
            auto uIndex = static_cast<uint16_t>(i);
            CZipEntryHeader header;
            EXPECT_TRUE(zip.GetFileInfo(uIndex, header));
            EXPECT_TRUE(zip.OpenEntryForReading(uIndex));
            std::string strData;
            char buffer[16384];
            while (uint32_t n = zip.ReadEntryData(buffer, sizeof buffer))
                strData.append(buffer, n);
            EXPECT_EQ(zip.CloseEntryForReading(), 1) << header.GetFileName();
            vec.emplace_back(header.GetFileName(), std::move(strData));
        }
        zip.Close();
    } catch (const CException& e) {
        ADD_FAILURE() << strPath << ": " << e.what();
    }
    return vec;
}

std::vector<std::string> ArchiveNames(const std::string& strPath) {
    std::vector<std::string> vec;
    for (auto& entry : ReadArchive(strPath))
        vec.push_back(entry.first);
    return vec;
}

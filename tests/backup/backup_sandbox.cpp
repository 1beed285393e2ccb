#include "backup_sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "platform/native_text.h"
#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

// A game folder with a Korean name, as a member's installation may have.
CGameSandbox::CGameSandbox() : m_strFolder(m_sandbox.Path("월드 오브 워크래프트/")) {
    fs::create_directories(PathFromUtf8(m_strFolder + "Ralum/Temp"));
}

CGameSandbox::~CGameSandbox() = default;

void CGameSandbox::Write(const std::string& strRelative, const std::string& strContent) const {
    WriteWholeFile(Path(strRelative), strContent);
}

void CGameSandbox::MakeDir(const std::string& strRelative) const {
    fs::create_directories(PathFromUtf8(Path(strRelative)));
}

bool CGameSandbox::Exists(const std::string& strRelative) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(PathFromUtf8(Path(strRelative)), ec));
}

CScriptedServer::Handler ServiceHandler(SServiceScript script) {
    return [script](const CScriptedServer::SRequest& request) -> CScriptedServer::SAnswer {
        if (request.Path().rfind("/Kelpo/html/post.php", 0) != 0)
            return CScriptedServer::Reply(200, script.strAuthReply);
        if (request.bCutOff && !script.bReplyWhenCut)
            return {};
        return CScriptedServer::Reply(script.nUploadStatus, "done");
    };
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

#include "backup_sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

CLockedFolder::CLockedFolder(const CGameSandbox& box, const std::string& strRelative)
    : m_strPath(box.Path(strRelative)) {
    box.MakeDir(strRelative);
#ifdef _WIN32
    HANDLE hFolder = CreateFileW(PathFromUtf8(m_strPath).c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE) {
        m_strReason = "cannot hold the folder open: error " + std::to_string(GetLastError());
        return;
    }
    m_pHandle = hFolder;
    // Wine may not refuse a listing of a folder held this way; then nothing can lock it here.
    std::error_code ec;
    fs::directory_iterator probe(PathFromUtf8(m_strPath), ec);
    if (!ec)
        m_strReason = "a folder held open without sharing can still be listed here";
#else
    if (::geteuid() == 0) {
        const passwd* pUser = ::getpwnam("nobody");
        if (pUser == nullptr) {
            m_strReason = "running as root without a user \"nobody\" to give up its rights to";
            return;
        }
        for (const auto& entry : fs::recursive_directory_iterator(box.Root()))
            (void)::lchown(entry.path().c_str(), pUser->pw_uid, pUser->pw_gid);
        (void)::lchown(box.Root().c_str(), pUser->pw_uid, pUser->pw_gid);
        if (::setegid(pUser->pw_gid) != 0 || ::seteuid(pUser->pw_uid) != 0) {
            m_strReason = std::string("cannot run as \"nobody\": ") + std::strerror(errno);
            (void)::setegid(0);
            return;
        }
        m_bSwitchedUser = true;
    }
    if (::chmod(m_strPath.c_str(), 0) != 0)
        m_strReason = std::string("cannot take the folder's rights: ") + std::strerror(errno);
#endif
}

CLockedFolder::~CLockedFolder() {
#ifdef _WIN32
    if (m_pHandle != nullptr)
        CloseHandle(static_cast<HANDLE>(m_pHandle));
#else
    (void)::chmod(m_strPath.c_str(), 0700);
    if (m_bSwitchedUser) {
        // Back to root: the saved user id is still 0.
        if (::seteuid(0) != 0 || ::setegid(0) != 0)
            ADD_FAILURE() << "cannot switch back to root: " << std::strerror(errno);
    }
#endif
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

#include "service/archive_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace zavsvc {
namespace {

constexpr size_t kWriteBuffer = 256 * 1024;
constexpr std::string_view kOldTempPrefix = ".upload-";  // in member folders, older versions
constexpr std::string_view kStagePrefix = ".stage-";
constexpr std::string_view kAsidePrefix = ".aside.";  // followed by the member id

constexpr std::array<SCategory, 4> kCategories = {{
    {"Fonts", "__Fonts.zip", "UserFile004"},
    {"Interface", "__Interface.zip", "UserFile001"},
    {"WDB", "__WDB.zip", "UserFile003"},
    {"WTF", "__WTF.zip", "UserFile002"},
}};

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t nWritten = ::write(fd, p, n);
        if (nWritten < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += nWritten;
        n -= static_cast<size_t>(nWritten);
    }
    return true;
}

bool SyncFolder(const std::string& strDir) {
    int fd = ::open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool bOk = ::fsync(fd) == 0;
    ::close(fd);
    return bOk;
}

bool SyncFolderOf(const std::string& strPath) {
    return SyncFolder(std::filesystem::path(strPath).parent_path().string());
}

bool StartsWith(const std::string& str, std::string_view prefix) {
    return str.rfind(prefix, 0) == 0;
}

// Removes a folder left by a commit; a failure is reported, the next start tries again.
void RemoveLeftover(const std::string& strDir) {
    std::error_code ec;
    std::filesystem::remove_all(strDir, ec);
    if (ec) {
        std::fprintf(stderr, "zav-service: cannot remove %s: %s\n", strDir.c_str(),
                     ec.message().c_str());
    }
}

}  // namespace

const std::array<SCategory, 4>& Categories() {
    return kCategories;
}

const SCategory* CategoryByField(std::string_view field) {
    for (const auto& category : kCategories) {
        if (field == category.pszField) {
            return &category;
        }
    }
    return nullptr;
}

const SCategory* CategoryByArchive(std::string_view archive) {
    for (const auto& category : kCategories) {
        if (archive == category.pszArchive) {
            return &category;
        }
    }
    return nullptr;
}

bool WriteFileAtomically(const std::string& strPath, std::string_view content, unsigned nMode,
                         std::string* pStrError) {
    std::string strTemp = strPath + ".tmp-XXXXXX";
    int fd = ::mkostemp(strTemp.data(), O_CLOEXEC);
    if (fd < 0) {
        *pStrError = strTemp + ": " + std::strerror(errno);
        return false;
    }
    bool bOk = ::fchmod(fd, nMode) == 0 && WriteAll(fd, content.data(), content.size()) &&
               ::fsync(fd) == 0;
    bOk = (::close(fd) == 0) && bOk;
    if (bOk && ::rename(strTemp.c_str(), strPath.c_str()) == 0) {
        SyncFolderOf(strPath);
        return true;
    }
    *pStrError = strPath + ": " + std::strerror(errno);
    ::unlink(strTemp.c_str());
    return false;
}

std::string CArchiveStore::MemberDir(std::string_view id) const {
    return m_strDataDir + "/UserData/" + std::string(id);
}

std::string CArchiveStore::ArchivePath(std::string_view id, const SCategory& category) const {
    return MemberDir(id) + "/" + category.pszArchive;
}

int64_t CArchiveStore::ArchiveSize(std::string_view id, const SCategory& category) const {
    struct stat st {};
    if (::stat(ArchivePath(id, category).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    return st.st_size;
}

int64_t CArchiveStore::TotalStored() const {
    int64_t nTotal = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(UserDataDir(), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        // Staging folders and folders set aside by a commit are not stored archives.
        if (StartsWith(it->path().filename().string(), ".") || !it->is_directory(ec)) {
            continue;
        }
        for (const auto& category : kCategories) {
            auto nSize = std::filesystem::file_size(it->path() / category.pszArchive, ec);
            if (!ec) {
                nTotal += static_cast<int64_t>(nSize);
            }
        }
        ec.clear();
    }
    return nTotal;
}

bool CArchiveStore::RemoveAll(std::string_view id) {
    bool bOk = true;
    for (const auto& category : kCategories) {
        std::string strPath = ArchivePath(id, category);
        if (::unlink(strPath.c_str()) != 0 && errno != ENOENT) {
            bOk = false;
        }
    }
    SyncFolderOf(ArchivePath(id, kCategories[0]));
    return bOk;
}

void CArchiveStore::RecoverInterruptedCommits() {
    const std::string strUserData = UserDataDir();
    std::vector<std::string> vecStages, vecAside;
    std::error_code ec;
    std::filesystem::directory_iterator it(strUserData, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string strName = it->path().filename().string();
        if (StartsWith(strName, kStagePrefix)) {
            vecStages.push_back(it->path().string());
        } else if (StartsWith(strName, kAsidePrefix)) {
            vecAside.push_back(strName);
        } else {
            std::error_code ecInner;
            std::filesystem::directory_iterator file(it->path(), ecInner);
            for (; !ecInner && file != end; file.increment(ecInner)) {
                if (StartsWith(file->path().filename().string(), kOldTempPrefix)) {
                    std::filesystem::remove(file->path(), ecInner);
                }
            }
        }
    }
    // A member folder set aside by a commit that did not finish: without the member folder the
    // commit did not happen, and the old folder goes back; otherwise it is what was replaced.
    for (const auto& strName : vecAside) {
        const std::string strAside = strUserData + "/" + strName;
        const std::string strMember = strUserData + "/" + strName.substr(kAsidePrefix.size());
        if (std::filesystem::exists(strMember, ec)) {
            RemoveLeftover(strAside);
        } else if (::rename(strAside.c_str(), strMember.c_str()) != 0) {
            std::fprintf(stderr, "zav-service: cannot move %s back: %s\n", strAside.c_str(),
                         std::strerror(errno));
        }
    }
    for (const auto& strStage : vecStages) {
        RemoveLeftover(strStage);
    }
    SyncFolder(strUserData);
}

bool CArchiveStore::Commit(std::string_view id, CUploadStage& stage, std::string* pStrError) {
    return CommitStage(id, stage, true, pStrError);
}

bool CArchiveStore::CommitByTwoRenames(std::string_view id, CUploadStage& stage,
                                       std::string* pStrError) {
    return CommitStage(id, stage, false, pStrError);
}

bool CArchiveStore::CommitStage(std::string_view id, CUploadStage& stage, bool bExchange,
                                std::string* pStrError) {
    auto fail = [pStrError](const std::string& strWhat) {
        *pStrError = strWhat + ": " + std::strerror(errno);
        return false;
    };
    // The archives this upload does not replace stay: linked into the new folder.
    for (const auto& category : kCategories) {
        if (stage.Holds(category)) {
            continue;
        }
        const std::string strKept = ArchivePath(id, category);
        const std::string strLink = stage.Dir() + "/" + category.pszArchive;
        if (::link(strKept.c_str(), strLink.c_str()) != 0 && errno != ENOENT) {
            return fail("cannot keep " + strKept);
        }
    }
    if (!SyncFolder(stage.Dir())) {
        return fail("cannot sync " + stage.Dir());
    }
    const std::string strUserData = UserDataDir();
    const std::string strMember = MemberDir(id);
    const char* pszStage = stage.Dir().c_str();
    if (bExchange) {
        if (::renameat2(AT_FDCWD, pszStage, AT_FDCWD, strMember.c_str(), RENAME_EXCHANGE) == 0) {
            SyncFolder(strUserData);
            return true;  // the staging folder's name now holds the replaced archives
        }
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOENT) {
            return fail("cannot exchange " + strMember);
        }
    }
    // Set the member folder aside, rename the staging folder into its place, then delete the
    // old one. A first upload has no folder to set aside.
    const std::string strAside = strUserData + "/" + std::string(kAsidePrefix) + std::string(id);
    std::error_code ec;
    std::filesystem::remove_all(strAside, ec);
    bool bAside = ::rename(strMember.c_str(), strAside.c_str()) == 0;
    if (!bAside && errno != ENOENT) {
        return fail("cannot move " + strMember + " aside");
    }
    if (::rename(pszStage, strMember.c_str()) != 0) {
        const int nError = errno;
        if (bAside && ::rename(strAside.c_str(), strMember.c_str()) != 0) {
            // RecoverInterruptedCommits moves it back at the next start.
            std::fprintf(stderr, "zav-service: cannot move %s back: %s\n", strAside.c_str(),
                         std::strerror(errno));
        }
        errno = nError;
        return fail("cannot rename " + stage.Dir());
    }
    SyncFolder(strUserData);
    if (bAside) {
        RemoveLeftover(strAside);
    }
    return true;
}

CTempArchive::~CTempArchive() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CTempArchive::Create(const std::string& strPath, bool bHash) {
    m_fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        return false;
    }
    m_strPath = strPath;
    if (bHash) {
        m_pHash.reset(EVP_MD_CTX_new());
        if (!m_pHash || EVP_DigestInit_ex(m_pHash.get(), EVP_sha256(), nullptr) != 1) {
            return false;
        }
    }
    m_vecBuffer.reserve(kWriteBuffer);
    return true;
}

bool CTempArchive::Flush() {
    if (m_vecBuffer.empty()) {
        return true;
    }
    bool bOk = WriteAll(m_fd, m_vecBuffer.data(), m_vecBuffer.size());
    m_vecBuffer.clear();
    return bOk;
}

bool CTempArchive::Write(const char* p, size_t n) {
    if (m_fd < 0) {
        return false;
    }
    m_nSize += static_cast<int64_t>(n);
    if (m_pHash && EVP_DigestUpdate(m_pHash.get(), p, n) != 1) {
        return false;
    }
    if (m_vecBuffer.size() + n > kWriteBuffer) {
        if (!Flush()) {
            return false;
        }
        if (n >= kWriteBuffer) {
            return WriteAll(m_fd, p, n);
        }
    }
    m_vecBuffer.insert(m_vecBuffer.end(), p, p + n);
    return true;
}

bool CTempArchive::Finish() {
    if (m_fd < 0 || !Flush() || ::fsync(m_fd) != 0) {
        return false;
    }
    bool bOk = ::close(m_fd) == 0;
    m_fd = -1;
    if (m_pHash) {
        unsigned char achDigest[EVP_MAX_MD_SIZE];
        unsigned int nDigest = 0;
        bOk = bOk && EVP_DigestFinal_ex(m_pHash.get(), achDigest, &nDigest) == 1;
        static constexpr char kHex[] = "0123456789abcdef";
        for (unsigned int i = 0; bOk && i < nDigest; ++i) {
            m_strSha256 += kHex[achDigest[i] >> 4];
            m_strSha256 += kHex[achDigest[i] & 0x0F];
        }
    }
    return bOk;
}

CUploadStage::~CUploadStage() {
    m_vecParts.clear();
    if (!m_strDir.empty()) {
        RemoveLeftover(m_strDir);
    }
}

CTempArchive* CUploadStage::Add(const SCategory& category) {
    if (m_strDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(m_store.UserDataDir(), ec);
        std::string strTemplate =
            m_store.UserDataDir() + "/" + std::string(kStagePrefix) + "XXXXXX";
        if (::mkdtemp(strTemplate.data()) == nullptr) {
            return nullptr;
        }
        m_strDir = strTemplate;
    }
    auto pFile = std::make_unique<CTempArchive>();
    if (!pFile->Create(m_strDir + "/" + category.pszArchive, m_bHash)) {
        return nullptr;
    }
    m_vecParts.push_back({&category, std::move(pFile)});
    return m_vecParts.back().pFile.get();
}

bool CUploadStage::Holds(const SCategory& category) const {
    for (const auto& part : m_vecParts) {
        if (part.pCategory == &category) {
            return true;
        }
    }
    return false;
}

bool CUploadStage::Finish() {
    for (auto& part : m_vecParts) {
        if (!part.pFile->Finish()) {
            return false;
        }
    }
    return true;
}

}  // namespace zavsvc

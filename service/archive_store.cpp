#include "service/archive_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace zavsvc {
namespace {

constexpr size_t kWriteBuffer = 256 * 1024;
constexpr std::string_view kTempPrefix = ".upload-";

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

bool SyncFolderOf(const std::string& strPath) {
    std::string strDir = std::filesystem::path(strPath).parent_path().string();
    int fd = ::open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool bOk = ::fsync(fd) == 0;
    ::close(fd);
    return bOk;
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
    int fd = ::mkstemp(strTemp.data());
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
    std::filesystem::directory_iterator it(m_strDataDir + "/UserData", ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory(ec)) {
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

void CArchiveStore::RemoveStaleTemporaries() {
    std::error_code ec;
    std::filesystem::directory_iterator it(m_strDataDir + "/UserData", ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ecInner;
        std::filesystem::directory_iterator file(it->path(), ecInner);
        for (; !ecInner && file != end; file.increment(ecInner)) {
            if (file->path().filename().string().rfind(kTempPrefix, 0) == 0) {
                std::filesystem::remove(file->path(), ecInner);
            }
        }
    }
}

CTempArchive::~CTempArchive() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (!m_strPath.empty() && !m_bCommitted) {
        ::unlink(m_strPath.c_str());
    }
}

bool CTempArchive::Create(const std::string& strDir) {
    std::error_code ec;
    std::filesystem::create_directories(strDir, ec);
    std::string strTemplate = strDir + "/" + std::string(kTempPrefix) + "XXXXXX";
    m_fd = ::mkostemp(strTemplate.data(), O_CLOEXEC);
    if (m_fd < 0) {
        return false;
    }
    m_strPath = strTemplate;
    ::fchmod(m_fd, 0644);
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
    return bOk;
}

bool CTempArchive::CommitTo(const std::string& strTarget) {
    if (m_fd >= 0 || m_strPath.empty() || ::rename(m_strPath.c_str(), strTarget.c_str()) != 0) {
        return false;
    }
    m_bCommitted = true;
    SyncFolderOf(strTarget);
    return true;
}

}  // namespace zavsvc

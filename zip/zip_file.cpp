#include "zip/zip_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "zip/zip_exception.h"

namespace {

void StatusFrom(const struct stat& st, SZipFileStatus& status) {
    status.bRegular = S_ISREG(st.st_mode);
    status.nSize = static_cast<uint64_t>(st.st_size);
    status.tModified = static_cast<int64_t>(st.st_mtime);
    status.uMode = static_cast<uint32_t>(st.st_mode);
}

}  // namespace

CZipBuffer::CZipBuffer(size_t nCapacity) {
    Reserve(nCapacity);
}

void CZipBuffer::Reserve(size_t nCapacity) {
    m_nSize = 0;
    if (nCapacity <= m_nCapacity)
        return;
    Release();
    void* p = nullptr;
    if (nCapacity >= kMapFrom) {
        p = mmap(nullptr, nCapacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
    } else {
        p = ::operator new(nCapacity);
    }
    m_pData = static_cast<uint8_t*>(p);
    m_nCapacity = nCapacity;
}

void CZipBuffer::Release() noexcept {
    if (m_pData != nullptr) {
        if (m_nCapacity >= kMapFrom)
            munmap(m_pData, m_nCapacity);
        else
            ::operator delete(m_pData);
    }
    m_pData = nullptr;
    m_nCapacity = 0;
    m_nSize = 0;
}

void CZipBuffer::Take(CZipBuffer& other) noexcept {
    m_pData = other.m_pData;
    m_nCapacity = other.m_nCapacity;
    m_nSize = other.m_nSize;
    other.m_pData = nullptr;
    other.m_nCapacity = 0;
    other.m_nSize = 0;
}

bool ReadFileStatus(const std::string& strPath, SZipFileStatus& status) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0)
        return false;
    StatusFrom(st, status);
    return true;
}

CZipSourceFile::~CZipSourceFile() {
    if (m_nFd >= 0)
        ::close(m_nFd);
}

bool CZipSourceFile::Open(const std::string& strPath, bool bNonBlocking) {
    m_strPath = strPath;
    m_nError = 0;
    m_nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | (bNonBlocking ? O_NONBLOCK : 0));
    return m_nFd >= 0;
}

bool CZipSourceFile::ReadStatus(SZipFileStatus& status) const {
    struct stat st {};
    if (fstat(m_nFd, &st) != 0)
        return false;
    StatusFrom(st, status);
    return true;
}

size_t CZipSourceFile::Read(void* pBuffer, size_t nCount) {
    size_t nDone = 0;
    auto* p = static_cast<uint8_t*>(pBuffer);
    while (nDone < nCount && m_nError == 0) {
        ssize_t n = ::read(m_nFd, p + nDone, nCount - nDone);
        if (n < 0) {
            if (errno != EINTR)
                m_nError = errno;
            continue;
        }
        if (n == 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    return nDone;
}

CZipTargetFile::~CZipTargetFile() {
    if (m_nFd >= 0)
        ::close(m_nFd);
}

int CZipTargetFile::CreateNew(const std::string& strPath) {
    m_strPath = strPath;
    m_bCut = false;
    m_nWritten = 0;
    m_nFd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return m_nFd >= 0 ? 0 : errno;
}

void CZipTargetFile::OpenExisting(const std::string& strPath) {
    m_strPath = strPath;
    m_bCut = true;
    m_nWritten = 0;
    struct stat st {};
    if (lstat(strPath.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
        (!S_ISREG(st.st_mode) || st.st_nlink > 1))
        ::unlink(strPath.c_str());
    m_nFd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_nFd < 0)
        throw CFileException(errno, strPath);
}

void CZipTargetFile::Write(const void* pData, size_t nCount) {
    WriteFully(m_nFd, pData, nCount, m_strPath);
    m_nWritten += nCount;
}

namespace {

// Access time now, modification time tModified.
void FileTimes(struct timespec (&times)[2], int64_t tModified) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = static_cast<time_t>(tModified);
    times[1].tv_nsec = 0;
}

}  // namespace

int CZipTargetFile::SetTimeAndMode(int64_t tModified, uint32_t uPermissions) {
    struct timespec times[2];
    FileTimes(times, tModified);
    if (futimens(m_nFd, times) != 0)
        return 0;
    if (fchmod(m_nFd, static_cast<mode_t>(uPermissions)) != 0)
        return -1;
    return 1;
}

int SetPathTimeAndMode(const std::string& strPath, int64_t tModified, uint32_t uPermissions) {
    struct timespec times[2];
    FileTimes(times, tModified);
    if (utimensat(AT_FDCWD, strPath.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    if (fchmodat(AT_FDCWD, strPath.c_str(), static_cast<mode_t>(uPermissions), 0) != 0)
        return -1;
    return 1;
}

bool SetPathMode(const std::string& strPath, uint32_t uPermissions) {
    return chmod(strPath.c_str(), static_cast<mode_t>(uPermissions)) == 0;
}

void CZipTargetFile::Cut() {
    if (!m_bCut)
        return;
    m_bCut = false;
    if (ftruncate(m_nFd, static_cast<off_t>(m_nWritten)) != 0)
        throw CFileException(errno, m_strPath);
}

void CZipTargetFile::Close() {
    int nCutError = 0;
    try {
        Cut();
    } catch (const CFileException& e) {
        nCutError = e.m_nOsError;  // reported once the descriptor is closed
    }
    int nFd = m_nFd;
    m_nFd = -1;
    if (::close(nFd) != 0)
        throw CFileException(errno, m_strPath);
    if (nCutError != 0)
        throw CFileException(nCutError, m_strPath);
}

CZipBigFile::~CZipBigFile() {
    if (m_nFd >= 0)
        ::close(m_nFd);
}

void CZipBigFile::Open(const std::string& strPath, OpenMode mode) {
    Close();
    int nFlags = O_CLOEXEC | (mode == kReadOnly ? O_RDONLY : (O_RDWR | O_CREAT | O_TRUNC));
    int nFd = ::open(strPath.c_str(), nFlags, 0644);
    if (nFd < 0)
        throw CFileException(errno, strPath);
    struct stat st {};
    if (fstat(nFd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int nError = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(nFd);
        throw CFileException(nError, strPath);
    }
    m_nFd = nFd;
    m_strPath = strPath;
}

void CZipBigFile::Close() {
    if (m_nFd < 0)
        return;
    int nFd = m_nFd;
    m_nFd = -1;
    if (::close(nFd) != 0)
        throw CFileException(errno, m_strPath);
}

size_t ReadFully(int nFd, void* pBuffer, size_t nCount, const std::string& strPath) {
    size_t nDone = 0;
    auto* p = static_cast<uint8_t*>(pBuffer);
    while (nDone < nCount) {
        ssize_t n = ::read(nFd, p + nDone, nCount - nDone);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw CFileException(errno, strPath);
        }
        if (n == 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    return nDone;
}

void WriteFully(int nFd, const void* pBuffer, size_t nCount, const std::string& strPath) {
    const auto* p = static_cast<const uint8_t*>(pBuffer);
    while (nCount > 0) {
        ssize_t n = ::write(nFd, p, nCount);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw CFileException(errno, strPath);
        }
        p += n;
        nCount -= static_cast<size_t>(n);
    }
}

size_t CZipBigFile::Read(void* pBuffer, size_t nCount) {
    return ReadFully(m_nFd, pBuffer, nCount, m_strPath);
}

void CZipBigFile::Write(const void* pBuffer, size_t nCount) {
    WriteFully(m_nFd, pBuffer, nCount, m_strPath);
}

size_t CZipBigFile::ReadAt(int64_t nOffset, void* pBuffer, size_t nCount) const {
    size_t nDone = 0;
    auto* p = static_cast<uint8_t*>(pBuffer);
    while (nDone < nCount) {
        ssize_t n = ::pread(m_nFd, p + nDone, nCount - nDone,
                            static_cast<off_t>(nOffset + static_cast<int64_t>(nDone)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw CFileException(errno, m_strPath);
        }
        if (n == 0)
            break;
        nDone += static_cast<size_t>(n);
    }
    return nDone;
}

void CZipBigFile::WriteAt(int64_t nOffset, const void* pBuffer, size_t nCount) {
    const auto* p = static_cast<const uint8_t*>(pBuffer);
    while (nCount > 0) {
        ssize_t n = ::pwrite(m_nFd, p, nCount, static_cast<off_t>(nOffset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw CFileException(errno, m_strPath);
        }
        p += n;
        nOffset += n;
        nCount -= static_cast<size_t>(n);
    }
}

int64_t CZipBigFile::Seek(int64_t nOffset, SeekFrom from) {
    int nWhence = from == kBegin ? SEEK_SET : (from == kCurrent ? SEEK_CUR : SEEK_END);
    off_t nPos = ::lseek(m_nFd, static_cast<off_t>(nOffset), nWhence);
    if (nPos < 0)
        throw CFileException(errno, m_strPath);
    return nPos;
}

int64_t CZipBigFile::GetPosition() const {
    off_t nPos = ::lseek(m_nFd, 0, SEEK_CUR);
    if (nPos < 0)
        throw CFileException(errno, m_strPath);
    return nPos;
}

int64_t CZipBigFile::GetLength() const {
    struct stat st {};
    if (fstat(m_nFd, &st) != 0)
        throw CFileException(errno, m_strPath);
    return st.st_size;
}

void CZipBigFile::SetLength(int64_t nLength) {
    if (ftruncate(m_nFd, static_cast<off_t>(nLength)) != 0)
        throw CFileException(errno, m_strPath);
}

void CZipBufferedFile::Open(const std::string& strPath, CZipBigFile::OpenMode mode) {
    m_pBuffer = std::make_unique<uint8_t[]>(kWriteBufferSize);
    m_nFill = 0;
    m_nFilePos = 0;
    m_file.Open(strPath, mode);
    m_iCurrentDisk = 0;
}

void CZipBufferedFile::Close() {
    if (m_iCurrentDisk == -1)
        return;
    try {
        Flush();
    } catch (...) {
        Abandon();
        throw;
    }
    m_iCurrentDisk = -1;
    m_pBuffer.reset();
    m_nFill = 0;
    m_file.Close();
}

void CZipBufferedFile::Abandon() {
    m_iCurrentDisk = -1;
    m_pBuffer.reset();
    m_nFill = 0;
    try {
        m_file.Close();
    } catch (const CFileException&) {
        // The archive is being abandoned: a failing close changes nothing more for it.
    }
}

void CZipBufferedFile::Write(const void* pBuffer, size_t nCount) {
    const auto* p = static_cast<const uint8_t*>(pBuffer);
    if (nCount >= kWriteBufferSize) {
        // A large piece goes to the file as it is, after what waits before it.
        Flush();
        m_file.Write(p, nCount);
        m_nFilePos += static_cast<int64_t>(nCount);
        return;
    }
    while (nCount > 0) {
        size_t nTake = std::min(nCount, kWriteBufferSize - m_nFill);
        std::memcpy(m_pBuffer.get() + m_nFill, p, nTake);
        m_nFill += nTake;
        p += nTake;
        nCount -= nTake;
        if (m_nFill == kWriteBufferSize)
            Flush();
    }
}

void CZipBufferedFile::Flush() {
    if (m_nFill == 0)
        return;
    size_t nFill = m_nFill;
    m_nFill = 0;
    m_file.Write(m_pBuffer.get(), nFill);
    m_nFilePos += static_cast<int64_t>(nFill);
}

void CZipBufferedFile::Patch(int64_t nOffset, const void* pData, size_t nCount) {
    const auto* p = static_cast<const uint8_t*>(pData);
    if (nOffset < m_nFilePos) {
        const size_t nInFile = static_cast<size_t>(
            std::min<int64_t>(m_nFilePos - nOffset, static_cast<int64_t>(nCount)));
        m_file.WriteAt(nOffset, p, nInFile);
        p += nInFile;
        nOffset += static_cast<int64_t>(nInFile);
        nCount -= nInFile;
    }
    if (nCount > 0)
        std::memcpy(m_pBuffer.get() + (nOffset - m_nFilePos), p, nCount);
}

int64_t CZipBufferedFile::Seek(int64_t nOffset, CZipBigFile::SeekFrom from) {
    Flush();
    m_nFilePos = m_file.Seek(nOffset, from);
    return m_nFilePos;
}

void CZipBufferedFile::Read(void* pBuffer, size_t nCount) {
    if (ReadSome(pBuffer, nCount) != nCount)
        ZipException(kZipBadArchive, m_file.GetFilePath());
}

size_t CZipBufferedFile::ReadSome(void* pBuffer, size_t nCount) {
    const size_t nRead = m_file.Read(pBuffer, nCount);
    m_nFilePos += static_cast<int64_t>(nRead);
    return nRead;
}

void CZipBufferedFile::ReadAt(int64_t nOffset, void* pBuffer, size_t nCount) const {
    if (m_file.ReadAt(nOffset, pBuffer, nCount) != nCount)
        ZipException(kZipBadArchive, m_file.GetFilePath());
}

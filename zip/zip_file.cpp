#include "zip/zip_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/file_attributes.h"
#include "zip/zip_exception.h"

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>

#include "platform/native_text.h"
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

// The system calls of the archive layer. POSIX's own on POSIX; on Windows the C runtime's
// descriptors over UTF-16 paths (binary mode, not inherited), with the few calls it lacks
// (positioned reads and writes, file times, mapped memory) made of Win32 calls.
namespace os {

#ifdef _WIN32

using Stat = struct _stat64;
constexpr int kCloexec = _O_NOINHERIT;
constexpr int kNoFollow = 0;  // no links to follow in the Windows build
constexpr int kNonBlocking = 0;
// One call moves at most this much (the runtime counts in unsigned int).
constexpr size_t kMaxPiece = 1u << 30;

int Open(const std::string& strPath, int nFlags, int nMode = 0) {
    // _S_IWRITE clear makes a new file read-only: the mode's owner-write bit decides.
    const int nPermissions = (nMode & 0200) != 0 ? _S_IREAD | _S_IWRITE : _S_IREAD;
    return _wopen(WideFromUtf8(strPath).c_str(), nFlags | _O_BINARY, nPermissions);
}
int Close(int nFd) {
    return _close(nFd);
}
long Read(int nFd, void* p, size_t n) {
    return _read(nFd, p, static_cast<unsigned>(std::min(n, kMaxPiece)));
}
long Write(int nFd, const void* p, size_t n) {
    return _write(nFd, p, static_cast<unsigned>(std::min(n, kMaxPiece)));
}
int64_t Seek(int nFd, int64_t nOffset, int nWhence) {
    return _lseeki64(nFd, nOffset, nWhence);
}
int FileStat(int nFd, Stat& st) {
    return _fstat64(nFd, &st);
}
int PathStat(const std::string& strPath, Stat& st) {
    // The runtime refuses a folder named with a trailing separator (but for a root: "C:\").
    std::string strTrimmed = strPath;
    while (strTrimmed.size() > 1 && (strTrimmed.back() == '/' || strTrimmed.back() == '\\') &&
           strTrimmed[strTrimmed.size() - 2] != ':')
        strTrimmed.pop_back();
    return _wstat64(WideFromUtf8(strTrimmed).c_str(), &st);
}
int LinkStat(const std::string& strPath, Stat& st) {
    return PathStat(strPath, st);
}
int Unlink(const std::string& strPath) {
    return _wunlink(WideFromUtf8(strPath).c_str());
}
int Truncate(int nFd, int64_t nLength) {
    errno = _chsize_s(nFd, nLength);
    return errno == 0 ? 0 : -1;
}
int PathMode(const std::string& strPath, uint32_t uPermissions) {
    return _wchmod(WideFromUtf8(strPath).c_str(),
                   (uPermissions & 0200) != 0 ? _S_IREAD | _S_IWRITE : _S_IREAD);
}

int RemoveFolder(const std::string& strPath) {
    return _wrmdir(WideFromUtf8(strPath).c_str());
}
int Rename(const std::string& strFrom, const std::string& strTo) {
    const std::wstring from = WideFromUtf8(strFrom);
    const std::wstring to = WideFromUtf8(strTo);
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    if (GetLastError() == ERROR_ACCESS_DENIED) {
        // A read-only file at the target is replaced too.
        MakeFileReplaceable(strTo);
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return 0;
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            errno = EACCES;
            break;
        case ERROR_NOT_SAME_DEVICE:
            errno = EXDEV;
            break;
        default:
            errno = EIO;
            break;
    }
    return -1;
}

// A read or write at nOffset that leaves the descriptor's position where it was.
long Positioned(int nFd, void* p, size_t n, int64_t nOffset, bool bWrite) {
    const int64_t nPos = _lseeki64(nFd, 0, SEEK_CUR);
    if (nPos < 0 || _lseeki64(nFd, nOffset, SEEK_SET) < 0)
        return -1;
    const long nDone = bWrite ? Write(nFd, p, n) : Read(nFd, p, n);
    const int nError = errno;
    _lseeki64(nFd, nPos, SEEK_SET);
    errno = nError;
    return nDone;
}
long ReadAt(int nFd, void* p, size_t n, int64_t nOffset) {
    return Positioned(nFd, p, n, nOffset, false);
}
long WriteAt(int nFd, const void* p, size_t n, int64_t nOffset) {
    return Positioned(nFd, const_cast<void*>(p), n, nOffset, true);
}

FILETIME FileTimeOf(int64_t tPosix) {
    // 100-ns steps since 1601-01-01.
    const uint64_t n = static_cast<uint64_t>(tPosix + 11644473600LL) * 10000000ULL;
    return FILETIME{static_cast<DWORD>(n), static_cast<DWORD>(n >> 32)};
}
bool SetTimes(HANDLE h, int64_t tModified) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const FILETIME modified = FileTimeOf(tModified);
    return SetFileTime(h, nullptr, &now, &modified) != 0;
}
// Modification time tModified, access time now.
int FileTimes(int nFd, int64_t tModified) {
    return SetTimes(reinterpret_cast<HANDLE>(_get_osfhandle(nFd)), tModified) ? 0 : -1;
}
int PathTimes(const std::string& strPath, int64_t tModified) {
    // Folders too (backup semantics); a link would be followed, but none is made here.
    HANDLE h = CreateFileW(WideFromUtf8(strPath).c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    const bool bOk = SetTimes(h, tModified);
    CloseHandle(h);
    return bOk ? 0 : -1;
}

void* MapMemory(size_t n) {
    return VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
void UnmapMemory(void* p, size_t /*n*/) {
    VirtualFree(p, 0, MEM_RELEASE);
}

// The attribute word of an open file: its own DOS attributes.
uint32_t DosAttributes(int nFd, const Stat& st) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(nFd)), &info))
        return info.dwFileAttributes & kDosArchivedBits;
    return DosAttributesFromMode(static_cast<mode_t>(st.st_mode));
}
uint32_t DosAttributes(const std::string& strPath, const Stat& st) {
    uint32_t uAttributes = 0;
    return GetFileAttributeWord(strPath, uAttributes)
               ? uAttributes
               : DosAttributesFromMode(static_cast<mode_t>(st.st_mode));
}

#else

using Stat = struct stat;
constexpr int kCloexec = O_CLOEXEC;
constexpr int kNoFollow = O_NOFOLLOW;
constexpr int kNonBlocking = O_NONBLOCK;

int Open(const std::string& strPath, int nFlags, int nMode = 0) {
    return ::open(strPath.c_str(), nFlags, nMode);
}
int Close(int nFd) {
    return ::close(nFd);
}
long Read(int nFd, void* p, size_t n) {
    return ::read(nFd, p, n);
}
long Write(int nFd, const void* p, size_t n) {
    return ::write(nFd, p, n);
}
int64_t Seek(int nFd, int64_t nOffset, int nWhence) {
    return ::lseek(nFd, static_cast<off_t>(nOffset), nWhence);
}
int FileStat(int nFd, Stat& st) {
    return fstat(nFd, &st);
}
int PathStat(const std::string& strPath, Stat& st) {
    return stat(strPath.c_str(), &st);
}
int LinkStat(const std::string& strPath, Stat& st) {
    return lstat(strPath.c_str(), &st);
}
int Unlink(const std::string& strPath) {
    return ::unlink(strPath.c_str());
}
int Truncate(int nFd, int64_t nLength) {
    return ftruncate(nFd, static_cast<off_t>(nLength));
}
int RemoveFolder(const std::string& strPath) {
    return ::rmdir(strPath.c_str());
}
int Rename(const std::string& strFrom, const std::string& strTo) {
    return ::rename(strFrom.c_str(), strTo.c_str());
}
int PathMode(const std::string& strPath, uint32_t uPermissions) {
    return chmod(strPath.c_str(), static_cast<mode_t>(uPermissions));
}
long ReadAt(int nFd, void* p, size_t n, int64_t nOffset) {
    return ::pread(nFd, p, n, static_cast<off_t>(nOffset));
}
long WriteAt(int nFd, const void* p, size_t n, int64_t nOffset) {
    return ::pwrite(nFd, p, n, static_cast<off_t>(nOffset));
}

// Access time now, modification time tModified.
void FileTimes(struct timespec (&times)[2], int64_t tModified) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = static_cast<time_t>(tModified);
    times[1].tv_nsec = 0;
}
int FileTimes(int nFd, int64_t tModified) {
    struct timespec times[2];
    FileTimes(times, tModified);
    return futimens(nFd, times);
}
// Not following a link.
int PathTimes(const std::string& strPath, int64_t tModified) {
    struct timespec times[2];
    FileTimes(times, tModified);
    return utimensat(AT_FDCWD, strPath.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void* MapMemory(size_t n) {
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}
void UnmapMemory(void* p, size_t n) {
    munmap(p, n);
}

uint32_t DosAttributes(int /*nFd*/, const Stat& st) {
    return DosAttributesFromMode(st.st_mode);
}
uint32_t DosAttributes(const std::string& /*strPath*/, const Stat& st) {
    return DosAttributesFromMode(st.st_mode);
}

#endif

}  // namespace os

namespace {

void StatusFrom(const os::Stat& st, uint32_t uDosAttributes, SZipFileStatus& status) {
    status.bRegular = S_ISREG(st.st_mode);
    status.nSize = static_cast<uint64_t>(st.st_size);
    status.tModified = static_cast<int64_t>(st.st_mtime);
    status.uMode = static_cast<uint32_t>(st.st_mode);
    status.uDosAttributes = uDosAttributes;
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
        p = os::MapMemory(nCapacity);
        if (p == nullptr)
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
            os::UnmapMemory(m_pData, m_nCapacity);
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
    os::Stat st{};
    if (os::PathStat(strPath, st) != 0)
        return false;
    StatusFrom(st, os::DosAttributes(strPath, st), status);
    return true;
}

CZipSourceFile::~CZipSourceFile() {
    if (m_nFd >= 0)
        os::Close(m_nFd);
}

bool CZipSourceFile::Open(const std::string& strPath, bool bNonBlocking) {
    m_strPath = strPath;
    m_nError = 0;
    m_nFd = os::Open(strPath, O_RDONLY | os::kCloexec | (bNonBlocking ? os::kNonBlocking : 0));
    return m_nFd >= 0;
}

bool CZipSourceFile::ReadStatus(SZipFileStatus& status) const {
    os::Stat st{};
    if (os::FileStat(m_nFd, st) != 0)
        return false;
    StatusFrom(st, os::DosAttributes(m_nFd, st), status);
    return true;
}

size_t CZipSourceFile::Read(void* pBuffer, size_t nCount) {
    size_t nDone = 0;
    auto* p = static_cast<uint8_t*>(pBuffer);
    while (nDone < nCount && m_nError == 0) {
        const long n = os::Read(m_nFd, p + nDone, nCount - nDone);
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
        os::Close(m_nFd);
}

int CZipTargetFile::CreateNew(const std::string& strPath) {
    m_strPath = strPath;
    m_bCut = false;
    m_nWritten = 0;
    m_nFd = os::Open(strPath, O_WRONLY | O_CREAT | O_EXCL | os::kNoFollow | os::kCloexec, 0600);
    return m_nFd >= 0 ? 0 : errno;
}

void CZipTargetFile::OpenExisting(const std::string& strPath) {
    m_strPath = strPath;
    m_bCut = true;
    m_nWritten = 0;
    os::Stat st{};
    if (os::LinkStat(strPath, st) == 0 && !S_ISDIR(st.st_mode) &&
        (!S_ISREG(st.st_mode) || st.st_nlink > 1))
        os::Unlink(strPath);
    // A read-only (hidden, system) file on Windows is opened up first.
    MakeFileReplaceable(strPath);
    m_nFd = os::Open(strPath, O_WRONLY | O_CREAT | os::kNoFollow | os::kCloexec, 0600);
    if (m_nFd < 0)
        throw CFileException(errno, strPath);
}

void CZipTargetFile::Write(const void* pData, size_t nCount) {
    WriteFully(m_nFd, pData, nCount, m_strPath);
    m_nWritten += nCount;
}

int CZipTargetFile::SetTimeAndMode(int64_t tModified, uint32_t uPermissions) {
    if (os::FileTimes(m_nFd, tModified) != 0)
        return 0;
#ifdef _WIN32
    // Windows keeps only the read-only flag of the mode, and sets it by the path.
    if (os::PathMode(m_strPath, uPermissions) != 0)
        return -1;
#else
    if (fchmod(m_nFd, static_cast<mode_t>(uPermissions)) != 0)
        return -1;
#endif
    return 1;
}

int SetPathTimeAndMode(const std::string& strPath, int64_t tModified, uint32_t uPermissions) {
    if (os::PathTimes(strPath, tModified) != 0)
        return 0;
    if (os::PathMode(strPath, uPermissions) != 0)
        return -1;
    return 1;
}

bool SetPathMode(const std::string& strPath, uint32_t uPermissions) {
    return os::PathMode(strPath, uPermissions) == 0;
}

int RenameOver(const std::string& strFrom, const std::string& strTo) {
    return os::Rename(strFrom, strTo) == 0 ? 0 : errno;
}

bool RemoveFile(const std::string& strPath) {
    if (os::Unlink(strPath) == 0 || errno == ENOENT)
        return true;
    MakeFileReplaceable(strPath);
    return os::Unlink(strPath) == 0 || errno == ENOENT;
}

bool RemoveEmptyFolder(const std::string& strPath) {
    return os::RemoveFolder(strPath) == 0;
}

void CZipTargetFile::Cut() {
    if (!m_bCut)
        return;
    m_bCut = false;
    if (os::Truncate(m_nFd, static_cast<int64_t>(m_nWritten)) != 0)
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
    if (os::Close(nFd) != 0)
        throw CFileException(errno, m_strPath);
    if (nCutError != 0)
        throw CFileException(nCutError, m_strPath);
}

CZipBigFile::~CZipBigFile() {
    if (m_nFd >= 0)
        os::Close(m_nFd);
}

void CZipBigFile::Open(const std::string& strPath, OpenMode mode) {
    Close();
    int nFlags = os::kCloexec | (mode == kReadOnly ? O_RDONLY : (O_RDWR | O_CREAT | O_TRUNC));
    int nFd = os::Open(strPath, nFlags, 0644);
    if (nFd < 0)
        throw CFileException(errno, strPath);
    os::Stat st{};
    if (os::FileStat(nFd, st) != 0 || S_ISDIR(st.st_mode)) {
        int nError = S_ISDIR(st.st_mode) ? EISDIR : errno;
        os::Close(nFd);
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
    if (os::Close(nFd) != 0)
        throw CFileException(errno, m_strPath);
}

size_t ReadFully(int nFd, void* pBuffer, size_t nCount, const std::string& strPath) {
    size_t nDone = 0;
    auto* p = static_cast<uint8_t*>(pBuffer);
    while (nDone < nCount) {
        const long n = os::Read(nFd, p + nDone, nCount - nDone);
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
        const long n = os::Write(nFd, p, nCount);
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
        const long n =
            os::ReadAt(m_nFd, p + nDone, nCount - nDone, nOffset + static_cast<int64_t>(nDone));
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
        const long n = os::WriteAt(m_nFd, p, nCount, nOffset);
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
    const int64_t nPos = os::Seek(m_nFd, nOffset, nWhence);
    if (nPos < 0)
        throw CFileException(errno, m_strPath);
    return nPos;
}

int64_t CZipBigFile::GetPosition() const {
    const int64_t nPos = os::Seek(m_nFd, 0, SEEK_CUR);
    if (nPos < 0)
        throw CFileException(errno, m_strPath);
    return nPos;
}

int64_t CZipBigFile::GetLength() const {
    os::Stat st{};
    if (os::FileStat(m_nFd, st) != 0)
        throw CFileException(errno, m_strPath);
    return st.st_size;
}

void CZipBigFile::SetLength(int64_t nLength) {
    if (os::Truncate(m_nFd, nLength) != 0)
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

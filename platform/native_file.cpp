#include "platform/native_file.h"

#include <algorithm>
#include <cerrno>

#include "platform/diag_log.h"
#include "platform/native_text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

CNativeFile::~CNativeFile() {
    Close();
}

bool CNativeFile::IsOpen() const {
    return m_nHandle != -1;
}

#ifdef _WIN32

namespace {

HANDLE AsHandle(std::intptr_t n) {
    return reinterpret_cast<HANDLE>(n);
}

// One call moves at most this much (the calls count in DWORD).
constexpr size_t kMaxPiece = 1u << 30;

}  // namespace

bool CNativeFile::Open(const std::string& strPath, EMode eMode) {
    if (IsOpen())
        return false;
    const bool bRead = eMode == EMode::Read;
    const bool bAppend = eMode == EMode::Append;
    // Others may read (and, for a file being read, replace) it meanwhile, as POSIX allows.
    HANDLE h = CreateFileW(
        WideFromUtf8(strPath).c_str(), bRead ? GENERIC_READ : GENERIC_WRITE,
        bRead ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ, nullptr,
        bRead || bAppend ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Fail();
    // Appending is done by one writer at a time (the game folder's lock): its end is found once.
    LARGE_INTEGER zero{};
    if (bAppend && !SetFilePointerEx(h, zero, nullptr, FILE_END)) {
        Fail();
        CloseHandle(h);
        return false;
    }
    m_nHandle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

int64_t CNativeFile::Read(void* pBuffer, size_t nCount) {
    DWORD nRead = 0;
    if (!ReadFile(AsHandle(m_nHandle), pBuffer, static_cast<DWORD>(std::min(nCount, kMaxPiece)),
                  &nRead, nullptr)) {
        Fail();
        return -1;
    }
    return nRead;
}

bool CNativeFile::Write(const void* pData, size_t nCount) {
    const char* p = static_cast<const char*>(pData);
    while (nCount > 0) {
        DWORD nWritten = 0;
        if (!WriteFile(AsHandle(m_nHandle), p, static_cast<DWORD>(std::min(nCount, kMaxPiece)),
                       &nWritten, nullptr) ||
            nWritten == 0)
            return Fail();
        p += nWritten;
        nCount -= nWritten;
    }
    return true;
}

bool CNativeFile::Sync() {
    return FlushFileBuffers(AsHandle(m_nHandle)) != 0 || Fail();
}

bool CNativeFile::Close() {
    if (!IsOpen())
        return true;
    const bool bOk = CloseHandle(AsHandle(m_nHandle)) != 0 || Fail();
    m_nHandle = -1;
    return bOk;
}

bool CNativeFile::Fail() {
    m_nError = static_cast<int>(GetLastError());
    return false;
}

std::string SystemErrorText(int nError) {
    wchar_t* pText = nullptr;
    const DWORD nUnits = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(nError), 0, reinterpret_cast<wchar_t*>(&pText), 0, nullptr);
    std::string strText = nUnits > 0 ? Utf8FromWide(std::wstring_view(pText, nUnits))
                                     : "Windows error " + std::to_string(nError);
    if (pText != nullptr)
        LocalFree(pText);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r'))
        strText.pop_back();
    return strText;
}

namespace {

bool FlushByName(const std::wstring& wstrPath) {
    HANDLE h = CreateFileW(wstrPath.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool bOk = FlushFileBuffers(h) != 0;
    const DWORD nError = GetLastError();
    CloseHandle(h);
    SetLastError(nError);
    return bOk;
}

}  // namespace

bool SyncFile(const std::string& strPath, std::string* pError) {
    const std::wstring wstrPath = WideFromUtf8(strPath);
    bool bOk = FlushByName(wstrPath);
    // Only a handle with write access can be flushed, and a read-only file gives none: its
    // flag is lifted for the moment.
    const DWORD nAttributes = GetFileAttributesW(wstrPath.c_str());
    if (!bOk && nAttributes != INVALID_FILE_ATTRIBUTES &&
        (nAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesW(wstrPath.c_str(), nAttributes & ~FILE_ATTRIBUTE_READONLY)) {
        bOk = FlushByName(wstrPath);
        const DWORD nError = GetLastError();
        SetFileAttributesW(wstrPath.c_str(), nAttributes);
        SetLastError(nError);
    }
    if (!bOk && pError != nullptr)
        *pError = SystemErrorText(static_cast<int>(GetLastError()));
    return bOk;
}

bool SyncFolder(const std::string& strPath, std::string* pError) {
    // NTFS writes a folder's entries through its own journal; a folder handle opened for
    // backup semantics can still be flushed, and a file system that refuses is not an error.
    HANDLE h = CreateFileW(WideFromUtf8(strPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD nError = GetLastError();
        if (pError != nullptr)
            *pError = SystemErrorText(static_cast<int>(nError));
        return nError == ERROR_ACCESS_DENIED;
    }
    FlushFileBuffers(h);
    CloseHandle(h);
    return true;
}

std::string CNativeFile::ErrorText() const {
    return SystemErrorText(m_nError);
}

bool SyncFileSystem(const std::string&, std::string* pError) {
    // Flushing a whole volume needs administrator rights on Windows.
    if (pError != nullptr)
        *pError = "not available on this system";
    return false;
}

#else

bool CNativeFile::Open(const std::string& strPath, EMode eMode) {
    if (IsOpen())
        return false;
    int nFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    if (eMode == EMode::Read)
        nFlags = O_RDONLY | O_CLOEXEC;
    else if (eMode == EMode::Append)
        nFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
    const int nFd = ::open(strPath.c_str(), nFlags, 0664);
    if (nFd < 0)
        return Fail();
    m_nHandle = nFd;
    return true;
}

int64_t CNativeFile::Read(void* pBuffer, size_t nCount) {
    while (true) {
        const ssize_t n = ::read(static_cast<int>(m_nHandle), pBuffer, nCount);
        if (n >= 0)
            return n;
        if (errno != EINTR) {
            Fail();
            return -1;
        }
    }
}

bool CNativeFile::Write(const void* pData, size_t nCount) {
    const char* p = static_cast<const char*>(pData);
    while (nCount > 0) {
        const ssize_t n = ::write(static_cast<int>(m_nHandle), p, nCount);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail();
        p += n;
        nCount -= static_cast<size_t>(n);
    }
    return true;
}

bool CNativeFile::Sync() {
    return ::fsync(static_cast<int>(m_nHandle)) == 0 || Fail();
}

bool CNativeFile::Close() {
    if (!IsOpen())
        return true;
    const bool bOk = ::close(static_cast<int>(m_nHandle)) == 0 || Fail();
    m_nHandle = -1;
    return bOk;
}

bool CNativeFile::Fail() {
    m_nError = errno;
    return false;
}

std::string CNativeFile::ErrorText() const {
    return ErrnoText(m_nError);
}

std::string SystemErrorText(int nError) {
    return ErrnoText(nError);
}

namespace {

bool SyncOpened(const std::string& strPath, int nFlags, std::string* pError) {
    const int nFd = ::open(strPath.c_str(), nFlags | O_CLOEXEC);
    bool bOk = nFd >= 0;
    while (bOk && ::fsync(nFd) != 0) {
        if (errno != EINTR)
            bOk = false;
    }
    if (!bOk && pError != nullptr)
        *pError = ErrnoText(errno);
    if (nFd >= 0)
        ::close(nFd);
    return bOk;
}

}  // namespace

bool SyncFile(const std::string& strPath, std::string* pError) {
    // A file can be flushed through a descriptor opened for reading only.
    return SyncOpened(strPath, O_RDONLY | O_NOFOLLOW, pError);
}

bool SyncFolder(const std::string& strPath, std::string* pError) {
    return SyncOpened(strPath, O_RDONLY | O_DIRECTORY, pError);
}

bool SyncFileSystem(const std::string& strPath, std::string* pError) {
#ifdef __linux__
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    // Since Linux 5.8 syncfs reports a write-back error of the file system as well.
    const bool bOk = nFd >= 0 && ::syncfs(nFd) == 0;
    if (!bOk && pError != nullptr)
        *pError = ErrnoText(errno);
    if (nFd >= 0)
        ::close(nFd);
    return bOk;
#else
    static_cast<void>(strPath);
    if (pError != nullptr)
        *pError = "not available on this system";
    return false;
#endif
}

#endif

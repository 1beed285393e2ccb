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
    // Others may read (and, for a file being read, replace) it meanwhile, as POSIX allows.
    HANDLE h = CreateFileW(
        WideFromUtf8(strPath).c_str(), bRead ? GENERIC_READ : GENERIC_WRITE,
        bRead ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ, nullptr,
        bRead ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Fail();
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

std::string CNativeFile::ErrorText() const {
    wchar_t* pText = nullptr;
    const DWORD nUnits = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(m_nError), 0, reinterpret_cast<wchar_t*>(&pText), 0, nullptr);
    std::string strText = nUnits > 0 ? Utf8FromWide(std::wstring_view(pText, nUnits))
                                     : "Windows error " + std::to_string(m_nError);
    if (pText != nullptr)
        LocalFree(pText);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r'))
        strText.pop_back();
    return strText;
}

#else

bool CNativeFile::Open(const std::string& strPath, EMode eMode) {
    if (IsOpen())
        return false;
    const int nFd = eMode == EMode::Read
                        ? ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC)
                        : ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
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

#endif

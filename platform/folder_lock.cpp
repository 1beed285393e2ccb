#include "platform/folder_lock.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/native_file.h"
#include "platform/native_text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

CFolderLock::~CFolderLock() {
    Unlock();
}

CFolderLock::CFolderLock(CFolderLock&& other) noexcept
    : m_nHandle(std::exchange(other.m_nHandle, -1)), m_strError(std::move(other.m_strError)) {}

CFolderLock& CFolderLock::operator=(CFolderLock&& other) noexcept {
    if (this != &other) {
        Unlock();
        m_nHandle = std::exchange(other.m_nHandle, -1);
        m_strError = std::move(other.m_strError);
    }
    return *this;
}

#ifdef _WIN32

CFolderLock::EResult CFolderLock::TryLock(const std::string& strPath) {
    Unlock();
    m_strError.clear();
    HANDLE h = CreateFileW(WideFromUtf8(strPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_strError = SystemErrorText(static_cast<int>(GetLastError()));
        return EResult::Failed;
    }
    OVERLAPPED overlapped{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped)) {
        const DWORD nError = GetLastError();
        CloseHandle(h);
        if (nError == ERROR_LOCK_VIOLATION || nError == ERROR_IO_PENDING)
            return EResult::Held;
        m_strError = SystemErrorText(static_cast<int>(nError));
        return EResult::Failed;
    }
    m_nHandle = reinterpret_cast<std::intptr_t>(h);
    return EResult::Taken;
}

void CFolderLock::Unlock() {
    if (m_nHandle == -1)
        return;
    HANDLE h = reinterpret_cast<HANDLE>(m_nHandle);
    OVERLAPPED overlapped{};
    UnlockFileEx(h, 0, 1, 0, &overlapped);
    CloseHandle(h);
    m_nHandle = -1;
}

#else

CFolderLock::EResult CFolderLock::TryLock(const std::string& strPath) {
    Unlock();
    m_strError.clear();
    const int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_strError = std::strerror(errno);
        return EResult::Failed;
    }
    // flock belongs to the open file: a second open of the same file, in this process or
    // another, is refused while this one holds it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int nError = errno;
        close(fd);
        if (nError == EWOULDBLOCK)
            return EResult::Held;
        m_strError = std::strerror(nError);
        return EResult::Failed;
    }
    m_nHandle = fd;
    return EResult::Taken;
}

void CFolderLock::Unlock() {
    if (m_nHandle == -1)
        return;
    close(static_cast<int>(m_nHandle));  // drops the lock
    m_nHandle = -1;
}

#endif

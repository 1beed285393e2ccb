// An exclusive lock on one file, held by this process until the object goes: two programs
// (two windows of ZAV on one game folder) never change the same folder at once. flock on
// POSIX, LockFileEx on Windows; the system drops the lock when the process ends, so a crash
// never leaves it held. Two objects of one process on the same file also exclude each other.
#pragma once

#include <cstdint>
#include <string>

class CFolderLock {
public:
    enum class EResult {
        Taken,
        Held,    // another object or process holds it
        Failed,  // the lock file cannot be opened or locked (ErrorText says why)
    };

    CFolderLock() = default;
    ~CFolderLock();
    CFolderLock(CFolderLock&& other) noexcept;
    CFolderLock& operator=(CFolderLock&& other) noexcept;
    CFolderLock(const CFolderLock&) = delete;
    CFolderLock& operator=(const CFolderLock&) = delete;

    // Opens strPath (created when missing; its folder must exist) and locks it without waiting.
    EResult TryLock(const std::string& strPath);
    bool IsHeld() const { return m_nHandle != -1; }
    // Releases the lock (the file stays, so that the next holder locks the same file).
    void Unlock();
    const std::string& ErrorText() const { return m_strError; }

private:
    std::intptr_t m_nHandle = -1;  // the descriptor, or the Windows handle
    std::string m_strError;
};

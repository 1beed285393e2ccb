// A file opened through the system's own calls by its UTF-8 path (UTF-16 on Windows): read
// from its start, or made new and written. Closed when the object goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CNativeFile {
public:
    enum class EMode {
        Read,       // an existing file, from its start
        CreateNew,  // a new file for writing; fails when anything is at the path (a link too)
        Append,     // an existing file, written at its end
    };

    CNativeFile() = default;
    ~CNativeFile();
    CNativeFile(const CNativeFile&) = delete;
    CNativeFile& operator=(const CNativeFile&) = delete;

    // False when it cannot be opened (or another file is still open).
    bool Open(const std::string& strPath, EMode eMode);
    bool IsOpen() const;
    // Up to nCount bytes: how many were read, 0 at the end, -1 on an error.
    int64_t Read(void* pBuffer, size_t nCount);
    // All nCount bytes; false on an error.
    bool Write(const void* pData, size_t nCount);
    // Puts what was written on the disk; false on an error.
    bool Sync();
    // False when closing reported an error (a file not open closes without one).
    bool Close();
    // The system's text of the last failure ("No space left on device").
    std::string ErrorText() const;

private:
    // Keeps the system's error of the call that just failed; false.
    bool Fail();

    std::intptr_t m_nHandle = -1;  // the descriptor, or the Windows handle
    int m_nError = 0;              // errno, or the Windows error code
};

// The system's text of an error number: errno on POSIX, GetLastError's code on Windows.
std::string SystemErrorText(int nError);

// Puts the data of the file at strPath on the disk (fsync; FlushFileBuffers on Windows), so
// that a copy survives a power cut before its source goes. False, with the cause in *pError
// when given, on failure.
bool SyncFile(const std::string& strPath, std::string* pError = nullptr);
// The same for a folder's entries (what a rename or a new file changed in it).
bool SyncFolder(const std::string& strPath, std::string* pError = nullptr);
// Puts everything written to the file system that holds strPath on the disk, files and
// folders alike, in one call (syncfs on Linux): far cheaper than flushing tens of thousands of
// copied files one by one. False, with the cause in *pError, when it failed or the system has
// no such call (CanSyncFileSystem): then each file and folder is flushed on its own.
bool SyncFileSystem(const std::string& strPath, std::string* pError = nullptr);
#ifdef __linux__
inline constexpr bool kCanSyncFileSystem = true;
#else
inline constexpr bool kCanSyncFileSystem = false;
#endif

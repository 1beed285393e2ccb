// File access of the archive layer: the archive's binary file and its write buffer, the source
// files read when packing and the target files written when extracting. Every call into the
// operating system's file interface is made here (and in zip_names.cpp for folders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Reads up to nCount bytes from a descriptor, retrying short reads and interruptions; fewer
// only at the end of the file. Throws CFileException (errno, strPath) on an error.
size_t ReadFully(int nFd, void* pBuffer, size_t nCount, const std::string& strPath);
// Writes all nCount bytes, retrying short writes and interruptions. Throws CFileException.
void WriteFully(int nFd, const void* pBuffer, size_t nCount, const std::string& strPath);

// A byte buffer for whole files and their compressed data: Capacity() bytes, of which Size()
// are in use. From 1 MiB on the memory is mapped straight from the system and unmapped when
// the buffer goes, so it is given back at once (the C library would keep it in the heap of the
// thread that freed it) and pages never written take no memory. Movable, not copyable.
class CZipBuffer {
public:
    static constexpr size_t kMapFrom = size_t{1} << 20;

    CZipBuffer() = default;
    // Throws std::bad_alloc.
    explicit CZipBuffer(size_t nCapacity);
    ~CZipBuffer() { Release(); }
    CZipBuffer(CZipBuffer&& other) noexcept { Take(other); }
    CZipBuffer& operator=(CZipBuffer&& other) noexcept {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }
    CZipBuffer(const CZipBuffer&) = delete;
    CZipBuffer& operator=(const CZipBuffer&) = delete;

    uint8_t* Data() { return m_pData; }
    const uint8_t* Data() const { return m_pData; }
    size_t Size() const { return m_nSize; }
    size_t Capacity() const { return m_nCapacity; }
    // nSize is at most Capacity().
    void SetSize(size_t nSize) { m_nSize = nSize; }
    // At least nCapacity bytes (the contents are not kept when it grows); Size() becomes 0.
    void Reserve(size_t nCapacity);

private:
    void Release() noexcept;
    void Take(CZipBuffer& other) noexcept;

    uint8_t* m_pData = nullptr;
    size_t m_nCapacity = 0;
    size_t m_nSize = 0;
};

// What packing needs to know of a source file.
struct SZipFileStatus {
    bool bRegular = false;
    uint64_t nSize = 0;
    int64_t tModified = 0;        // POSIX time
    uint32_t uMode = 0;           // type and permission bits (st_mode)
    uint32_t uDosAttributes = 0;  // the attribute word (the file's own on Windows)
};

// The status of the file at strPath, links followed. False when it cannot be read.
bool ReadFileStatus(const std::string& strPath, SZipFileStatus& status);

// Sets the modification time (the access time becomes now) of the file at strPath, not
// following a link, then its permission bits. 1, 0 or -1 as CZipTargetFile::SetTimeAndMode.
int SetPathTimeAndMode(const std::string& strPath, int64_t tModified, uint32_t uPermissions);
// Sets the permission bits of strPath. False when they cannot be set.
bool SetPathMode(const std::string& strPath, uint32_t uPermissions);

// Renames the file strFrom to strTo, replacing in one step a file or link there (a read-only
// one too). 0 on success, otherwise the errno.
int RenameOver(const std::string& strFrom, const std::string& strTo);
// Removes the file or link at strPath (a read-only one too). True when nothing is left there.
bool RemoveFile(const std::string& strPath);
// Removes the folder at strPath if it is empty; false otherwise.
bool RemoveEmptyFolder(const std::string& strPath);

// A source file opened for reading; closed on every path out.
class CZipSourceFile {
public:
    CZipSourceFile() = default;
    ~CZipSourceFile();
    CZipSourceFile(const CZipSourceFile&) = delete;
    CZipSourceFile& operator=(const CZipSourceFile&) = delete;

    // Opens strPath for reading; with bNonBlocking opening a pipe cannot hang. False (errno
    // kept) when it cannot be opened.
    bool Open(const std::string& strPath, bool bNonBlocking);
    bool IsOpen() const { return m_nFd >= 0; }
    // The status of the open file. False when it cannot be read.
    bool ReadStatus(SZipFileStatus& status) const;
    // Reads up to nCount bytes, retrying short reads; fewer only at the end of the file or when
    // a read fails. After a failure every further call returns 0 and GetError() is its errno.
    size_t Read(void* pBuffer, size_t nCount);
    int GetError() const { return m_nError; }
    const std::string& GetPath() const { return m_strPath; }

private:
    int m_nFd = -1;
    int m_nError = 0;
    std::string m_strPath;
};

// A file being extracted: opened for writing, written, given its time and permissions through
// the descriptor, closed. Destruction closes it if it is still open.
class CZipTargetFile {
public:
    CZipTargetFile() = default;
    ~CZipTargetFile();
    CZipTargetFile(const CZipTargetFile&) = delete;
    CZipTargetFile& operator=(const CZipTargetFile&) = delete;

    // Creates strPath as a new, empty regular file (nothing may be there, not even a link).
    // 0 on success, otherwise the errno: EEXIST when something is at the path, ENOENT when a
    // folder on the way is missing.
    int CreateNew(const std::string& strPath);
    // Opens what is at strPath for overwriting. Whatever is not a plain regular file (a link,
    // a pipe, a device, a file with other hard links) is removed first, so the data can never
    // land outside the target path. An existing file is overwritten in place and cut to length
    // by Close: restoring a tree over itself then reuses the files' blocks instead of freeing
    // and allocating them again. Throws CFileException.
    void OpenExisting(const std::string& strPath);
    // Throws CFileException.
    void Write(const void* pData, size_t nCount);
    // Cuts an overwritten file to what was written (once). Throws CFileException.
    void Cut();
    // Sets the modification time (the access time becomes now), then the permission bits; after
    // Cut, which would change the time again. 1 when both were set, 0 when the time could not
    // be set, -1 when the permissions could not.
    int SetTimeAndMode(int64_t tModified, uint32_t uPermissions);
    // Cuts an overwritten file to length unless that was done, and closes it. Throws
    // CFileException.
    void Close();

private:
    int m_nFd = -1;
    bool m_bCut = false;  // an existing file still to be cut to length
    uint64_t m_nWritten = 0;
    std::string m_strPath;
};

// The archive's binary file: a POSIX descriptor with the file's path. Every failure throws
// CFileException (errno and path). Destruction closes the file if it is open.
class CZipBigFile {
public:
    enum OpenMode { kReadOnly, kCreateReadWrite };

    CZipBigFile() = default;
    ~CZipBigFile();
    CZipBigFile(const CZipBigFile&) = delete;
    CZipBigFile& operator=(const CZipBigFile&) = delete;

    // Opens (kReadOnly) or creates / truncates (kCreateReadWrite) the file at strPath.
    // A folder is refused with EISDIR.
    void Open(const std::string& strPath, OpenMode mode);
    void Close();
    bool IsOpen() const { return m_nFd >= 0; }

    // Reads up to nCount bytes; returns how many were read (fewer only at the end of file).
    size_t Read(void* pBuffer, size_t nCount);
    void Write(const void* pBuffer, size_t nCount);
    // Reads up to nCount bytes at nOffset without moving the file position; fewer only at the
    // end of the file.
    size_t ReadAt(int64_t nOffset, void* pBuffer, size_t nCount) const;
    // Writes nCount bytes at nOffset without moving the file position.
    void WriteAt(int64_t nOffset, const void* pBuffer, size_t nCount);
    enum SeekFrom { kBegin = 0, kCurrent = 1, kEnd = 2 };
    int64_t Seek(int64_t nOffset, SeekFrom from);
    int64_t GetPosition() const;
    int64_t GetLength() const;
    void SetLength(int64_t nLength);

    const std::string& GetFilePath() const { return m_strPath; }

private:
    int m_nFd = -1;
    std::string m_strPath;
};

// The archive file seen by the archive object: writes gather in a 65535-byte buffer, reads go
// straight to the file. The file position is kept here, so asking for it costs no call into
// the system. m_iCurrentDisk is -1 while no archive is open, 0 while one is.
class CZipBufferedFile {
public:
    static constexpr size_t kWriteBufferSize = 65535;

    // Opens the archive file and allocates the write buffer; current disk becomes 0.
    void Open(const std::string& strPath, CZipBigFile::OpenMode mode);
    // Flushes the write buffer, closes the file, releases the buffer; current disk -1.
    void Close();
    // Closes without flushing (destruction of an unfinished archive).
    void Abandon();

    void Write(const void* pBuffer, size_t nCount);
    void Flush();
    // Replaces nCount bytes already written at nOffset (in the buffer or in the file) without
    // moving the position.
    void Patch(int64_t nOffset, const void* pData, size_t nCount);
    // Reads exactly nCount bytes; fewer throws CZipException BadArchive.
    void Read(void* pBuffer, size_t nCount);
    // Reads up to nCount bytes and returns how many were read.
    size_t ReadSome(void* pBuffer, size_t nCount);
    // Reads exactly nCount bytes at nOffset without moving the position (nothing may wait in
    // the write buffer); fewer throws CZipException BadArchive.
    void ReadAt(int64_t nOffset, void* pBuffer, size_t nCount) const;
    // The same, up to nCount bytes: returns how many were read.
    size_t ReadSomeAt(int64_t nOffset, void* pBuffer, size_t nCount) const {
        return m_file.ReadAt(nOffset, pBuffer, nCount);
    }

    int64_t GetPosition() const { return m_nFilePos + static_cast<int64_t>(m_nFill); }
    // Writes what waits in the buffer, then moves the position.
    int64_t Seek(int64_t nOffset, CZipBigFile::SeekFrom from);
    int64_t GetLength() const { return m_file.GetLength(); }
    void SetLength(int64_t nLength) { m_file.SetLength(nLength); }

    bool IsOpen() const { return m_iCurrentDisk != -1; }
    const std::string& GetFilePath() const { return m_file.GetFilePath(); }

    int m_iCurrentDisk = -1;

private:
    CZipBigFile m_file;
    std::unique_ptr<uint8_t[]> m_pBuffer;
    size_t m_nFill = 0;
    int64_t m_nFilePos = 0;  // position of the file itself, before the buffered bytes
};

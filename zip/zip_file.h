// File access of the archive layer: the archive's binary file and its write buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The archive's binary file: a POSIX descriptor with the file's path. Every failure throws
// CFileException (errno and path). Destruction closes the file if it is open.
// Reads up to nCount bytes from a descriptor, retrying short reads and interruptions; fewer
// only at the end of the file. Throws CFileException (errno, strPath) on an error.
size_t ReadFully(int nFd, void* pBuffer, size_t nCount, const std::string& strPath);
// Writes all nCount bytes, retrying short writes and interruptions. Throws CFileException.
void WriteFully(int nFd, const void* pBuffer, size_t nCount, const std::string& strPath);

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
// straight to the file. m_iCurrentDisk is -1 while no archive is open, 0 while one is.
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
    // Reads exactly nCount bytes; fewer throws CZipException BadArchive.
    void Read(void* pBuffer, size_t nCount);
    // Reads up to nCount bytes and returns how many were read.
    size_t ReadSome(void* pBuffer, size_t nCount) { return m_file.Read(pBuffer, nCount); }

    int64_t GetPosition() const { return m_file.GetPosition() + static_cast<int64_t>(m_nFill); }
    int64_t Seek(int64_t nOffset, CZipBigFile::SeekFrom from) { return m_file.Seek(nOffset, from); }
    int64_t GetLength() const { return m_file.GetLength(); }
    void SetLength(int64_t nLength) { m_file.SetLength(nLength); }

    bool IsOpen() const { return m_iCurrentDisk != -1; }
    const std::string& GetFilePath() const { return m_file.GetFilePath(); }

    int m_iCurrentDisk = -1;

private:
    CZipBigFile m_file;
    std::unique_ptr<uint8_t[]> m_pBuffer;
    size_t m_nFill = 0;
};

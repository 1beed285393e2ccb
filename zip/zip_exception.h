// Exceptions of the archive layer. They are thrown by value and caught by reference
// (catch (const CException& e)); what() gives a one-line description for logs and tools.
#pragma once

#include <exception>
#include <string>

// Base of every exception the archive layer throws (besides std::bad_alloc when memory runs
// out). Catch this to handle archive and file failures together.
class CException : public std::exception {
public:
    ~CException() override = default;
};

// Structural, compression and checksum failures of an archive.
class CZipException : public CException {
public:
    enum ZipCause {
        Generic = 1,             // any other internal code
        StreamEnd = 2,           // zlib Z_STREAM_END where success was required
        NeedDictionary = 3,      // zlib Z_NEED_DICT (never raised in practice)
        SystemError = 4,         // zlib Z_ERRNO
        StreamError = 5,         // zlib Z_STREAM_ERROR
        DataError = 6,           // zlib Z_DATA_ERROR: corrupt deflate data
        OutOfMemory = 7,         // zlib Z_MEM_ERROR
        BufferError = 8,         // zlib Z_BUF_ERROR: deflate data ends before its stream does
        VersionError = 9,        // zlib Z_VERSION_ERROR
        BadArchive = 10,         // inconsistent or truncated structure, unknown method
        CrcMismatch = 11,        // CRC-32 of extracted data differs from the entry's
        NameTooLong = 16,        // name, extra field or comment of a new entry > 65535 bytes
        EndRecordNotFound = 18,  // no end record in the last 65557 bytes (or empty file)
    };

    CZipException(int iCause, std::string strArchivePath);

    const char* what() const noexcept override { return m_strWhat.c_str(); }

    int m_iCause;                  // one of ZipCause
    std::string m_strArchivePath;  // the open archive's path; empty when none is open

private:
    std::string m_strWhat;  // "CZipException cause N"
};

// A failure of the operating system on a file: the archive itself (create, open, read, write,
// seek), a source file being read, or a target file being created or written.
class CFileException : public CException {
public:
    CFileException(int nOsError, std::string strFileName);

    const char* what() const noexcept override { return m_strWhat.c_str(); }

    int m_nOsError;             // errno of the failed call
    std::string m_strFileName;  // path of the file concerned (UTF-8)

private:
    std::string m_strWhat;  // "<path>: <reason>"
};

// Internal failure codes besides zlib's own results (which are passed unchanged).
enum ZipInternalCode {
    kZipGenericError = -100,
    kZipBadArchive = -101,
    kZipCrcError = -102,
    kZipTooLongData = -103,
    kZipEndRecordNotFound = -104,
};

// Maps an internal failure code (a zlib result or a ZipInternalCode) to its cause and throws
// the CZipException. strArchivePath is the open archive's path, or empty.
[[noreturn]] void ZipException(int iCode, const std::string& strArchivePath);

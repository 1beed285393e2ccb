#include "zip/zip_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "zip/zip_exception.h"

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
}

void CZipBufferedFile::Read(void* pBuffer, size_t nCount) {
    if (m_file.Read(pBuffer, nCount) != nCount)
        ZipException(kZipBadArchive, m_file.GetFilePath());
}

// The reading side of CZipArchiver: entries opened for reading, extraction, verification.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_archiver.h"
#include "zip/zip_archiver_impl.h"
#include "zip/zip_bytes.h"

namespace {

// A target file being written; closed on every path out.
class CTargetFile {
public:
    CTargetFile() = default;
    ~CTargetFile() {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    CTargetFile(const CTargetFile&) = delete;
    CTargetFile& operator=(const CTargetFile&) = delete;

    // Creates a regular file or opens the existing one. Whatever else sits at the path (a
    // link, a pipe, a device, a file with other hard links) is removed first, so the data can
    // never land outside the target path. An existing file is overwritten in place and cut to
    // length by Close: restoring a tree over itself then reuses the files' blocks instead of
    // freeing and allocating them again.
    void Create(const std::string& strPath) {
        m_strPath = strPath;
        struct stat st {};
        if (lstat(strPath.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
            (!S_ISREG(st.st_mode) || st.st_nlink > 1))
            ::unlink(strPath.c_str());
        m_nFd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_nFd < 0)
            throw CFileException(errno, strPath);
    }
    void Write(const uint8_t* p, size_t nCount) {
        WriteFully(m_nFd, p, nCount, m_strPath);
        m_nWritten += static_cast<off_t>(nCount);
    }
    void Close() {
        int nFd = m_nFd;
        m_nFd = -1;
        const bool bCut = ftruncate(nFd, m_nWritten) == 0;
        const int nCutError = errno;
        if (::close(nFd) != 0)
            throw CFileException(errno, m_strPath);
        if (!bCut)
            throw CFileException(nCutError, m_strPath);
    }

private:
    int m_nFd = -1;
    off_t m_nWritten = 0;
    std::string m_strPath;
};

std::string ParentFolder(const std::string& strPath) {
    size_t nSlash = strPath.find_last_of('/');
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
}

// A file entry needs a last part that names a file (not empty, "." or "..").
bool HasFileName(const std::string& strStored) {
    const std::string strLast = strStored.substr(strStored.find_last_of('/') + 1);
    return !strLast.empty() && strLast != "." && strLast != "..";
}

}  // namespace

bool CZipArchiver::OpenEntryForReading(uint16_t uIndex) {
    if (uIndex >= m_directory.Count() || m_entryState != kNone)
        return false;
    Impl& im = *m_pImpl;
    im.pTransfer = std::make_unique<uint8_t[]>(kTransferBufferSize);
    CZipEntryHeader& entry = *m_directory.m_entries[uIndex];
    m_directory.m_pCurrent = &entry;

    uint8_t local[CZipEntryHeader::kLocalFixedSize];
    m_file.Seek(static_cast<int64_t>(entry.m_uOffset) + m_directory.m_nBytesBeforeArchive,
                CZipBigFile::kBegin);
    m_file.Read(local, sizeof(local));
    const uint16_t uLocalNameSize = GetU16(local + 26);
    const uint16_t uLocalExtraSize = GetU16(local + 28);
    bool bOk = GetU32(local) == CZipEntryHeader::kLocalSignature &&
               GetU16(local + 6) == entry.m_uFlag && GetU16(local + 8) == entry.m_uMethod &&
               (entry.m_uMethod == 0 || entry.m_uMethod == 8) &&
               uLocalNameSize == entry.m_uStoredNameSize;
    if (bOk && (entry.m_uFlag & CZipEntryHeader::kFlagDataDescriptor) == 0) {
        bOk = GetU32(local + 14) == entry.m_uCrc32 && GetU32(local + 18) == entry.m_uComprSize &&
              GetU32(local + 22) == entry.m_uUncomprSize;
    }
    if (!bOk)
        Throw(kZipBadArchive);
    m_file.Seek(uLocalNameSize, CZipBigFile::kCurrent);
    m_directory.m_localExtra.Release();
    m_directory.m_localExtra.Allocate(uLocalExtraSize);
    if (uLocalExtraSize)
        m_file.Read(m_directory.m_localExtra.Data(), uLocalExtraSize);
    m_nDataStart = static_cast<int64_t>(entry.m_uOffset) + m_directory.m_nBytesBeforeArchive +
                   CZipEntryHeader::kLocalFixedSize + uLocalNameSize + uLocalExtraSize;

    if (entry.IsEncrypted()) {
        m_directory.m_localExtra.Release();
        m_directory.m_pCurrent = nullptr;
        ReleaseTransfer();
        return false;
    }
    im.PrepareStream();
    if (entry.m_uMethod == 8) {
        int iResult = inflateInit2(&im.stream, -MAX_WBITS);
        if (iResult != Z_OK && iResult != Z_NEED_DICT) {
            im.FreeBlocks();
            Throw(iResult);
        }
        im.bStreamActive = true;
    }
    im.nComprLeft = entry.m_uComprSize;
    im.nUncomprLeft = entry.m_uUncomprSize;
    im.uCrc = 0;
    im.stream.avail_in = 0;
    m_entryState = kExtracting;
    return true;
}

uint32_t CZipArchiver::ReadEntryData(void* pBuffer, uint32_t nSize) {
    if (m_entryState != kExtracting || pBuffer == nullptr || nSize == 0)
        return 0;
    Impl& im = *m_pImpl;
    const bool bDeflate = m_directory.m_pCurrent->m_uMethod == 8;
    auto* pOut = static_cast<uint8_t*>(pBuffer);
    uint32_t nWant = std::min(nSize, im.nUncomprLeft);
    // A deflated entry of declared size 0 still consumes its stream (an empty final block),
    // so that it ends cleanly. Stored data needs no such draining.
    const bool bDrain = bDeflate && nWant == 0 && im.nComprLeft > 0;
    uint32_t nCount = 0;
    while (nWant > 0 || (bDrain && im.nComprLeft > 0)) {
        if (im.stream.avail_in == 0 && im.nComprLeft > 0) {
            uint32_t nRead = std::min<uint32_t>(kTransferBufferSize, im.nComprLeft);
            m_file.Read(im.pTransfer.get(), nRead);
            im.nComprLeft -= nRead;
            im.stream.next_in = im.pTransfer.get();
            im.stream.avail_in = nRead;
        }
        if (bDeflate) {
            im.stream.next_out = pOut + nCount;
            im.stream.avail_out = nWant;
            int iResult = inflate(&im.stream, Z_SYNC_FLUSH);
            uint32_t nMade = nWant - im.stream.avail_out;
            im.uCrc = static_cast<uint32_t>(crc32(im.uCrc, pOut + nCount, nMade));
            im.nUncomprLeft -= nMade;
            nCount += nMade;
            nWant -= nMade;
            if (iResult == Z_STREAM_END)
                break;
            if (iResult != Z_OK && iResult != Z_NEED_DICT)
                Throw(iResult);
        } else {
            // Stored data ends when its compressed bytes are used up, whatever the declared
            // uncompressed size says.
            if (im.stream.avail_in == 0)
                break;
            uint32_t nCopy = std::min(nWant, im.stream.avail_in);
            std::memcpy(pOut + nCount, im.stream.next_in, nCopy);
            im.uCrc = static_cast<uint32_t>(crc32(im.uCrc, pOut + nCount, nCopy));
            im.stream.next_in += nCopy;
            im.stream.avail_in -= nCopy;
            im.nUncomprLeft -= nCopy;
            nCount += nCopy;
            nWant -= nCopy;
        }
    }
    return nCount;
}

int CZipArchiver::CloseEntryForReading() {
    if (m_entryState != kExtracting)
        return 0;
    return CloseEntryForReading(std::string());
}

int CZipArchiver::CloseEntryForReading(const std::string& strPath) {
    if (m_entryState != kExtracting)
        return 0;
    Impl& im = *m_pImpl;
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    int iResult = 1;
    if (im.nUncomprLeft > 0) {
        iResult = -1;
    } else if (im.uCrc != entry.m_uCrc32) {
        Throw(kZipCrcError);
    }
    if (entry.m_uMethod == 8 && im.bStreamActive) {
        inflateEnd(&im.stream);
        im.bStreamActive = false;
    }
    if (!strPath.empty()) {
        int iMeta = ApplyFileMetadata(strPath);
        if (iMeta == 0)
            return 0;
        if (iMeta < 0)
            iResult = -2;
    }
    CloseCurrentEntry();
    return iResult;
}

void CZipArchiver::CloseCurrentEntry() {
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    if (entry.m_uFlag & CZipEntryHeader::kFlagDataDescriptor) {
        // The descriptor follows the data, with or without its signature.
        m_file.Seek(m_nDataStart + entry.m_uComprSize, CZipBigFile::kBegin);
        uint8_t descriptor[16];
        m_file.Read(descriptor, 4);
        if (GetU32(descriptor) == CZipEntryHeader::kDescriptorSignature) {
            m_file.Read(descriptor + 4, 12);
        } else {
            m_file.Read(descriptor + 4, 8);
            std::memmove(descriptor + 4, descriptor, 12);
        }
        if (GetU32(descriptor + 4) != entry.m_uCrc32 ||
            GetU32(descriptor + 8) != entry.m_uComprSize ||
            GetU32(descriptor + 12) != entry.m_uUncomprSize)
            Throw(kZipBadArchive);
    }
    m_directory.m_localExtra.Release();
    m_directory.m_pCurrent = nullptr;
    m_entryState = kNone;
    ReleaseTransfer();
    m_pImpl->FreeBlocks();
}

int CZipArchiver::ApplyFileMetadata(const std::string& strPath) {
    const CZipEntryHeader& entry = *m_directory.m_pCurrent;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = static_cast<time_t>(entry.GetTime());
    times[1].tv_nsec = 0;
    if (utimensat(AT_FDCWD, strPath.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    mode_t perms = PermissionsFromExternalAttributes(entry.m_uExternalAttr,
                                                     entry.m_uVersionMadeBy >> 8, false);
    if (fchmodat(AT_FDCWD, strPath.c_str(), perms, 0) != 0)
        return -1;
    return 1;
}

bool CZipArchiver::ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bKeepPath,
                                uint32_t nChunkSize) {
    if (nChunkSize == 0 || uIndex >= m_directory.Count())
        return false;
    const CZipEntryHeader header = *m_directory.m_entries[uIndex];
    const std::string strName = header.GetFileName();
    // The name is judged before anything touches the file system.
    if (!IsSafeEntryName(strName, bKeepPath))
        return false;
    std::string strTarget = strFolder.empty() ? std::string(".") : strFolder;
    while (strTarget.size() > 1 && strTarget.back() == '/')
        strTarget.pop_back();
    if (strTarget != "/")
        strTarget += '/';
    const std::string strStored = StoredName(strName, bKeepPath);
    strTarget += strStored;

    if (header.IsDirectory()) {
        MakeFileReplaceable(strTarget);
        CreateFolderPath(strTarget);
        while (strTarget.size() > 1 && strTarget.back() == '/')
            strTarget.pop_back();
        chmod(strTarget.c_str(), PermissionsFromExternalAttributes(
                                     header.m_uExternalAttr, header.m_uVersionMadeBy >> 8, true));
        return true;
    }
    if (!HasFileName(strStored))
        return false;
    MakeFileReplaceable(strTarget);
    if (!OpenEntryForReading(uIndex))
        return false;
    CreateFolderPath(ParentFolder(strTarget));
    {
        CTargetFile target;
        target.Create(strTarget);
        std::vector<uint8_t> chunk(nChunkSize);
        uint32_t n;
        do {
            n = ReadEntryData(chunk.data(), nChunkSize);
            if (n > 0)
                target.Write(chunk.data(), n);
        } while (n == nChunkSize);
        target.Close();
    }
    return CloseEntryForReading(strTarget) == 1;
}

bool CZipArchiver::TestEntry(uint16_t uIndex) {
    if (uIndex >= m_directory.Count() || m_entryState != kNone)
        return false;
    const CZipEntryHeader& header = *m_directory.m_entries[uIndex];
    if (!IsSafeEntryName(header.GetFileName(), true))
        return false;
    if (!header.IsDirectory() && !HasFileName(StoredName(header.GetFileName(), true)))
        return false;
    if (!OpenEntryForReading(uIndex))
        return false;
    std::vector<uint8_t> chunk(kDefaultChunkSize);
    while (ReadEntryData(chunk.data(), kDefaultChunkSize) == kDefaultChunkSize) {
    }
    return CloseEntryForReading() == 1;
}

bool CZipArchiver::TestArchive(int* pFailedIndex) {
    for (int i = 0; i < EntryCount(); ++i) {
        if (!TestEntry(static_cast<uint16_t>(i))) {
            if (pFailedIndex)
                *pFailedIndex = i;
            return false;
        }
    }
    return true;
}

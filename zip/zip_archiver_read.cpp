// The reading side of CZipArchiver: entries opened for reading, extraction, verification.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_archiver.h"
#include "zip/zip_archiver_impl.h"
#include "zip/zip_bytes.h"

namespace {

// The read-ahead window over the archive: headers and small entries lie side by side, so one
// read brings many of them.
constexpr size_t kWindowSize = size_t{256} << 10;

// Opens the file at strTarget as OpenTarget does.
ZipTargetOpener TargetAt(const std::string& strTarget) {
    return [&strTarget](CZipTargetFile& target) { OpenTarget(target, strTarget); };
}

uint32_t FilePermissions(const CZipEntryHeader& entry) {
    return PermissionsFromExternalAttributes(entry.m_uExternalAttr, entry.m_uVersionMadeBy >> 8,
                                             false);
}

}  // namespace

std::string ParentFolder(const std::string& strPath) {
    size_t nSlash = strPath.find_last_of('/');
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
}

void OpenTarget(CZipTargetFile& target, const std::string& strPath) {
    int nError = target.CreateNew(strPath);
    if (nError == ENOENT) {
        CreateFolderPath(ParentFolder(strPath));
        nError = target.CreateNew(strPath);
    }
    if (nError == 0)
        return;
    if (nError != EEXIST)
        throw CFileException(nError, strPath);
    MakeFileReplaceable(strPath);
    target.OpenExisting(strPath);
}

std::string ExtractTarget(const std::string& strFolder, const std::string& strStored) {
    std::string strTarget = strFolder.empty() ? std::string(".") : strFolder;
    while (strTarget.size() > 1 && strTarget.back() == '/')
        strTarget.pop_back();
    if (strTarget != "/")
        strTarget += '/';
    return strTarget + strStored;
}

bool HasFileName(const std::string& strStored) {
    const std::string strLast = strStored.substr(strStored.find_last_of('/') + 1);
    return !strLast.empty() && strLast != "." && strLast != "..";
}

bool WriteExtractedFile(const CZipEntryHeader& entry, CZipTargetFile& target, const uint8_t* pData,
                        size_t nSize, int64_t tModified, const std::string& strArchive) {
    if (nSize > 0)
        target.Write(pData, nSize);
    if (ZipCrc32(0, pData, nSize) != entry.m_uCrc32) {
        target.Close();
        ZipException(kZipCrcError, strArchive);
    }
    target.Cut();
    const int iMeta = target.SetTimeAndMode(tModified, FilePermissions(entry));
    target.Close();
    return iMeta == 1;
}

bool InflateWholeEntry(CWholeInflater& inflater, const CZipEntryHeader& entry,
                       const CZipBuffer& compressed, CZipBuffer& plain, const uint8_t** ppData) {
    if (entry.m_uMethod == 0) {
        *ppData = compressed.Data();
        return entry.m_uComprSize == entry.m_uUncomprSize;
    }
    plain.Reserve(entry.m_uUncomprSize);
    plain.SetSize(entry.m_uUncomprSize);
    *ppData = plain.Data();
    return inflater.Inflate(compressed.Data(), compressed.Size(), plain.Data(), plain.Size());
}

void CZipArchiver::ReadArchiveAt(int64_t nOffset, uint8_t* pOut, size_t nCount) {
    Impl& im = *m_pImpl;
    if (nCount > kWindowSize / 2) {
        m_file.ReadAt(nOffset, pOut, nCount);
        return;
    }
    const int64_t nEnd = nOffset + static_cast<int64_t>(nCount);
    if (!im.pWindow || nOffset < im.nWindowStart ||
        nEnd > im.nWindowStart + static_cast<int64_t>(im.nWindowFill)) {
        if (!im.pWindow)
            im.pWindow.reset(new uint8_t[kWindowSize]);
        im.nWindowFill = 0;
        im.nWindowStart = nOffset;
        im.nWindowFill = m_file.ReadSomeAt(nOffset, im.pWindow.get(), kWindowSize);
        if (im.nWindowFill < nCount)
            Throw(kZipBadArchive);
    }
    std::memcpy(pOut, im.pWindow.get() + (nOffset - im.nWindowStart), nCount);
}

int64_t CZipArchiver::CheckLocalHeader(const CZipEntryHeader& entry) {
    const int64_t nOffset =
        static_cast<int64_t>(entry.m_uOffset) + m_directory.m_nBytesBeforeArchive;
    uint8_t local[CZipEntryHeader::kLocalFixedSize];
    ReadArchiveAt(nOffset, local, sizeof(local));
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
    return nOffset + CZipEntryHeader::kLocalFixedSize + uLocalNameSize + uLocalExtraSize;
}

void CZipArchiver::CheckDescriptor(const CZipEntryHeader& entry, int64_t nDataStart) {
    if ((entry.m_uFlag & CZipEntryHeader::kFlagDataDescriptor) == 0)
        return;
    // The descriptor follows the data, with or without its signature.
    int64_t nPos = nDataStart + entry.m_uComprSize;
    uint8_t descriptor[16];
    ReadArchiveAt(nPos, descriptor, 4);
    if (GetU32(descriptor) == CZipEntryHeader::kDescriptorSignature) {
        ReadArchiveAt(nPos + 4, descriptor + 4, 12);
    } else {
        ReadArchiveAt(nPos + 4, descriptor + 4, 8);
        std::memmove(descriptor + 4, descriptor, 12);
    }
    if (GetU32(descriptor + 4) != entry.m_uCrc32 || GetU32(descriptor + 8) != entry.m_uComprSize ||
        GetU32(descriptor + 12) != entry.m_uUncomprSize)
        Throw(kZipBadArchive);
}

bool CZipArchiver::OpenEntryForReading(uint16_t uIndex) {
    if (uIndex >= m_directory.Count() || m_entryState != kNone)
        return false;
    Impl& im = *m_pImpl;
    CZipEntryHeader& entry = *m_directory.m_entries[uIndex];
    m_directory.m_pCurrent = &entry;
    try {
        m_nDataStart = CheckLocalHeader(entry);
    } catch (...) {
        m_directory.m_pCurrent = nullptr;
        throw;
    }
    const auto uLocalExtraSize = static_cast<size_t>(
        m_nDataStart - static_cast<int64_t>(entry.m_uOffset) - m_directory.m_nBytesBeforeArchive -
        CZipEntryHeader::kLocalFixedSize - entry.m_uStoredNameSize);
    m_directory.m_localExtra.Release();
    m_directory.m_localExtra.Allocate(uLocalExtraSize);
    if (uLocalExtraSize)
        ReadArchiveAt(m_nDataStart - static_cast<int64_t>(uLocalExtraSize),
                      m_directory.m_localExtra.Data(), uLocalExtraSize);

    if (entry.IsEncrypted()) {
        m_directory.m_localExtra.Release();
        m_directory.m_pCurrent = nullptr;
        return false;
    }
    m_file.Seek(m_nDataStart, CZipBigFile::kBegin);
    im.pTransfer = std::make_unique<uint8_t[]>(kTransferBufferSize);
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
    im.bDataEnded = false;
    im.uCrc = 0;
    im.stream.avail_in = 0;
    m_entryState = kExtracting;
    return true;
}

void CZipArchiver::FillTransfer() {
    Impl& im = *m_pImpl;
    if (im.stream.avail_in > 0 || im.nComprLeft == 0)
        return;
    uint32_t nRead = std::min<uint32_t>(kTransferBufferSize, im.nComprLeft);
    m_file.Read(im.pTransfer.get(), nRead);
    im.nComprLeft -= nRead;
    im.stream.next_in = im.pTransfer.get();
    im.stream.avail_in = nRead;
}

uint32_t CZipArchiver::ReadEntryData(void* pBuffer, uint32_t nSize) {
    if (m_entryState != kExtracting || pBuffer == nullptr || nSize == 0)
        return 0;
    Impl& im = *m_pImpl;
    const bool bDeflate = m_directory.m_pCurrent->m_uMethod == 8;
    auto* pOut = static_cast<uint8_t*>(pBuffer);
    uint32_t nWant = std::min(nSize, im.nUncomprLeft);
    uint32_t nCount = 0;
    while (nWant > 0) {
        FillTransfer();
        if (bDeflate) {
            im.stream.next_out = pOut + nCount;
            im.stream.avail_out = nWant;
            int iResult = inflate(&im.stream, Z_SYNC_FLUSH);
            uint32_t nMade = nWant - im.stream.avail_out;
            im.uCrc = ZipCrc32(im.uCrc, pOut + nCount, nMade);
            im.nUncomprLeft -= nMade;
            nCount += nMade;
            nWant -= nMade;
            if (iResult == Z_STREAM_END) {
                im.bDataEnded = true;
                break;
            }
            if (iResult != Z_OK && iResult != Z_NEED_DICT)
                Throw(iResult);
        } else {
            // Stored data ends when its compressed bytes are used up, whatever the declared
            // uncompressed size says.
            if (im.stream.avail_in == 0)
                break;
            uint32_t nCopy = std::min(nWant, im.stream.avail_in);
            std::memcpy(pOut + nCount, im.stream.next_in, nCopy);
            im.uCrc = ZipCrc32(im.uCrc, pOut + nCount, nCopy);
            im.stream.next_in += nCopy;
            im.stream.avail_in -= nCopy;
            im.nUncomprLeft -= nCopy;
            nCount += nCopy;
            nWant -= nCopy;
        }
    }
    if (im.nUncomprLeft == 0 && !im.bDataEnded)
        CheckDataEnds();
    return nCount;
}

void CZipArchiver::CheckDataEnds() {
    Impl& im = *m_pImpl;
    if (m_directory.m_pCurrent->m_uMethod != 8) {
        if (im.stream.avail_in > 0 || im.nComprLeft > 0)
            Throw(kZipBadArchive);
        im.bDataEnded = true;
        return;
    }
    // The stream runs on into one byte of room: it must end without filling it. (A stream of
    // declared size 0 consumes its empty final block here.)
    uint8_t uExtra = 0;
    while (true) {
        FillTransfer();
        im.stream.next_out = &uExtra;
        im.stream.avail_out = 1;
        const int iResult = inflate(&im.stream, Z_SYNC_FLUSH);
        if (im.stream.avail_out == 0)
            Throw(kZipBadArchive);
        if (iResult == Z_STREAM_END)
            break;
        if (iResult != Z_OK)
            Throw(iResult);  // Z_BUF_ERROR: the data ends before its stream does
    }
    im.bDataEnded = true;
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
        int iMeta = SetPathTimeAndMode(strPath, entry.GetTime(), FilePermissions(entry));
        if (iMeta == 0)
            return 0;
        if (iMeta < 0)
            iResult = -2;
    }
    CloseCurrentEntry();
    return iResult;
}

void CZipArchiver::CloseCurrentEntry() {
    CheckDescriptor(*m_directory.m_pCurrent, m_nDataStart);
    m_directory.m_localExtra.Release();
    m_directory.m_pCurrent = nullptr;
    m_entryState = kNone;
    ReleaseTransfer();
    m_pImpl->FreeBlocks();
}

void CZipArchiver::AbandonEntry() {
    if (m_entryState != kExtracting)
        return;
    Impl& im = *m_pImpl;
    if (im.bStreamActive) {
        inflateEnd(&im.stream);
        im.bStreamActive = false;
    }
    m_directory.m_localExtra.Release();
    m_directory.m_pCurrent = nullptr;
    m_entryState = kNone;
    ReleaseTransfer();
    im.FreeBlocks();
}

bool CZipArchiver::ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bKeepPath,
                                uint32_t nChunkSize) {
    if (nChunkSize == 0 || uIndex >= m_directory.Count())
        return false;
    const CZipEntryHeader& header = *m_directory.m_entries[uIndex];
    const std::string strName = header.GetFileName();
    // The name is judged before anything touches the file system.
    if (!IsSafeEntryName(strName, bKeepPath))
        return false;
    const std::string strStored = StoredName(strName, bKeepPath);
    std::string strTarget = ExtractTarget(strFolder, strStored);

    if (header.IsDirectory()) {
        MakeFileReplaceable(strTarget);
        CreateFolderPath(strTarget);
        while (strTarget.size() > 1 && strTarget.back() == '/')
            strTarget.pop_back();
        SetPathMode(strTarget, PermissionsFromExternalAttributes(
                                   header.m_uExternalAttr, header.m_uVersionMadeBy >> 8, true));
        return true;
    }
    if (!HasFileName(strStored))
        return false;
    return ExtractFile(uIndex, strTarget, nChunkSize);
}

bool CZipArchiver::FitsWhole(const CZipEntryHeader& entry) const {
    return entry.m_uUncomprSize <= m_nWholeLimit && entry.m_uComprSize <= m_nWholeLimit;
}

void CZipArchiver::ReadWholeEntry(uint16_t uIndex, CZipBuffer& data) {
    const CZipEntryHeader& entry = *m_directory.m_entries[uIndex];
    const int64_t nDataStart = CheckLocalHeader(entry);
    data.Reserve(entry.m_uComprSize);
    data.SetSize(entry.m_uComprSize);
    if (data.Size() > 0)
        ReadArchiveAt(nDataStart, data.Data(), data.Size());
    CheckDescriptor(entry, nDataStart);
}

bool CZipArchiver::ExtractFile(uint16_t uIndex, const std::string& strTarget, uint32_t nChunkSize) {
    const CZipEntryHeader& entry = *m_directory.m_entries[uIndex];
    if (m_entryState != kNone || !FitsWhole(entry))
        return ExtractStreamed(uIndex, TargetAt(strTarget), nChunkSize);
    Impl& im = *m_pImpl;
    if (entry.IsEncrypted()) {
        CheckLocalHeader(entry);  // as OpenEntryForReading: a bad header is reported first
        return false;
    }
    ReadWholeEntry(uIndex, im.compressed);
    if (!im.pInflater)
        im.pInflater = std::make_unique<CWholeInflater>();
    const uint8_t* pData = nullptr;
    bool bDone = false;
    bool bOk = false;
    if (InflateWholeEntry(*im.pInflater, entry, im.compressed, im.plain, &pData)) {
        CZipTargetFile target;
        OpenTarget(target, strTarget);
        bOk = WriteExtractedFile(entry, target, pData, entry.m_uUncomprSize, entry.GetTime(),
                                 GetArchivePath());
        bDone = true;
    }
    if (im.compressed.Capacity() > kZipKeepBufferBytes)
        im.compressed = CZipBuffer();
    if (im.plain.Capacity() > kZipKeepBufferBytes)
        im.plain = CZipBuffer();
    return bDone ? bOk : ExtractStreamed(uIndex, TargetAt(strTarget), nChunkSize);
}

bool CZipArchiver::ExtractStreamed(uint16_t uIndex, const ZipTargetOpener& fnOpen,
                                   uint32_t nChunkSize) {
    if (!OpenEntryForReading(uIndex))
        return false;
    CZipTargetFile target;
    fnOpen(target);
    std::vector<uint8_t> chunk(nChunkSize);
    uint32_t n;
    do {
        n = ReadEntryData(chunk.data(), nChunkSize);
        if (n > 0)
            target.Write(chunk.data(), n);
    } while (n == nChunkSize);
    // As CloseEntryForReading, with the time and permissions set through the open file.
    Impl& im = *m_pImpl;
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    const bool bWhole = im.nUncomprLeft == 0;
    if (bWhole && im.uCrc != entry.m_uCrc32) {
        target.Close();
        Throw(kZipCrcError);
    }
    if (entry.m_uMethod == 8 && im.bStreamActive) {
        inflateEnd(&im.stream);
        im.bStreamActive = false;
    }
    target.Cut();
    const int iMeta = target.SetTimeAndMode(entry.GetTime(), FilePermissions(entry));
    target.Close();
    CloseCurrentEntry();
    return bWhole && iMeta == 1;
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

#include "zip/zip_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_attributes.h"
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

CZipReader::CZipReader(CZipBufferedFile& file, CZipDirectory& directory, const size_t& nWholeLimit)
    : m_file(file), m_directory(directory), m_nWholeLimit(nWholeLimit) {}

CZipReader::~CZipReader() = default;

void CZipReader::Throw(int iCode) const {
    ZipException(iCode, m_file.GetFilePath());
}

void CZipReader::ReleaseTransfer() {
    m_pTransfer.reset();
}

void CZipReader::ReadArchiveAt(int64_t nOffset, uint8_t* pOut, size_t nCount) {
    if (nCount > kWindowSize / 2) {
        m_file.ReadAt(nOffset, pOut, nCount);
        return;
    }
    const int64_t nEnd = nOffset + static_cast<int64_t>(nCount);
    if (!m_pWindow || nOffset < m_nWindowStart ||
        nEnd > m_nWindowStart + static_cast<int64_t>(m_nWindowFill)) {
        if (!m_pWindow)
            m_pWindow.reset(new uint8_t[kWindowSize]);
        m_nWindowFill = 0;
        m_nWindowStart = nOffset;
        m_nWindowFill = m_file.ReadSomeAt(nOffset, m_pWindow.get(), kWindowSize);
        if (m_nWindowFill < nCount)
            Throw(kZipBadArchive);
    }
    std::memcpy(pOut, m_pWindow.get() + (nOffset - m_nWindowStart), nCount);
}

int64_t CZipReader::CheckLocalHeader(const CZipEntryHeader& entry) {
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

void CZipReader::CheckDescriptor(const CZipEntryHeader& entry, int64_t nDataStart) {
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

bool CZipReader::BeginEntry(uint16_t uIndex) {
    if (uIndex >= m_directory.Count() || m_bEntryOpen)
        return false;
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
    m_pTransfer = std::make_unique<uint8_t[]>(CZipArchiver::kTransferBufferSize);
    m_stream.Prepare();
    if (entry.m_uMethod == 8) {
        int iResult = inflateInit2(&m_stream.stream, -MAX_WBITS);
        if (iResult != Z_OK && iResult != Z_NEED_DICT) {
            m_stream.FreeBlocks();
            Throw(iResult);
        }
        m_stream.bActive = true;
    }
    m_nComprLeft = entry.m_uComprSize;
    m_nUncomprLeft = entry.m_uUncomprSize;
    m_bDataEnded = false;
    m_uCrc = 0;
    m_stream.stream.avail_in = 0;
    m_bEntryOpen = true;
    return true;
}

void CZipReader::OpenEntry(uint16_t uIndex) {
    if (!BeginEntry(uIndex))
        throw SZipRefusal{};
}

void CZipReader::FillTransfer() {
    if (m_stream.stream.avail_in > 0 || m_nComprLeft == 0)
        return;
    uint32_t nRead = std::min<uint32_t>(CZipArchiver::kTransferBufferSize, m_nComprLeft);
    m_file.Read(m_pTransfer.get(), nRead);
    m_nComprLeft -= nRead;
    m_stream.stream.next_in = m_pTransfer.get();
    m_stream.stream.avail_in = nRead;
}

uint32_t CZipReader::ReadData(void* pBuffer, uint32_t nSize) {
    if (!m_bEntryOpen || pBuffer == nullptr || nSize == 0)
        return 0;
    const bool bDeflate = m_directory.m_pCurrent->m_uMethod == 8;
    auto* pOut = static_cast<uint8_t*>(pBuffer);
    uint32_t nWant = std::min(nSize, m_nUncomprLeft);
    uint32_t nCount = 0;
    while (nWant > 0) {
        FillTransfer();
        if (bDeflate) {
            m_stream.stream.next_out = pOut + nCount;
            m_stream.stream.avail_out = nWant;
            int iResult = inflate(&m_stream.stream, Z_SYNC_FLUSH);
            uint32_t nMade = nWant - m_stream.stream.avail_out;
            m_uCrc = ZipCrc32(m_uCrc, pOut + nCount, nMade);
            m_nUncomprLeft -= nMade;
            nCount += nMade;
            nWant -= nMade;
            if (iResult == Z_STREAM_END) {
                m_bDataEnded = true;
                break;
            }
            if (iResult != Z_OK && iResult != Z_NEED_DICT)
                Throw(iResult);
        } else {
            // Stored data ends when its compressed bytes are used up, whatever the declared
            // uncompressed size says.
            if (m_stream.stream.avail_in == 0)
                break;
            uint32_t nCopy = std::min(nWant, m_stream.stream.avail_in);
            std::memcpy(pOut + nCount, m_stream.stream.next_in, nCopy);
            m_uCrc = ZipCrc32(m_uCrc, pOut + nCount, nCopy);
            m_stream.stream.next_in += nCopy;
            m_stream.stream.avail_in -= nCopy;
            m_nUncomprLeft -= nCopy;
            nCount += nCopy;
            nWant -= nCopy;
        }
    }
    if (m_nUncomprLeft == 0 && !m_bDataEnded)
        CheckDataEnds();
    return nCount;
}

void CZipReader::CheckDataEnds() {
    if (m_directory.m_pCurrent->m_uMethod != 8) {
        if (m_stream.stream.avail_in > 0 || m_nComprLeft > 0)
            Throw(kZipBadArchive);
        m_bDataEnded = true;
        return;
    }
    // The stream runs on into one byte of room: it must end without filling it. (A stream of
    // declared size 0 consumes its empty final block here.)
    uint8_t uExtra = 0;
    while (true) {
        FillTransfer();
        m_stream.stream.next_out = &uExtra;
        m_stream.stream.avail_out = 1;
        const int iResult = inflate(&m_stream.stream, Z_SYNC_FLUSH);
        if (m_stream.stream.avail_out == 0)
            Throw(kZipBadArchive);
        if (iResult == Z_STREAM_END)
            break;
        if (iResult != Z_OK)
            Throw(iResult);  // Z_BUF_ERROR: the data ends before its stream does
    }
    m_bDataEnded = true;
}

void CZipReader::CloseEntry(const std::string& strPath) {
    if (!m_bEntryOpen)
        throw SZipRefusal{};
    switch (EndEntry(strPath)) {
        case 1:
            return;
        case -1:
            throw SZipRefusal{SZipRefusal::kNotReadToEnd};
        case 0:
            throw SZipRefusal{SZipRefusal::kTimesNotSet};
        default:
            throw SZipRefusal{SZipRefusal::kModeNotSet};
    }
}

void CZipReader::Finish() {
    if (m_bEntryOpen)
        EndEntry(std::string());
}

int CZipReader::EndEntry(const std::string& strPath) {
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    int iResult = 1;
    if (m_nUncomprLeft > 0) {
        iResult = -1;
    } else if (m_uCrc != entry.m_uCrc32) {
        Throw(kZipCrcError);
    }
    if (entry.m_uMethod == 8 && m_stream.bActive) {
        inflateEnd(&m_stream.stream);
        m_stream.bActive = false;
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

void CZipReader::CloseCurrentEntry() {
    CheckDescriptor(*m_directory.m_pCurrent, m_nDataStart);
    m_directory.m_localExtra.Release();
    m_directory.m_pCurrent = nullptr;
    m_bEntryOpen = false;
    ReleaseTransfer();
    m_stream.FreeBlocks();
}

void CZipReader::AbandonEntry() {
    if (!m_bEntryOpen)
        return;
    if (m_stream.bActive) {
        inflateEnd(&m_stream.stream);
        m_stream.bActive = false;
    }
    m_directory.m_localExtra.Release();
    m_directory.m_pCurrent = nullptr;
    m_bEntryOpen = false;
    ReleaseTransfer();
    m_stream.FreeBlocks();
}

void CZipReader::ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bKeepPath,
                              uint32_t nChunkSize) {
    if (nChunkSize == 0 || uIndex >= m_directory.Count())
        throw SZipRefusal{};
    const CZipEntryHeader& header = *m_directory.m_entries[uIndex];
    const std::string strName = header.GetFileName();
    // The name is judged before anything touches the file system.
    if (!IsSafeEntryName(strName, bKeepPath))
        throw SZipRefusal{};
    const std::string strStored = StoredName(strName, bKeepPath);
    std::string strTarget = ExtractTarget(strFolder, strStored);

    if (header.IsDirectory()) {
        MakeFileReplaceable(strTarget);
        CreateFolderPath(strTarget);
        while (strTarget.size() > 1 && strTarget.back() == '/')
            strTarget.pop_back();
        SetPathMode(strTarget, PermissionsFromExternalAttributes(
                                   header.m_uExternalAttr, header.m_uVersionMadeBy >> 8, true));
        return;
    }
    if (!HasFileName(strStored))
        throw SZipRefusal{};
    if (!ExtractFile(uIndex, strTarget, nChunkSize))
        throw SZipRefusal{SZipRefusal::kIncomplete};
}

bool CZipReader::FitsWhole(const CZipEntryHeader& entry) const {
    return entry.m_uUncomprSize <= m_nWholeLimit && entry.m_uComprSize <= m_nWholeLimit;
}

void CZipReader::ReadWholeEntry(uint16_t uIndex, CZipBuffer& data) {
    const CZipEntryHeader& entry = *m_directory.m_entries[uIndex];
    const int64_t nDataStart = CheckLocalHeader(entry);
    data.Reserve(entry.m_uComprSize);
    data.SetSize(entry.m_uComprSize);
    if (data.Size() > 0)
        ReadArchiveAt(nDataStart, data.Data(), data.Size());
    CheckDescriptor(entry, nDataStart);
}

bool CZipReader::ExtractFile(uint16_t uIndex, const std::string& strTarget, uint32_t nChunkSize) {
    const CZipEntryHeader& entry = *m_directory.m_entries[uIndex];
    if (m_bEntryOpen || !FitsWhole(entry))
        return ExtractStreamed(uIndex, TargetAt(strTarget), nChunkSize);
    if (entry.IsEncrypted()) {
        CheckLocalHeader(entry);  // as OpenEntryForReading: a bad header is reported first
        return false;
    }
    ReadWholeEntry(uIndex, m_compressed);
    if (!m_pInflater)
        m_pInflater = std::make_unique<CWholeInflater>();
    const uint8_t* pData = nullptr;
    bool bDone = false;
    bool bOk = false;
    if (InflateWholeEntry(*m_pInflater, entry, m_compressed, m_plain, &pData)) {
        CZipTargetFile target;
        OpenTarget(target, strTarget);
        bOk = WriteExtractedFile(entry, target, pData, entry.m_uUncomprSize, entry.GetTime(),
                                 m_file.GetFilePath());
        bDone = true;
    }
    if (m_compressed.Capacity() > kZipKeepBufferBytes)
        m_compressed = CZipBuffer();
    if (m_plain.Capacity() > kZipKeepBufferBytes)
        m_plain = CZipBuffer();
    return bDone ? bOk : ExtractStreamed(uIndex, TargetAt(strTarget), nChunkSize);
}

bool CZipReader::ExtractStreamed(uint16_t uIndex, const ZipTargetOpener& fnOpen,
                                 uint32_t nChunkSize) {
    if (!BeginEntry(uIndex))
        return false;
    CZipTargetFile target;
    fnOpen(target);
    std::vector<uint8_t> chunk(nChunkSize);
    uint32_t n;
    do {
        n = ReadData(chunk.data(), nChunkSize);
        if (n > 0)
            target.Write(chunk.data(), n);
    } while (n == nChunkSize);
    // As CloseEntryForReading, with the time and permissions set through the open file.
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    const bool bWhole = m_nUncomprLeft == 0;
    if (bWhole && m_uCrc != entry.m_uCrc32) {
        target.Close();
        Throw(kZipCrcError);
    }
    if (entry.m_uMethod == 8 && m_stream.bActive) {
        inflateEnd(&m_stream.stream);
        m_stream.bActive = false;
    }
    target.Cut();
    const int iMeta = target.SetTimeAndMode(entry.GetTime(), FilePermissions(entry));
    target.Close();
    CloseCurrentEntry();
    return bWhole && iMeta == 1;
}

void CZipReader::TestEntry(uint16_t uIndex) {
    if (uIndex >= m_directory.Count() || m_bEntryOpen)
        throw SZipRefusal{};
    const CZipEntryHeader& header = *m_directory.m_entries[uIndex];
    if (!IsSafeEntryName(header.GetFileName(), true))
        throw SZipRefusal{};
    if (!header.IsDirectory() && !HasFileName(StoredName(header.GetFileName(), true)))
        throw SZipRefusal{};
    if (!BeginEntry(uIndex))
        throw SZipRefusal{};
    std::vector<uint8_t> chunk(CZipArchiver::kDefaultChunkSize);
    while (ReadData(chunk.data(), CZipArchiver::kDefaultChunkSize) ==
           CZipArchiver::kDefaultChunkSize) {
    }
    if (EndEntry(std::string()) != 1)
        throw SZipRefusal{SZipRefusal::kIncomplete};
}

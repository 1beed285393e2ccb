#include "zip/zip_archiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_archiver_impl.h"
#include "zip/zip_bytes.h"
#include "zip/zip_names.h"

namespace {

constexpr uint16_t kMaxField = 65535;

// A source file opened for reading; closed on every path out.
class CSourceFile {
public:
    explicit CSourceFile(const std::string& strPath)
        : m_nFd(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC)), m_strPath(strPath) {}
    ~CSourceFile() {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    CSourceFile(const CSourceFile&) = delete;
    CSourceFile& operator=(const CSourceFile&) = delete;
    bool IsOpen() const { return m_nFd >= 0; }
    size_t Read(uint8_t* p, size_t nCount) { return ReadFully(m_nFd, p, nCount, m_strPath); }

private:
    int m_nFd;
    std::string m_strPath;
};

}  // namespace

voidpf CZipArchiver::Impl::Alloc(voidpf pOpaque, uInt nItems, uInt nSize) {
    auto* pImpl = static_cast<Impl*>(pOpaque);
    size_t nBytes = static_cast<size_t>(nItems) * nSize;
    void* pBlock = std::malloc(nBytes ? nBytes : 1);
    if (pBlock == nullptr)
        return Z_NULL;
    try {
        pImpl->blocks.push_back(pBlock);
    } catch (const std::bad_alloc&) {
        std::free(pBlock);
        return Z_NULL;
    }
    return pBlock;
}

void CZipArchiver::Impl::Free(voidpf pOpaque, voidpf pBlock) {
    auto* pImpl = static_cast<Impl*>(pOpaque);
    auto it = std::find(pImpl->blocks.rbegin(), pImpl->blocks.rend(), pBlock);
    if (it != pImpl->blocks.rend())
        pImpl->blocks.erase(std::next(it).base());
    std::free(pBlock);
}

void CZipArchiver::Impl::PrepareStream() {
    stream = z_stream{};
    stream.zalloc = &Impl::Alloc;
    stream.zfree = &Impl::Free;
    stream.opaque = this;
}

void CZipArchiver::Impl::FreeBlocks() {
    for (void* pBlock : blocks)
        std::free(pBlock);
    blocks.clear();
    bStreamActive = false;
}

CZipArchiver::CZipArchiver() : m_pImpl(std::make_unique<Impl>()) {}

CZipArchiver::~CZipArchiver() {
    m_pImpl->FreeBlocks();
    m_file.Abandon();
}

void CZipArchiver::Throw(int iCode) const {
    ZipException(iCode, m_file.GetFilePath());
}

void CZipArchiver::Open(const std::string& strPath, ZipOpenMode mode) {
    if (m_file.IsOpen())
        return;
    if (mode == ZipOpenMode::ReadWrite)
        ZipException(kZipGenericError, strPath);
    m_entryState = kNone;
    m_bWritable = mode == ZipOpenMode::Create;
    m_file.Open(strPath, m_bWritable ? CZipBigFile::kCreateReadWrite : CZipBigFile::kReadOnly);
    m_directory.Reset();
    if (!m_bWritable)
        m_directory.ReadDirectory(m_file, strPath);
}

int CZipArchiver::EntryCount() const {
    return static_cast<int>(m_directory.Count());
}

bool CZipArchiver::GetFileInfo(uint16_t uIndex, CZipEntryHeader& header) const {
    if (uIndex >= m_directory.Count())
        return false;
    header = *m_directory.m_entries[uIndex];
    return true;
}

void CZipArchiver::ReleaseTransfer() {
    m_pImpl->pTransfer.reset();
    m_pImpl->nPending = 0;
}

bool CZipArchiver::AddFile(const std::string& strPath, int iLevel, bool bKeepPath,
                           uint32_t nChunkSize) {
    if (nChunkSize == 0)
        return false;
    CZipEntryHeader header;
    std::string strName = StoredName(strPath, bKeepPath);
    if (strName.empty())
        return false;
    header.SetFileName(strName);
    if (!OpenEntryForWriting(header, iLevel, strPath))
        return false;
    {
        CSourceFile source(strPath);
        if (!source.IsOpen())
            return false;
        std::vector<uint8_t>& chunk = m_pImpl->chunk;
        if (chunk.size() != nChunkSize)
            chunk.assign(nChunkSize, 0);
        while (true) {
            size_t n = source.Read(chunk.data(), nChunkSize);
            if (n > 0)
                WriteEntryData(chunk.data(), static_cast<uint32_t>(n));
            if (n < nChunkSize)
                break;
        }
    }
    CloseEntryForWriting();
    return true;
}

bool CZipArchiver::OpenEntryForWriting(CZipEntryHeader& header, int iLevel,
                                       const std::string& strPath) {
    if (!CanBeginEntry())
        return false;
    if (!ReadSourceStatus(header, strPath))
        return false;
    return BeginEntry(header, iLevel, true);
}

bool CZipArchiver::CanBeginEntry() const {
    return m_file.IsOpen() && m_bWritable && m_entryState == kNone &&
           m_directory.Count() < CZipDirectory::kMaxEntries;
}

bool ReadSourceStatus(CZipEntryHeader& header, const std::string& strPath) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Sizes and offsets are 32-bit: a source or an archive that would pass that limit is
    // refused rather than written with wrapped fields.
    if (static_cast<uint64_t>(st.st_size) >= 0xFFFFFFFFULL)
        return false;
    header.SetTime(st.st_mtime);
    uint32_t uAttributes = 0;
    if (!GetFileAttributeWord(strPath, uAttributes))
        return false;
    header.m_uExternalAttr = uAttributes;
    return true;
}

bool CZipArchiver::BeginEntry(CZipEntryHeader& header, int iLevel, bool bStartStream) {
    bool bUtf8 = false;
    std::string strStored = EncodeStoredName(header.GetFileName(), bUtf8);
    // Checked before the entry joins the directory, so a refused name leaves no trace.
    if (strStored.size() > kMaxField || header.m_extraField.Size() > kMaxField ||
        header.m_comment.Size() > kMaxField)
        Throw(kZipTooLongData);
    const int64_t nEnd = m_file.Seek(0, CZipBigFile::kEnd);
    if (nEnd + static_cast<int64_t>(strStored.size()) + 30 >= 0xFFFFFFFFLL)
        return false;

    m_pImpl->pTransfer = std::make_unique<uint8_t[]>(kTransferBufferSize);
    m_directory.m_entries.push_back(std::make_unique<CZipEntryHeader>(header));
    CZipEntryHeader& entry = *m_directory.m_entries.back();
    m_directory.m_pCurrent = &entry;
    m_directory.m_bOnDisk = false;

    entry.m_uSignature = CZipEntryHeader::kCentralSignature;
    entry.m_uVersionMadeBy = 20;
    entry.m_uVersionNeeded = 20;
    entry.m_uCrc32 = 0;
    entry.m_uComprSize = 0;
    entry.m_uUncomprSize = 0;
    entry.m_uInternalAttr = 0;
    entry.m_uFlag = bUtf8 ? CZipEntryHeader::kFlagUtf8 : 0;
    entry.SetMethodAndFlagsFromLevel(iLevel);

    std::vector<uint8_t> local(CZipEntryHeader::kLocalFixedSize + strStored.size());
    uint8_t* p = local.data();
    PutU32(p + 0, CZipEntryHeader::kLocalSignature);
    PutU16(p + 4, entry.m_uVersionNeeded);
    PutU16(p + 6, entry.m_uFlag);
    PutU16(p + 8, entry.m_uMethod);
    PutU16(p + 10, entry.m_uModTime);
    PutU16(p + 12, entry.m_uModDate);
    PutU16(p + 26, static_cast<uint16_t>(strStored.size()));
    PutU16(p + 28, 0);
    std::memcpy(p + 30, strStored.data(), strStored.size());
    m_file.Write(local.data(), local.size());
    entry.m_uDiskStart = 0;
    entry.m_uOffset =
        static_cast<uint32_t>(m_file.GetPosition() - static_cast<int64_t>(local.size()) -
                              m_directory.m_nBytesBeforeArchive);
    entry.m_extraField.Release();

    Impl& im = *m_pImpl;
    im.nPending = 0;
    im.uCrc = 0;
    im.nTotalIn = 0;
    im.nTotalOut = 0;
    im.PrepareStream();
    if (entry.m_uMethod == 8 && bStartStream) {
        int iResult =
            deflateInit2(&im.stream, iLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (iResult != Z_OK && iResult != Z_NEED_DICT) {
            im.FreeBlocks();
            Throw(iResult);
        }
        im.bStreamActive = true;
    }
    im.stream.next_out = im.pTransfer.get();
    im.stream.avail_out = kTransferBufferSize;
    m_entryState = kAdding;
    return true;
}

void CZipArchiver::FlushPending() {
    Impl& im = *m_pImpl;
    if (im.nPending > 0)
        m_file.Write(im.pTransfer.get(), im.nPending);
    im.nPending = 0;
    im.stream.next_out = im.pTransfer.get();
    im.stream.avail_out = kTransferBufferSize;
}

bool CZipArchiver::WriteEntryData(const void* pData, uint32_t nSize) {
    if (m_entryState != kAdding)
        return false;
    Impl& im = *m_pImpl;
    const auto* pIn = static_cast<const uint8_t*>(pData);
    im.uCrc = static_cast<uint32_t>(crc32(im.uCrc, pIn, nSize));
    const bool bDeflate = m_directory.m_pCurrent->m_uMethod == 8;
    im.stream.next_in = const_cast<Bytef*>(pIn);
    im.stream.avail_in = nSize;
    while (im.stream.avail_in > 0) {
        if (im.stream.avail_out == 0)
            FlushPending();
        if (bDeflate) {
            uInt nBefore = im.stream.avail_out;
            int iResult = deflate(&im.stream, Z_NO_FLUSH);
            im.nPending += nBefore - im.stream.avail_out;
            if (iResult != Z_OK && iResult != Z_NEED_DICT)
                Throw(iResult);
        } else {
            uInt nCopy = std::min(im.stream.avail_in, im.stream.avail_out);
            std::memcpy(im.stream.next_out, im.stream.next_in, nCopy);
            im.stream.next_in += nCopy;
            im.stream.avail_in -= nCopy;
            im.stream.next_out += nCopy;
            im.stream.avail_out -= nCopy;
            im.nPending += nCopy;
            im.nTotalIn += nCopy;
            im.nTotalOut += nCopy;
        }
    }
    return true;
}

bool CZipArchiver::CloseEntryForWriting() {
    if (m_entryState != kAdding)
        return false;
    Impl& im = *m_pImpl;
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    im.stream.next_in = nullptr;
    im.stream.avail_in = 0;
    if (entry.m_uMethod == 8) {
        int iResult;
        do {
            if (im.stream.avail_out == 0)
                FlushPending();
            uInt nBefore = im.stream.avail_out;
            iResult = deflate(&im.stream, Z_FINISH);
            im.nPending += nBefore - im.stream.avail_out;
        } while (iResult == Z_OK);
        if (iResult != Z_STREAM_END)
            Throw(iResult);
    }
    FlushPending();
    if (entry.m_uMethod == 8) {
        im.nTotalIn = im.stream.total_in;
        im.nTotalOut = im.stream.total_out;
        int iResult = deflateEnd(&im.stream);
        im.bStreamActive = false;
        if (iResult != Z_OK)
            Throw(iResult);
    }
    FinishEntry(im.uCrc, im.nTotalIn, im.nTotalOut);
    return true;
}

void CZipArchiver::FinishEntry(uint32_t uCrc, uint64_t nTotalIn, uint64_t nTotalOut) {
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    if (nTotalIn > 0xFFFFFFFFULL || nTotalOut > 0xFFFFFFFFULL)
        Throw(kZipGenericError);
    entry.m_uCrc32 = uCrc;
    entry.m_uComprSize = static_cast<uint32_t>(nTotalOut);
    entry.m_uUncomprSize = static_cast<uint32_t>(nTotalIn);

    uint8_t patch[12];
    PutU32(patch + 0, entry.m_uCrc32);
    PutU32(patch + 4, entry.m_uComprSize);
    PutU32(patch + 8, entry.m_uUncomprSize);
    m_file.Flush();
    m_file.Seek(static_cast<int64_t>(entry.m_uOffset) + m_directory.m_nBytesBeforeArchive + 14,
                CZipBigFile::kBegin);
    m_file.Write(patch, sizeof(patch));
    m_file.Flush();

    m_directory.m_pCurrent = nullptr;
    m_entryState = kNone;
    ReleaseTransfer();
}

void CZipArchiver::Close() {
    if (!m_file.IsOpen())
        return;
    if (m_entryState == kExtracting)
        CloseEntryForReading();
    if (m_entryState == kAdding)
        CloseEntryForWriting();
    if (m_bWritable && !m_directory.m_bOnDisk)
        m_directory.WriteDirectory(m_file, GetArchivePath());
    m_directory.Reset();
    m_file.Close();
}

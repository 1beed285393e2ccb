#include "zip/zip_archiver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_archiver_impl.h"
#include "zip/zip_bytes.h"
#include "zip/zip_names.h"

namespace {

constexpr uint16_t kMaxField = 65535;
constexpr unsigned kMaxDefaultThreads = 16;

// Takes a regular file's time and attribute word into header. False for anything that is not
// a regular file, and for 4 GiB or more: sizes and offsets are 32-bit, so a source or an
// archive that would pass that limit is refused rather than written with wrapped fields.
bool TakeSourceStatus(CZipEntryHeader& header, const SZipFileStatus& status) {
    if (!status.bRegular || status.nSize >= 0xFFFFFFFFULL)
        return false;
    header.SetTime(status.tModified);
    header.m_uExternalAttr = status.uDosAttributes;
    return true;
}

}  // namespace

unsigned DefaultPackThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxDefaultThreads);
}

size_t DefaultLookAheadBytes(unsigned nThreads) {
    return std::max(1u, nThreads) * (size_t{8} << 20);
}

EPackSource OpenPackSource(const std::string& strPath, bool bOpenFirst, CZipEntryHeader& header,
                           CZipSourceFile& source, uint64_t& nSize) {
    if (bOpenFirst) {
        SZipFileStatus status;
        if (!source.Open(strPath, true) || !source.ReadStatus(status) ||
            !TakeSourceStatus(header, status))
            return EPackSource::kRefused;
        nSize = status.nSize;
        return EPackSource::kOpened;
    }
    if (!ReadSourceStatus(header, strPath, &nSize))
        return EPackSource::kRefused;
    return source.Open(strPath, false) ? EPackSource::kOpened : EPackSource::kOpenFailed;
}

CSourcePacker& CZipArchiver::Impl::Packer(int iEntryLevel, uint32_t nChunkSize,
                                          size_t nWholeLimit) {
    if (!pPacker || pPacker->Level() != iEntryLevel || pPacker->ChunkSize() != nChunkSize ||
        pPacker->WholeLimit() != nWholeLimit)
        pPacker = std::make_unique<CSourcePacker>(iEntryLevel, nChunkSize, nWholeLimit);
    return *pPacker;
}

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
    m_pImpl->nWindowFill = 0;
    if (!m_bWritable)
        m_directory.ReadDirectory(m_file, strPath);
}

int CZipArchiver::EntryCount() const {
    return static_cast<int>(m_directory.Count());
}

uint64_t CZipArchiver::DeclaredSize() const {
    uint64_t nTotal = 0;
    for (const auto& pEntry : m_directory.m_entries) {
        if (!pEntry->IsDirectory())
            nTotal += pEntry->m_uUncomprSize;
    }
    return nTotal;
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
    if (strName.empty() || !CanBeginEntry())
        return false;
    header.SetFileName(strName);
    CZipSourceFile source;
    uint64_t nSize = 0;
    switch (OpenPackSource(strPath, false, header, source, nSize)) {
        case EPackSource::kRefused:
            return false;
        case EPackSource::kOpenFailed:
            BeginEntry(header, iLevel, 0, true);  // left open: Close() finishes it empty
            return false;
        case EPackSource::kOpened:
            break;
    }
    if (!BeginEntry(header, iLevel, nSize, false))
        return false;
    // The same packing as the worker threads of AddFiles, written straight to the archive.
    SZipPacked packed;
    m_pImpl->Packer(iLevel, nChunkSize, m_nWholeLimit)
        .Pack(
            source, nSize,
            [this](CZipBuffer&& piece) {
                m_file.Write(piece.Data(), piece.Size());
                return true;
            },
            packed);
    FinishEntry(packed.uCrc, packed.nIn, packed.nOut);
    if (packed.nReadError != 0)
        throw CFileException(packed.nReadError, strPath);
    return true;
}

bool CZipArchiver::OpenEntryForWriting(CZipEntryHeader& header, int iLevel,
                                       const std::string& strPath) {
    if (!CanBeginEntry())
        return false;
    uint64_t nSize = 0;
    if (!ReadSourceStatus(header, strPath, &nSize))
        return false;
    return BeginEntry(header, iLevel, nSize, true);
}

bool CZipArchiver::CanBeginEntry() const {
    return m_file.IsOpen() && m_bWritable && m_entryState == kNone &&
           m_directory.Count() < CZipDirectory::kMaxEntries;
}

bool ReadSourceStatus(CZipEntryHeader& header, const std::string& strPath, uint64_t* pSize) {
    SZipFileStatus status;
    if (!ReadFileStatus(strPath, status) || !TakeSourceStatus(header, status))
        return false;
    if (pSize)
        *pSize = status.nSize;
    return true;
}

bool CZipArchiver::BeginEntry(CZipEntryHeader& header, int iLevel, uint64_t nSizeHint,
                              bool bOwnData) {
    bool bUtf8 = false;
    std::string strStored = EncodeStoredName(header.GetFileName(), bUtf8);
    // Checked before the entry joins the directory, so a refused name leaves no trace.
    if (strStored.size() > kMaxField || header.m_extraField.Size() > kMaxField ||
        header.m_comment.Size() > kMaxField)
        Throw(kZipTooLongData);
    // New entries always go at the end: patching a header never moves the position.
    const int64_t nEnd = m_file.GetPosition();
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
    im.iLevel = iLevel;
    im.gathered.clear();
    im.PrepareStream();
    im.stream.next_out = im.pTransfer.get();
    im.stream.avail_out = kTransferBufferSize;
    m_entryState = kAdding;
    if (!bOwnData)
        im.eData = Impl::kOutside;
    else if (entry.m_uMethod != 8)
        im.eData = Impl::kCopy;
    else if (nSizeHint <= m_nWholeLimit)
        im.eData = Impl::kGather;
    else
        StartStream();
    return true;
}

void CZipArchiver::StartStream() {
    Impl& im = *m_pImpl;
    int iResult =
        deflateInit2(&im.stream, im.iLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (iResult != Z_OK && iResult != Z_NEED_DICT) {
        im.FreeBlocks();
        Throw(iResult);
    }
    im.bStreamActive = true;
    im.eData = Impl::kStream;
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
    if (m_entryState != kAdding || m_pImpl->eData == Impl::kOutside)
        return false;
    Impl& im = *m_pImpl;
    const auto* pIn = static_cast<const uint8_t*>(pData);
    im.uCrc = ZipCrc32(im.uCrc, pIn, nSize);
    if (im.eData == Impl::kGather) {
        if (im.gathered.size() + nSize <= m_nWholeLimit) {
            im.gathered.insert(im.gathered.end(), pIn, pIn + nSize);
            return true;
        }
        // Past the limit: the stream starts with what was gathered.
        std::vector<uint8_t> gathered = std::move(im.gathered);
        im.gathered = {};
        StartStream();
        WriteStream(gathered.data(), gathered.size());
    }
    WriteStream(pIn, nSize);
    return true;
}

void CZipArchiver::WriteStream(const uint8_t* pIn, size_t nSize) {
    // avail_in is 32 bits wide: long data goes in slices.
    while (nSize > (uInt{1} << 30)) {
        WriteStream(pIn, uInt{1} << 30);
        pIn += uInt{1} << 30;
        nSize -= uInt{1} << 30;
    }
    Impl& im = *m_pImpl;
    const bool bDeflate = im.eData == Impl::kStream;
    im.stream.next_in = const_cast<Bytef*>(pIn);
    im.stream.avail_in = static_cast<uInt>(nSize);
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
}

bool CZipArchiver::CloseEntryForWriting() {
    if (m_entryState != kAdding)
        return false;
    Impl& im = *m_pImpl;
    if (im.eData == Impl::kOutside) {
        // Data written by a caller that failed before finishing it: no size can be known.
        Throw(kZipGenericError);
    }
    if (im.eData == Impl::kGather) {
        // As CSourcePacker compresses a whole file.
        if (!im.pDeflater || im.iDeflaterLevel != im.iLevel) {
            im.pDeflater = std::make_unique<CWholeDeflater>(im.iLevel);
            im.iDeflaterLevel = im.iLevel;
        }
        const std::vector<uint8_t> gathered = std::move(im.gathered);
        im.gathered = {};
        auto write = [this](CZipBuffer&& piece) {
            m_file.Write(piece.Data(), piece.Size());
            return true;
        };
        CZipBuffer out;
        uint64_t nOut = 0;
        if (im.pDeflater->Compress(gathered.data(), gathered.size(), m_nWholeLimit, out)) {
            nOut = out.Size();
            write(std::move(out));
        } else {
            CDeflateStream stream(im.iLevel);
            stream.FeedAll(gathered.data(), gathered.size(), write);
            nOut = stream.TotalOut();
        }
        FinishEntry(im.uCrc, gathered.size(), nOut);
        return true;
    }
    im.stream.next_in = nullptr;
    im.stream.avail_in = 0;
    if (im.eData == Impl::kStream) {
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
    if (im.eData == Impl::kStream) {
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
    m_file.Patch(static_cast<int64_t>(entry.m_uOffset) + m_directory.m_nBytesBeforeArchive + 14,
                 patch, sizeof(patch));

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
    m_pImpl->pWindow.reset();
    m_pImpl->nWindowFill = 0;
    m_file.Close();
}

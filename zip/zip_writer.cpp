#include "zip/zip_writer.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "zip/zip_bytes.h"
#include "zip/zip_names.h"

namespace {

constexpr uint16_t kMaxField = 65535;

}  // namespace

CZipWriter::CZipWriter(CZipBufferedFile& file, CZipDirectory& directory, const size_t& nWholeLimit)
    : m_file(file), m_directory(directory), m_nWholeLimit(nWholeLimit) {}

CZipWriter::~CZipWriter() = default;

void CZipWriter::Throw(int iCode) const {
    ZipException(iCode, m_file.GetFilePath());
}

void CZipWriter::ReleaseTransfer() {
    m_pTransfer.reset();
    m_nPending = 0;
}

CSourcePacker& CZipWriter::Packer(int iEntryLevel, uint32_t nChunkSize) {
    if (!m_pPacker || m_pPacker->Level() != iEntryLevel || m_pPacker->ChunkSize() != nChunkSize ||
        m_pPacker->WholeLimit() != m_nWholeLimit)
        m_pPacker = std::make_unique<CSourcePacker>(iEntryLevel, nChunkSize, m_nWholeLimit);
    return *m_pPacker;
}

bool CZipWriter::CanBegin() const {
    return m_file.IsOpen() && !m_bEntryOpen && m_directory.Count() < CZipDirectory::kMaxEntries;
}

void CZipWriter::CheckCanBegin() const {
    if (!CanBegin())
        throw SZipRefusal{};
}

void CZipWriter::AddFile(const std::string& strPath, int iLevel, bool bKeepPath,
                         uint32_t nChunkSize) {
    if (nChunkSize == 0)
        throw SZipRefusal{};
    CZipEntryHeader header;
    std::string strName = StoredName(strPath, bKeepPath);
    if (strName.empty())
        throw SZipRefusal{};
    CheckCanBegin();
    header.SetFileName(strName);
    CZipSourceFile source;
    uint64_t nSize = 0;
    switch (OpenPackSource(strPath, false, header, source, nSize)) {
        case EPackSource::kRefused:
            throw SZipRefusal{};
        case EPackSource::kOpenFailed:
            BeginEntry(header, iLevel, 0, true);  // left open: Close() finishes it empty
            throw SZipRefusal{};
        case EPackSource::kOpened:
            break;
    }
    BeginEntry(header, iLevel, nSize, false);
    // The same packing as the worker threads of AddFiles, written straight to the archive.
    SZipPacked packed;
    Packer(iLevel, nChunkSize)
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
}

void CZipWriter::OpenEntry(CZipEntryHeader& header, int iLevel, const std::string& strPath) {
    CheckCanBegin();
    uint64_t nSize = 0;
    if (!ReadSourceStatus(header, strPath, &nSize))
        throw SZipRefusal{};
    BeginEntry(header, iLevel, nSize, true);
}

void CZipWriter::BeginEntry(CZipEntryHeader& header, int iLevel, uint64_t nSizeHint,
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
        throw SZipRefusal{};

    m_pTransfer = std::make_unique<uint8_t[]>(CZipArchiver::kTransferBufferSize);
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

    // CRC and sizes stay 0 until FinishEntry patches them in.
    std::vector<uint8_t> local(CZipEntryHeader::kLocalFixedSize + strStored.size());
    CZipWriteCursor cursor(local.data(), local.size(), m_file.GetFilePath());
    cursor.U32(CZipEntryHeader::kLocalSignature);
    cursor.U16(entry.m_uVersionNeeded);
    cursor.U16(entry.m_uFlag);
    cursor.U16(entry.m_uMethod);
    cursor.U16(entry.m_uModTime);
    cursor.U16(entry.m_uModDate);
    cursor.Zeros(12);
    cursor.U16(static_cast<uint16_t>(strStored.size()));
    cursor.U16(0);  // no extra field
    cursor.Bytes(strStored.data(), strStored.size());
    m_file.Write(local.data(), local.size());
    entry.m_uDiskStart = 0;
    entry.m_uOffset =
        static_cast<uint32_t>(m_file.GetPosition() - static_cast<int64_t>(local.size()) -
                              m_directory.m_nBytesBeforeArchive);
    entry.m_extraField.Release();

    m_nPending = 0;
    m_uCrc = 0;
    m_nTotalIn = 0;
    m_nTotalOut = 0;
    m_iLevel = iLevel;
    m_gathered.clear();
    m_stream.Prepare();
    m_stream.stream.next_out = m_pTransfer.get();
    m_stream.stream.avail_out = CZipArchiver::kTransferBufferSize;
    m_bEntryOpen = true;
    if (!bOwnData)
        m_eData = EData::Outside;
    else if (entry.m_uMethod != 8)
        m_eData = EData::Copy;
    else if (nSizeHint <= m_nWholeLimit)
        m_eData = EData::Gather;
    else
        StartStream();
}

void CZipWriter::StartStream() {
    int iResult =
        deflateInit2(&m_stream.stream, m_iLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (iResult != Z_OK && iResult != Z_NEED_DICT) {
        m_stream.FreeBlocks();
        Throw(iResult);
    }
    m_stream.bActive = true;
    m_eData = EData::Stream;
}

void CZipWriter::FlushPending() {
    if (m_nPending > 0)
        m_file.Write(m_pTransfer.get(), m_nPending);
    m_nPending = 0;
    m_stream.stream.next_out = m_pTransfer.get();
    m_stream.stream.avail_out = CZipArchiver::kTransferBufferSize;
}

void CZipWriter::WriteData(const void* pData, uint32_t nSize) {
    if (!m_bEntryOpen || m_eData == EData::Outside)
        throw SZipRefusal{};
    const auto* pIn = static_cast<const uint8_t*>(pData);
    m_uCrc = ZipCrc32(m_uCrc, pIn, nSize);
    if (m_eData == EData::Gather) {
        if (m_gathered.size() + nSize <= m_nWholeLimit) {
            m_gathered.insert(m_gathered.end(), pIn, pIn + nSize);
            return;
        }
        // Past the limit: the stream starts with what was gathered.
        std::vector<uint8_t> gathered = std::move(m_gathered);
        m_gathered = {};
        StartStream();
        WriteStream(gathered.data(), gathered.size());
    }
    WriteStream(pIn, nSize);
}

void CZipWriter::WriteStream(const uint8_t* pIn, size_t nSize) {
    // avail_in is 32 bits wide: long data goes in slices.
    while (nSize > (uInt{1} << 30)) {
        WriteStream(pIn, uInt{1} << 30);
        pIn += uInt{1} << 30;
        nSize -= uInt{1} << 30;
    }
    const bool bDeflate = m_eData == EData::Stream;
    m_stream.stream.next_in = const_cast<Bytef*>(pIn);
    m_stream.stream.avail_in = static_cast<uInt>(nSize);
    while (m_stream.stream.avail_in > 0) {
        if (m_stream.stream.avail_out == 0)
            FlushPending();
        if (bDeflate) {
            uInt nBefore = m_stream.stream.avail_out;
            int iResult = deflate(&m_stream.stream, Z_NO_FLUSH);
            m_nPending += nBefore - m_stream.stream.avail_out;
            if (iResult != Z_OK && iResult != Z_NEED_DICT)
                Throw(iResult);
        } else {
            uInt nCopy = std::min(m_stream.stream.avail_in, m_stream.stream.avail_out);
            std::memcpy(m_stream.stream.next_out, m_stream.stream.next_in, nCopy);
            m_stream.stream.next_in += nCopy;
            m_stream.stream.avail_in -= nCopy;
            m_stream.stream.next_out += nCopy;
            m_stream.stream.avail_out -= nCopy;
            m_nPending += nCopy;
            m_nTotalIn += nCopy;
            m_nTotalOut += nCopy;
        }
    }
}

void CZipWriter::CloseEntry() {
    if (!m_bEntryOpen)
        throw SZipRefusal{};
    if (m_eData == EData::Outside) {
        // Data written by a caller that failed before finishing it: no size can be known.
        Throw(kZipGenericError);
    }
    if (m_eData == EData::Gather) {
        // As CSourcePacker compresses a whole file.
        if (!m_pDeflater || m_iDeflaterLevel != m_iLevel) {
            m_pDeflater = std::make_unique<CWholeDeflater>(m_iLevel);
            m_iDeflaterLevel = m_iLevel;
        }
        const std::vector<uint8_t> gathered = std::move(m_gathered);
        m_gathered = {};
        auto write = [this](CZipBuffer&& piece) {
            m_file.Write(piece.Data(), piece.Size());
            return true;
        };
        CZipBuffer out;
        uint64_t nOut = 0;
        if (m_pDeflater->Compress(gathered.data(), gathered.size(), m_nWholeLimit, out)) {
            nOut = out.Size();
            write(std::move(out));
        } else {
            CDeflateStream stream(m_iLevel);
            stream.FeedAll(gathered.data(), gathered.size(), write);
            nOut = stream.TotalOut();
        }
        FinishEntry(m_uCrc, gathered.size(), nOut);
        return;
    }
    m_stream.stream.next_in = nullptr;
    m_stream.stream.avail_in = 0;
    if (m_eData == EData::Stream) {
        int iResult;
        do {
            if (m_stream.stream.avail_out == 0)
                FlushPending();
            uInt nBefore = m_stream.stream.avail_out;
            iResult = deflate(&m_stream.stream, Z_FINISH);
            m_nPending += nBefore - m_stream.stream.avail_out;
        } while (iResult == Z_OK);
        if (iResult != Z_STREAM_END)
            Throw(iResult);
    }
    FlushPending();
    if (m_eData == EData::Stream) {
        m_nTotalIn = m_stream.stream.total_in;
        m_nTotalOut = m_stream.stream.total_out;
        int iResult = deflateEnd(&m_stream.stream);
        m_stream.bActive = false;
        if (iResult != Z_OK)
            Throw(iResult);
    }
    FinishEntry(m_uCrc, m_nTotalIn, m_nTotalOut);
}

void CZipWriter::FinishEntry(uint32_t uCrc, uint64_t nTotalIn, uint64_t nTotalOut) {
    CZipEntryHeader& entry = *m_directory.m_pCurrent;
    if (nTotalIn > 0xFFFFFFFFULL || nTotalOut > 0xFFFFFFFFULL)
        Throw(kZipGenericError);
    entry.m_uCrc32 = uCrc;
    entry.m_uComprSize = static_cast<uint32_t>(nTotalOut);
    entry.m_uUncomprSize = static_cast<uint32_t>(nTotalIn);

    uint8_t patch[12];
    CZipWriteCursor cursor(patch, sizeof(patch), m_file.GetFilePath());
    cursor.U32(entry.m_uCrc32);
    cursor.U32(entry.m_uComprSize);
    cursor.U32(entry.m_uUncomprSize);
    m_file.Patch(static_cast<int64_t>(entry.m_uOffset) + m_directory.m_nBytesBeforeArchive + 14,
                 patch, sizeof(patch));

    m_directory.m_pCurrent = nullptr;
    m_bEntryOpen = false;
    ReleaseTransfer();
}

void CZipWriter::Finish() {
    if (m_bEntryOpen)
        CloseEntry();
    if (!m_directory.m_bOnDisk)
        m_directory.WriteDirectory(m_file, m_file.GetFilePath());
}

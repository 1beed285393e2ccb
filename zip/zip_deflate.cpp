#include "zip/zip_deflate.h"

#if ZAV_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <new>

#include "zip/zip_exception.h"
#include "zip/zip_file.h"

namespace {

constexpr size_t kPieceSize = 16384;
// Buffers up to this size are kept for the next source; larger ones are given back at once, so
// a thread that met one large file does not hold its memory for the rest of the archive.
constexpr size_t kKeepBytes = size_t{1} << 20;

int ZlibLevel(int iLevel) {
    return iLevel < 0 ? Z_DEFAULT_COMPRESSION : iLevel;
}

}  // namespace

#if ZAV_HAVE_LIBDEFLATE

uint32_t ZipCrc32(uint32_t uCrc, const uint8_t* pData, size_t nSize) {
    return nSize > 0 ? libdeflate_crc32(uCrc, pData, nSize) : uCrc;
}

CWholeDeflater::CWholeDeflater(int iLevel) : m_iLevel(iLevel), m_pCompressor(nullptr) {}

CWholeDeflater::~CWholeDeflater() {
    if (m_pCompressor)
        libdeflate_free_compressor(m_pCompressor);
}

bool CWholeDeflater::Compress(const uint8_t* pData, size_t nSize, size_t nOutLimit,
                              CZipBuffer& out) {
    out = CZipBuffer();
    if (nSize == 0)
        return false;
    if (m_pCompressor == nullptr) {
        // zlib's levels and libdeflate's agree from 1 to 9; zlib's default is 6.
        m_pCompressor = libdeflate_alloc_compressor(m_iLevel < 0 ? 6 : m_iLevel);
        if (m_pCompressor == nullptr)
            throw std::bad_alloc();
    }
    const size_t nCapacity =
        std::min(libdeflate_deflate_compress_bound(m_pCompressor, nSize), nOutLimit);
    CZipBuffer made(nCapacity);
    const size_t nMade =
        libdeflate_deflate_compress(m_pCompressor, pData, nSize, made.Data(), nCapacity);
    if (nMade == 0)
        return false;
    made.SetSize(nMade);
    out = std::move(made);
    return true;
}

#else  // zlib alone: whole buffers go through zlib's stream too

uint32_t ZipCrc32(uint32_t uCrc, const uint8_t* pData, size_t nSize) {
    // crc32 counts in 32 bits: long data goes in slices.
    while (nSize > 0) {
        const size_t nSlice = std::min<size_t>(nSize, uInt{1} << 30);
        uCrc = static_cast<uint32_t>(crc32(uCrc, pData, static_cast<uInt>(nSlice)));
        pData += nSlice;
        nSize -= nSlice;
    }
    return uCrc;
}

CWholeDeflater::CWholeDeflater(int iLevel) : m_iLevel(iLevel), m_pCompressor(nullptr) {}

CWholeDeflater::~CWholeDeflater() = default;

bool CWholeDeflater::Compress(const uint8_t*, size_t, size_t, CZipBuffer& out) {
    out = CZipBuffer();
    return false;
}

#endif

CDeflateStream::CDeflateStream(int iLevel) : m_out(kPieceSize) {
    int iResult =
        deflateInit2(&m_stream, ZlibLevel(iLevel), Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (iResult != Z_OK)
        ZipException(iResult, std::string());
    m_stream.next_out = m_out.Data();
    m_stream.avail_out = static_cast<uInt>(kPieceSize);
}

CDeflateStream::~CDeflateStream() {
    deflateEnd(&m_stream);
}

bool CDeflateStream::Hand(const ZipPieceSink& sink) {
    const size_t nFill = kPieceSize - m_stream.avail_out;
    if (nFill == 0)
        return true;
    // The full buffer goes as the piece; the stream goes on in a new one.
    CZipBuffer piece = std::move(m_out);
    piece.SetSize(nFill);
    m_out = CZipBuffer(kPieceSize);
    m_stream.next_out = m_out.Data();
    m_stream.avail_out = static_cast<uInt>(kPieceSize);
    m_nOut += nFill;
    return sink(std::move(piece));
}

bool CDeflateStream::Run(int iFlush, const ZipPieceSink& sink) {
    while (true) {
        if (m_stream.avail_out == 0 && !Hand(sink))
            return false;
        const int iResult = deflate(&m_stream, iFlush);
        if (iFlush == Z_FINISH) {
            if (iResult == Z_STREAM_END)
                return Hand(sink);
            if (iResult != Z_OK)
                ZipException(iResult, std::string());
        } else {
            if (iResult != Z_OK)
                ZipException(iResult, std::string());
            if (m_stream.avail_in == 0)
                return true;
        }
    }
}

bool CDeflateStream::Feed(const uint8_t* pData, size_t nSize, const ZipPieceSink& sink) {
    m_nIn += nSize;
    // avail_in is 32 bits wide: long data goes in slices.
    while (nSize > 0) {
        const size_t nSlice = std::min<size_t>(nSize, uInt{1} << 30);
        m_stream.next_in = const_cast<Bytef*>(pData);
        m_stream.avail_in = static_cast<uInt>(nSlice);
        if (!Run(Z_NO_FLUSH, sink))
            return false;
        pData += nSlice;
        nSize -= nSlice;
    }
    return true;
}

bool CDeflateStream::Finish(const ZipPieceSink& sink) {
    m_stream.next_in = nullptr;
    m_stream.avail_in = 0;
    return Run(Z_FINISH, sink);
}

#if ZAV_HAVE_LIBDEFLATE

CWholeInflater::CWholeInflater() : m_pDecompressor(libdeflate_alloc_decompressor()) {
    if (m_pDecompressor == nullptr)
        throw std::bad_alloc();
}

CWholeInflater::~CWholeInflater() {
    libdeflate_free_decompressor(m_pDecompressor);
}

bool CWholeInflater::Inflate(const uint8_t* pIn, size_t nIn, uint8_t* pOut, size_t nOut) {
    uint8_t dummy = 0;
    size_t nInUsed = 0;
    size_t nMade = 0;
    const libdeflate_result result =
        libdeflate_deflate_decompress_ex(m_pDecompressor, nIn > 0 ? pIn : &dummy, nIn,
                                         nOut > 0 ? pOut : &dummy, nOut, &nInUsed, &nMade);
    return result == LIBDEFLATE_SUCCESS && nMade == nOut;
}

#else

CWholeInflater::CWholeInflater() : m_pDecompressor(nullptr) {}

CWholeInflater::~CWholeInflater() = default;

bool CWholeInflater::Inflate(const uint8_t*, size_t, uint8_t*, size_t) {
    return false;
}

#endif

CSourcePacker::CSourcePacker(int iLevel, uint32_t nChunkSize, size_t nWholeLimit)
    : m_iLevel(iLevel), m_nChunkSize(nChunkSize), m_nWholeLimit(nWholeLimit), m_deflater(iLevel) {}

size_t CSourcePacker::WholeBytes(uint64_t nSize) const {
    if (m_iLevel == 0 || nSize > m_nWholeLimit)
        return 0;
    return 2 * static_cast<size_t>(nSize) + 1;
}

bool CSourcePacker::Pack(CZipSourceFile& source, uint64_t nSize, const ZipPieceSink& sink,
                         SZipPacked& packed) {
    packed = SZipPacked{};
    if (WholeBytes(nSize) > 0)
        return PackWhole(source, nSize, sink, packed);
    return PackStream(source, nullptr, 0, sink, packed);
}

bool CSourcePacker::PackWhole(CZipSourceFile& source, uint64_t nSize, const ZipPieceSink& sink,
                              SZipPacked& packed) {
    // One byte more than the size: a file that grew since is seen at once.
    m_input.Reserve(static_cast<size_t>(nSize) + 1);
    size_t nHave = 0;
    while (true) {
        const size_t nWant = m_input.Capacity() - nHave;
        const size_t nRead = source.Read(m_input.Data() + nHave, nWant);
        nHave += nRead;
        if (nRead < nWant)
            break;  // the end of the file, or a failed read
        if (nHave > m_nWholeLimit) {
            // Grew past the limit: what was read starts the stream.
            m_input.SetSize(nHave);
            const bool bGoing = PackStream(source, m_input.Data(), nHave, sink, packed);
            DropLargeInput();
            return bGoing;
        }
        CZipBuffer more(std::min(m_input.Capacity() * 2, m_nWholeLimit + 1));
        std::copy_n(m_input.Data(), nHave, more.Data());
        m_input = std::move(more);
    }
    packed.nReadError = source.GetError();
    packed.uCrc = ZipCrc32(0, m_input.Data(), nHave);
    packed.nIn = nHave;
    CZipBuffer out;
    if (m_deflater.Compress(m_input.Data(), nHave, m_nWholeLimit, out)) {
        DropLargeInput();
        packed.nOut = out.Size();
        return sink(std::move(out));
    }
    // libdeflate's output would pass the limit (or there is nothing to compress): zlib.
    CDeflateStream stream(m_iLevel);
    const bool bGoing = stream.FeedAll(m_input.Data(), nHave, sink);
    DropLargeInput();
    packed.nOut = stream.TotalOut();
    return bGoing;
}

void CSourcePacker::DropLargeInput() {
    if (m_input.Capacity() > kKeepBytes)
        m_input = CZipBuffer();
}

bool CSourcePacker::PackStream(CZipSourceFile& source, const uint8_t* pData, size_t nSize,
                               const ZipPieceSink& sink, SZipPacked& packed) {
    std::unique_ptr<CDeflateStream> pStream;
    if (m_iLevel != 0)
        pStream = std::make_unique<CDeflateStream>(m_iLevel);
    uint32_t uCrc = ZipCrc32(0, pData, nSize);
    uint64_t nIn = nSize;
    uint64_t nOut = 0;
    auto copy = [&sink](const uint8_t* p, size_t n) {
        CZipBuffer piece(n);
        std::copy_n(p, n, piece.Data());
        piece.SetSize(n);
        return sink(std::move(piece));
    };
    if (nSize > 0) {
        if (pStream ? !pStream->Feed(pData, nSize, sink) : !copy(pData, nSize))
            return false;
        nOut = nSize;
    }
    CZipBuffer chunk(m_nChunkSize);
    while (true) {
        const size_t nRead = source.Read(chunk.Data(), m_nChunkSize);
        if (nRead > 0) {
            uCrc = ZipCrc32(uCrc, chunk.Data(), nRead);
            if (pStream) {
                if (!pStream->Feed(chunk.Data(), nRead, sink))
                    return false;
            } else {
                nIn += nRead;
                nOut += nRead;
                if (!copy(chunk.Data(), nRead))
                    return false;
            }
        }
        if (nRead < m_nChunkSize)
            break;
    }
    if (pStream) {
        if (!pStream->Finish(sink))
            return false;
        nIn = pStream->TotalIn();
        nOut = pStream->TotalOut();
    }
    packed.uCrc = uCrc;
    packed.nIn = nIn;
    packed.nOut = nOut;
    packed.nReadError = source.GetError();
    return true;
}

// Deflate for the archive layer: whole buffers through libdeflate (several times faster than
// zlib's streams, but it needs the whole input and output in memory), streams through zlib, and
// the packing of one source file into the data of an entry.
//
// Built without libdeflate (ZAV_WITH_LIBDEFLATE off, as on Windows), the whole-buffer classes
// decline every buffer and zlib's stream does all the work: the same entries, read and written
// by one code path, only slower and with zlib's compressed bytes.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "zip/zip_file.h"

struct libdeflate_compressor;
struct libdeflate_decompressor;

// Receives compressed data in pieces, in order; false stops the packing.
using ZipPieceSink = std::function<bool(CZipBuffer&&)>;

// Raw deflate of a whole buffer at a zlib level (-1 is 6; 1-9), reusable for many buffers.
class CWholeDeflater {
public:
    explicit CWholeDeflater(int iLevel);
    ~CWholeDeflater();
    CWholeDeflater(const CWholeDeflater&) = delete;
    CWholeDeflater& operator=(const CWholeDeflater&) = delete;

    // Compresses the nSize bytes at pData into out (made anew). False, out empty, when the
    // output would not fit in nOutLimit bytes, and for empty data: zlib's turn (its two bytes
    // for empty data are what every reader expects). Throws std::bad_alloc.
    bool Compress(const uint8_t* pData, size_t nSize, size_t nOutLimit, CZipBuffer& out);

private:
    int m_iLevel;
    libdeflate_compressor* m_pCompressor;
};

// A zlib raw-deflate stream whose output comes in pieces of 16384 bytes (the last one shorter).
class CDeflateStream {
public:
    // Throws CZipException when zlib cannot start the stream.
    explicit CDeflateStream(int iLevel);
    ~CDeflateStream();
    CDeflateStream(const CDeflateStream&) = delete;
    CDeflateStream& operator=(const CDeflateStream&) = delete;

    // Compresses nSize bytes; full pieces go to sink. False when sink stopped. Throws
    // CZipException for a zlib failure.
    bool Feed(const uint8_t* pData, size_t nSize, const ZipPieceSink& sink);
    // Feed and Finish of a whole buffer.
    bool FeedAll(const uint8_t* pData, size_t nSize, const ZipPieceSink& sink) {
        return Feed(pData, nSize, sink) && Finish(sink);
    }
    // Ends the stream and hands over the rest.
    bool Finish(const ZipPieceSink& sink);
    uint64_t TotalIn() const { return m_nIn; }
    uint64_t TotalOut() const { return m_nOut; }

private:
    bool Run(int iFlush, const ZipPieceSink& sink);
    bool Hand(const ZipPieceSink& sink);

    z_stream m_stream{};
    CZipBuffer m_out;
    uint64_t m_nIn = 0;
    uint64_t m_nOut = 0;
};

// Inflates whole raw-deflate data with libdeflate.
class CWholeInflater {
public:
    CWholeInflater();
    ~CWholeInflater();
    CWholeInflater(const CWholeInflater&) = delete;
    CWholeInflater& operator=(const CWholeInflater&) = delete;

    // True when the nIn bytes at pIn begin with one complete deflate stream of exactly nOut
    // bytes, now at pOut. False for anything else (corrupt, shorter, longer): the caller then
    // reads the entry through zlib, which reports the fault as it always has.
    bool Inflate(const uint8_t* pIn, size_t nIn, uint8_t* pOut, size_t nOut);

private:
    libdeflate_decompressor* m_pDecompressor;
};

// CRC-32 of a buffer of any length.
uint32_t ZipCrc32(uint32_t uCrc, const uint8_t* pData, size_t nSize);

// What packing one source gave.
struct SZipPacked {
    uint32_t uCrc = 0;
    uint64_t nIn = 0;    // uncompressed bytes
    uint64_t nOut = 0;   // compressed bytes
    int nReadError = 0;  // errno of a failed read: the data ends with what came before it
};

// The data of one entry made from a source file, read to its end at a zlib level (0: stored,
// copied in chunks). Data of at most nWholeLimit bytes from a file whose size said so is read
// into one buffer and compressed at once (CWholeDeflater); anything longer is read in chunks of
// nChunkSize and streamed through zlib. The choice depends only on the size and the data, so
// every thread and every call make the same bytes of the same file.
class CSourcePacker {
public:
    CSourcePacker(int iLevel, uint32_t nChunkSize, size_t nWholeLimit);

    // Memory a source of nSize bytes needs besides this object: input and output of a whole
    // buffer, 0 for a streamed source.
    size_t WholeBytes(uint64_t nSize) const;
    // Reads and compresses everything source delivers; the compressed pieces go to sink in
    // order (one piece for a whole buffer). False when sink stopped it. Throws CZipException
    // for a zlib failure, std::bad_alloc.
    bool Pack(CZipSourceFile& source, uint64_t nSize, const ZipPieceSink& sink, SZipPacked& packed);

    int Level() const { return m_iLevel; }
    uint32_t ChunkSize() const { return m_nChunkSize; }
    size_t WholeLimit() const { return m_nWholeLimit; }

private:
    bool PackWhole(CZipSourceFile& source, uint64_t nSize, const ZipPieceSink& sink,
                   SZipPacked& packed);
    // Streams pData (already read) and then the rest of source.
    bool PackStream(CZipSourceFile& source, const uint8_t* pData, size_t nSize,
                    const ZipPieceSink& sink, SZipPacked& packed);
    void DropLargeInput();

    int m_iLevel;
    uint32_t m_nChunkSize;
    size_t m_nWholeLimit;
    CWholeDeflater m_deflater;
    CZipBuffer m_input;  // kept between sources when small
};

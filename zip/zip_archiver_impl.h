// Private state of CZipArchiver shared by its writing and reading halves.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "zip/zip_archiver.h"

struct CZipArchiver::Impl {
    z_stream stream{};
    bool bStreamActive = false;
    // Transfer buffer: compressed output waiting to be written, or compressed input read
    // from the archive.
    std::unique_ptr<uint8_t[]> pTransfer;
    uint32_t nPending = 0;       // compressed bytes waiting in the transfer buffer (writing)
    uint32_t nComprLeft = 0;     // compressed bytes still to read from the archive
    uint32_t nUncomprLeft = 0;   // uncompressed bytes still to deliver
    uint32_t uCrc = 0;           // running CRC-32 of what was read or written
    uint64_t nTotalIn = 0;       // uncompressed bytes taken (writing)
    uint64_t nTotalOut = 0;      // compressed bytes produced (writing)
    std::vector<uint8_t> chunk;  // source chunks of AddFile, kept between files
    // Every block zlib currently holds for this archive.
    std::vector<void*> blocks;

    static voidpf Alloc(voidpf pOpaque, uInt nItems, uInt nSize);
    static void Free(voidpf pOpaque, voidpf pBlock);
    void PrepareStream();
    // Frees every block still recorded; a stream abandoned by an exception ends here.
    void FreeBlocks();
};

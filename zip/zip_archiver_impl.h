// Private state of CZipArchiver shared by its writing and reading halves, and the helpers its
// worker threads share with it.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zip/zip_archiver.h"
#include "zip/zip_deflate.h"

struct CZipArchiver::Impl {
    z_stream stream{};
    bool bStreamActive = false;
    // Transfer buffer: compressed output waiting to be written, or compressed input read
    // from the archive.
    std::unique_ptr<uint8_t[]> pTransfer;
    uint32_t nPending = 0;      // compressed bytes waiting in the transfer buffer (writing)
    uint32_t nComprLeft = 0;    // compressed bytes still to read from the archive
    uint32_t nUncomprLeft = 0;  // uncompressed bytes still to deliver
    bool bDataEnded = false;    // reading: the entry's data was seen to end
    uint32_t uCrc = 0;          // running CRC-32 of what was read or written
    uint64_t nTotalIn = 0;      // uncompressed bytes taken (writing)
    uint64_t nTotalOut = 0;     // compressed bytes produced (writing)
    // Every block zlib currently holds for this archive.
    std::vector<void*> blocks;

    // How the data of the entry being added arrives: gathered for one deflate, through the
    // zlib stream, copied (stored), or written by the caller.
    enum EData { kGather, kStream, kCopy, kOutside };
    EData eData = kOutside;
    int iLevel = -1;                            // level of the entry being added
    std::vector<uint8_t> gathered;              // kGather: the data so far
    std::unique_ptr<CSourcePacker> pPacker;     // AddFile's, kept while its settings stay
    std::unique_ptr<CWholeDeflater> pDeflater;  // CloseEntryForWriting's for gathered data
    int iDeflaterLevel = -1;

    // Reading: a window over the archive for headers and small entries, libdeflate's state.
    std::unique_ptr<uint8_t[]> pWindow;
    int64_t nWindowStart = 0;
    size_t nWindowFill = 0;
    std::unique_ptr<CWholeInflater> pInflater;
    CZipBuffer compressed;  // ExtractEntry's buffers
    CZipBuffer plain;

    static voidpf Alloc(voidpf pOpaque, uInt nItems, uInt nSize);
    static void Free(voidpf pOpaque, voidpf pBlock);
    void PrepareStream();
    // Frees every block still recorded; a stream abandoned by an exception ends here.
    void FreeBlocks();
    CSourcePacker& Packer(int iEntryLevel, uint32_t nChunkSize, size_t nWholeLimit);
};

// Buffers larger than this are given back after use instead of being kept for the next entry.
constexpr size_t kZipKeepBufferBytes = size_t{1} << 20;

// Packing: how the source of a new entry opened.
enum class EPackSource { kOpened, kRefused, kOpenFailed };
// Opens the source at strPath and takes its time and attribute word into header and its size
// into nSize. bOpenFirst: opened first (non-blocking) and refused unless it is a regular file;
// otherwise as AddFile: the status first (refused when unreadable or not a regular file), then
// the file, kOpenFailed when it cannot be opened.
EPackSource OpenPackSource(const std::string& strPath, bool bOpenFirst, CZipEntryHeader& header,
                           CZipSourceFile& source, uint64_t& nSize);

// Extraction.
// The path an entry stored as strStored (StoredName of its name) takes under strFolder.
std::string ExtractTarget(const std::string& strFolder, const std::string& strStored);
// A file entry needs a last part that names a file (not empty, "." or "..").
bool HasFileName(const std::string& strStored);
// The folder part of a target path, with its final '/' ("" when it has none).
std::string ParentFolder(const std::string& strPath);
// Opens strPath for an extracted file: a new file where nothing is (the folders it needs made
// first), otherwise what is there made replaceable and overwritten.
void OpenTarget(CZipTargetFile& target, const std::string& strPath);
// Writes the nSize bytes at pData as the extracted file of entry into target (opened), throws
// CrcMismatch when the data's CRC differs from the entry's (after the file was written, as
// zlib's path does), then sets its time (tModified, the entry's GetTime(): the time zone is
// read on one thread only) and permissions and closes it. False when they cannot be set. Safe
// on several threads for different targets.
bool WriteExtractedFile(const CZipEntryHeader& entry, CZipTargetFile& target, const uint8_t* pData,
                        size_t nSize, int64_t tModified, const std::string& strArchive);
// The entry's data from its compressed bytes: inflated into plain, or for a stored entry the
// bytes themselves; *ppData then points at the entry's m_uUncomprSize bytes. False when
// libdeflate declines the data or a stored entry's sizes differ: the entry must then go
// through zlib, which reports such faults as it always has.
bool InflateWholeEntry(CWholeInflater& inflater, const CZipEntryHeader& entry,
                       const CZipBuffer& compressed, CZipBuffer& plain, const uint8_t** ppData);

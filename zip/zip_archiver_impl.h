// What the writer and the reader behind CZipArchiver share, and the helpers their worker
// threads share with them.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zip/zip_archiver.h"
#include "zip/zip_deflate.h"
#include "zip/zip_directory.h"
#include "zip/zip_file.h"

// A refusal of the writer or the reader: what was asked is not done, and nothing more was
// written than CZipArchiver documents for the call. It never leaves CZipArchiver, which turns
// it into its false returns, codes and counts.
struct SZipRefusal {
    enum EWhy {
        kRefused,       // refused before anything was done
        kIncomplete,    // written, but short of its declared size or without its time or mode
        kNotReadToEnd,  // an entry closed before its end (no CRC check)
        kTimesNotSet,   // an entry's file got its data but not its times (the entry stays open)
        kModeNotSet,    // an entry's file got its data and times but not its permissions
        kStoppedAt,     // a run of entries or files stopped at index nAt
    };
    EWhy eWhy = kRefused;
    size_t nAt = 0;
};

// A zlib stream whose every block is recorded, so that a stream abandoned by an exception gives
// its memory back (FreeBlocks, and when it goes). Not to be moved once prepared.
struct SZipStream {
    z_stream stream{};
    bool bActive = false;
    std::vector<void*> blocks;

    SZipStream() = default;
    ~SZipStream() { FreeBlocks(); }
    SZipStream(const SZipStream&) = delete;
    SZipStream& operator=(const SZipStream&) = delete;

    // A fresh stream whose blocks come from Alloc.
    void Prepare();
    // Frees every block still recorded; a stream abandoned by an exception ends here.
    void FreeBlocks();
    static voidpf Alloc(voidpf pOpaque, uInt nItems, uInt nSize);
    static void Free(voidpf pOpaque, voidpf pBlock);
};

// The bytes that extracting every file entry of directory writes (CZipArchiver::DeclaredSize).
uint64_t DeclaredSizeOf(const CZipDirectory& directory);

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

// The central directory of the open archive, kept in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "zip/zip_byte_buffer.h"
#include "zip/zip_entry_header.h"
#include "zip/zip_file.h"

class CZipDirectory {
public:
    static constexpr uint32_t kEndSignature = 0x06054b50;
    static constexpr uint32_t kEndRecordSize = 22;
    static constexpr uint32_t kMaxEntries = 65535;
    // 22 bytes of end record plus the longest possible archive comment.
    static constexpr int64_t kEndSearchWindow = 65557;
    static constexpr int64_t kEndSearchChunk = 32768;

    // Clears everything: no entries, no current entry, BytesBeforeArchive 0, flag off.
    void Reset();

    // Position of the end of central directory record: the signature nearest to the end of
    // the file within its last 65557 bytes. Throws EndRecordNotFound (also for an empty
    // file), BadArchive on a short read.
    int64_t FindEndRecord(CZipBufferedFile& file, const std::string& strArchivePath);
    // Reads the end record and every central header; names become UTF-8 in memory.
    // Throws BadArchive for every inconsistency (see the checks in zip_directory.cpp), among
    // them entries whose bytes overlap (CheckEntrySpans).
    void ReadDirectory(CZipBufferedFile& file, const std::string& strArchivePath);
    // Throws BadArchive unless, taken in the order of their local header offsets, every entry's
    // local header, name, extra field, data and data descriptor end at or before the next
    // entry's local header, and the last one's before the central directory. This refuses
    // the archives that expand without end from a small file: many entries of one local
    // header, or data ranges that each cover the next entry. Reads each local header (30
    // bytes) and, after data described afterwards, the 4 bytes where a descriptor's signature
    // would be.
    void CheckEntrySpans(CZipBufferedFile& file, const std::string& strArchivePath) const;
    // Writes every central header and the end record at the end of the file.
    void WriteDirectory(CZipBufferedFile& file, const std::string& strArchivePath);

    size_t Count() const { return m_entries.size(); }

    std::vector<std::unique_ptr<CZipEntryHeader>> m_entries;
    // End-record values.
    uint16_t m_uThisDisk = 0;
    uint16_t m_uDirStartDisk = 0;
    uint16_t m_uEntriesOnDisk = 0;
    uint16_t m_uTotalEntries = 0;
    uint32_t m_uDirSize = 0;
    uint32_t m_uDirOffset = 0;
    CZipByteBuffer m_archiveComment;
    // Bytes in front of the archive data (a prefixed archive); 0 for archives made here.
    int64_t m_nBytesBeforeArchive = 0;
    // Set when the directory came from disk and nothing was added since.
    bool m_bOnDisk = false;
    // The entry being added or extracted, or null.
    CZipEntryHeader* m_pCurrent = nullptr;
    // Local extra field of the entry being extracted.
    CZipByteBuffer m_localExtra;
};

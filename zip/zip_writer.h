// CZipWriter: the writing side behind CZipArchiver, for an archive being created. It adds
// entries (whole files, step by step, or many files through the packing threads) and writes
// the central directory when it finishes.
//
// One error style: every call that does not do what it was asked throws. A refusal (nothing
// was written, or only what CZipArchiver documents for it) throws SZipRefusal, which
// CZipArchiver turns into its false returns and counts; a failure throws CZipException,
// CFileException or std::bad_alloc, which CZipArchiver passes on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/zip_archiver_impl.h"

class CZipWriter {
public:
    // file: created and open; directory: empty; nWholeLimit: the archive's whole limit, read
    // at each entry.
    CZipWriter(CZipBufferedFile& file, CZipDirectory& directory, const size_t& nWholeLimit);
    ~CZipWriter();
    CZipWriter(const CZipWriter&) = delete;
    CZipWriter& operator=(const CZipWriter&) = delete;

    // The calls of CZipArchiver with the same names (see there), throwing where it returns
    // false. A source that cannot be opened after its status was read leaves its entry open
    // (CloseEntry or Finish ends it empty) and throws SZipRefusal.
    void AddFile(const std::string& strPath, int iLevel, bool bKeepPath, uint32_t nChunkSize);
    void OpenEntry(CZipEntryHeader& header, int iLevel, const std::string& strPath);
    void WriteData(const void* pData, uint32_t nSize);
    void CloseEntry();
    // AddFiles and AddFilesAs (bAsAddFile: AddFile's rules). Returns sources.size(); a file
    // that would be refused stops it with SZipRefusal, whose nAt counts the files added.
    size_t AddSources(const std::vector<SZipSource>& sources, int iLevel, uint32_t nChunkSize,
                      unsigned nThreads, size_t nLookAheadBytes,
                      const std::function<void()>& fnProgress, bool bAsAddFile);
    // Ends an open entry and writes the central directory and the end record.
    void Finish();

    bool EntryOpen() const { return m_bEntryOpen; }

private:
    // Whether a new entry may begin; CheckCanBegin throws SZipRefusal when not.
    bool CanBegin() const;
    void CheckCanBegin() const;
    // Writes the local header of a new entry (time and attributes already in header) and
    // makes it the entry being added. With bOwnData its data comes through WriteData
    // (gathered while nSizeHint and the data are within the whole limit); otherwise the caller
    // writes the compressed data to the file itself and finishes with FinishEntry.
    void BeginEntry(CZipEntryHeader& header, int iLevel, uint64_t nSizeHint, bool bOwnData);
    // Records CRC and sizes of the entry being added, patches its local header, ends it.
    void FinishEntry(uint32_t uCrc, uint64_t nTotalIn, uint64_t nTotalOut);
    // Starts the zlib stream of the entry being added; WriteStream feeds it (or copies).
    void StartStream();
    void WriteStream(const uint8_t* pIn, size_t nSize);
    void FlushPending();
    void ReleaseTransfer();
    CSourcePacker& Packer(int iEntryLevel, uint32_t nChunkSize);
    [[noreturn]] void Throw(int iCode) const;

    // How the data of the entry being added arrives: gathered for one deflate, through the
    // zlib stream, copied (stored), or written by the caller.
    enum class EData { Gather, Stream, Copy, Outside };

    CZipBufferedFile& m_file;
    CZipDirectory& m_directory;
    const size_t& m_nWholeLimit;
    bool m_bEntryOpen = false;
    SZipStream m_stream;
    // Compressed output waiting to be written.
    std::unique_ptr<uint8_t[]> m_pTransfer;
    uint32_t m_nPending = 0;
    uint32_t m_uCrc = 0;       // running CRC-32 of what was written
    uint64_t m_nTotalIn = 0;   // uncompressed bytes taken
    uint64_t m_nTotalOut = 0;  // compressed bytes produced
    EData m_eData = EData::Outside;
    int m_iLevel = -1;                            // level of the entry being added
    std::vector<uint8_t> m_gathered;              // Gather: the data so far
    std::unique_ptr<CSourcePacker> m_pPacker;     // AddFile's, kept while its settings stay
    std::unique_ptr<CWholeDeflater> m_pDeflater;  // CloseEntry's for gathered data
    int m_iDeflaterLevel = -1;
};

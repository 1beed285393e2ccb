// CZipReader: the reading side behind CZipArchiver, for an archive opened read-only: entries
// read step by step, extracted one by one or all at once on threads, and tested.
//
// One error style: every call that does not do what it was asked throws. A refusal or an
// outcome short of the whole (an index out of range, an unsafe name, data that ended early, a
// time that could not be set, a run that stopped at an entry) throws SZipRefusal, which
// CZipArchiver turns into its false returns, codes and indexes; a failure throws
// CZipException, CFileException or std::bad_alloc, which CZipArchiver passes on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zip/zip_archiver_impl.h"

class CZipReader {
public:
    // file: open for reading, its directory read into directory; nWholeLimit: the archive's
    // whole limit, read at each entry.
    CZipReader(CZipBufferedFile& file, CZipDirectory& directory, const size_t& nWholeLimit);
    ~CZipReader();
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;

    // The calls of CZipArchiver with the same names (see there).
    void OpenEntry(uint16_t uIndex);
    // Up to nSize bytes of the open entry's data; 0 at its end (or with nothing open).
    uint32_t ReadData(void* pBuffer, uint32_t nSize);
    // Ends the open entry after checking its CRC; with a path also sets that file's times and
    // permissions. Refusals: no entry open, kNotReadToEnd, kTimesNotSet (the entry stays open),
    // kModeNotSet.
    void CloseEntry(const std::string& strPath);
    // Refusals: kRefused (nothing written), kIncomplete (written short or without its time or
    // permissions).
    void ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bKeepPath,
                      uint32_t nChunkSize);
    // Returns the number of entries; one that stops it without an exception throws
    // SZipRefusal kStoppedAt with its index.
    size_t ExtractAll(const std::string& strFolder, unsigned nThreads, size_t nLookAheadBytes);
    void TestEntry(uint16_t uIndex);
    // Ends an entry left open, repeating its checks (Close of the archive).
    void Finish();

    bool EntryOpen() const { return m_bEntryOpen; }

private:
    // Extracts a file entry to strTarget (its checks done): in one buffer when it fits the
    // whole limit, otherwise (or when libdeflate declines the data) through zlib.
    bool ExtractFile(uint16_t uIndex, const std::string& strTarget, uint32_t nChunkSize);
    // Through zlib into the file fnOpen opens.
    bool ExtractStreamed(uint16_t uIndex, const ZipTargetOpener& fnOpen, uint32_t nChunkSize);
    // OpenEntry's work: false for the refusals it throws.
    bool BeginEntry(uint16_t uIndex);
    // CloseEntry's work: 1 when read to its end with a matching CRC, -1 when not read to its
    // end (no CRC check), 0 when the times cannot be set (the entry then stays open), -2 when
    // the permissions cannot be set.
    int EndEntry(const std::string& strPath);
    bool FitsWhole(const CZipEntryHeader& entry) const;
    // Reads the compressed data of entry uIndex into data after checking its local header
    // (and data descriptor) against the directory; throws BadArchive.
    void ReadWholeEntry(uint16_t uIndex, CZipBuffer& data);
    // Checks the local header of entry at its offset; returns where its data starts.
    int64_t CheckLocalHeader(const CZipEntryHeader& entry);
    void CheckDescriptor(const CZipEntryHeader& entry, int64_t nDataStart);
    // Reads exactly nCount bytes of the archive at nOffset through a read-ahead window.
    void ReadArchiveAt(int64_t nOffset, uint8_t* pOut, size_t nCount);
    // ExtractAll's work once the checks passed; nThreads 0: everything on this thread. The
    // number of entries, or the index of the first that failed.
    size_t ExtractInOrder(const std::vector<std::string>& targets, unsigned nThreads,
                          size_t nLookAheadBytes);
    // Ends an entry left open for reading by an exception, without its checks.
    void AbandonEntry();
    void CloseCurrentEntry();
    // Refills the transfer buffer from the entry's compressed bytes when it is empty.
    void FillTransfer();
    // After the declared size was delivered: throws BadArchive when the data goes on,
    // BufferError when a deflate stream is cut off before its end.
    void CheckDataEnds();
    void ReleaseTransfer();
    [[noreturn]] void Throw(int iCode) const;

    CZipBufferedFile& m_file;
    CZipDirectory& m_directory;
    const size_t& m_nWholeLimit;
    bool m_bEntryOpen = false;
    int64_t m_nDataStart = 0;  // file position of the data of the entry being read
    SZipStream m_stream;
    // Compressed input read from the archive.
    std::unique_ptr<uint8_t[]> m_pTransfer;
    uint32_t m_nComprLeft = 0;    // compressed bytes still to read from the archive
    uint32_t m_nUncomprLeft = 0;  // uncompressed bytes still to deliver
    bool m_bDataEnded = false;    // the entry's data was seen to end
    uint32_t m_uCrc = 0;          // running CRC-32 of what was read
    // A window over the archive for headers and small entries, libdeflate's state.
    std::unique_ptr<uint8_t[]> m_pWindow;
    int64_t m_nWindowStart = 0;
    size_t m_nWindowFill = 0;
    std::unique_ptr<CWholeInflater> m_pInflater;
    CZipBuffer m_compressed;  // ExtractEntry's buffers
    CZipBuffer m_plain;
};

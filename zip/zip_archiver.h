// CZipArchiver: writes and reads one-volume zip archives (methods 0 and 8, no encryption,
// no ZIP64), one object per use, one thread per object (AddFiles, AddFilesAs and ExtractAll
// run worker threads of their own). It is the face of two objects: the writer of an archive
// being created (zip_writer.h) and the reader of one opened read-only (zip_reader.h), each of
// which reports every refusal and failure by throwing; the face turns their refusals into the
// results described here.
//
// Deflate: data of at most GetWholeLimit() bytes (24 MiB) is compressed and inflated in one
// buffer by libdeflate, longer data streams through zlib. The level's flag bits and the bytes
// of an archive do not depend on the call or the number of threads that wrote it.
//
// Writing:  CZipArchiver zip; zip.Open(path, ZipOpenMode::Create);
//           zip.AddFile(relPath, -1, true, 65535) ...; zip.Close();
// Reading:  zip.Open(path, ZipOpenMode::ReadOnly);
//           for (i = 0; i < zip.EntryCount(); ++i) if (!zip.ExtractEntry(i, folder)) break;
// Checking: zip.Open(path, ZipOpenMode::ReadOnly); zip.TestArchive(&nBad) — reads every
//           entry to its end without writing anything.
//
// Errors: refusals return false (or a result code, see each call); everything else throws by
// value: CZipException (cause, archive path) for the archive's structure, compression and
// CRC; CFileException (errno, path) for the operating system's file failures; std::bad_alloc.
// Catch `const CException&` for both. After an exception only Close() and destruction make
// sense on the object (Close() may throw again).
//
// Text: entry names are UTF-8 with '/' separators in memory. In the archive they are stored
// in CP949 with flag bit 11 clear, or in UTF-8 with bit 11 set when CP949 cannot encode them;
// on reading, bit 11 means UTF-8, otherwise CP949 (a '\' in a stored name is a separator).
// Paths given to the calls are native file-system paths (UTF-8).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "zip/zip_directory.h"
#include "zip/zip_entry_header.h"
#include "zip/zip_exception.h"
#include "zip/zip_file.h"

// How Open treats the file. ReadWrite (adding to an existing archive) is not supported: Open
// throws CZipException Generic for it.
enum class ZipOpenMode { ReadWrite = 0, ReadOnly = 1, Create = 2 };

class CZipReader;
class CZipWriter;

// The name of the entry for path: with bKeepPath the path without a drive ("C:") and without
// leading separators; otherwise its last component. Both '/' and '\' separate. "" for a path
// ending in a separator.
std::string StoredName(const std::string& strPath, bool bKeepPath);

// Which system's file names IsSafeEntryName holds entry names to. Windows cannot hold, in any
// part of a path: a device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9, LPT1-9 and COM or
// LPT with a superscript 1-3; any case, with or without an extension), a part ending in a dot
// or a space ("..." too), and the characters <>:"|?* and those below 0x20.
enum class ENameRules { Posix, Windows };
inline constexpr ENameRules kNativeNameRules =
    kWindowsFileSystem ? ENameRules::Windows : ENameRules::Posix;

// True when strName (an entry name in memory form) is safe to extract under a folder: after
// StoredName, its ".." parts never climb above the folder, it is not empty or "."/"..", and
// under eRules every part is a name the system can hold (a name Windows cannot hold would
// fail, or open a device, only once the files before it are written).
bool IsSafeEntryName(const std::string& strName, bool bKeepPath = true,
                     ENameRules eRules = kNativeNameRules);

// Opens the file an extracted entry is written to (CZipTargetFile::CreateNew or OpenExisting).
using ZipTargetOpener = std::function<void(CZipTargetFile&)>;

// One file for CZipArchiver::AddFilesAs: the native path it is read from and the name of its
// entry (memory form), which need not be related.
struct SZipSource {
    std::string strPath;
    std::string strName;
};

// Folders are made, and the room of a disk is read, by the platform's file-system calls
// (CreateFolderPath, PathKind, HasRoomFor in platform/file_system.h).

// Takes time, date and the attribute word of the regular file at strPath into header, and its
// size into *pSize when given. False when it cannot be read, is not a regular file, or is 4 GiB
// or larger.
bool ReadSourceStatus(CZipEntryHeader& header, const std::string& strPath,
                      uint64_t* pSize = nullptr);

// Threads that packing and extraction use by default: one per core, at most 16.
unsigned DefaultPackThreads();
// The default look-ahead of nThreads packing or extracting threads: 8 MiB each.
size_t DefaultLookAheadBytes(unsigned nThreads);

class CZipArchiver {
public:
    static constexpr size_t kTransferBufferSize = 16384;
    static constexpr uint32_t kDefaultChunkSize = 65535;
    // 24 MiB: on the scale-1 game folder (bench/results/zip.md) 16 MiB left its largest cache
    // file to zlib and packing 9 % slower, 32 MiB was no faster than 24; peak memory grows
    // with it.
    static constexpr size_t kDefaultWholeLimit = size_t{24} << 20;

    CZipArchiver();
    // Releases everything; an archive still open is closed without writing anything more
    // (an archive being created is complete only after Close()).
    ~CZipArchiver();
    CZipArchiver(const CZipArchiver&) = delete;
    CZipArchiver& operator=(const CZipArchiver&) = delete;

    // Create: creates (truncates) the file; ReadOnly: opens it and reads its directory.
    // Does nothing when an archive is already open on this object.
    // Throws CFileException when the file cannot be created / opened; for ReadOnly,
    // CZipException EndRecordNotFound (18) when there is no end record (or the file is empty)
    // and BadArchive (10) for an inconsistent directory.
    void Open(const std::string& strPath, ZipOpenMode mode);

    // Adds the file at strPath as a new entry (iLevel: -1 default, 0 stored, 1-9), reading it
    // in chunks of nChunkSize bytes. Returns false, writing nothing, when: no archive is open
    // for writing, an entry is open, 65535 entries exist, nChunkSize is 0, the stored name is
    // empty, strPath is not a regular file, or its status cannot be read. Returns false after
    // writing the local header when the source cannot be opened: that entry stays open and
    // Close() finishes it empty (further AddFile calls return false).
    // Throws CFileException for archive write failures and for a read failure of the source
    // (after finishing the entry with the data read before it), CZipException NameTooLong (16)
    // for a name over 65535 bytes, and zlib causes.
    bool AddFile(const std::string& strPath, int iLevel = -1, bool bKeepPath = true,
                 uint32_t nChunkSize = kDefaultChunkSize);

    // Finishes an open entry, writes the central directory and end record when the archive
    // was created, closes the file. Nothing when no archive is open. An entry left open for
    // reading is closed first, which repeats its checks and may throw.
    void Close();

    // Data up to this many bytes is deflated and inflated in one buffer (see the top); the
    // default is kDefaultWholeLimit.
    void SetWholeLimit(size_t nBytes) { m_nWholeLimit = nBytes; }
    size_t GetWholeLimit() const { return m_nWholeLimit; }

    // Number of entries in the directory (0 when nothing is open).
    int EntryCount() const;
    bool IsOpen() const { return m_file.IsOpen(); }
    const std::string& GetArchivePath() const { return m_file.GetFilePath(); }
    const CZipDirectory& GetDirectory() const { return m_directory; }

    // Copies the header of entry uIndex (name in memory form). False when out of range.
    bool GetFileInfo(uint16_t uIndex, CZipEntryHeader& header) const;

    // The bytes that extracting every file entry writes, by the sizes the directory declares
    // (no entry writes more: see ReadEntryData); folder entries count 0. ExtractAll refuses an
    // archive that does not fit; a caller extracting entry by entry checks the room first:
    // HasRoomFor(folder, DeclaredSize()), or the sum of several archives bound for one disk.
    uint64_t DeclaredSize() const;

    // Extracts entry uIndex under strFolder (the stored folders rebuilt with bKeepPath, else
    // the file directly in strFolder; "" is the current folder), written in chunks of
    // nChunkSize (0 is refused). Missing folders are created. A name ending in '/'
    // or with the folder bit is created as a folder. Returns false, writing nothing, for: an
    // index out of range, an unsafe name (see IsSafeEntryName), an entry already open, an
    // encrypted entry; and false after writing when the data ended before its declared size
    // or the file's times / permissions cannot be set. Never creates links, devices or
    // setuid/setgid files; a link (or a hard-linked file) at the target is replaced by a new
    // regular file, an existing file is overwritten. The file gets the entry's time and the
    // permissions of its attribute word (read-only 0444, else 0644; a Unix tool's rwx bits),
    // set through the open file. Never writes more than the entry's declared size. Throws
    // CFileException when the target cannot be created or written, CZipException BadArchive
    // (10) for a local header that disagrees with the directory and for data that goes on past
    // the declared size (before anything past it is written), DataError (6) / BufferError (8)
    // for corrupt deflate data, CrcMismatch (11) after the file was written.
    bool ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bKeepPath = true,
                      uint32_t nChunkSize = kDefaultChunkSize);

    // Extracts every entry under strFolder as ExtractEntry(i, strFolder) does for i = 0, 1, ...
    // until one fails, with the files inflated and written on nThreads threads (0: the
    // default) while this thread reads the archive; at most nLookAheadBytes (0:
    // DefaultLookAheadBytes(nThreads)) of compressed and inflated data wait or are being
    // written, or one entry larger than that. Before anything is written every entry is checked:
    // an unsafe name, an encrypted entry or a file entry without a file name stops it there;
    // and when DeclaredSize() does not fit in the room of strFolder (HasRoomFor), it throws
    // CFileException ENOSPC for strFolder. The entries take effect in order whatever the
    // threads: a file that would replace an existing one is written under a temporary name
    // beside it (".zav-" and a word no entry name holds) and renamed over it in its turn. When
    // entry k fails, the destination holds entries 0 to k-1 and nothing of k or later: their
    // new files, temporary files and the folders made for them are removed (exceptions
    // included), and the files they would have replaced keep their contents. Archives whose
    // entries share a target (or put a file where another needs a folder) are extracted one
    // entry after another. Folders get their permissions after the files. Returns
    // EntryCount() when every entry was extracted, otherwise the index of the first one that
    // failed. Throws what ExtractEntry throws when that first failure is an exception.
    size_t ExtractAll(const std::string& strFolder, unsigned nThreads = 0,
                      size_t nLookAheadBytes = 0);

    // Reads entry uIndex to its end without writing anything. True when its name is safe,
    // it is not encrypted, and its data has its declared size and CRC-32. False for those
    // refusals (and for an index out of range or an entry already open). Throws the
    // CZipException causes of ExtractEntry (10, 6, 8, 11) for corrupt data.
    bool TestEntry(uint16_t uIndex);
    // TestEntry for every entry; stops at the first false and stores its index in
    // *pFailedIndex when given. Throws as TestEntry does.
    bool TestArchive(int* pFailedIndex = nullptr);

    // Reading an entry step by step (as ExtractEntry does):
    // OpenEntryForReading: false for an index out of range, an entry already open or an
    // encrypted entry; throws BadArchive when the local header disagrees with the directory.
    bool OpenEntryForReading(uint16_t uIndex);
    // Delivers up to nSize bytes of uncompressed data; 0 at the end (or when nothing is open).
    // Never more than the entry declares: once its declared size is delivered, data that goes
    // on (a deflate stream that does not end there, stored bytes left over) stops the reading
    // at once with BadArchive. Throws DataError / BufferError / BadArchive for corrupt or
    // truncated data.
    uint32_t ReadEntryData(void* pBuffer, uint32_t nSize);
    // Ends the entry: 1 when read to its end with a matching CRC, -1 when not read to its
    // end (no CRC check), 0 when no entry was being read; throws CrcMismatch (11) for a wrong
    // CRC. With a path (the extracted file, already closed) also sets its times and
    // permissions: 0 when the times cannot be set (the entry then stays open), -2 when the
    // permissions cannot be set.
    int CloseEntryForReading();
    int CloseEntryForReading(const std::string& strPath);

    // Writing an entry step by step (the same bytes as AddFile). OpenEntryForWriting takes the
    // header's name (memory form), time and attributes from the file at strPath; when its size
    // is within the whole limit, the data is gathered and compressed at once by
    // CloseEntryForWriting (streamed as soon as it passes the limit).
    bool OpenEntryForWriting(CZipEntryHeader& header, int iLevel, const std::string& strPath);
    bool WriteEntryData(const void* pData, uint32_t nSize);
    bool CloseEntryForWriting();

    // Entry state.
    enum EntryState { kNone, kAdding, kExtracting };
    EntryState GetEntryState() const;

    // Adds the files in order exactly as AddFile (strPaths[i], iLevel, bKeepPath, nChunkSize)
    // one after another would, and writes the same bytes; worker threads (nThreads of them, 0:
    // DefaultPackThreads()) read and compress the next files while this thread writes entries
    // in order. At most nLookAheadBytes (0: DefaultLookAheadBytes(nThreads)) of compressed data
    // and of buffers of files being compressed, besides the entry being written, and 64 files
    // wait ahead. Returns how many files were added: fewer than strPaths.size() when AddFile
    // would have refused the next one (for a source that cannot be opened, its entry is then
    // left open exactly as AddFile leaves it). Throws what AddFile throws; after a source read
    // failure the entry holds what was read before it and is finished, as AddFile finishes it.
    size_t AddFiles(const std::vector<std::string>& strPaths, int iLevel = -1,
                    bool bKeepPath = true, uint32_t nChunkSize = kDefaultChunkSize,
                    unsigned nThreads = 0, size_t nLookAheadBytes = 0);

    // The same pipeline, each file added under the entry name given beside its path, as this
    // sequence would add it: open the source (non-blocking, so a pipe cannot hang), refuse it
    // unless it is a regular file, header.SetFileName(strName), OpenEntryForWriting(header,
    // iLevel, strPath), WriteEntryData of its nChunkSize chunks, CloseEntryForWriting. A
    // refused file (not openable, not a regular file, status unreadable, no room for the
    // entry) writes nothing and leaves no entry open. Returns how many files were added.
    // fnProgress, when given, runs on the calling thread before each entry and while a large
    // entry is written (about every MiB of output), e.g. to keep a window responsive.
    // When a source read fails the entry is finished with the data read before the failure
    // (so Close() writes a readable archive, as after the sequence above) and the
    // CFileException is thrown; otherwise throws what AddFiles throws.
    size_t AddFilesAs(const std::vector<SZipSource>& sources, int iLevel = -1,
                      uint32_t nChunkSize = kDefaultChunkSize, unsigned nThreads = 0,
                      size_t nLookAheadBytes = 0, const std::function<void()>& fnProgress = {});

private:
    // AddFiles (bAsAddFile: AddFile's rules) and AddFilesAs share this writer loop.
    size_t AddSources(const std::vector<SZipSource>& sources, int iLevel, uint32_t nChunkSize,
                      unsigned nThreads, size_t nLookAheadBytes,
                      const std::function<void()>& fnProgress, bool bAsAddFile);

    size_t m_nWholeLimit = kDefaultWholeLimit;
    CZipBufferedFile m_file;
    CZipDirectory m_directory;
    // Behind the face, one of them while an archive is open: the writer of an archive being
    // created, the reader of one opened read-only (zip_writer.h, zip_reader.h).
    std::unique_ptr<CZipWriter> m_pWriter;
    std::unique_ptr<CZipReader> m_pReader;
};

#include "backup/folder_packer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include "app/categories.h"
#include "app/view.h"
#include "platform/diag_log.h"
#include "platform/native_text.h"
#include "zip/zip_archiver.h"

namespace {

namespace fs = std::filesystem;

// Chunk in which a source file is read and handed to the compressor.
constexpr uint32_t kSourceChunk = 65535;

// What the walk saw of a file before it was read: a file whose size or modification time
// differs afterwards changed while it was packed, and its entry may hold half of each version.
struct SFileStamp {
    std::uintmax_t nSize = 0;
    fs::file_time_type tWrite;
    bool operator==(const SFileStamp&) const = default;
};

// The stamp of the file a path names, following a link to a file; nullopt when it is gone or
// is no longer a file the walk would pack. Links to folders are not followed (they could loop
// or leave the game folder); pipes, sockets and devices are no settings files: reading a pipe
// could block the window for ever.
std::optional<SFileStamp> PackableStamp(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::is_regular_file(status))
        return std::nullopt;
    SFileStamp stamp;
    stamp.nSize = fs::file_size(path, ec);
    if (ec)
        return std::nullopt;
    stamp.tWrite = fs::last_write_time(path, ec);
    if (ec)
        return std::nullopt;
    return stamp;
}

// The files of one category, in walk order, with what the walk saw of each, and the folder
// that stopped it.
struct SWalk {
    std::vector<SZipSource> files;
    std::vector<SFileStamp> stamps;
    std::string strFailedFolder;  // relative to the game folder; "" while the walk goes on
    std::string strCause;         // why, for the diagnostic log
};

// Appends the files of the tree strRelFolder to the walk, depth-first in listing order, each
// named by its path relative to the game folder. Only a category folder that does not exist
// (bCategory) is an empty one: any other folder that cannot be opened, and a listing that breaks
// off, stop the walk with the folder in strFailedFolder (the walk then holds what came before),
// since an archive without it would replace the member's copy on the server with less.
bool CollectFiles(IMainView& view, const std::string& strGameFolder,
                  const std::string& strRelFolder, SWalk& walk, bool bCategory) {
    std::error_code ec;
    fs::directory_iterator it(PathFromUtf8(strGameFolder + strRelFolder), ec);
    if (ec) {
        // Missing: no category folder, or a subfolder that vanished since its parent was
        // listed (passed over like a vanished file).
        if (ec == std::errc::no_such_file_or_directory ||
            (bCategory && ec == std::errc::not_a_directory))
            return true;
        walk.strFailedFolder = strRelFolder;
        walk.strCause = "cannot be opened: " + ec.message();
        return false;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::string strRel = strRelFolder + kNativeSep + Utf8FromPath(it->path().filename());
        std::string strFull = strGameFolder + strRel;

        // Lets the window repaint between files; the wait cursor keeps input out.
        view.KeepAlive();

        std::error_code ecEntry;
        const fs::file_status status = it->symlink_status(ecEntry);
        if (ecEntry || !fs::exists(status))
            continue;  // vanished since the listing
        if (fs::is_directory(status)) {
            if (!CollectFiles(view, strGameFolder, strRel, walk, false))
                return false;
            continue;
        }
        if (const auto stamp = PackableStamp(it->path())) {
            walk.files.push_back({std::move(strFull), std::move(strRel)});
            walk.stamps.push_back(*stamp);
        }
    }
    if (!ec)
        return true;
    walk.strFailedFolder = strRelFolder;
    walk.strCause = "its listing broke off: " + ec.message();
    return false;
}

// A line for the member when a write failed for want of room, else "".
std::string DiskFullNote(int nOsError) {
    const bool bFull = nOsError == ENOSPC || nOsError == EFBIG
#ifdef EDQUOT
                       || nOsError == EDQUOT
#endif
        ;
    return bFull ? std::string("\n\n") + kMsgDiskFull : std::string();
}

// The message of a file that cannot be added, naming it (relative to the game folder when it
// lies there, as the member knows it).
std::string AddFailedMessage(const std::string& strGameFolder, const std::string& strPath,
                             int nOsError) {
    std::string strShown = strPath;
    if (strShown.compare(0, strGameFolder.size(), strGameFolder) == 0)
        strShown.erase(0, strGameFolder.size());
    return std::string(kMsgAddFileFailed) + "\n\n" + strShown + DiskFullNote(nOsError);
}

}  // namespace

std::string TempArchivePath(const std::string& strGameFolder, ECategory eCategory) {
    return strGameFolder + GetCategory(eCategory).szArchivePath;
}

int TryCreateArchive(IMessageView& view, CZipArchiver& zip, const std::string& strPath) {
    try {
        zip.Open(strPath, ZipOpenMode::Create);
        return 1;
    } catch (const CException& e) {
        DiagLog("pack: cannot create " + strPath + ": " + e.what());
    } catch (const std::bad_alloc&) {
        DiagLog("pack: cannot create " + strPath + ": out of memory");
    }
    view.Message(kMsgCreateArchiveFailed);
    return 0;
}

int TryCloseArchive(IMessageView& view, CZipArchiver& zip) {
    try {
        zip.Close();
        return 1;
    } catch (const CFileException& e) {
        DiagLog("pack: cannot finish " + zip.GetArchivePath() + ": " + e.what());
        view.Message(std::string(kMsgCloseArchiveFailed) + DiskFullNote(e.m_nOsError));
        return 0;
    } catch (const CException& e) {
        DiagLog("pack: cannot finish " + zip.GetArchivePath() + ": " + e.what());
    } catch (const std::bad_alloc&) {
        DiagLog("pack: cannot finish " + zip.GetArchivePath() + ": out of memory");
    }
    view.Message(kMsgCloseArchiveFailed);
    return 0;
}

bool IsWholeArchive(const std::string& strPath, int nEntries) {
    try {
        CZipArchiver zip;
        zip.Open(strPath, ZipOpenMode::ReadOnly);
        if (zip.EntryCount() == nEntries)
            return true;
        DiagLog("pack: " + strPath + " reads back with " + std::to_string(zip.EntryCount()) +
                " entries instead of " + std::to_string(nEntries));
    } catch (const CException& e) {
        DiagLog("pack: " + strPath + " does not read back: " + e.what());
    } catch (const std::bad_alloc&) {
        DiagLog("pack: " + strPath + " does not read back: out of memory");
    }
    return false;
}

int AddFolderToArchive(IMainView& view, CZipArchiver& zip, const std::string& strGameFolder,
                       const std::string& strRelFolder) {
    SWalk walk;
    // A folder left out fails before anything is compressed: the archive would silently lack
    // its files. It is named as a file that cannot be added is.
    if (!CollectFiles(view, strGameFolder, strRelFolder, walk, true)) {
        DiagLog("pack: the folder " + strGameFolder + walk.strFailedFolder + " " + walk.strCause);
        view.Message(std::string(kMsgAddFileFailed) + "\n\n" + walk.strFailedFolder);
        TryCloseArchive(view, zip);
        return kPackAddFailed;
    }
    const std::vector<SZipSource>& files = walk.files;

    // Both cores: the next files are compressed while this thread writes, in walk order.
    size_t nDone = 0;
    int nCount = 0;
    std::string strFailed;  // the file that stopped the packing
    std::string strCause;   // and why
    int nOsError = 0;       // the system's error number, when it was one
    while (nDone < files.size()) {
        std::vector<SZipSource> rest;
        if (nDone > 0)
            rest.assign(files.begin() + static_cast<ptrdiff_t>(nDone), files.end());
        size_t nAdded = 0;
        try {
            nAdded = zip.AddFilesAs(nDone > 0 ? rest : files, -1, kSourceChunk, 0, 0,
                                    [&view] { view.KeepAlive(); });
        } catch (const CFileException& e) {
            strFailed = e.m_strFileName;
            strCause = e.what();
            nOsError = e.m_nOsError;
        } catch (const CException& e) {
            strFailed = files[std::min(nDone, files.size() - 1)].strPath;
            strCause = e.what();
        } catch (const std::bad_alloc&) {
            strFailed = files[std::min(nDone, files.size() - 1)].strPath;
            strCause = "out of memory";
        }
        if (!strFailed.empty())
            break;
        nDone += nAdded;
        nCount += static_cast<int>(nAdded);
        if (nDone == files.size())
            break;
        // A refused file: one that vanished since the walk saw it is passed over silently,
        // any other stops the packing.
        if (PackableStamp(PathFromUtf8(files[nDone].strPath))) {
            strFailed = files[nDone].strPath;
            strCause = "refused: it cannot be opened, or the archive has no room for it";
            break;
        }
        walk.stamps[nDone].nSize = UINTMAX_MAX;  // not packed: left out of the check below
        ++nDone;
    }
    // A file that changed while it was read fails like one that cannot be read: its entry may
    // hold half of the old and half of the new file.
    for (size_t i = 0; strFailed.empty() && i < files.size(); ++i) {
        if (walk.stamps[i].nSize != UINTMAX_MAX &&
            PackableStamp(PathFromUtf8(files[i].strPath)) != walk.stamps[i]) {
            strFailed = files[i].strPath;
            strCause = "its size or modification time changed while it was packed";
        }
    }
    if (!strFailed.empty()) {
        DiagLog("pack: cannot add " + strFailed + ": " + strCause);
        view.Message(AddFailedMessage(strGameFolder, strFailed, nOsError));
        TryCloseArchive(view, zip);
        return kPackAddFailed;
    }
    return nCount;
}

int PackFolder(IMainView& view, const std::string& strGameFolder, ECategory eCategory) {
    const std::string strArchive = TempArchivePath(strGameFolder, eCategory);
    CZipArchiver zip;
    if (!TryCreateArchive(view, zip, strArchive))
        return kPackCreateFailed;
    int nAdded = AddFolderToArchive(view, zip, strGameFolder, GetCategory(eCategory).szGameFolder);
    if (nAdded < 0)
        return kPackAddFailed;
    if (!TryCloseArchive(view, zip))
        return kPackCloseFailed;
    // Read back what was written: only a whole archive may replace the member's copy on the
    // server.
    if (!IsWholeArchive(strArchive, nAdded)) {
        view.Message(kMsgCloseArchiveFailed);
        return kPackCloseFailed;
    }
    return nAdded > 0 ? 1 : 0;
}

int DeleteTempArchives(const std::string& strGameFolder, uint8_t nMask) {
    for (const ECategory eCategory : kUploadOrder) {
        if ((nMask & GetCategory(eCategory).nMask) == 0)
            continue;
        // Only the archive file: a folder standing in its place is not the program's.
        const fs::path archive = PathFromUtf8(TempArchivePath(strGameFolder, eCategory));
        std::error_code ec;
        if (!fs::is_directory(fs::symlink_status(archive, ec)))
            fs::remove(archive, ec);
    }
    return 1;
}

#include "backup/folder_packer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "app/categories.h"
#include "app/view.h"
#include "zip/zip_archiver.h"

const SBackupCategory kBackupCategories[kBackupCategoryCount] = {
    {"Interface", "Interface", "__Interface.zip", "UserFile001", kMaskInterface},
    {"WTF", "WTF", "__WTF.zip", "UserFile002", kMaskWtf},
    {"WDB", "Cache" ZAV_SEP "WDB" ZAV_SEP "koKR", "__WDB.zip", "UserFile003", kMaskWdb},
    {"Fonts", "Fonts", "__Fonts.zip", "UserFile004", kMaskFonts},
};

namespace {

// Chunk in which a source file is read and handed to the compressor.
constexpr uint32_t kSourceChunk = 65535;

struct SDirCloser {
    void operator()(DIR* p) const { closedir(p); }
};
using DirHandle = std::unique_ptr<DIR, SDirCloser>;

// True for what the walk packs: a regular file, or a link to one. A link is packed as the
// file it points to; links to folders are not followed (they could loop or leave the game
// folder). Pipes, sockets and devices are no settings files: reading a pipe could block the
// window for ever.
bool IsPackable(const std::string& strFull, const struct stat& stLink) {
    struct stat st = stLink;
    if (S_ISLNK(st.st_mode) && stat(strFull.c_str(), &st) != 0)
        return false;
    return S_ISREG(st.st_mode);
}

// Appends the files of the tree strRelFolder to files, depth-first in listing order, each
// named by its path relative to the game folder. False when a listing broke off (files then
// holds what came before). A folder that cannot be opened adds nothing.
bool CollectFiles(IMainView& view, const std::string& strGameFolder,
                  const std::string& strRelFolder, std::vector<SZipSource>& files) {
    DirHandle dir(opendir((strGameFolder + strRelFolder).c_str()));
    if (!dir)
        return true;  // a missing or unreadable folder is an empty one
    for (;;) {
        errno = 0;
        const dirent* pEntry = readdir(dir.get());
        if (pEntry == nullptr)
            return errno == 0;
        std::string strName = pEntry->d_name;
        if (strName == "." || strName == "..")
            continue;
        std::string strRel = strRelFolder + kNativeSep + strName;
        std::string strFull = strGameFolder + strRel;

        // Lets the window repaint between files; the wait cursor keeps input out.
        view.KeepAlive();

        struct stat st {};
        if (lstat(strFull.c_str(), &st) != 0)
            continue;  // vanished since the listing
        if (S_ISDIR(st.st_mode)) {
            if (!CollectFiles(view, strGameFolder, strRel, files))
                return false;
            continue;
        }
        if (IsPackable(strFull, st))
            files.push_back({std::move(strFull), std::move(strRel)});
    }
}

// True when the file is no longer one the walk would pack (gone, or replaced by a folder,
// a pipe or a dangling link): it is passed over as the walk passes over it.
bool NoLongerPackable(const SZipSource& file) {
    struct stat st {};
    return lstat(file.strPath.c_str(), &st) != 0 || !IsPackable(file.strPath, st);
}

}  // namespace

std::string TempArchivePath(const std::string& strGameFolder, const std::string& strWord) {
    return strGameFolder + kRalumTempPrefix + "__" + strWord + ".zip";
}

int TryCreateArchive(IMessageView& view, CZipArchiver& zip, const std::string& strPath) {
    try {
        zip.Open(strPath, ZipOpenMode::Create);
        return 1;
    } catch (const CException&) {
    } catch (const std::bad_alloc&) {
    }
    view.Message(kMsgCreateArchiveFailed);
    return 0;
}

int TryAddFile(IMessageView& view, CZipArchiver& zip, const std::string& strGameFolder,
               const std::string& strRelPath) {
    bool bAdded = false;
    try {
        bAdded =
            zip.AddFilesAs({{strGameFolder + strRelPath, strRelPath}}, -1, kSourceChunk, 1) == 1;
    } catch (const CException&) {
    } catch (const std::bad_alloc&) {
    }
    if (bAdded)
        return 1;
    view.Message(kMsgAddFileFailed);
    return 0;
}

int TryCloseArchive(IMessageView& view, CZipArchiver& zip) {
    try {
        zip.Close();
        return 1;
    } catch (const CException&) {
    } catch (const std::bad_alloc&) {
    }
    view.Message(kMsgCloseArchiveFailed);
    return 0;
}

int AddFolderToArchive(IMainView& view, CZipArchiver& zip, const std::string& strGameFolder,
                       const std::string& strRelFolder) {
    std::vector<SZipSource> files;
    const bool bListed = CollectFiles(view, strGameFolder, strRelFolder, files);

    // Both cores: the next files are compressed while this thread writes, in walk order.
    size_t nDone = 0;
    int nCount = 0;
    bool bFailed = false;
    while (nDone < files.size()) {
        std::vector<SZipSource> rest;
        if (nDone > 0)
            rest.assign(files.begin() + static_cast<ptrdiff_t>(nDone), files.end());
        size_t nAdded = 0;
        try {
            nAdded = zip.AddFilesAs(nDone > 0 ? rest : files, -1, kSourceChunk, 0, 0,
                                    [&view] { view.KeepAlive(); });
        } catch (const CException&) {
            bFailed = true;
        } catch (const std::bad_alloc&) {
            bFailed = true;
        }
        if (bFailed)
            break;
        nDone += nAdded;
        nCount += static_cast<int>(nAdded);
        if (nDone == files.size())
            break;
        // A refused file: one that vanished since the walk saw it is passed over silently,
        // any other stops the packing.
        if (!NoLongerPackable(files[nDone])) {
            bFailed = true;
            break;
        }
        ++nDone;
    }
    // A listing that broke off also fails: the archive would silently lack the rest.
    if (bFailed || !bListed) {
        view.Message(kMsgAddFileFailed);
        TryCloseArchive(view, zip);
        return kPackAddFailed;
    }
    return nCount;
}

int PackFolder(IMainView& view, const std::string& strGameFolder, const char* szWord,
               const char* szFolder) {
    CZipArchiver zip;
    if (!TryCreateArchive(view, zip, TempArchivePath(strGameFolder, szWord)))
        return kPackCreateFailed;
    int nAdded = AddFolderToArchive(view, zip, strGameFolder, szFolder);
    if (nAdded < 0)
        return kPackAddFailed;
    TryCloseArchive(view, zip);
    return nAdded > 0 ? 1 : 0;
}

int DeleteTempArchives(const std::string& strGameFolder, const std::string& strName) {
    for (const SBackupCategory& category : kBackupCategories) {
        if (strName == category.szWord || strName == "All")
            unlink(TempArchivePath(strGameFolder, category.szWord).c_str());
    }
    return 1;
}

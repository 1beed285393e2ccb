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
constexpr size_t kSourceChunk = 65535;

struct SDirCloser {
    void operator()(DIR* p) const { closedir(p); }
};
using DirHandle = std::unique_ptr<DIR, SDirCloser>;

class CFd {
public:
    explicit CFd(int nFd) : m_nFd(nFd) {}
    ~CFd() {
        if (m_nFd >= 0)
            close(m_nFd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_nFd; }

private:
    int m_nFd;
};

// Adds the disk file strPath as the entry strName. The source is opened before anything is
// written, so a file that cannot be opened leaves the archive as it was. False for a refusal;
// archive and source read failures are thrown by the archive layer's exceptions.
bool AddFileAs(CZipArchiver& zip, const std::string& strPath, const std::string& strName) {
    // Non-blocking so that a pipe put in the file's place after the walk looked at it cannot
    // hang the window; for regular files the flag changes nothing.
    CFd source(open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (source.Get() < 0)
        return false;
    struct stat st {};
    if (fstat(source.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;

    CZipEntryHeader header;
    header.SetFileName(strName);
    if (!zip.OpenEntryForWriting(header, -1, strPath))
        return false;
    // One chunk buffer per thread, kept between files: packing meets tens of thousands.
    thread_local std::vector<char> vecChunk(kSourceChunk);
    for (;;) {
        ssize_t nRead = read(source.Get(), vecChunk.data(), vecChunk.size());
        if (nRead < 0) {
            if (errno == EINTR)
                continue;
            throw CFileException(errno, strPath);
        }
        if (nRead > 0 && !zip.WriteEntryData(vecChunk.data(), static_cast<uint32_t>(nRead)))
            return false;
        // A regular file gives a short read only at its end.
        if (static_cast<size_t>(nRead) < vecChunk.size())
            break;
    }
    return zip.CloseEntryForWriting();
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
        bAdded = AddFileAs(zip, strGameFolder + strRelPath, strRelPath);
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
    DirHandle dir(opendir((strGameFolder + strRelFolder).c_str()));
    if (!dir)
        return 0;  // a missing or unreadable folder is an empty one

    int nCount = 0;
    for (;;) {
        errno = 0;
        const dirent* pEntry = readdir(dir.get());
        if (pEntry == nullptr) {
            if (errno == 0)
                return nCount;
            // The listing broke off: the archive would silently lack the rest of the folder.
            view.Message(kMsgAddFileFailed);
            TryCloseArchive(view, zip);
            return kPackAddFailed;
        }
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
            int nSub = AddFolderToArchive(view, zip, strGameFolder, strRel);
            if (nSub < 0)
                return nSub;
            nCount += nSub;
            continue;
        }
        // A link is packed as the file it points to; links to folders are not followed
        // (they could loop or leave the game folder). Pipes, sockets and devices are no
        // settings files: reading a pipe could block the window for ever.
        if (S_ISLNK(st.st_mode) && stat(strFull.c_str(), &st) != 0)
            continue;
        if (!S_ISREG(st.st_mode))
            continue;

        if (!TryAddFile(view, zip, strGameFolder, strRel)) {
            TryCloseArchive(view, zip);
            return kPackAddFailed;
        }
        ++nCount;
    }
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

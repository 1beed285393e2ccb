#include "platform/file_system.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/diag_log.h"
#include "platform/file_system_native.h"
#include "platform/native_file.h"
#include "platform/native_text.h"

namespace fs = std::filesystem;

namespace {

// Adds the owner's write and execute bits to every folder of the tree (and, on Windows, to
// every file: it clears the read-only flag), links not followed.
void MakeFoldersWritable(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec)))
        return;
    // On Windows a read-only file cannot be deleted either (the folders' flag does not matter).
    constexpr bool kFilesToo = kWindowsFileSystem;
    fs::permissions(root, fs::perms::owner_write | fs::perms::owner_exec | fs::perms::owner_read,
                    fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ecEntry;
        if ((kFilesToo || it->is_directory(ecEntry)) && !it->is_symlink(ecEntry))
            fs::permissions(it->path(),
                            fs::perms::owner_write | fs::perms::owner_exec | fs::perms::owner_read,
                            fs::perm_options::add, ecEntry);
    }
}

// Copies one tree into dest (which does not exist yet); with bSyncEach every file and folder is
// flushed to the disk once written (where the whole file system cannot be flushed at once).
// False at the first failure, with its cause in ec and the path concerned in failed. bFollow: a
// link at source is copied as what it points to (a category folder that is a link is copied as
// a folder); links inside the tree stay links.
bool CopyTree(const fs::path& source, const fs::path& dest, std::error_code& ec, fs::path& failed,
              bool bFollow, bool bSyncEach) {
    failed = source;
    const fs::file_status status =
        bFollow ? fs::status(source, ec) : fs::symlink_status(source, ec);
    if (ec)
        return false;
    if (fs::is_symlink(status)) {
        fs::copy_symlink(source, dest, ec);
        return !ec;
    }
    if (fs::is_regular_file(status)) {
        if (!fs::copy_file(source, dest, fs::copy_options::none, ec) || ec)
            return false;
        if (!fs_native::CopyWriteTime(source, dest, status.permissions(), ec))
            return false;
        failed = dest;
        if (bSyncEach && !SyncFile(Utf8FromPath(dest))) {
            ec = std::make_error_code(std::errc::io_error);
            return false;
        }
        return true;
    }
    if (!fs::is_directory(status))
        return true;  // sockets, fifos and devices are not part of a settings folder

    if (!fs::create_directory(dest, ec) || ec)
        return false;
    std::vector<fs::path> children;
    for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path());
    if (ec)
        return false;
    for (const fs::path& child : children) {
        if (!CopyTree(child, dest / child.filename(), ec, failed, false, bSyncEach))
            return false;
    }
    // The folder's own permissions and time last, after its content was written.
    failed = source;
    if (!fs_native::CopyFolderTime(source, dest, ec))
        return false;
    // Flushed while it can still be opened (a folder without read permission cannot).
    failed = dest;
    if (bSyncEach && !SyncFolder(Utf8FromPath(dest))) {
        ec = std::make_error_code(std::errc::io_error);
        return false;
    }
    failed = source;
    fs::permissions(dest, status.permissions(), ec);
    return !ec;
}

// A name beside strDest that nothing else uses, for building a copy.
fs::path TemporarySibling(const fs::path& dest) {
    fs::path parent = dest.parent_path();
    const std::string strLeaf = Utf8FromPath(dest.filename());
    for (int i = 0;; ++i) {
        fs::path candidate = parent / PathFromUtf8("." + strLeaf + ".zav-copy" + std::to_string(i));
        if (!PathExists(Utf8FromPath(candidate)))
            return candidate;
    }
}

}  // namespace

bool PathExists(const std::string& strPath) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(PathFromUtf8(strPath), ec));
}

bool MakeFolders(const std::string& strPath, std::error_code& ec) {
    ec.clear();
    fs::create_directories(PathFromUtf8(strPath), ec);
    return !ec;
}

bool DeleteFolder(const std::string& strPath) {
    if (strPath.empty())
        return false;
    if (!PathExists(strPath))
        return true;  // also when a file stands where a folder on the way should be
    std::error_code ec;
    const fs::path path = PathFromUtf8(strPath);
    fs::remove_all(path, ec);
    if (!ec)
        return true;
    // Read-only folders cannot be emptied: open them up and try once more.
    MakeFoldersWritable(path);
    ec.clear();
    fs::remove_all(path, ec);
    if (ec)
        DiagLog("cannot delete " + strPath + ": " + ec.message());
    return !ec;
}

bool MoveFolder(const std::string& strSource, const std::string& strDest) {
    if (!PathExists(strSource))
        return true;
    if (PathExists(strDest))
        return false;
    std::error_code ec;
    if (RenameDurably(strSource, strDest, ec))
        return true;
    if (ec != std::errc::cross_device_link) {
        DiagLog("cannot move " + strSource + " to " + strDest + ": " + ec.message());
        return false;
    }
    if (!CopyFolder(strSource, strDest))
        return false;
    return DeleteFolder(strSource);
}

bool CopyFolder(const std::string& strSource, const std::string& strDest) {
    if (!PathExists(strSource))
        return true;
    if (PathExists(strDest))
        return false;
    const fs::path temp = TemporarySibling(PathFromUtf8(strDest));
    std::error_code ec;
    fs::path failed;
    if (!CopyTree(PathFromUtf8(strSource), temp, ec, failed, true, !kCanSyncFileSystem)) {
        DiagLog("cannot copy " + Utf8FromPath(failed) + " to " + strDest + ": " + ec.message());
        DeleteFolder(Utf8FromPath(temp));
        return false;
    }
    // The whole copy on the disk before it takes its name and its source may go.
    std::string strError;
    if (kCanSyncFileSystem && !SyncFileSystem(Utf8FromPath(temp), &strError)) {
        DiagLog("cannot flush the copy of " + strSource + " to " + strDest + ": " + strError);
        DeleteFolder(Utf8FromPath(temp));
        return false;
    }
    if (!RenameDurably(Utf8FromPath(temp), strDest, ec)) {
        DiagLog("cannot rename " + Utf8FromPath(temp) + " to " + strDest + ": " + ec.message());
        DeleteFolder(Utf8FromPath(temp));
        return false;
    }
    return true;
}

bool RenamePath(const std::string& strFrom, const std::string& strTo, std::error_code& ec) {
    ec.clear();
    fs::rename(PathFromUtf8(strFrom), PathFromUtf8(strTo), ec);
    return !ec;
}

bool RenameDurably(const std::string& strFrom, const std::string& strTo, std::error_code& ec) {
    if (!RenamePath(strFrom, strTo, ec))
        return false;
    const fs::path from = PathFromUtf8(strFrom).parent_path();
    const fs::path to = PathFromUtf8(strTo).parent_path();
    std::string strError;
    bool bOk = SyncFolder(Utf8FromPath(to), &strError);
    if (bOk && from != to)
        bOk = SyncFolder(Utf8FromPath(from), &strError);
    if (!bOk)
        DiagLog("cannot flush the rename of " + strFrom + " to " + strTo + ": " + strError);
    return true;  // the rename stands; a folder that cannot be flushed is no reason to undo it
}

bool SyncTree(const std::string& strRoot, std::string* pError) {
    if (kCanSyncFileSystem && PathExists(strRoot))
        return SyncFileSystem(strRoot, pError);
    std::error_code ec;
    const fs::path root = PathFromUtf8(strRoot);
    if (!fs::is_directory(fs::symlink_status(root, ec)))
        return !PathExists(strRoot) || SyncFile(strRoot, pError);
    // Files first, each folder after what it holds.
    std::vector<fs::path> folders{root};
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ecEntry;
        const fs::file_status status = it->symlink_status(ecEntry);
        if (fs::is_directory(status))
            folders.push_back(it->path());
        else if (fs::is_regular_file(status) && !SyncFile(Utf8FromPath(it->path()), pError))
            return false;
    }
    if (ec) {
        if (pError != nullptr)
            *pError = ec.message();
        return false;
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        if (!SyncFolder(Utf8FromPath(*it), pError))
            return false;
    }
    return true;
}

std::string LocalTimeStamp() {
    const std::time_t tNow = std::time(nullptr);
    std::tm local{};
    LocalTime(tNow, local);
    char szStamp[32];
    std::strftime(szStamp, sizeof szStamp, "%Y%m%d-%H%M%S", &local);
    return szStamp;
}

std::string UniqueDatedFolder(const std::string& strParent) {
    const fs::path parent = PathFromUtf8(strParent);
    const std::string strStamp = LocalTimeStamp();
    for (int i = 1;; ++i) {
        const std::string strName = i == 1 ? strStamp : strStamp + "-" + std::to_string(i);
        std::string strPath = Utf8FromPath(parent / strName);
        if (!PathExists(strPath))
            return strPath;
    }
}

bool HasRoomFor(const std::string& strFolder, uint64_t nBytes, uint64_t* pAvailable) {
    if (pAvailable)
        *pAvailable = std::numeric_limits<uint64_t>::max();
    std::error_code ec;
    fs::path folder = fs::absolute(PathFromUtf8(strFolder.empty() ? "." : strFolder), ec);
    if (ec)
        return true;
    while (!fs::exists(folder, ec) && folder.has_relative_path())
        folder = folder.parent_path();
    const fs::space_info space = fs::space(folder, ec);
    if (ec || space.available == static_cast<std::uintmax_t>(-1))
        return true;
    if (pAvailable)
        *pAvailable = space.available;
    return nBytes <= space.available;
}

#include "restore/folder_ops.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/diag_log.h"

namespace fs = std::filesystem;

namespace {

// Adds the owner's write and execute bits to every folder of the tree (links not followed).
void MakeFoldersWritable(const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec)))
        return;
    fs::permissions(root, fs::perms::owner_write | fs::perms::owner_exec | fs::perms::owner_read,
                    fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ecEntry;
        if (it->is_directory(ecEntry) && !it->is_symlink(ecEntry))
            fs::permissions(it->path(),
                            fs::perms::owner_write | fs::perms::owner_exec | fs::perms::owner_read,
                            fs::perm_options::add, ecEntry);
    }
}

// Copies one tree into dest (which does not exist yet). False at the first failure, with its
// cause in ec and the path concerned in failed.
bool CopyTree(const fs::path& source, const fs::path& dest, std::error_code& ec, fs::path& failed) {
    failed = source;
    const fs::file_status status = fs::symlink_status(source, ec);
    if (ec)
        return false;
    if (fs::is_symlink(status)) {
        fs::copy_symlink(source, dest, ec);
        return !ec;
    }
    if (fs::is_regular_file(status)) {
        if (!fs::copy_file(source, dest, fs::copy_options::none, ec) || ec)
            return false;
        const auto tWrite = fs::last_write_time(source, ec);
        if (!ec)
            fs::last_write_time(dest, tWrite, ec);
        return !ec;
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
        if (!CopyTree(child, dest / child.filename(), ec, failed))
            return false;
    }
    // The folder's own permissions and time last, after its content was written.
    failed = source;
    fs::permissions(dest, status.permissions(), ec);
    if (ec)
        return false;
    const auto tWrite = fs::last_write_time(source, ec);
    if (!ec)
        fs::last_write_time(dest, tWrite, ec);
    return !ec;
}

// A name beside strDest that nothing else uses, for building a copy.
fs::path TemporarySibling(const fs::path& dest) {
    fs::path parent = dest.parent_path();
    const std::string strLeaf = dest.filename().string();
    for (int i = 0;; ++i) {
        fs::path candidate = parent / ("." + strLeaf + ".zav-copy" + std::to_string(i));
        if (!PathExists(candidate.string()))
            return candidate;
    }
}

}  // namespace

bool PathExists(const std::string& strPath) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(strPath, ec));
}

bool DeleteFolder(const std::string& strPath) {
    if (strPath.empty())
        return false;
    std::error_code ec;
    fs::remove_all(strPath, ec);
    if (!ec)
        return true;
    // Read-only folders cannot be emptied: open them up and try once more.
    MakeFoldersWritable(strPath);
    ec.clear();
    fs::remove_all(strPath, ec);
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
    fs::rename(strSource, strDest, ec);
    if (!ec)
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
    const fs::path temp = TemporarySibling(strDest);
    std::error_code ec;
    fs::path failed;
    if (!CopyTree(strSource, temp, ec, failed)) {
        DiagLog("cannot copy " + failed.string() + " to " + strDest + ": " + ec.message());
        DeleteFolder(temp.string());
        return false;
    }
    fs::rename(temp, strDest, ec);
    if (ec) {
        DiagLog("cannot rename " + temp.string() + " to " + strDest + ": " + ec.message());
        DeleteFolder(temp.string());
        return false;
    }
    return true;
}

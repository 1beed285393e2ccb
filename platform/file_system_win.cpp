// The file-system calls of Windows (file_system.h): UTF-16 paths, so that Korean folder names
// work whatever the system code page is.
#ifdef _WIN32

#include <direct.h>
#include <sys/stat.h>
#include <windows.h>

#include <ctime>

#include "platform/file_system.h"
#include "platform/file_system_native.h"
#include "platform/native_text.h"

namespace fs = std::filesystem;

int PathKind(const std::string& strPath) {
    // The runtime refuses a folder named with a trailing separator (but for a root: "C:\").
    std::string strTrimmed = strPath;
    while (strTrimmed.size() > 1 && (strTrimmed.back() == '/' || strTrimmed.back() == '\\') &&
           strTrimmed[strTrimmed.size() - 2] != ':')
        strTrimmed.pop_back();
    struct _stat64 st {};
    if (_wstat64(WideFromUtf8(strTrimmed).c_str(), &st) != 0)
        return 0;
    return (st.st_mode & _S_IFMT) == _S_IFDIR ? -1 : 1;
}

bool IsFolder(const std::string& strPath) {
    const DWORD dwAttributes = GetFileAttributesW(WideFromUtf8(strPath).c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolder(const std::string& strPath, uint32_t) {
    return CreateDirectoryW(WideFromUtf8(strPath).c_str(), nullptr) ||
           (GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(strPath));
}

bool CreateFolderPath(const std::string& strPath, std::vector<std::string>* pCreated) {
    // Either separator, and a drive or share at the start.
    std::error_code ec;
    fs::path folder = PathFromUtf8(strPath);
    while (folder.has_relative_path() && !folder.has_filename())
        folder = folder.parent_path();  // "a/b/" names "a/b"
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty() && p.has_relative_path() && !fs::exists(p, ec);
         p = p.parent_path())
        missing.push_back(p);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (fs::create_directory(*it, ec) && pCreated)
            pCreated->push_back(Utf8FromPath(*it));
    }
    return PathKind(strPath) == -1;
}

std::string AtCurrentRoot(const std::string& strRest) {
    char szCurrent[MAX_PATH] = {};
    if (_getcwd(szCurrent, sizeof(szCurrent)) == nullptr)
        return {};
    return std::string(1, szCurrent[0]) + ":/" + strRest;
}

bool LocalTime(std::time_t t, std::tm& parts) {
    return localtime_s(&parts, &t) == 0;
}

namespace fs_native {

// Windows sets a file's time only while it may be written: a read-only copy is opened up for
// the moment.
bool CopyWriteTime(const fs::path& source, const fs::path& dest, fs::perms perms,
                   std::error_code& ec) {
    const auto tWrite = fs::last_write_time(source, ec);
    if (ec)
        return false;
    const bool bReadOnly = (perms & fs::perms::owner_write) == fs::perms::none;
    if (bReadOnly)
        fs::permissions(dest, fs::perms::owner_write, fs::perm_options::add, ec);
    if (!ec)
        fs::last_write_time(dest, tWrite, ec);
    if (bReadOnly && !ec)
        fs::permissions(dest, perms, ec);
    return !ec;
}

// Windows' C library cannot set a folder's time: the folder keeps the time of the copy.
bool CopyFolderTime(const fs::path&, const fs::path&, std::error_code& ec) {
    ec.clear();
    return true;
}

}  // namespace fs_native

#endif  // _WIN32

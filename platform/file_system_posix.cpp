// The file-system calls of POSIX systems (file_system.h).
#ifndef _WIN32

#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "platform/file_system.h"
#include "platform/file_system_native.h"

namespace fs = std::filesystem;

int PathKind(const std::string& strPath) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? -1 : 1;
}

bool IsFolder(const std::string& strPath) {
    return PathKind(strPath) == -1;
}

bool MakeFolder(const std::string& strPath, uint32_t nMode) {
    return mkdir(strPath.c_str(), static_cast<mode_t>(nMode)) == 0 ||
           (errno == EEXIST && IsFolder(strPath));
}

bool CreateFolderPath(const std::string& strPath, std::vector<std::string>* pCreated) {
    std::string strFolder = strPath;
    while (!strFolder.empty() && strFolder.back() == '/')
        strFolder.pop_back();
    if (strFolder.empty())
        return true;
    if (IsFolder(strFolder))
        return true;
    size_t nSlash = strFolder.find_last_of('/');
    if (nSlash != std::string::npos && nSlash > 0 &&
        !CreateFolderPath(strFolder.substr(0, nSlash + 1), pCreated))
        return false;
    if (mkdir(strFolder.c_str(), 0755) == 0) {
        if (pCreated)
            pCreated->push_back(strFolder);
        return true;
    }
    return errno == EEXIST && IsFolder(strFolder);
}

std::string AtCurrentRoot(const std::string& strRest) {
    return "/" + strRest;
}

bool LocalTime(std::time_t t, std::tm& parts) {
    return localtime_r(&t, &parts) != nullptr;
}

namespace fs_native {

bool CopyWriteTime(const fs::path& source, const fs::path& dest, fs::perms, std::error_code& ec) {
    const auto tWrite = fs::last_write_time(source, ec);
    if (ec)
        return false;
    fs::last_write_time(dest, tWrite, ec);
    return !ec;
}

bool CopyFolderTime(const fs::path& source, const fs::path& dest, std::error_code& ec) {
    const auto tWrite = fs::last_write_time(source, ec);
    if (!ec)
        fs::last_write_time(dest, tWrite, ec);
    return !ec;
}

}  // namespace fs_native

#endif  // !_WIN32

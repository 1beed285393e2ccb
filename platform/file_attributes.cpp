#include "platform/file_attributes.h"

#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>

#include "platform/native_text.h"
#endif

namespace {
constexpr int kHostUnix = 3;
}

uint32_t DosAttributesFromMode(mode_t mode) {
    uint32_t uAttributes = S_ISDIR(mode) ? kDosFolder : kDosArchive;
    if ((mode & S_IWUSR) == 0)
        uAttributes |= kDosReadOnly;
    return uAttributes;
}

bool ExternalAttributesIsFolder(uint32_t uExternal, int nHostSystem) {
    if (uExternal & kDosFolder)
        return true;
    auto unixMode = static_cast<mode_t>(uExternal >> 16);
    return nHostSystem == kHostUnix && unixMode != 0 && S_ISDIR(unixMode);
}

mode_t PermissionsFromExternalAttributes(uint32_t uExternal, int nHostSystem, bool bFolder) {
    auto unixMode = static_cast<mode_t>(uExternal >> 16);
    if (nHostSystem == kHostUnix && unixMode != 0) {
        mode_t perms = unixMode & 0777;
        perms |= S_IRUSR;
        if (bFolder)
            perms |= S_IWUSR | S_IXUSR;
        return perms;
    }
    if (bFolder)
        return 0755;
    return (uExternal & kDosReadOnly) ? 0444 : 0644;
}

#ifdef _WIN32

namespace {

constexpr DWORD kSettableBits = kDosReadOnly | kDosHidden | kDosSystem | kDosArchive;

}  // namespace

bool GetFileAttributeWord(const std::string& strPath, uint32_t& uAttributes) {
    DWORD dwAttributes = GetFileAttributesW(WideFromUtf8(strPath).c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
        return false;
    uAttributes = dwAttributes & kDosArchivedBits;
    return true;
}

void MakeFileReplaceable(const std::string& strPath) {
    std::wstring path = WideFromUtf8(strPath);
    DWORD dwAttributes = GetFileAttributesW(path.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    // A folder keeps its folder bit whatever is asked; only the others are reset.
    if ((dwAttributes & (kDosReadOnly | kDosHidden | kDosSystem)) != 0)
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

bool SetFileAttributeWord(const std::string& strPath, uint32_t uAttributes) {
    DWORD dwAttributes = uAttributes & kSettableBits;
    return SetFileAttributesW(WideFromUtf8(strPath).c_str(),
                              dwAttributes != 0 ? dwAttributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

#else

bool GetFileAttributeWord(const std::string& strPath, uint32_t& uAttributes) {
    struct stat st {};
    if (stat(strPath.c_str(), &st) != 0)
        return false;
    uAttributes = DosAttributesFromMode(st.st_mode);
    return true;
}

void MakeFileReplaceable(const std::string& strPath) {
    struct stat st {};
    if (lstat(strPath.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
        return;
    if ((st.st_mode & S_IWUSR) == 0)
        chmod(strPath.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

#endif  // _WIN32

#include "zip/zip_names.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/file_system.h"
#include "platform/native_text.h"
#include "zip/zip_archiver.h"
#include "zip/zip_file.h"

namespace {

bool IsAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// A device name of Windows, whatever follows its first dot (spaces before it do not count).
bool IsWindowsDeviceName(std::string_view part) {
    std::string strBase(part.substr(0, part.find('.')));
    while (!strBase.empty() && strBase.back() == ' ')
        strBase.pop_back();
    for (char& c : strBase)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* szDevice : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (strBase == szDevice)
            return true;
    }
    if (strBase.compare(0, 3, "COM") != 0 && strBase.compare(0, 3, "LPT") != 0)
        return false;
    const std::string_view number = std::string_view(strBase).substr(3);
    // COM1-COM9, LPT1-LPT9, and with the superscript digits 1, 2 and 3 (UTF-8).
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// A part of a path that Windows cannot hold as a file or folder name.
bool IsUnfitForWindows(std::string_view part) {
    for (char c : part) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
            return true;
    }
    return part.back() == '.' || part.back() == ' ' || IsWindowsDeviceName(part);
}

}  // namespace

std::string EncodeStoredName(const std::string& strName, bool& bUtf8) {
    // The separator of stored names is '/' whatever the system's: a backslash (a Windows path, or
    // part of a POSIX file name, which every reader here takes for a separator anyway) is
    // stored as '/'. Neither CP949 nor UTF-8 has 0x5C inside a multi-byte character.
    std::string strSlashed = strName;
    std::replace(strSlashed.begin(), strSlashed.end(), '\\', '/');
    bUtf8 = false;
    if (IsAscii(strSlashed))
        return strSlashed;
    std::string strCp949;
    if (Utf8ToCp949(strSlashed, strCp949))
        return strCp949;
    bUtf8 = true;
    return strSlashed;
}

std::string DecodeStoredName(const uint8_t* pData, size_t nSize, bool bUtf8) {
    std::string_view raw(reinterpret_cast<const char*>(pData), nSize);
    std::string strName;
    // Without bit 11 the name is CP949. Some Unix tools write UTF-8 names without the bit: a
    // name that is not CP949 but is well-formed UTF-8 is taken as UTF-8.
    if (IsAscii(raw) || (bUtf8 && IsValidUtf8(raw))) {
        strName.assign(raw);
    } else if (!Cp949ToUtf8(raw, strName)) {
        if (IsValidUtf8(raw))
            strName.assign(raw);
        else
            strName = Cp949ToUtf8Lossy(raw);
    }
    for (char& c : strName) {
        if (c == '\\')
            c = '/';
    }
    return strName;
}

std::string StoredName(const std::string& strPath, bool bKeepPath) {
    // In archives the separator is '/', whatever the system's own is.
    if (kWindowsFileSystem && strPath.find('\\') != std::string::npos) {
        std::string strSlashed = strPath;
        std::replace(strSlashed.begin(), strSlashed.end(), '\\', '/');
        return StoredName(strSlashed, bKeepPath);
    }
    if (!bKeepPath) {
        size_t nPos = strPath.find_last_of("/\\");
        std::string strName = nPos == std::string::npos ? strPath : strPath.substr(nPos + 1);
        if (strName.size() >= 2 && std::isalpha(static_cast<unsigned char>(strName[0])) &&
            strName[1] == ':')
            strName.erase(0, 2);
        return strName;
    }
    size_t nStart = 0;
    if (strPath.size() >= 2 && std::isalpha(static_cast<unsigned char>(strPath[0])) &&
        strPath[1] == ':')
        nStart = 2;
    while (nStart < strPath.size() && IsSeparator(strPath[nStart]))
        ++nStart;
    return strPath.substr(nStart);
}

bool IsSafeEntryName(const std::string& strName, bool bKeepPath, ENameRules eRules) {
    if (strName.find('\0') != std::string::npos)
        return false;
    std::string strStored = StoredName(strName, bKeepPath);
    int nDepth = 0;
    size_t nPos = 0;
    while (nPos <= strStored.size()) {
        size_t nEnd = strStored.find_first_of("/\\", nPos);
        if (nEnd == std::string::npos)
            nEnd = strStored.size();
        std::string_view part(strStored.data() + nPos, nEnd - nPos);
        if (part == "..") {
            if (--nDepth < 0)
                return false;
        } else if (!part.empty() && part != ".") {
            if (eRules == ENameRules::Windows && IsUnfitForWindows(part))
                return false;
            ++nDepth;
        }
        nPos = nEnd + 1;
    }
    return true;
}

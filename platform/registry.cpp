#include "platform/registry.h"

#include <cstring>
#include <string>

namespace {

// Splits "KEY\PATH\Value" at its last backslash; false when a part is too long or missing.
bool SplitFullName(const char* szFullName, std::string& strKey, std::string& strValue) {
    if (szFullName == nullptr)
        return false;
    std::string_view full(szFullName);
    size_t nSlash = full.rfind('\\');
    if (nSlash == std::string_view::npos)
        return false;
    strKey.assign(full.substr(0, nSlash));
    strValue.assign(full.substr(nSlash + 1));
    return !strKey.empty() && strKey.size() <= 255 && strValue.size() <= 255;
}

}  // namespace

#ifdef _WIN32
#include <windows.h>

namespace {

std::wstring Wide(const std::string& strUtf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, strUtf8.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, strUtf8.c_str(), -1, wide.data(), n);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

HKEY RootKey(ERegRoot eRoot) {
    return eRoot == ERegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

}  // namespace

int RegReadString(const char* szFullName, char* pOut, int nSize, ERegRoot eRoot) {
    std::string strKey, strName;
    if (!SplitFullName(szFullName, strKey, strName) || pOut == nullptr || nSize <= 0)
        return -1;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(RootKey(eRoot), Wide(strKey).c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return -1;
    wchar_t szData[1024] = {};
    DWORD nBytes = sizeof(szData) - sizeof(wchar_t);
    LONG nResult = RegQueryValueExW(hKey, Wide(strName).c_str(), nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(szData), &nBytes);
    RegCloseKey(hKey);
    if (nResult != ERROR_SUCCESS)
        return -1;
    int nUtf8 = WideCharToMultiByte(CP_UTF8, 0, szData, -1, nullptr, 0, nullptr, nullptr);
    if (nUtf8 <= 1 || nUtf8 > nSize)
        return -1;
    WideCharToMultiByte(CP_UTF8, 0, szData, -1, pOut, nSize, nullptr, nullptr);
    return nUtf8 - 1;
}

int RegWriteString(const char* szFullName, const char* szText, ERegRoot eRoot) {
    std::string strKey, strName;
    if (!SplitFullName(szFullName, strKey, strName) || szText == nullptr)
        return 0;
    HKEY hKey = nullptr;
    if (RegCreateKeyExW(RootKey(eRoot), Wide(strKey).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &hKey, nullptr) != ERROR_SUCCESS)
        return 0;
    std::wstring data = Wide(szText);
    LONG nResult = RegSetValueExW(hKey, Wide(strName).c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(data.c_str()),
                                  static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS ? 1 : 0;
}

#else

#include "platform/registry_file.h"

int RegReadString(const char* szFullName, char* pOut, int nSize, ERegRoot eRoot) {
    std::string strKey, strName;
    if (!SplitFullName(szFullName, strKey, strName) || pOut == nullptr || nSize <= 0)
        return -1;
    std::optional<std::string> value = ReadOwnRegistryValue(eRoot, strKey, strName);
    if (!value || value->empty())
        value = ReadWineRegistryValue(eRoot, strKey, strName);
    // An empty value counts as missing: it would make every path relative to the current
    // folder.
    if (!value || value->empty())
        return -1;
    if (value->size() + 1 > static_cast<size_t>(nSize))
        return -1;
    std::memcpy(pOut, value->c_str(), value->size() + 1);
    return static_cast<int>(value->size());
}

int RegWriteString(const char* szFullName, const char* szText, ERegRoot eRoot) {
    std::string strKey, strName;
    if (!SplitFullName(szFullName, strKey, strName) || szText == nullptr)
        return 0;
    return WriteOwnRegistryValue(eRoot, strKey, strName, szText) ? 1 : 0;
}

#endif

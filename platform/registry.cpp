#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

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

#include "platform/native_text.h"

namespace {

HKEY RootKey(ERegRoot eRoot) {
    return eRoot == ERegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// The game's installer is a 32-bit program: its keys under SOFTWARE live in the 32-bit view
// (Wow6432Node on 64-bit Windows), and the program reads and writes that same view.
constexpr REGSAM kView = KEY_WOW64_32KEY;

struct SKeyCloser {
    void operator()(HKEY hKey) const { RegCloseKey(hKey); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<HKEY>, SKeyCloser>;

}  // namespace

int RegReadString(const char* szFullName, char* pOut, int nSize, ERegRoot eRoot) {
    std::string strKey, strName;
    if (!SplitFullName(szFullName, strKey, strName) || pOut == nullptr || nSize <= 0)
        return -1;
    HKEY hRaw = nullptr;
    if (RegOpenKeyExW(RootKey(eRoot), WideFromUtf8(strKey).c_str(), 0, KEY_QUERY_VALUE | kView,
                      &hRaw) != ERROR_SUCCESS)
        return -1;
    KeyHandle hKey(hRaw);
    const std::wstring name = WideFromUtf8(strName);
    DWORD dwType = 0;
    DWORD dwBytes = 0;
    if (RegQueryValueExW(hKey.get(), name.c_str(), nullptr, &dwType, nullptr, &dwBytes) !=
            ERROR_SUCCESS ||
        (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
        return -1;
    // The stored data need not end with a NUL; room for one more unit is kept.
    std::wstring data(dwBytes / sizeof(wchar_t) + 1, L'\0');
    dwBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (RegQueryValueExW(hKey.get(), name.c_str(), nullptr, &dwType,
                         reinterpret_cast<BYTE*>(data.data()), &dwBytes) != ERROR_SUCCESS)
        return -1;
    data.resize(std::min(dwBytes / sizeof(wchar_t), data.size()));
    while (!data.empty() && data.back() == L'\0')
        data.pop_back();
    std::string strValue = Utf8FromWide(data);
    // An empty value counts as missing, as on POSIX.
    if (strValue.empty() || strValue.size() + 1 > static_cast<size_t>(nSize))
        return -1;
    std::memcpy(pOut, strValue.c_str(), strValue.size() + 1);
    return static_cast<int>(strValue.size());
}

int RegWriteString(const char* szFullName, const char* szText, ERegRoot eRoot) {
    std::string strKey, strName;
    if (!SplitFullName(szFullName, strKey, strName) || szText == nullptr)
        return 0;
    HKEY hRaw = nullptr;
    if (RegCreateKeyExW(RootKey(eRoot), WideFromUtf8(strKey).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | kView, nullptr, &hRaw, nullptr) != ERROR_SUCCESS)
        return 0;
    KeyHandle hKey(hRaw);
    std::wstring data = WideFromUtf8(szText);
    LONG nResult = RegSetValueExW(hKey.get(), WideFromUtf8(strName).c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(data.c_str()),
                                  static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
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

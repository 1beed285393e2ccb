#include "support/scoped_env.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

namespace {

std::wstring Wide(const std::string& strUtf8) {
    int nUnits = MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), static_cast<int>(strUtf8.size()),
                                     nullptr, 0);
    std::wstring wide(static_cast<size_t>(nUnits > 0 ? nUnits : 0), L'\0');
    if (nUnits > 0)
        MultiByteToWideChar(CP_UTF8, 0, strUtf8.data(), static_cast<int>(strUtf8.size()),
                            wide.data(), nUnits);
    return wide;
}

}  // namespace

std::optional<std::string> GetEnv(const std::string& strName) {
    const wchar_t* szValue = _wgetenv(Wide(strName).c_str());
    if (szValue == nullptr)
        return std::nullopt;
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, szValue, -1, nullptr, 0, nullptr, nullptr);
    std::string strValue(static_cast<size_t>(nBytes > 0 ? nBytes : 1), '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, szValue, -1, strValue.data(), nBytes, nullptr, nullptr);
    strValue.pop_back();  // the terminator
    return strValue;
}

void SetEnv(const std::string& strName, const std::string& strValue) {
    // An empty value would remove the variable on Windows; no test relies on an empty one
    // being present, and the program treats empty as unset.
    _wputenv_s(Wide(strName).c_str(), Wide(strValue).c_str());
}

void UnsetEnv(const std::string& strName) {
    _wputenv_s(Wide(strName).c_str(), L"");
}

#else

std::optional<std::string> GetEnv(const std::string& strName) {
    const char* szValue = std::getenv(strName.c_str());
    if (szValue == nullptr)
        return std::nullopt;
    return std::string(szValue);
}

void SetEnv(const std::string& strName, const std::string& strValue) {
    setenv(strName.c_str(), strValue.c_str(), 1);
}

void UnsetEnv(const std::string& strName) {
    unsetenv(strName.c_str());
}

#endif

CScopedEnv::CScopedEnv(std::string strName, const std::optional<std::string>& value)
    : m_strName(std::move(strName)), m_old(GetEnv(m_strName)) {
    if (value) {
        SetEnv(m_strName, *value);
    } else {
        UnsetEnv(m_strName);
    }
}

CScopedEnv::~CScopedEnv() {
    if (m_old) {
        SetEnv(m_strName, *m_old);
    } else {
        UnsetEnv(m_strName);
    }
}

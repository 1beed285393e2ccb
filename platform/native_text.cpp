#include "platform/native_text.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>

std::wstring WideFromUtf8(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int nBytes = static_cast<int>(utf8.size());
    int nUnits = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), nBytes, nullptr, 0);
    std::wstring wide(static_cast<size_t>(nUnits > 0 ? nUnits : 0), L'\0');
    if (nUnits > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), nBytes, wide.data(), nUnits);
    return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
    if (wide.empty())
        return {};
    const int nUnits = static_cast<int>(wide.size());
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), nUnits, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(nBytes > 0 ? nBytes : 0), '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), nUnits, utf8.data(), nBytes, nullptr, nullptr);
    return utf8;
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(WideFromUtf8(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    return Utf8FromWide(path.native());
}

std::string GenericUtf8FromPath(const std::filesystem::path& path) {
    return Utf8FromWide(path.generic_wstring());
}

std::optional<std::string> GetEnvironmentUtf8(const char* szName) {
    const wchar_t* szValue = _wgetenv(WideFromUtf8(szName).c_str());
    if (szValue == nullptr)
        return std::nullopt;
    return Utf8FromWide(szValue);
}

#else

std::filesystem::path PathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(std::string(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
    return path.native();
}

std::string GenericUtf8FromPath(const std::filesystem::path& path) {
    return path.generic_string();
}

std::optional<std::string> GetEnvironmentUtf8(const char* szName) {
    const char* szValue = std::getenv(szName);
    if (szValue == nullptr)
        return std::nullopt;
    return std::string(szValue);
}

#endif

// The program's text is UTF-8 everywhere; the operating system is met in its own form here.
// On Windows that is UTF-16 (the wide APIs), so that Korean names work whatever the system
// code page is; on POSIX the UTF-8 bytes go to the system as they are.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The path named by UTF-8 text, in the system's native form.
std::filesystem::path PathFromUtf8(std::string_view utf8);
// The UTF-8 text of a native path (on Windows, characters that have no UTF-8 form, such as
// an unpaired surrogate, become U+FFFD).
std::string Utf8FromPath(const std::filesystem::path& path);

// The same with '/' as the separator (a path's generic form).
std::string GenericUtf8FromPath(const std::filesystem::path& path);

// An environment variable as UTF-8 text; nullopt when it is not set.
std::optional<std::string> GetEnvironmentUtf8(const char* szName);

#ifdef _WIN32
// UTF-8 <-> UTF-16. Invalid UTF-8 and unpaired surrogates become U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
#endif

#include "support/wine.h"

#ifdef _WIN32
#include <windows.h>
#endif

std::optional<std::string> WineCannotSendCp949Paths() {
#ifdef _WIN32
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    const bool bWine = hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
    if (bWine && GetACP() != 949)
        return "Wine sends URL paths in its ANSI code page (" + std::to_string(GetACP()) +
               "), not in the code page 949 WinINet is given";
#endif
    return std::nullopt;
}

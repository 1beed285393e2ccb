// What the tests must know of Wine, under which the Windows build's tests run here.
#pragma once

#include <optional>
#include <string>

// When this process runs under Wine and Wine cannot send a URL's path in code page 949 (it
// sends it in its own ANSI code page and ignores INTERNET_OPTION_CODEPAGE_PATH), the reason to
// skip a test of CP949 bytes on the wire; nullopt everywhere else.
std::optional<std::string> WineCannotSendCp949Paths();

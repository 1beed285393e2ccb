// The server's configuration text and the version check of start-up.
#pragma once

#include <cstdint>
#include <string>

class CSettings;
class IMessageView;

// This program's version; the server's CRRT_VERSION must equal it byte for byte.
inline constexpr const char* kClientVersion = "1.2";

// What reading the configuration came to.
enum class EConfigLoad {
    Loaded,       // parsed (also a body over the splitter's limit, which sets nothing)
    NotLoaded,    // no reply, or no piece in it
    VersionStop,  // the server wants another version: the update message was shown; start-up
                  // hands the board page to a browser and ends the program
};

// Applies a configuration body to settings. At a version line that does not match, shows the
// update message and stops there (the lines after it are not applied).
EConfigLoad ApplyServerConfig(CSettings& settings, const std::string& strBody, IMessageView& view);

// atoi as the configuration reads numbers (leading blanks, a sign, digits up to the first
// other character; none gives 0), saturated to the 32-bit range.
int32_t ConfigAtoi(const char* szText);

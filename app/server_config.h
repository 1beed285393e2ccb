// The server's configuration text and the version check of start-up.
#pragma once

#include <functional>
#include <string>

class CSettings;
class IMessageView;

// This program's version; the server's CRRT_VERSION must equal it byte for byte.
inline constexpr const char* kClientVersion = "1.2";

// What the version stop does after its message: hand the board page to a web browser and end
// the process. Tests replace both; an exit function that returns makes LoadServerConfig
// return 0 without applying anything further.
using BrowserOpenerFn = std::function<bool(const std::string& strUrl)>;
using ProcessExitFn = std::function<void(int nCode)>;
// Empty functions restore the defaults (OpenInBrowser, std::exit).
void SetVersionStopHooks(BrowserOpenerFn opener, ProcessExitFn exitFn);

// Applies a configuration body to settings. 1 = parsed (also for a body over the splitter's
// limit, which sets nothing), 0 = no piece, or the version stop ran and its exit returned.
int ApplyServerConfig(CSettings& settings, const std::string& strBody, IMessageView& view);

// atoi as the configuration reads numbers (leading blanks, a sign, digits up to the first
// other character; none gives 0), saturated to the 32-bit range.
int32_t ConfigAtoi(const char* szText);

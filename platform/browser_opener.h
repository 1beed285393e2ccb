// Hands a web address to the system's web browser.
#pragma once

#include <string>
#include <vector>

// Starts the system's opener for strUrl (xdg-open on Linux and other POSIX systems, `open`
// on macOS, the shell on Windows) without waiting for the browser. False when the opener
// could not be started.
bool OpenInBrowser(const std::string& strUrl);

#ifndef _WIN32
// Starts argv[0] (looked up in PATH) with the given arguments, detached: the call returns
// once the program is started, and the program is not left behind as a zombie of this
// process. The arguments go to the program as they are (no shell). False when it cannot be
// started.
bool LaunchDetached(const std::vector<std::string>& argv);
#endif

// The program's start-up, for the front end's main() (ui/main.cpp; ui/win32/main.cpp alike):
//
//     int main(int argc, char** argv) {
//         QApplication app(argc, argv);
//         CBoxMessageView view;                      // message boxes before any window
//         return RunStartup(view, [] {
//             CLoginDialog dlg(*g_pSettings);
//             dlg.exec();
//         });
//     }
//
// Order: the HTTP layer, the settings record (g_pSettings) with the addresses read from the
// environment, the diagnostic log, the server configuration with the version check, then
// runLogin, which returns when the program is to end. Nothing here ends the process: the
// result is main's exit code.
#pragma once

#include <functional>
#include <string>

#include "platform/browser_opener.h"

class IMessageView;

// Exit codes of RunStartup.
inline constexpr int kStartupOk = 0;
inline constexpr int kStartupNoNetwork = 1;
inline constexpr int kStartupNoConfig = 2;
inline constexpr int kStartupVersionStop = -1;  // the board page was handed to the browser

// openBrowser hands the board page to a web browser when the server wants another version.
int RunStartup(IMessageView& view, const std::function<void()>& runLogin,
               const std::function<bool(const std::string&)>& openBrowser = OpenInBrowser);

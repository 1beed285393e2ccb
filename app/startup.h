// The program's start-up, for the front end's main():
//
//     int main(int argc, char** argv) {
//         QApplication app(argc, argv);
//         CQtMessageView view;                       // message boxes before any window
//         return RunStartup(view, [&] { RunLoginDialog(); });
//     }
//
// Order: the HTTP layer, the settings record (g_pSettings), the server configuration with
// the version check, then runLogin, which returns when the program is to end.
#pragma once

#include <functional>

class IMessageView;

// Exit codes of RunStartup (a version mismatch ends the process with -1 itself).
inline constexpr int kStartupOk = 0;
inline constexpr int kStartupNoNetwork = 1;
inline constexpr int kStartupNoConfig = 2;

int RunStartup(IMessageView& view, const std::function<void()>& runLogin);

// The diagnostic log: one line for every step that fails, with its cause (the system's error
// text, the HTTP status or transfer error, the path, the archive's cause), and one line for the
// start and the end of every command with its duration and sizes. The member sees short
// messages; the causes are kept here for support. Passwords and request bodies are never
// written.
//
// The program opens it at start-up: $XDG_STATE_HOME/zav/zav.log, by default
// ~/.local/state/zav/zav.log (on Windows %LOCALAPPDATA%\zav\zav.log). Past about 1 MB the file
// becomes zav.log.1 (replacing the older one) and a new one begins. Until it is opened,
// DiagLog writes nothing (tests and tools).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::uintmax_t kDiagLogMaxBytes = 1024 * 1024;

// The log's default place for this user, from the environment.
std::string DefaultDiagLogPath();
// Opens the log at strPath (its folder made when missing); "" closes it.
void OpenDiagLog(const std::string& strPath);
// Appends "YYYY-MM-DD HH:MM:SS.mmm text" as one line; thread-safe. A log that cannot be
// written is passed over: the log never stops the program.
void DiagLog(std::string_view text);
// The text of a system error number ("No space left on device").
std::string ErrnoText(int nError);

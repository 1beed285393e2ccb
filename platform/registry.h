// One persistent string per root, key and value name: the registry on Windows, and on POSIX
// the program's own REGEDIT4-format file $XDG_CONFIG_HOME/zav/registry.reg (default
// ~/.config/zav/registry.reg), with a read-only look into the Wine prefix where the game is
// installed ($WINEPREFIX, else ~/.wine) when the program's own file lacks the value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

enum class ERegRoot { LocalMachine, CurrentUser };

// szFullName is "KEY\PATH\ValueName", split at its last backslash into key and value name
// (each at most 255 characters). Reads the value into pOut (nSize bytes) and returns its
// length without the NUL, or -1 when it is missing, empty, or does not fit (pOut may then be
// unchanged).
int RegReadString(const char* szFullName, char* pOut, int nSize, ERegRoot eRoot);

// Stores szText as the value; 1 = stored, 0 = failed. On POSIX only the program's own file
// is written (created when missing, replaced atomically); the Wine prefix is never touched.
int RegWriteString(const char* szFullName, const char* szText, ERegRoot eRoot);

#ifndef _WIN32
// The program's own registry file.
std::string RegistryFilePath();

// The value from the program's own file, or nullopt. key is relative to the root
// ("SOFTWARE\..."), single backslashes.
std::optional<std::string> ReadOwnRegistryValue(ERegRoot eRoot, std::string_view key,
                                                std::string_view valueName);

// The value from the Wine prefix (system.reg for LocalMachine, user.reg for CurrentUser),
// looked up under key and, for keys below SOFTWARE, under SOFTWARE\Wow6432Node as well.
// A Windows path ("C:\...") is turned into the POSIX path it names through the prefix's
// dosdevices links; nullopt when the value or the drive link is missing.
std::optional<std::string> ReadWineRegistryValue(ERegRoot eRoot, std::string_view key,
                                                 std::string_view valueName);

// "C:\Games\WoW\" -> "<target of prefix/dosdevices/c:>/Games/WoW/". Components that do not
// exist with the exact case are matched case-insensitively, as Windows would; the trailing
// separator is kept. nullopt for paths without a drive letter or a missing drive link.
std::optional<std::string> WinePathToPosix(const std::string& strPrefix,
                                           std::string_view windowsPath);
#endif

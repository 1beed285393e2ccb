// Finding a running game client of the game folder, so that restore and initialize can refuse
// to write settings the client would overwrite when it exits, and backup can warn that files
// may be half written.
//
// A client is known by its executable's name (kGameClientNames, any ASCII case). On Linux the
// client runs under Wine: the process table (/proc) gives the name in comm, often the exe name,
// and in argv[0], often a Windows path ("C:\Games\World of Warcraft\Wow.exe"). Only clients of
// this game folder count, where the process table shows where the client runs from; where it
// shows nothing, the name alone counts. On Windows the Toolhelp snapshot gives the
// executable's name and QueryFullProcessImageNameW its path: a client counts when its
// executable lies inside the game folder (any case), or when that path cannot be read.
// game_process.cpp holds the name rules shared by every system; each system's file
// (game_process_linux.cpp, game_process_win.cpp) implements FindGameClients.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

// The client executables of every edition of the game.
inline constexpr std::array<std::string_view, 7> kGameClientNames = {
    "Wow.exe",        "Wow-64.exe",      "WowT.exe",       "WowB.exe",
    "WowClassic.exe", "WowClassicT.exe", "WowClassicB.exe"};

struct SGameProcess {
    int nPid;             // process id
    std::string strName;  // the executable name it was known by, as the process shows it
};

// The last component of a path in Windows ("C:\x\Wow.exe") or POSIX ("/x/Wow.exe") form.
std::string_view PathBaseName(std::string_view path);

// True when name, a bare executable name, is one of kGameClientNames in any ASCII case.
bool IsGameClientName(std::string_view name);

// The running game clients of this game folder (a folder path, with or without the trailing
// separator), in process-id order; empty when none runs or the process table cannot be read.
std::vector<SGameProcess> FindGameClients(const std::string& strGameFolder);

#ifdef __linux__
// The same over the process table mounted at strProcRoot ("/proc" for the system's own).
//
// A process is a client when its comm, or the base name of argv[0] (the first field of
// cmdline), is a client name. comm holds at most 15 bytes, so a 15-byte comm that argv[0]
// shows to be the start of a longer name is that longer name, not a client. Zombies are
// passed over, and so are processes that end while the table is read.
//
// Where a client runs from is judged by every location the table shows: the working folder
// (cwd link), the executable (exe link, used only when it is the client itself rather than
// Wine's loader), and an absolute argv[0], a Windows path being mapped to a POSIX one through
// the dosdevices links of the process's Wine prefix (WINEPREFIX in its environment, else
// ~/.wine of its HOME). The client counts when one of these lies inside the game folder, or
// when none of them can be read; a client whose locations all lie elsewhere belongs to another
// game folder and does not count.
std::vector<SGameProcess> FindGameClientsIn(const std::string& strProcRoot,
                                            const std::string& strGameFolder);
#endif

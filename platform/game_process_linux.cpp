#ifdef __linux__

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "platform/ascii_case.h"
#include "platform/game_process.h"
#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {

// The kernel keeps at most this many bytes of a process's name in comm.
constexpr size_t kCommBytes = 15;
// What the kernel appends to a link whose target has been deleted or replaced.
constexpr std::string_view kDeleted = " (deleted)";

// Up to nLimit bytes of a process-table file; nullopt when it cannot be read (the process
// has ended, or belongs to someone this process may not look into).
std::optional<std::string> ReadProcFile(const std::string& strPath, size_t nLimit) {
    std::ifstream in(strPath, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string strText(nLimit, '\0');
    in.read(strText.data(), static_cast<std::streamsize>(nLimit));
    if (in.bad())
        return std::nullopt;
    strText.resize(static_cast<size_t>(in.gcount()));
    return strText;
}

std::optional<std::string> ReadLink(const std::string& strPath) {
    std::error_code ec;
    fs::path target = fs::read_symlink(strPath, ec);
    if (ec || target.empty())
        return std::nullopt;
    std::string strTarget = target.string();
    if (strTarget.ends_with(kDeleted))
        strTarget.resize(strTarget.size() - kDeleted.size());
    return strTarget;
}

// True when /proc/PID/stat says the process has exited and only waits to be reaped.
bool IsZombie(const std::string& strPidDir) {
    std::optional<std::string> stat = ReadProcFile(strPidDir + "/stat", 512);
    if (!stat)
        return false;
    // "PID (comm) S ...": comm may itself hold ") ", so the state follows the last ')'.
    size_t nClose = stat->rfind(')');
    if (nClose == std::string::npos || nClose + 2 >= stat->size())
        return false;
    char cState = (*stat)[nClose + 2];
    return cState == 'Z' || cState == 'X';
}

// The value of NAME in a NUL-separated environment block, or nullopt.
std::optional<std::string> EnvironmentValue(std::string_view block, std::string_view name) {
    size_t nPos = 0;
    while (nPos < block.size()) {
        size_t nEnd = block.find('\0', nPos);
        if (nEnd == std::string_view::npos)
            nEnd = block.size();
        std::string_view entry = block.substr(nPos, nEnd - nPos);
        if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
            return std::string(entry.substr(name.size() + 1));
        nPos = nEnd + 1;
    }
    return std::nullopt;
}

// "X:\..." or "X:/...".
bool IsWindowsAbsolute(std::string_view path) {
    return path.size() >= 3 && AsciiLower(path[0]) >= 'a' && AsciiLower(path[0]) <= 'z' &&
           path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// The POSIX path an absolute argv[0] names, or nullopt when it names none that can be known.
std::optional<std::string> Argv0Location(const std::string& strPidDir, const std::string& strArg0) {
    std::string strPosix;
    if (strArg0.starts_with('/')) {
        strPosix = strArg0;
    } else if (IsWindowsAbsolute(strArg0)) {
        std::optional<std::string> environ = ReadProcFile(strPidDir + "/environ", 1 << 20);
        if (!environ)
            return std::nullopt;
        std::optional<std::string> prefix = EnvironmentValue(*environ, "WINEPREFIX");
        if (!prefix || prefix->empty()) {
            std::optional<std::string> home = EnvironmentValue(*environ, "HOME");
            if (!home || home->empty())
                return std::nullopt;
            prefix = *home + "/.wine";
        }
        std::optional<std::string> mapped = WinePathToPosix(*prefix, strArg0);
        if (!mapped)
            return std::nullopt;
        strPosix = *mapped;
    } else {
        return std::nullopt;  // relative: says no more than the working folder
    }
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(strPosix, ec);
    return ec ? fs::path(strPosix).lexically_normal().string() : canonical.string();
}

// strPath equals strFolder or lies below it; both absolute, strFolder without a trailing '/'
// (empty for the root folder).
bool IsInside(std::string_view path, std::string_view folder) {
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// The game folder as the process table shows paths: links resolved, no trailing '/'.
std::string FolderForMatching(const std::string& strGameFolder) {
    std::error_code ec;
    fs::path folder = fs::weakly_canonical(strGameFolder, ec);
    std::string strFolder =
        ec ? fs::path(strGameFolder).lexically_normal().string() : folder.string();
    while (!strFolder.empty() && strFolder.back() == '/')
        strFolder.pop_back();
    return strFolder;
}

// The client this process table entry is, or nullopt.
std::optional<SGameProcess> MatchProcess(const std::string& strPidDir, int nPid,
                                         const std::string& strFolder) {
    std::optional<std::string> comm = ReadProcFile(strPidDir + "/comm", 64);
    std::optional<std::string> cmdline = ReadProcFile(strPidDir + "/cmdline", 4096);
    if (!comm && !cmdline)
        return std::nullopt;  // ended while the table was read
    std::string strComm = comm.value_or("");
    if (strComm.ends_with('\n'))
        strComm.pop_back();
    // Kernel threads and zombies have an empty cmdline.
    std::string strArg0 = cmdline ? cmdline->substr(0, cmdline->find('\0')) : std::string();
    std::string_view argBase = PathBaseName(strArg0);

    bool bByArg0 = IsGameClientName(argBase);
    bool bCommCut = strComm.size() == kCommBytes && argBase.size() > kCommBytes &&
                    StartsWithAsciiNoCase(argBase, strComm);
    bool bByComm = IsGameClientName(strComm) && !bCommCut;
    if (!bByArg0 && !bByComm)
        return std::nullopt;
    if (IsZombie(strPidDir))
        return std::nullopt;

    bool bSeen = false;
    bool bInside = false;
    auto consider = [&](const std::optional<std::string>& location) {
        if (!location)
            return;
        bSeen = true;
        bInside = bInside || IsInside(*location, strFolder);
    };
    consider(ReadLink(strPidDir + "/cwd"));
    // Under Wine the exe link names the loader, which says nothing about the game folder.
    std::optional<std::string> exe = ReadLink(strPidDir + "/exe");
    if (exe && IsGameClientName(PathBaseName(*exe)))
        consider(exe);
    consider(Argv0Location(strPidDir, strArg0));
    if (bSeen && !bInside)
        return std::nullopt;  // a client of another game folder
    return SGameProcess{nPid, bByArg0 ? std::string(argBase) : strComm};
}

}  // namespace

std::vector<SGameProcess> FindGameClientsIn(const std::string& strProcRoot,
                                            const std::string& strGameFolder) {
    std::vector<int> pids;
    if (DIR* pDir = opendir(strProcRoot.c_str())) {
        while (const dirent* pEntry = readdir(pDir)) {
            std::string_view name = pEntry->d_name;
            if (name.empty() || name.size() > 9 ||
                !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            pids.push_back(std::atoi(pEntry->d_name));
        }
        closedir(pDir);
    }
    std::sort(pids.begin(), pids.end());

    const std::string strFolder = FolderForMatching(strGameFolder);
    std::vector<SGameProcess> clients;
    for (int nPid : pids) {
        if (std::optional<SGameProcess> client =
                MatchProcess(strProcRoot + "/" + std::to_string(nPid), nPid, strFolder))
            clients.push_back(std::move(*client));
    }
    return clients;
}

std::vector<SGameProcess> FindGameClients(const std::string& strGameFolder) {
    return FindGameClientsIn("/proc", strGameFolder);
}

#endif

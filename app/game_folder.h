// The game folder's registry value and the making of the working folders.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "app/categories.h"
#include "platform/registry.h"

// The game's install path under HKEY_LOCAL_MACHINE, as one text split at its last backslash.
inline constexpr const char* kInstallPathValue =
    "SOFTWARE\\Blizzard Entertainment\\World of Warcraft\\InstallPath";

// The folder maker works on buffers of this many bytes (the NUL included).
inline constexpr size_t kDirMakerBuffer = 256;

// Makes every folder of a path except its last component.
class CDirMaker {
public:
    // Copies the path; on Windows every "\" becomes "/" (on POSIX "\" is an ordinary
    // character of a name and stays).
    explicit CDirMaker(std::string strPath);
    // 1 = every folder on the path except the last component exists (missing ones were
    // created); 0 = one cannot be created, or the path or a piece does not fit the buffers.
    int MakeParents() const;
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// Whether a game folder can carry the program's work.
enum class EGameFolder {
    Usable,
    Missing,  // empty or relative: every path would hang on the process's current folder
    TooLong,  // a working-folder, archive or copy path under it would not fit the path buffers
};
EGameFolder CheckGameFolder(std::string_view folder);

// A game folder the program can work on, as a value: absolute, ending with the native
// separator, and short enough that the path of every category folder, working folder, archive
// and copy under it fits the path buffers (CheckGameFolder). Made only by From, which refuses
// any other text; read as the text it is wherever a path is formed from it.
class CGameFolder {
public:
    // The folder a text names (its final separator added); nullopt when it cannot carry the
    // program's work, with the reason in *pWhy when given.
    static std::optional<CGameFolder> From(std::string_view text, EGameFolder* pWhy = nullptr);

    const std::string& Text() const { return m_strFolder; }
    operator const std::string&() const { return m_strFolder; }
    bool operator==(const CGameFolder&) const = default;

    // Paths of one category under the folder; they fit the path buffers.
    std::string CategoryFolder(ECategory eCategory) const;
    std::string Archive(ECategory eCategory) const;
    std::string Recent(ECategory eCategory) const;
    std::string Original(ECategory eCategory) const;

private:
    explicit CGameFolder(std::string strFolder) : m_strFolder(std::move(strFolder)) {}
    std::string m_strFolder;
};

class IMessageView;
class CFolderLock;

// The lock file of a game folder, relative to it.
inline constexpr const char* kRalumLock = "Ralum" ZAV_SEP "zav.lock";

// Takes the game folder's lock into lock (Ralum is made when missing). False, after telling
// the member (another window works on the folder, or the lock file cannot be made) and
// logging it under szCommand: then nothing may change in the folder.
bool TakeGameFolderLock(IMessageView& view, const std::string& strFolder, CFolderLock& lock,
                        const char* szCommand);

// True, after telling the member and logging which process it is, when a game client of
// strFolder runs: restore and initialize must not write settings that the client rewrites when
// the member logs out. szCommand names the command in the log.
bool RefuseWhileGameRuns(IMessageView& view, const std::string& strFolder, const char* szCommand);

// The folder with the native separator at its end (an empty text stays empty): every path is
// the game folder followed directly by a relative path, so a folder without it would put the
// working folders and the restored categories beside the game folder instead of inside it.
std::string WithFinalSeparator(std::string strFolder);

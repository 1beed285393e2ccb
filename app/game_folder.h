// The game folder's registry value and the making of the working folders.
#pragma once

#include <string>

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

// The DOS attribute word that zip archives carry, mapped to and from POSIX modes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

constexpr uint32_t kDosReadOnly = 0x01;
constexpr uint32_t kDosHidden = 0x02;
constexpr uint32_t kDosSystem = 0x04;
constexpr uint32_t kDosFolder = 0x10;
constexpr uint32_t kDosArchive = 0x20;

// The attribute word of a file or folder with this mode: 0x10 for a folder, 0x20 for
// anything else, plus 0x01 when the owner cannot write.
uint32_t DosAttributesFromMode(mode_t mode);

// Permission bits for an extracted file or folder from an entry's external attributes.
// nHostSystem is the high byte of "version made by" (0 MS-DOS, 3 Unix). A Unix host's mode in
// the high 16 bits gives the rwx bits (owner read always kept, owner write and search kept for
// folders); otherwise the DOS word gives 0644 / 0444 (read-only) for files, 0755 for folders.
// Never setuid, setgid or sticky.
mode_t PermissionsFromExternalAttributes(uint32_t uExternal, int nHostSystem, bool bFolder);

// True when the external attributes of an entry say "folder" (DOS 0x10, or a Unix folder mode
// from a Unix host).
bool ExternalAttributesIsFolder(uint32_t uExternal, int nHostSystem);

// The attribute bits an archive carries from and to the file system.
constexpr uint32_t kDosArchivedBits =
    kDosReadOnly | kDosHidden | kDosSystem | kDosFolder | kDosArchive;

// The attribute word of the file at strPath (UTF-8): on Windows the file's own DOS attributes
// (the bits above), on POSIX the word of its mode (stat follows links). False when it cannot
// be read.
bool GetFileAttributeWord(const std::string& strPath, uint32_t& uAttributes);

// Makes an existing file replaceable: on Windows its attributes are reset to normal (no
// read-only, hidden or system bit), on POSIX it is made writable by its owner. Links are left
// alone. Failures are ignored.
void MakeFileReplaceable(const std::string& strPath);

#ifdef _WIN32
// Gives the file or folder at strPath the read-only, hidden, system and archive bits of an
// entry's DOS word (the folder bit is the file system's own). False when they cannot be set.
bool SetFileAttributeWord(const std::string& strPath, uint32_t uAttributes);
#endif

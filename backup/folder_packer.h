// Packing the chosen category folders into the temporary archives of a backup, and deleting
// those archives again.
//
// Every path is the game folder the command took when it started followed directly by a
// relative path; the process's current folder is never used or changed. Entry names are the
// files' paths relative to the game folder ("Cache/WDB/koKR/x.wdb").
#pragma once

#include <cstdint>
#include <string>

#include "app/categories.h"
#include "backup/backup_messages.h"

class CZipArchiver;
class IMainView;
class IMessageView;

// Results of the packaging steps.
inline constexpr int kPackCreateFailed = -3;
inline constexpr int kPackAddFailed = -4;
// The archive cannot be finished, or does not read back whole with every entry.
inline constexpr int kPackCloseFailed = -5;

// The temporary archive of a category: game folder + "Ralum/Temp/__<word>.zip".
std::string TempArchivePath(const std::string& strGameFolder, ECategory eCategory);

// Packs one category into its temporary archive (an existing one is replaced), then reads the
// archive's end record and directory back and checks that it holds every file added.
// 1 = at least one file added, 0 = none, -3 = the archive cannot be created,
// -4 = a file cannot be added or changed while it was read, or a folder cannot be read (the
// archive was closed, the message shown, naming the file or folder), -5 = the archive cannot
// be finished or does not read back whole (message shown).
int PackFolder(IMainView& view, const std::string& strGameFolder, ECategory eCategory);

// Adds every file of the tree strRelFolder (relative to the game folder) to the open archive,
// depth-first in listing order. Returns the number of files added, or -4 after showing the
// add-failure message (naming the file or folder) and closing the archive. strRelFolder itself
// is an empty tree when it does not exist; when it exists but cannot be opened, and when any
// folder below it cannot be opened or its listing breaks off, that folder fails (its files
// would be missing from the archive). A file whose size or modification time differs after
// packing from what the walk saw before reading it changed while it was read, and fails like
// an unreadable one.
// The tree is walked first, then its files are compressed on two worker threads while this
// thread writes them and keeps the window alive; a file that is gone (or no longer a regular
// file) by the time its turn comes is passed over, as the walk passes over it.
int AddFolderToArchive(IMainView& view, CZipArchiver& zip, const std::string& strGameFolder,
                       const std::string& strRelFolder);

// Guards around the archive's operations: 1 on success, 0 after showing the message.
int TryCreateArchive(IMessageView& view, CZipArchiver& zip, const std::string& strPath);
int TryCloseArchive(IMessageView& view, CZipArchiver& zip);

// True when the archive at strPath opens, its end record and central directory read back, and
// it holds exactly nEntries entries.
bool IsWholeArchive(const std::string& strPath, int nEntries);

// Deletes the temporary archives of the categories of nMask (kMaskAll: all four). Missing files
// are passed over. Always 1.
int DeleteTempArchives(const std::string& strGameFolder, uint8_t nMask);

// The program's file-system calls on paths (UTF-8, native separators): what stands at a path,
// making folders, the silent folder-tree operations (delete, move, copy, flush), renames that
// survive a power cut, dated folder names and the room on a disk. Portable parts in
// file_system.cpp on std::filesystem; what differs between the systems in
// file_system_posix.cpp and file_system_win.cpp. The tree operations ask nothing and show
// nothing; each reports whether the tree ended up as asked, so that callers which must not lose
// data can roll back, while callers that do not care simply ignore the result.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

// The native separator, as text (for literals: "Ralum" ZAV_SEP "Temp") and as a character.
#ifdef _WIN32
#define ZAV_SEP "\\"
inline constexpr bool kWindowsFileSystem = true;
#else
#define ZAV_SEP "/"
inline constexpr bool kWindowsFileSystem = false;
#endif
inline constexpr char kNativeSep = ZAV_SEP[0];

// -1 for a folder, 1 for a file (or anything else that is not a folder), 0 when absent; links
// are followed.
int PathKind(const std::string& strPath);
// True when a folder stands at strPath (a link to one counts).
bool IsFolder(const std::string& strPath);
// Makes the folder strPath (its parent must exist; nMode before the umask, POSIX only). True
// when a folder stands there afterwards, made now or before; a file in the way is false.
bool MakeFolder(const std::string& strPath, uint32_t nMode = 0777);
// Makes strPath and its missing parents, as the program's own folders are made (the working
// folders' parents, the lock's, the download's, the restore's staging and kept folders): false,
// with the cause in ec, when it does not exist as a folder afterwards.
bool MakeFolders(const std::string& strPath, std::error_code& ec);
// Makes strPath and its missing parents for an extraction (0755 on POSIX). True when it exists
// as a folder afterwards. Every folder it made is appended to *pCreated when given, parents
// first.
bool CreateFolderPath(const std::string& strPath, std::vector<std::string>* pCreated = nullptr);
// strRest ("a/b") below the root of the current drive: "/a/b" on POSIX, "C:/a/b" on Windows;
// "" when the current drive cannot be told.
std::string AtCurrentRoot(const std::string& strRest);
// True when the file system of strFolder (of its nearest existing parent while it does not
// exist yet) has nBytes available to this process, and when that cannot be told. What it has
// goes to *pAvailable when given (UINT64_MAX when unknown).
bool HasRoomFor(const std::string& strFolder, uint64_t nBytes, uint64_t* pAvailable = nullptr);
// The local time of t broken down; false when the system cannot.
bool LocalTime(std::time_t t, std::tm& parts);

// Deletes the tree at strPath for good (a link is removed, never followed). Owner-write bits
// are added to read-only folders on the way so that they can be emptied. A missing path is no
// error. False when something could not be deleted.
bool DeleteFolder(const std::string& strPath);

// Moves the tree at strSource to strDest, which must not exist. A rename (flushed) when both
// lie on one file system; otherwise a copy to strDest, flushed, followed by deleting the
// source, so that a failed copy leaves the source whole. A missing source moves nothing and is no
// error. False when strDest exists or the move failed (after a failed rename or copy the source is
// in place).
bool MoveFolder(const std::string& strSource, const std::string& strDest);

// Copies the tree at strSource to strDest, which must not exist: files with their contents,
// permissions and modification times, links inside the tree as links (strSource itself, when
// it is a link, is copied as what it points to). The copy is built under a temporary name
// beside strDest, flushed to the disk (its file system at once where the system can, else
// every file and folder of it), and renamed into place (the rename flushed too), so strDest
// never holds half a copy, even after a power cut, and its source may go once this returns. A
// missing source copies nothing and is no error. False when strDest exists or the copy failed.
bool CopyFolder(const std::string& strSource, const std::string& strDest);

// True when something (a folder, a file or a link) stands at strPath.
bool PathExists(const std::string& strPath);

// Renames strFrom to strTo (a file replaces a file at strTo). False, with ec set, when that
// failed.
bool RenamePath(const std::string& strFrom, const std::string& strTo, std::error_code& ec);
// RenamePath, then the folders of both names flushed, so that the rename survives a power cut
// (a folder that cannot be flushed is logged; the rename still counts).
bool RenameDurably(const std::string& strFrom, const std::string& strTo, std::error_code& ec);

// Flushes every file and folder of the tree at strRoot to the disk (links are not followed), by
// flushing its whole file system at once where the system can. False, with the cause in
// *pError when given, when something cannot be flushed.
bool SyncTree(const std::string& strRoot, std::string* pError = nullptr);

// The local time as "yyyymmdd-hhmmss", the name of a dated copy.
std::string LocalTimeStamp();
// strParent + separator + LocalTimeStamp(), or with "-2", "-3" ... after it when that name is
// taken: a folder name no earlier copy has. The folder is not made.
std::string UniqueDatedFolder(const std::string& strParent);

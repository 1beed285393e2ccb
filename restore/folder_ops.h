// Silent folder-tree operations: delete, move and copy. They ask nothing and show nothing;
// each reports whether the tree ended up as asked, so that callers which must not lose data
// can roll back, while callers that do not care simply ignore the result.
#pragma once

#include <string>
#include <system_error>

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

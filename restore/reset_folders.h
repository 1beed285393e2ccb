// Initialize keeps its undo copies: the game's Fonts, Interface and WTF folders are moved into
// a dated folder of their own under Ralum/Reset instead of being deleted, so that the member
// can bring them back. No initialize ever replaces, merges into or removes an earlier copy.
#pragma once

#include <string>
#include <vector>

#include "app/categories.h"

inline constexpr const char* kRalumReset = "Ralum" ZAV_SEP "Reset";

struct SResetResult {
    std::string strFolder;               // Ralum/Reset/<yyyymmdd-hhmmss>, when anything went there
    std::vector<std::string> vecMoved;   // folders now under it
    std::vector<std::string> vecPartly;  // copied there whole, but some files stayed behind
    std::vector<std::string> vecFailed;  // folders that stay where they were
};

// Moves each of Fonts, Interface and WTF that exists to Ralum/Reset/<yyyymmdd-hhmmss>/<name>
// (a new folder for every initialize, "-2" and so on added when one of that second exists): a
// rename on one file system; across file systems a copy, flushed to the disk, and then the
// source deleted. A copy that fails leaves the folder where it was (and no copy); a source that
// cannot be deleted completely after its copy keeps its copy (vecPartly), so that nothing of
// it is lost.
SResetResult MoveToReset(const std::string& strGameFolder);

// The initialize command's message for a result: the completion text and where the folders are
// now, or which folders could not be moved (or were moved only in part).
std::string ResetMessage(const SResetResult& result);

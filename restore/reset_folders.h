// Initialize keeps one undo copy: the game's Fonts, Interface and WTF folders are moved into
// Ralum/Reset instead of being deleted, so that the member can bring them back.
#pragma once

#include <string>
#include <vector>

#include "app/categories.h"

inline constexpr const char* kRalumReset = "Ralum" ZAV_SEP "Reset";

struct SResetResult {
    std::vector<std::string> vecMoved;   // folders now under Ralum/Reset
    std::vector<std::string> vecFailed;  // folders that stay where they were
};

// Moves each of Fonts, Interface and WTF that exists to Ralum/Reset/<name>: a rename on one
// file system, a copy and then a delete across file systems. An earlier Reset copy of a
// folder is replaced only after the new move has succeeded. A move that fails leaves the folder
// where it was (across file systems, a copy that could be made but whose source could not be
// removed completely stays as the Reset copy, so that nothing of the folder is lost; the folder
// still counts as failed). A folder moved by an initialize that was cut off is taken as the
// Reset copy first.
SResetResult MoveToReset(const std::string& strGameFolder);

// The initialize command's message for a result: the completion text and where the folders are
// now, or which folders could not be moved.
std::string ResetMessage(const std::string& strGameFolder, const SResetResult& result);

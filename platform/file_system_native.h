// What the portable part of the file-system module (file_system.cpp) asks of the system's own
// file (file_system_posix.cpp or file_system_win.cpp).
#pragma once

#include <filesystem>
#include <system_error>

namespace fs_native {

// Gives the copied file dest the modification time of source (perms: the copy's permissions).
bool CopyWriteTime(const std::filesystem::path& source, const std::filesystem::path& dest,
                   std::filesystem::perms perms, std::error_code& ec);
// Gives the copied folder dest the modification time of source, where the system can.
bool CopyFolderTime(const std::filesystem::path& source, const std::filesystem::path& dest,
                    std::error_code& ec);

}  // namespace fs_native

// Whole-file reading and writing for the tests, by UTF-8 paths.
#pragma once

#include <string>

// The file's bytes; "" when it cannot be opened.
std::string ReadWholeFile(const std::string& strPath);
// Writes (replaces) the file, making its folders first; throws when that fails.
void WriteWholeFile(const std::string& strPath, const std::string& strContent);

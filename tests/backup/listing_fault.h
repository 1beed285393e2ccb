// A folder listing that breaks off, for the tests of a walk (POSIX only): the test binary's
// readdir comes before the C library's and passes every call on but those it was told to fail.
#pragma once

#include <string>

// The listing of the folder strFolder (an absolute path) answers nEntries calls of readdir as
// usual, then fails one with EIO; afterwards it answers again. An empty strFolder disarms it.
void BreakListingOf(const std::string& strFolder, int nEntries);

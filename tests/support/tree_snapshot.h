// Folder trees for the tests: bytes to fill them with, snapshots for "nothing changed" checks, a
// sandbox on another file system, and tmpfs mounts for full disks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/sandbox.h"

// Deterministic bytes that do not compress: packed archives of them are about as large.
std::string RandomBytes(size_t nSize, uint32_t nSeed);

// Relative path -> "F:" + content for files, "D" for folders, "L:" + target for links.
using TreeMap = std::map<std::string, std::string>;
// The tree under strRoot; paths under any of vecSkip (relative) are left out.
TreeMap SnapshotTree(const std::string& strRoot, const std::vector<std::string>& vecSkip = {});

// A sandbox on another file system than the temporary folder (the shared-memory tmpfs), for
// moves across file systems without mount rights; none when there is no such file system.
std::unique_ptr<CSandbox> SandboxOnAnotherFileSystem();

// A tmpfs of nBytes mounted at strPath (created when missing); unmounted on destruction.
class CTmpfsMount {
public:
    CTmpfsMount(const std::string& strPath, size_t nBytes);
    ~CTmpfsMount();
    CTmpfsMount(const CTmpfsMount&) = delete;
    CTmpfsMount& operator=(const CTmpfsMount&) = delete;
    bool Mounted() const { return m_bMounted; }
    // Mounts it again read-only; false when that failed.
    bool MakeReadOnly();
    const std::string& Error() const { return m_strError; }

private:
    std::string m_strPath;
    bool m_bMounted = false;
    std::string m_strError;
};

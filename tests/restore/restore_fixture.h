// Helpers of the restore tests: archives packed as the backup packs them, tree snapshots for
// "nothing changed" checks, and tmpfs mounts for full disks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/login_logic.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "support/file_io.h"
#include "support/sandbox.h"

namespace restore_test {

// Logs the member in from this host: the service serves archives only to the address a member
// logged in from. A failure names its cause.
inline ::testing::AssertionResult LogInFromHere(const SEndpoints& endpoints,
                                                const std::string& strId,
                                                const std::string& strPassword) {
    const std::optional<std::string> body = MakeLoginBody(strId, strPassword);
    if (!body)
        return ::testing::AssertionFailure() << "no login body";
    const SHttpResult result =
        HttpExchange(endpoints.LoginUrl(), kHttpPost, &*body, endpoints.strCaFile);
    if (!result.bTransportOk)
        return ::testing::AssertionFailure() << "login failed: " << result.strError;
    if (ParseLoginReply(result.strBody).eStatus != SLoginReply::Success)
        return ::testing::AssertionFailure()
               << "login refused: " << result.nStatus << " " << result.strBody;
    return ::testing::AssertionSuccess();
}

// Deterministic bytes that do not compress.
std::string RandomBytes(size_t nSize, uint32_t nSeed);

// Relative path -> "F:" + content for files, "D" for folders, "L:" + target for links.
using TreeMap = std::map<std::string, std::string>;
// The tree under strRoot; paths under any of vecSkip (relative) are left out.
TreeMap SnapshotTree(const std::string& strRoot, const std::vector<std::string>& vecSkip = {});

// Packs every file under strGameFolder + strFolder (relative, '/'-separated) into strArchive,
// the entries named by their path relative to the game folder, as the backup names them.
void PackFolder(const std::string& strGameFolder, const std::string& strFolder,
                const std::string& strArchive);
// Writes an archive of the given entries (name -> content), deflated.
void PackEntries(const std::string& strArchive,
                 const std::vector<std::pair<std::string, std::string>>& vecEntries);
// Sets the "encrypted" flag bit of every entry, in the local and the central headers.
void MarkEncrypted(const std::string& strArchive);

// A game folder with its four category folders and working folders (path ends with '/').
struct SGame {
    std::string strRoot;  // the game folder, ending with '/'
    std::string Path(const std::string& strRelative) const { return strRoot + strRelative; }
};
void FillGameFolder(const SGame& game);

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

}  // namespace restore_test

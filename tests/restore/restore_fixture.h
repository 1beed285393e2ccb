// Helpers of the restore tests: the member's login, archives packed as the backup packs them,
// a game folder (tree snapshots and tmpfs mounts: support/tree_snapshot.h).
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
#include "support/tree_snapshot.h"

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

}  // namespace restore_test

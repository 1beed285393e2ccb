#include "restore/reset_folders.h"

#include <filesystem>
#include <system_error>

#include "platform/diag_log.h"
#include "platform/file_system.h"
#include "platform/native_text.h"
#include "restore/restore_messages.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kResetFolders[] = {"Fonts", "Interface", "WTF"};

std::string Join(const std::vector<std::string>& vecNames, const char* szSeparator) {
    std::string strText;
    for (const std::string& strName : vecNames)
        strText += (strText.empty() ? "" : szSeparator) + strName;
    return strText;
}

}  // namespace

SResetResult MoveToReset(const std::string& strGameFolder) {
    SResetResult result;
    const auto reset = GamePath(strGameFolder, kRalumReset);
    // The dated folder and the longest name in it must fit the path buffers.
    const std::string strDated = reset ? UniqueDatedFolder(*reset) : std::string();
    if (!reset || !GamePath(strDated, ZAV_SEP "Interface")) {
        for (const char* szName : kResetFolders) {
            if (PathExists(strGameFolder + szName))
                result.vecFailed.push_back(szName);
        }
        return result;
    }
    for (const char* szName : kResetFolders) {
        const std::string strSource = strGameFolder + szName;
        if (!PathExists(strSource))
            continue;
        std::error_code ec;
        MakeFolders(strDated, ec);
        const std::string strDest = Utf8FromPath(PathFromUtf8(strDated) / szName);
        // Moved by a rename, or across file systems by a copy and a delete.
        const bool bRenamed = RenameDurably(strSource, strDest, ec);
        if (!bRenamed && ec != std::errc::cross_device_link) {
            DiagLog("initialize: cannot move " + strSource + ": " + ec.message());
            result.vecFailed.push_back(szName);
        } else if (!bRenamed && !CopyFolder(strSource, strDest)) {
            result.vecFailed.push_back(szName);  // the source is whole, no copy was left
        } else if (bRenamed || DeleteFolder(strSource)) {
            result.vecMoved.push_back(szName);
        } else {
            result.vecPartly.push_back(szName);
        }
    }
    std::error_code ec;
    if (result.vecMoved.empty() && result.vecPartly.empty())
        fs::remove(PathFromUtf8(strDated), ec);  // made for nothing, empty
    else
        result.strFolder = strDated;
    return result;
}

std::string ResetMessage(const SResetResult& result) {
    std::string strText;
    if (result.vecFailed.empty() && result.vecPartly.empty()) {
        strText = kMsgInitialized;
    } else {
        if (!result.vecFailed.empty())
            strText = std::string(kMsgInitializeFailed) + "\n\n" + Join(result.vecFailed, "\n");
        if (!result.vecPartly.empty())
            strText += std::string(strText.empty() ? "" : "\n\n") + kMsgInitializePartly + "\n\n" +
                       Join(result.vecPartly, "\n");
        strText += std::string("\n\n") + kMsgInitializeHint;
    }
    std::vector<std::string> vecKept = result.vecMoved;
    vecKept.insert(vecKept.end(), result.vecPartly.begin(), result.vecPartly.end());
    if (!vecKept.empty()) {
        strText +=
            kMsgBeforeInitialize + Join(vecKept, ", ") + " " + kMsgKeptIn + "\n" + result.strFolder;
    }
    return strText;
}

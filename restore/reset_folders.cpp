#include "restore/reset_folders.h"

#include <filesystem>
#include <system_error>

#include "platform/native_text.h"
#include "restore/folder_ops.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kResetFolders[] = {"Fonts", "Interface", "WTF"};

constexpr const char* kMsgInitialized = "초기화가 완료되었습니다.";
constexpr const char* kMsgKeptIn = "폴더는 다음 위치에 보관되어 있습니다.";
constexpr const char* kMsgInitializeFailed = "다음 폴더를 초기화하지 못하였습니다.";
constexpr const char* kMsgInitializeHint =
    "게임이나 다른 프로그램이 사용 중인지 확인하신 후 다시 시도하시기 바랍니다.";

bool Rename(const std::string& strFrom, const std::string& strTo) {
    std::error_code ec;
    return RenamePath(strFrom, strTo, ec);
}

std::string Join(const std::vector<std::string>& vecNames, const char* szSeparator) {
    std::string strText;
    for (const std::string& strName : vecNames)
        strText += (strText.empty() ? "" : szSeparator) + strName;
    return strText;
}

// The paths of one folder's move: the folder, its Reset copy, and the names beside the copy
// that hold the new copy until it replaces the earlier one, and the earlier one meanwhile.
struct SResetPaths {
    std::string strSource, strReset, strNew, strOld;
};

bool MakePaths(const std::string& strGameFolder, const std::string& strName, SResetPaths& paths) {
    const std::string strBase = std::string(kRalumReset) + kNativeSep;
    const auto source = GamePath(strGameFolder, strName);
    const auto reset = GamePath(strGameFolder, strBase + strName);
    const auto fresh = GamePath(strGameFolder, strBase + ".zav-new-" + strName);
    const auto old = GamePath(strGameFolder, strBase + ".zav-old-" + strName);
    if (!source || !reset || !fresh || !old)
        return false;
    paths = {*source, *reset, *fresh, *old};
    return true;
}

// Puts the new copy in place of the earlier one. False (the new copy still under its own name)
// when it cannot.
bool ReplaceResetCopy(const SResetPaths& paths) {
    DeleteFolder(paths.strOld);
    if (PathExists(paths.strReset) && !Rename(paths.strReset, paths.strOld))
        return false;
    if (!Rename(paths.strNew, paths.strReset)) {
        Rename(paths.strOld, paths.strReset);
        return false;
    }
    DeleteFolder(paths.strOld);  // what stays is removed at the next initialize
    return true;
}

}  // namespace

SResetResult MoveToReset(const std::string& strGameFolder) {
    SResetResult result;
    for (const char* szName : kResetFolders) {
        SResetPaths paths;
        if (!MakePaths(strGameFolder, szName, paths)) {
            result.vecFailed.push_back(szName);
            continue;
        }
        std::error_code ec;
        fs::create_directories(PathFromUtf8(paths.strReset).parent_path(), ec);
        // A folder an earlier initialize moved before it was cut off is its latest copy.
        if (PathExists(paths.strNew))
            ReplaceResetCopy(paths);
        if (!PathExists(paths.strSource))
            continue;
        const bool bMoved = MoveFolder(paths.strSource, paths.strNew);
        if (PathExists(paths.strNew) && !ReplaceResetCopy(paths)) {
            // The folder is out of the game folder but not yet under its name: it goes back.
            if (!PathExists(paths.strSource))
                Rename(paths.strNew, paths.strSource);
            result.vecFailed.push_back(szName);
            continue;
        }
        if (bMoved)
            result.vecMoved.push_back(szName);
        else
            result.vecFailed.push_back(szName);
    }
    return result;
}

std::string ResetMessage(const std::string& strGameFolder, const SResetResult& result) {
    std::string strText;
    if (result.vecFailed.empty()) {
        strText = kMsgInitialized;
    } else {
        strText = std::string(kMsgInitializeFailed) + "\n\n" + Join(result.vecFailed, "\n") +
                  "\n\n" + kMsgInitializeHint;
    }
    if (!result.vecMoved.empty()) {
        strText += "\n\n초기화 전의 " + Join(result.vecMoved, ", ") + " " + kMsgKeptIn + "\n" +
                   strGameFolder + kRalumReset;
    }
    return strText;
}

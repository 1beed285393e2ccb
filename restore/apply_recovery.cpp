// Finding and finishing an apply that a crash or a power loss cut off. The folder names alone
// tell how far it got (see archive_applier.h): no journal is kept.
#include <filesystem>
#include <system_error>

#include "app/view.h"
#include "platform/diag_log.h"
#include "platform/native_text.h"
#include "restore/archive_applier.h"
#include "restore/folder_ops.h"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kAllCategories = kMaskFonts | kMaskInterface | kMaskWdb | kMaskWtf;

bool Rename(const std::string& strFrom, const std::string& strTo) {
    std::error_code ec;
    return RenamePath(strFrom, strTo, ec);
}

// Half-built copies of a cut-off CopyFolder (".<name>.zav-copy<n>") in one folder.
bool DeleteCopyLeftovers(const std::string& strFolder) {
    bool bOk = true;
    std::error_code ec;
    for (fs::directory_iterator it(PathFromUtf8(strFolder), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string strName = Utf8FromPath(it->path().filename());
        if (strName.size() > 1 && strName[0] == '.' &&
            strName.find(".zav-copy") != std::string::npos)
            bOk = DeleteFolder(Utf8FromPath(it->path())) && bOk;
    }
    return bOk;
}

}  // namespace

ERecovery CArchiveApplier::Recover() {
    if (!PreparePaths(kAllCategories))
        return ERecovery::Failed;

    // A staging folder means the archives were still being extracted or checked: nothing in the
    // game folder was swapped yet, and every staged and ready tree of that apply goes.
    bool bStaging = false;
    for (const SSlot& slot : m_vecSlots)
        bStaging = bStaging || PathExists(slot.strStageRoot);
    if (bStaging) {
        for (const SSlot& slot : m_vecSlots) {
            if (!DeleteFolder(slot.strStageRoot) || !DeleteFolder(slot.strReadyRoot)) {
                Fail("cannot remove the staging folders of an interrupted restore");
                return ERecovery::Failed;
            }
        }
    }

    ERecovery eResult = ERecovery::Nothing;
    bool bRolledBack = false;
    for (SSlot& slot : m_vecSlots) {
        if (PathExists(slot.strReady)) {
            if (!SwapIn(slot))
                return ERecovery::Failed;
            eResult = ERecovery::Finished;
        }
        if (!SettleSlot(slot, bRolledBack) || !DeleteFolder(slot.strReadyRoot))
            return ERecovery::Failed;
    }
    for (const char* szFolder : {kRalumRecent, kRalumOriginal}) {
        if (const auto folder = GamePath(m_strGameFolder, szFolder))
            DeleteCopyLeftovers(*folder);
    }
    if (eResult == ERecovery::Nothing && bRolledBack)
        eResult = ERecovery::RolledBack;
    return eResult;
}

bool CArchiveApplier::SettleSlot(SSlot& slot, bool& bRolledBack) {
    // The old folder set aside after its copy to Recent: needed only while the new folder is
    // not in place. Without one, the old folder goes back and its copy makes room for the
    // previous Recent copy.
    if (PathExists(slot.strAside)) {
        if (PathExists(slot.strTarget)) {
            if (!DeleteFolder(slot.strAside))
                return Fail("cannot remove " + slot.strAside);
        } else {
            if (!Rename(slot.strAside, slot.strTarget))
                return Fail("cannot put back " + slot.strTarget);
            if (PathExists(slot.strRecentOld) && !DeleteFolder(slot.strRecent))
                return Fail("cannot remove the copy " + slot.strRecent);
            bRolledBack = true;
        }
    }
    // The previous Recent copy set aside: replaced once the old folder stands in Recent and the
    // new folder in the game folder; otherwise the old folder and that copy go back.
    if (PathExists(slot.strRecentOld)) {
        if (!PathExists(slot.strTarget) && PathExists(slot.strRecent)) {
            if (!Rename(slot.strRecent, slot.strTarget))
                return Fail("cannot put back " + slot.strTarget);
            bRolledBack = true;
        }
        if (PathExists(slot.strRecent)) {
            if (!DeleteFolder(slot.strRecentOld))
                return Fail("cannot remove " + slot.strRecentOld);
        } else if (!Rename(slot.strRecentOld, slot.strRecent)) {
            return Fail("cannot put back " + slot.strRecent);
        }
    }
    return true;
}

ERecovery RecoverInterruptedApply(IMessageView& view, const std::string& strGameFolder) {
    if (strGameFolder.empty())
        return ERecovery::Nothing;
    CArchiveApplier applier(strGameFolder, 0);
    const ERecovery eResult = applier.Recover();
    switch (eResult) {
        case ERecovery::Finished:
            DiagLog("start: finished a restore that was cut off in " + strGameFolder);
            view.Message(kMsgApplyResumed);
            break;
        case ERecovery::RolledBack:
            DiagLog("start: put back a restore that was cut off in " + strGameFolder);
            view.Message(kMsgApplyRolledBack);
            break;
        case ERecovery::Failed:
            DiagLog("start: a restore that was cut off could not be settled: " +
                    applier.LastError());
            view.Message(kMsgApplyNotRecovered);
            break;
        case ERecovery::Nothing:
            break;
    }
    return eResult;
}

// Following the journal of an apply that a crash or a power cut stopped.
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/game_folder.h"
#include "app/view.h"
#include "platform/diag_log.h"
#include "platform/file_system.h"
#include "platform/folder_lock.h"
#include "platform/game_process.h"
#include "platform/native_text.h"
#include "restore/apply_journal.h"
#include "restore/archive_applier.h"

namespace {

// The order in which a step's records move it on; a record never moves it back.
template <class EState>
void Advance(EState& eState, EState eTo) {
    if (static_cast<int>(eTo) > static_cast<int>(eState))
        eState = eTo;
}

}  // namespace

bool CArchiveApplier::LoadJournal(const std::vector<std::vector<std::string>>& records) {
    m_vecSteps.clear();
    m_vecStageRoots.clear();
    m_vecMade.clear();
    m_vecOriginals.clear();
    m_bReady = m_bCommitted = m_bUndo = false;
    if (records.empty() || records[0].size() != 3 || records[0][0] != "apply" ||
        records[0][1] != "1")
        return Fail("the journal of an interrupted restore is not one this program wrote");
    m_strId = records[0][2];
    auto damaged = [this](const std::string& strWhy) {
        return Fail("the journal of an interrupted restore is damaged: " + strWhy);
    };
    for (size_t i = 1; i < records.size(); ++i) {
        const std::vector<std::string>& r = records[i];
        const std::string& strKind = r[0];
        auto path = [&](size_t nField, std::string& strOut) {
            if (nField >= r.size())
                return false;
            if (r[nField].empty()) {
                strOut.clear();
                return true;
            }
            strOut = Absolute(r[nField]);
            return !strOut.empty();
        };
        auto step = [&]() -> SStep* {
            if (r.size() != 2)
                return nullptr;
            const size_t nStep = std::strtoul(r[1].c_str(), nullptr, 10);
            return nStep < m_vecSteps.size() && std::to_string(nStep) == r[1] ? &m_vecSteps[nStep]
                                                                              : nullptr;
        };
        std::string strPath, strOther;
        if ((strKind == "made" || strKind == "stage" || strKind == "original") && r.size() == 2 &&
            path(1, strPath) && !strPath.empty()) {
            (strKind == "made"    ? m_vecMade
             : strKind == "stage" ? m_vecStageRoots
                                  : m_vecOriginals)
                .push_back(strPath);
        } else if (strKind == "step" && r.size() == 7 && !m_bReady &&
                   r[1] == std::to_string(m_vecSteps.size()) &&
                   (r[2] == "rename" || r[2] == "move")) {
            SStep s;
            s.eKind = r[2] == "move" ? EStepKind::Move : EStepKind::Rename;
            if (!path(3, s.strFrom) || !path(4, s.strTo) || !path(5, s.strAside) ||
                !path(6, s.strRemove) || s.strFrom.empty() || s.strTo.empty() ||
                (s.eKind == EStepKind::Move && s.strAside.empty()))
                return damaged("step " + r[1]);
            m_vecSteps.push_back(std::move(s));
        } else if (strKind == "ready" && r.size() == 2) {
            if (r[1] != std::to_string(m_vecSteps.size()))
                return damaged("steps missing");
            m_bReady = true;
        } else if (strKind == "kept" && r.size() == 3 && path(1, strPath) && path(2, strOther)) {
            if (PathExists(strOther))
                m_vecKept.emplace_back(strPath, strOther);
        } else if (strKind == "undo" && r.size() == 1) {
            m_bUndo = true;
        } else if (strKind == "commit" && r.size() == 1) {
            m_bCommitted = true;
        } else if (SStep* pStep = m_bReady ? step() : nullptr) {
            if (strKind == "begin") {
                Advance(pStep->eState, EStepState::Begun);
            } else if (strKind == "copying") {
                Advance(pStep->eState, EStepState::Copying);
                pStep->bCopied = true;
            } else if (strKind == "done") {
                Advance(pStep->eState, EStepState::Done);
            } else if (strKind == "unbegin") {
                Advance(pStep->eState, EStepState::Undoing);
            } else if (strKind == "undone") {
                Advance(pStep->eState, EStepState::Undone);
            } else {
                return damaged("record " + strKind);
            }
        } else {
            return damaged("record " + strKind);
        }
    }
    return true;
}

ERecovery CArchiveApplier::Recover() {
    const auto journal = GamePath(m_strGameFolder, kRalumJournal);
    if (!journal) {
        Fail("path too long for the journal");
        return ERecovery::Failed;
    }
    std::string strError;
    bool bExists = false;
    const auto records = CApplyJournal::Read(*journal, &strError, &bExists);
    if (!records) {
        if (!bExists)
            return ERecovery::Nothing;
        Fail(strError);
        return ERecovery::Failed;
    }
    DiagLog("apply: following the journal of an interrupted restore in " + m_strGameFolder);
    if (!LoadJournal(*records))
        return ERecovery::Failed;
    m_pJournal = std::make_unique<CApplyJournal>(*journal);

    ERecovery eResult = ERecovery::Nothing;
    if (!m_bReady) {
        // Cut off while the archives were extracted or checked: nothing was swapped yet.
        if (!Discard())
            eResult = ERecovery::Failed;
    } else if (m_bCommitted) {
        // Every step done: what is left is removing the folders the apply replaced.
        RemoveFolders(true);
    } else {
        bool bForward = !m_bUndo;
        for (size_t i = 0; bForward && i < m_vecSteps.size(); ++i)
            bForward = RunStep(i);
        if (bForward) {
            Journal({"commit"});
            m_bCommitted = true;
            RemoveFolders(true);
            eResult = ERecovery::Finished;
        } else if (UndoAll() && Discard()) {
            eResult = ERecovery::RolledBack;
        } else {
            eResult = ERecovery::Failed;
        }
    }
    m_vecSteps.clear();
    m_pJournal.reset();
    return eResult;
}

std::string KeptAndLeftNote(const CArchiveApplier& applier) {
    std::string strText;
    if (!applier.KeptFolders().empty()) {
        strText += kMsgFoldersKept;
        for (const auto& [strFrom, strTo] : applier.KeptFolders())
            strText += "\n" + strTo;
    }
    if (!applier.LeftFolders().empty()) {
        strText += std::string(strText.empty() ? "" : "\n\n") + kMsgFoldersLeft;
        for (const std::string& strFolder : applier.LeftFolders())
            strText += "\n" + strFolder;
    }
    return strText;
}

ERecovery RecoverInterruptedApply(IMessageView& view, const std::string& strGameFolder) {
    if (strGameFolder.empty())
        return ERecovery::Nothing;
    const auto journal = GamePath(strGameFolder, kRalumJournal);
    if (!journal || !CApplyJournal::Exists(*journal))
        return ERecovery::Nothing;
    // Another window may be in the middle of this very apply: its journal is not ours to follow.
    CFolderLock lock;
    if (!TakeGameFolderLock(view, strGameFolder, lock, "start"))
        return ERecovery::Deferred;
    if (!FindGameClients(strGameFolder).empty()) {
        DiagLog("start: an interrupted restore waits until the game is closed");
        view.Message(kMsgRecoveryWaitsForGame);
        return ERecovery::Deferred;
    }
    CArchiveApplier applier(strGameFolder, 0);
    const ERecovery eResult = applier.Recover();
    std::string strText;
    switch (eResult) {
        case ERecovery::Finished:
            DiagLog("start: finished a restore that was cut off in " + strGameFolder);
            strText = kMsgApplyResumed;
            break;
        case ERecovery::RolledBack:
            DiagLog("start: put back a restore that was cut off in " + strGameFolder);
            strText = kMsgApplyRolledBack;
            break;
        case ERecovery::Failed:
            DiagLog("start: a restore that was cut off could not be settled: " +
                    applier.LastError());
            strText = kMsgApplyNotRecovered;
            break;
        case ERecovery::Nothing:
        case ERecovery::Deferred:
            break;
    }
    const std::string strNote = KeptAndLeftNote(applier);
    if (!strNote.empty())
        strText += (strText.empty() ? "" : "\n\n") + strNote;
    if (!strText.empty())
        view.Message(strText);
    return eResult;
}

#include "restore/restore_command.h"

#include <memory>
#include <string>
#include <utility>

#include "app/app_messages.h"
#include "app/command_start.h"
#include "app/game_folder.h"
#include "app/main_logic.h"
#include "restore/archive_applier.h"
#include "restore/download_thread.h"
#include "restore/restore_messages.h"

CRestoreCommand::CRestoreCommand(CMainLogic& window) : m_window(window), m_view(window.View()) {}

void CRestoreCommand::OnRestore() {
    CCommandStart start(m_window, SCommandNeeds::Transfer(ECheckGroup::Restore, kMsgSelectTarget));
    if (!start)
        return;
    if (RefuseWhileGameRuns(m_view, start.GameFolder(), "restore"))
        return;
    if (!m_view.Confirm(kAskRestore))
        return;
    // Held by the worker until it ends: the download, the apply and the removal of the
    // replaced folders.
    CTransferClaim claim = start.Claim("restore");
    if (!claim)
        return;
    StartDownload(std::move(claim), start.GameFolder(), start.Categories());
}

int CRestoreCommand::StartDownload(CTransferClaim claim, const std::string& strFolder,
                                   uint8_t nMask) {
    auto pThread = std::make_unique<CDownloadThread>(m_window, nMask, m_window.Settings().GetId(),
                                                     strFolder, m_window.ServerSizes());
    if (m_window.RunWorker(std::move(claim), [pWorker = std::move(pThread)]() mutable {
            pWorker->ThreadBody();
            pWorker.reset();
        }))
        return 1;
    m_view.Message(kMsgNoThread);
    return 0;
}

void CRestoreCommand::OnWindowOpened() {
    RecoverInterruptedApply(m_view, m_window.Settings().GetGameFolder());
}

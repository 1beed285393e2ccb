#include "restore/restore_command.h"

#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "app/app_messages.h"
#include "app/game_folder.h"
#include "app/main_logic.h"
#include "platform/folder_lock.h"
#include "restore/archive_applier.h"
#include "restore/download_thread.h"

namespace {

constexpr const char* kMsgSelectTarget = "다운로드하실 대상을 선택하세요.";
constexpr const char* kAskRestore = "회원님의 설정파일들을 다운로드하고 적용하시겠습니까?";
constexpr const char* kMsgNoThread =
    "다운로드 쓰레드를 생성하지 못하였습니다.\n\n지속적으로 발생시 담당자에게 문의하시기 "
    "바랍니다.";

}  // namespace

CRestoreCommand::CRestoreCommand(CMainLogic& window) : m_window(window), m_view(window.View()) {}

void CRestoreCommand::OnRestore() {
    if (g_bTransferBusy) {
        m_view.Message(kMsgBusy);
        return;
    }
    CWaitCursor wait(m_view);
    const std::string strFolder = m_window.TakeShownGameFolder();
    if (strFolder.empty())
        return;
    const uint8_t nMask = m_window.ChosenCategories(ECheckGroup::Restore);
    if (nMask == 0) {
        m_view.Message(kMsgSelectTarget);
        return;
    }
    if (RefuseWhileGameRuns(m_view, strFolder, "restore"))
        return;
    if (!m_view.Confirm(kAskRestore))
        return;
    // Held by the worker until it ends: the download, the apply and the removal of the
    // replaced folders.
    CFolderLock lock;
    if (!TakeGameFolderLock(m_view, strFolder, lock, "restore"))
        return;
    StartDownload(strFolder, nMask, std::move(lock));
}

int CRestoreCommand::StartDownload(const std::string& strFolder, uint8_t nMask, CFolderLock lock) {
    auto pThread =
        std::make_unique<CDownloadThread>(m_window, nMask, m_window.Settings().GetId(), strFolder,
                                          m_window.ServerSizes(), std::move(lock));
    // Set before the worker exists: the worker clears it as its very last act.
    g_bTransferBusy = true;
    try {
        m_window.RunWorker([pWorker = std::move(pThread)]() mutable {
            pWorker->ThreadBody();
            pWorker.reset();
        });
    } catch (const std::system_error&) {
        g_bTransferBusy = false;
        m_view.Message(kMsgNoThread);
        return 0;
    }
    return 1;
}

void CRestoreCommand::OnWindowOpened() {
    RecoverInterruptedApply(m_view, m_window.Settings().GetGameFolder());
}

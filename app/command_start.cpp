#include "app/command_start.h"

#include "app/app_messages.h"

CCommandStart::CCommandStart(CMainLogic& window, const SCommandNeeds& needs) : m_window(window) {
    IMainView& view = window.View();
    if (g_bTransferBusy) {
        view.Message(kMsgBusy);
        return;
    }
    if (needs.bWaitCursor)
        ShowWaitCursor();
    // Every path of the command, and of its worker, is formed from the folder the window shows.
    if (needs.bGameFolder) {
        m_folder = window.TakeShownGameFolder();
        if (!m_folder)
            return;
    }
    if (needs.group) {
        m_nMask = window.ChosenCategories(*needs.group);
        if (m_nMask == 0) {
            view.Message(needs.szNothingChosen);
            return;
        }
    }
    m_bReady = true;
}

void CCommandStart::ShowWaitCursor() {
    if (!m_wait)
        m_wait.emplace(m_window.View());
}

CTransferClaim CCommandStart::Claim(const char* szCommand) {
    CTransferClaim claim = m_window.TryClaim();
    if (!claim) {
        m_window.View().Message(kMsgBusy);
        return claim;
    }
    if (!claim.LockGameFolder(m_window.View(), *m_folder, szCommand))
        claim.Release();
    return claim;
}

// The main window's restore, initialize and remove-all commands.
#include <memory>
#include <string>
#include <system_error>

#include "app/app_messages.h"
#include "app/auth_reply.h"
#include "app/categories.h"
#include "app/main_logic.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "restore/download_thread.h"
#include "restore/reset_folders.h"

namespace {

constexpr const char* kMsgSelectTarget = "다운로드하실 대상을 선택하세요.";
constexpr const char* kAskRestore = "회원님의 설정파일들을 다운로드하고 적용하시겠습니까?";
constexpr const char* kMsgNoThread =
    "다운로드 쓰레드를 생성하지 못하였습니다.\n\n지속적으로 발생시 담당자에게 문의하시기 "
    "바랍니다.";
constexpr const char* kAskInitialize = "현재 시스템의 설정파일들을 초기화 하시겠습니까?";
constexpr const char* kAskRemoveAll =
    "서버에 존재하는 모든 업로드 파일을 삭제합니다.\n\n삭제후 복구되지 않습니다. 정말 "
    "삭제하시겠습니까?";
constexpr const char* kMsgRemoved =
    "서버에 업로드 되어 있는 모든 파일이 정상적으로 삭제되었습니다.";

}  // namespace

void CMainLogic::OnRestore() {
    if (g_bTransferBusy) {
        m_view.Message(kMsgBusy);
        return;
    }
    CWaitCursor wait(m_view);
    const std::string strFolder = TakeShownGameFolder();
    if (strFolder.empty())
        return;
    m_nSelFonts = m_nSelInterface = m_nSelWdb = m_nSelWtf = 0;
    if (m_view.IsChecked(IDC_RESTORE_ADDON)) {
        m_nSelInterface = 1;
        m_nSelWtf = 1;
    }
    if (m_view.IsChecked(IDC_RESTORE_CACHE))
        m_nSelWdb = 1;
    if (m_view.IsChecked(IDC_RESTORE_FONT))
        m_nSelFonts = 1;
    if (m_nSelFonts == 0 && m_nSelInterface == 0 && m_nSelWdb == 0 && m_nSelWtf == 0) {
        m_view.Message(kMsgSelectTarget);
        return;
    }
    if (!m_view.Confirm(kAskRestore))
        return;

    uint8_t nMask = 0;
    if (m_nSelFonts != 0)
        nMask |= kMaskFonts;
    if (m_nSelInterface != 0)
        nMask |= kMaskInterface;
    if (m_nSelWdb != 0)
        nMask |= kMaskWdb;
    if (m_nSelWtf != 0)
        nMask |= kMaskWtf;
    m_strCommandFolder = strFolder;
    StartDownload(nMask);
}

int CMainLogic::StartDownload(uint8_t nMask) {
    const std::string strFolder =
        m_strCommandFolder.empty() ? std::string(m_settings.m_szGameFolder) : m_strCommandFolder;
    const SDownloadSizes sizes{m_nFontsSize.load(), m_nInterfaceSize.load(), m_nWdbSize.load(),
                               m_nWtfSize.load()};
    auto pThread =
        std::make_unique<CDownloadThread>(*this, nMask, m_settings.m_strId, strFolder, sizes);
    // Set before the worker exists: the worker clears it as its very last act.
    g_bTransferBusy = true;
    try {
        RunWorker([pWorker = std::move(pThread)]() mutable {
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

void CMainLogic::OnInitialize() {
    if (g_bTransferBusy) {
        m_view.Message(kMsgBusy);
        return;
    }
    // Without a usable game folder the three folders would be looked for wherever the
    // process runs.
    const std::string strGameFolder = TakeShownGameFolder();
    if (strGameFolder.empty())
        return;
    if (!m_view.Confirm(kAskInitialize))
        return;
    CWaitCursor wait(m_view);
    // The folders go to Ralum/Reset, where the member can take them back. A partial result is
    // never reported as done: the member learns which folders stayed.
    m_view.Message(ResetMessage(strGameFolder, MoveToReset(strGameFolder)));
}

void CMainLogic::OnRemoveAll() {
    if (g_bTransferBusy) {
        m_view.Message(kMsgBusy);
        return;
    }
    if (!m_view.Confirm(kAskRemoveAll))
        return;
    CWaitCursor wait(m_view);
    // An id whose body would not fit the protocol's buffer is never sent cut short.
    const auto body = MakeAuthBody("removeall", m_settings.m_strId);
    if (!body) {
        m_view.Message(kMsgSystemFailure);
        return;
    }
    const auto reply = HttpRequest(endpoints::AuthUrl(), kHttpPost, *body);
    if (!reply) {
        m_view.Message(kMsgSystemFailure);
        return;
    }
    const SAuthReply parsed = ParseAuthReply(reply);
    if (parsed.eStatus == SAuthReply::Success)
        m_view.Message(kMsgRemoved);
    else if (parsed.eStatus == SAuthReply::Refused && !parsed.strMessage.empty())
        m_view.Message(parsed.strMessage);
    else
        m_view.Message(kMsgSystemFailure);
    RefreshUsage();
}

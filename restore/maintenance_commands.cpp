#include "restore/maintenance_commands.h"

#include <string>

#include "app/app_messages.h"
#include "app/auth_reply.h"
#include "app/command_start.h"
#include "app/game_folder.h"
#include "app/main_logic.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "platform/diag_log.h"
#include "restore/reset_folders.h"
#include "restore/restore_messages.h"

CMaintenanceCommands::CMaintenanceCommands(CMainLogic& window)
    : m_window(window), m_view(window.View()) {}

void CMaintenanceCommands::OnInitialize() {
    // Without a usable game folder the three folders would be looked for wherever the
    // process runs.
    CCommandStart start(m_window, SCommandNeeds::FolderAskingFirst());
    if (!start)
        return;
    const std::string& strGameFolder = start.GameFolder();
    if (RefuseWhileGameRuns(m_view, strGameFolder, "initialize"))
        return;
    if (!m_view.Confirm(kAskInitialize))
        return;
    start.ShowWaitCursor();
    const CTransferClaim claim = start.Claim("initialize");
    if (!claim)
        return;
    // The folders go to a dated folder under Ralum/Reset, where the member can take them back.
    // A partial result is never reported as done: the member learns which folders stayed.
    const SResetResult result = MoveToReset(strGameFolder);
    DiagLog(
        "initialize: " + std::to_string(result.vecMoved.size()) + " folders moved to " +
        (result.strFolder.empty() ? "nowhere" : result.strFolder) + ", " +
        std::to_string(result.vecPartly.size()) + " in part, " +
        std::to_string(result.vecFailed.size()) + " could not be moved" +
        (result.vecFailed.empty() ? std::string() : " (the first " + result.vecFailed[0] + ")"));
    m_view.Message(ResetMessage(result));
}

void CMaintenanceCommands::OnRemoveAll() {
    CCommandStart start(m_window, SCommandNeeds::ServerAskingFirst());
    if (!start)
        return;
    if (!m_view.Confirm(kAskRemoveAll))
        return;
    start.ShowWaitCursor();
    // An id whose body would not fit the protocol's buffer is never sent cut short.
    const auto body = MakeAuthBody("removeall", m_window.Settings().GetId());
    if (!body) {
        m_view.Message(kMsgSystemFailure);
        return;
    }
    const auto reply =
        m_window.Settings().Request(m_window.Settings().m_endpoints.AuthUrl(), kHttpPost, &*body);
    if (!reply) {
        m_view.Message(kMsgSystemFailure);
        return;
    }
    const SAuthReply parsed = ParseAuthReply(reply);
    if (parsed.eStatus != SAuthReply::Success)
        DiagLog(parsed.eStatus == SAuthReply::Refused ? "remove all: refused by the server"
                                                      : "remove all: no usable reply");
    if (parsed.eStatus == SAuthReply::Success)
        m_view.Message(kMsgRemoved);
    else if (parsed.eStatus == SAuthReply::Refused && !parsed.strMessage.empty())
        m_view.Message(parsed.strMessage);
    else
        m_view.Message(kMsgSystemFailure);
    m_window.RefreshUsage();
}

#include "app/startup.h"

#include "app/app_messages.h"
#include "app/server_config.h"
#include "app/settings.h"
#include "app/view.h"
#include "net/http_request.h"
#include "platform/diag_log.h"

int RunStartup(IMessageView& view, const std::function<void()>& runLogin,
               const std::function<bool(const std::string&)>& openBrowser) {
    // The HTTP layer stays initialised until the process ends: workers may still be running
    // requests when the windows close.
    static const bool bHttpReady = HttpGlobalInit();
    if (!bHttpReady) {
        view.Message(kMsgSocketsFailed);
        return kStartupNoNetwork;
    }
    if (g_pSettings == nullptr)
        g_pSettings = new CSettings();  // lives as long as the process
    g_pSettings->m_endpoints = SEndpoints::FromEnvironment();
    OpenDiagLog(DefaultDiagLogPath());
    DiagLog(std::string("start: version ") + kClientVersion);

    const EConfigLoad eConfig = g_pSettings->LoadServerConfig(view);
    if (eConfig == EConfigLoad::VersionStop) {
        DiagLog("start: the server wants another version; the board page is opened");
        openBrowser(g_pSettings->m_endpoints.strBoardUrl);
        return kStartupVersionStop;
    }
    if (eConfig == EConfigLoad::NotLoaded) {
        DiagLog("start: the server configuration could not be loaded");
        view.Message(kMsgConfigNotLoaded);
        return kStartupNoConfig;
    }
    if (runLogin)
        runLogin();
    return kStartupOk;
}

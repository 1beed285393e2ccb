// The Windows program: start-up (HTTP layer, settings record, server configuration with the
// version check), then the login dialog, whose handler runs the main window. The process ends
// when the main window (or the login dialog) closes.
#include <objbase.h>
#include <windows.h>

#include "app/settings.h"
#include "app/startup.h"
#include "ui/win32/login_dialog.h"
#include "ui/win32/message_box.h"
#include "ui/win32/web_browser2.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The shell's folder picker needs COM on the UI thread.
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CWebBrowser2::RegisterWindowClass();

    CBoxMessageView view;  // boxes before any window exists
    const int nExit = RunStartup(view, [] {
        CLoginDialog dlg(*g_pSettings);
        dlg.RunModal(nullptr);
    });
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    return nExit;
}

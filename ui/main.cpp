// The program: start-up (HTTP layer, settings record, server configuration with the version
// check), then the login dialog, whose handler runs the main window. The process ends when
// the main window (or the login dialog) closes.
#include <QApplication>

#include "app/settings.h"
#include "app/startup.h"
#include "ui/artwork.h"
#include "ui/login_dialog.h"
#include "ui/message_box.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    artwork::ApplyApplicationLook();
    QApplication::setQuitOnLastWindowClosed(false);

    CBoxMessageView view;  // boxes before any window exists
    return RunStartup(view, [] {
        CLoginDialog dlg(*g_pSettings);
        dlg.exec();
    });
}

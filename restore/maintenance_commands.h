// The initialize and remove-all buttons: short operations on the UI thread that start no
// worker.
#pragma once

class CMainLogic;
class IMainView;

class CMaintenanceCommands {
public:
    explicit CMaintenanceCommands(CMainLogic& window);

    // Moves the game's Fonts, Interface and WTF folders to Ralum/Reset (see reset_folders.h).
    void OnInitialize();
    // Asks the server to delete every archive of the member, then refreshes the account status.
    void OnRemoveAll();

private:
    CMainLogic& m_window;
    IMainView& m_view;
};

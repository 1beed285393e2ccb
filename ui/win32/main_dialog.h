// The main window on Windows (template 103): the artwork, the five picture buttons, the check
// boxes and radios, the game-path fields, the usage statics, the web view and the progress
// band. Its state is CMainLogic and its buttons run the command objects; this class maps the
// control ids onto the template's controls, routes button presses, paints, and carries the calls
// that worker threads make through IMainView over to the UI thread.
#pragma once

#include <functional>
#include <string>

#include "app/main_logic.h"
#include "app/view.h"
#include "backup/backup_command.h"
#include "restore/maintenance_commands.h"
#include "restore/restore_command.h"
#include "ui/win32/dialog_window.h"
#include "ui/win32/message_box.h"
#include "ui/win32/skin_button.h"
#include "ui/win32/ui_thread.h"

class CWebBrowser2;

class CMainDialog : public CDialogWindow, public IMainView {
public:
    // fnBoxes shows the window's message boxes (tests answer them instead).
    explicit CMainDialog(CSettings& settings, BoxPresenter fnBoxes = ShowMessageBox);
    ~CMainDialog() override;

    // The icon the login dialog hands over before the window runs.
    void SetIcon(HICON hIcon) { m_hIcon = hIcon; }
    // What the folder picker answers (default: the shell's folder picker). Tests replace it.
    void SetFolderPicker(std::function<SFolderPick()> fnPick) { m_fnPick = std::move(fnPick); }

    CMainLogic& Logic() { return m_logic; }
    CSkinButton* SkinButton(int nId);
    CWebBrowser2* Browser() const;
    int ProgressWidth() const { return m_nProgressWidth; }

    // IMainView; callable from any thread.
    void Message(const std::string& strText) override;
    bool Confirm(const std::string& strText) override;
    bool ConfirmDefaultNo(const std::string& strText) override;
    bool IsChecked(int nId) override;
    void SetChecked(int nId, bool bChecked) override;
    std::string GetText(int nId) override;
    void SetText(int nId, const std::string& strText) override;
    void SetProgressWidth(int nPixels) override;
    void SetWaitCursor(bool bOn) override;
    void KeepAlive() override;
    SFolderPick PickFolder() override;

    // The progress band's place in the window.
    static RECT ProgressRect() { return {351, 398, 611, 406}; }

    void PaintClient(HDC hdc) override;

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) override;

private:
    void OnCommand(int nId, int nCode);
    HBRUSH OnCtlColor(HDC hdc, HWND hControl);
    SFolderPick ShowFolderPicker();

    BoxPresenter m_fnBoxes;
    CMainLogic m_logic;
    CBackupCommand m_backup{m_logic};
    CRestoreCommand m_restore{m_logic};
    CMaintenanceCommands m_maintenance{m_logic};
    CUiCaller m_ui;
    CSkinButton m_btnRemoveAll;
    CSkinButton m_btnInitialize;
    CSkinButton m_btnBrowse;
    CSkinButton m_btnBackup;
    CSkinButton m_btnRestore;
    HICON m_hIcon = nullptr;
    HFONT m_fontBold12 = nullptr;
    HFONT m_fontBold11 = nullptr;
    HBITMAP m_hProgressBitmap = nullptr;
    SIZE m_sizeProgress{};
    int m_nProgressWidth = 0;          // UI thread only
    int m_nWaitCursor = 0;             // wait cursors pushed, UI thread only
    bool m_bSettingText = false;       // the window itself is changing a field
    bool m_bManualPathEdited = false;  // the manual path changed since it was last taken
    std::function<SFolderPick()> m_fnPick;
};

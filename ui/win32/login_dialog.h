// The login dialog on Windows (template 102): the member's id and password over the login
// artwork, and the login button. Its logic is CLoginLogic; a successful login hides this dialog
// and runs the main window from inside the handler.
#pragma once

#include <functional>
#include <string>

#include "app/login_logic.h"
#include "app/view.h"
#include "ui/win32/dialog_window.h"
#include "ui/win32/message_box.h"
#include "ui/win32/skin_button.h"

class CLoginDialog : public CDialogWindow, public IMessageView {
public:
    // fnBoxes shows the dialog's boxes and those of the main window it opens.
    explicit CLoginDialog(CSettings& settings, BoxPresenter fnBoxes = ShowMessageBox);
    ~CLoginDialog() override;

    // The login button and the Enter key.
    void OnLogin();

    // What runs after a successful login (default: the main window, modally). Tests replace it.
    void SetMainWindowRunner(std::function<void()> fnRun) { m_fnRunMain = std::move(fnRun); }

    void Message(const std::string& strText) override;
    bool Confirm(const std::string& strText) override;

    CSkinButton& LoginButton() { return m_btnLogin; }

protected:
    BOOL OnInitDialog() override;
    bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) override;

private:
    void RunMainWindow();
    // A field's edit: undone when the two fields together no longer fit the protocol.
    void OnFieldChanged(int nId);

    BoxPresenter m_fnBoxes;
    CSettings& m_settings;
    CLoginLogic m_logic;
    CSkinButton m_btnLogin;
    HICON m_hIcon = nullptr;
    std::function<void()> m_fnRunMain;
    std::wstring m_strAcceptedId;  // the fields' last texts that fit
    std::wstring m_strAcceptedPw;
    bool m_bUndoing = false;
};

// The login dialog: the member's id and password over the login artwork, and the login
// button. Its logic is CLoginLogic; a successful login hides this dialog and runs the main
// window from inside the handler.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <functional>

#include "app/login_logic.h"
#include "app/view.h"
#include "ui/message_box.h"

class QLineEdit;
class CSkinButton;

class CLoginDialog : public QDialog, public IMessageView {
    Q_OBJECT

public:
    // fnBoxes shows the dialog's boxes and those of the main window it opens.
    explicit CLoginDialog(CSettings& settings, BoxPresenter fnBoxes = ShowMessageBox,
                          QWidget* pParent = nullptr);
    ~CLoginDialog() override;

    // The login button and the Enter key.
    void OnLogin();

    // What runs after a successful login (default: the main window, modally). Tests replace it.
    void SetMainWindowRunner(std::function<void()> fnRun) { m_fnRunMain = std::move(fnRun); }

    void Message(const std::string& strText) override;
    bool Confirm(const std::string& strText) override;

    QLineEdit* IdEdit() const { return m_pEditId; }
    QLineEdit* PwEdit() const { return m_pEditPw; }
    CSkinButton* LoginButton() const { return m_pBtnLogin; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    // Once the window is shown and placed, its controls go to the control map.
    void showEvent(QShowEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    BoxPresenter m_fnBoxes;
    void RunMainWindow();

    CSettings& m_settings;
    CLoginLogic m_logic;
    QLineEdit* m_pEditId;
    QLineEdit* m_pEditPw;
    CSkinButton* m_pBtnLogin;
    QPixmap m_pixBackground;
    std::function<void()> m_fnRunMain;
};

// The main window: the artwork, the five picture buttons, the check boxes and radios, the
// game-path fields, the usage statics, the web view and the progress band. Its state is
// CMainLogic and its buttons run the command objects; this class maps the control ids onto
// widgets, routes button presses, paints, and carries the calls that worker threads make
// through IMainView over to the UI thread.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <functional>
#include <map>

#include "app/main_logic.h"
#include "app/view.h"
#include "backup/backup_command.h"
#include "restore/maintenance_commands.h"
#include "restore/restore_command.h"
#include "ui/message_box.h"

class CSkinButton;
class CWebBrowser2;

class CMainDialog : public QDialog, public IMainView {
    Q_OBJECT

public:
    // fnBoxes shows the window's message boxes (tests answer them instead).
    explicit CMainDialog(CSettings& settings, BoxPresenter fnBoxes = ShowMessageBox,
                         QWidget* pParent = nullptr);
    ~CMainDialog() override;

    // The window's set-up: picture buttons, fonts, web view, then the logic's set-up (check
    // boxes, game folder, nickname, account status). exec() runs it first.
    void OnInitDialog();
    int exec() override;

    CMainLogic& Logic() { return m_logic; }
    QWidget* Control(int nId) const;
    CSkinButton* SkinButton(int nId) const;
    CWebBrowser2* Browser() const { return m_pBrowser; }
    int ProgressWidth() const { return m_nProgressWidth; }

    // What the folder picker answers (default: the system's folder dialog). Tests replace it.
    void SetFolderPicker(std::function<SFolderPick()> fnPick) { m_fnPick = std::move(fnPick); }

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
    static QRect ProgressRect() { return QRect(351, 398, 260, 8); }

public slots:
    void reject() override;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    // Once the window is shown and placed, its controls go to the control map.
    void showEvent(QShowEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void CreateControls();
    void LoadArtwork();
    // Runs fn on the UI thread and waits for it (directly when already there).
    template <class F>
    auto OnUiThread(F&& fn) -> decltype(fn());

    BoxPresenter m_fnBoxes;
    CMainLogic m_logic;
    CBackupCommand m_backup{m_logic};
    CRestoreCommand m_restore{m_logic};
    CMaintenanceCommands m_maintenance{m_logic};
    std::map<int, QWidget*> m_mapControls;
    CWebBrowser2* m_pBrowser = nullptr;
    QPixmap m_pixBackground;
    QPixmap m_pixProgress;
    int m_nProgressWidth = 0;  // UI thread only
    int m_nWaitCursor = 0;     // override cursors pushed, UI thread only
    bool m_bInitDone = false;
    std::function<SFolderPick()> m_fnPick;
};

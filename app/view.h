// What the program's logic needs of a window. The Qt dialogs implement these; tests use a
// recording fake. Every text is UTF-8.
#pragma once

#include <optional>
#include <string>

class IMessageView {
public:
    virtual ~IMessageView() = default;
    // One modal message box (caption "ZAV", exclamation icon, OK). Returns when it closes.
    // May be called from a worker thread: the window carries it to the UI thread and waits.
    virtual void Message(const std::string& strText) = 0;
    // Yes/No box; true for Yes.
    virtual bool Confirm(const std::string& strText) = 0;
    // A Yes/No box whose default button is No, for a question where going on may cost the
    // member settings; true for Yes. Views without a default button ask as Confirm does.
    virtual bool ConfirmDefaultNo(const std::string& strText) { return Confirm(strText); }
};

// The kinds of box a window shows: OK; Yes/No; Yes/No whose default button (Enter) is No.
enum class EBoxKind { Message, Confirm, ConfirmDefaultNo };

// Control ids of the login dialog.
enum ELoginControl : int {
    IDC_LOGIN_ID = 1000,
    IDC_LOGIN = 1001,
    IDC_LOGIN_PW = 1002,
};

// Control ids of the main window; the views map them to their widgets.
enum EMainControl : int {
    IDC_BACKUP = 1002,
    IDC_RESTORE = 1003,
    IDC_BACKUP_ADDON = 1004,
    IDC_BACKUP_CACHE = 1005,
    IDC_BACKUP_FONT = 1006,
    IDC_RESTORE_ADDON = 1007,
    IDC_RESTORE_CACHE = 1008,
    IDC_RESTORE_FONT = 1009,
    IDC_MODE_AUTO = 1010,
    IDC_MODE_MANUAL = 1011,
    IDC_BROWSE = 1012,
    IDC_MANUAL_PATH = 1014,
    IDC_INITIALIZE = 1015,
    IDC_REMOVE_ALL = 1016,
    IDC_NICKNAME = 1017,
    IDC_TOTAL_USAGE = 1018,
    IDC_ADDON_USAGE = 1019,
    IDC_WDB_USAGE = 1020,
    IDC_FONTS_USAGE = 1021,
    IDC_LAST_UPLOAD = 1022,
    IDC_REGISTRY_PATH = 1023,
    IDC_BROWSER = 1027,
};

// Outcome of the folder picker.
struct SFolderPick {
    enum EKind { Cancelled, Empty, Path } eKind = Cancelled;
    std::string strPath;  // for Path: the chosen folder, as the picker returned it
};

class IMainView;

// Shows the wait cursor for the lifetime of a command's preparation.
class CWaitCursor {
public:
    explicit CWaitCursor(IMainView& view);
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;

private:
    IMainView& m_view;
};

class IMainView : public IMessageView {
public:
    virtual bool IsChecked(int nId) = 0;
    virtual void SetChecked(int nId, bool bChecked) = 0;
    virtual std::string GetText(int nId) = 0;
    virtual void SetText(int nId, const std::string& strText) = 0;
    // Stores the progress bar's drawn width (0..260) and repaints its band.
    virtual void SetProgressWidth(int nPixels) = 0;
    // The wait cursor while a command prepares; input is blocked while it is on.
    virtual void SetWaitCursor(bool bOn) = 0;
    // Lets the window repaint during long work on the UI thread (no user input is taken).
    virtual void KeepAlive() = 0;
    virtual SFolderPick PickFolder() = 0;
};

inline CWaitCursor::CWaitCursor(IMainView& view) : m_view(view) {
    m_view.SetWaitCursor(true);
}
inline CWaitCursor::~CWaitCursor() {
    m_view.SetWaitCursor(false);
}

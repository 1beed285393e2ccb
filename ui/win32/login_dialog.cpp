#include "ui/win32/login_dialog.h"

#include "app/window_log.h"
#include "platform/native_text.h"
#include "ui/win32/main_dialog.h"
#include "ui/win32/resources.h"

namespace {

std::wstring WindowText(HWND hWnd) {
    std::wstring str(static_cast<size_t>(GetWindowTextLengthW(hWnd)) + 1, L'\0');
    str.resize(static_cast<size_t>(GetWindowTextW(hWnd, str.data(), static_cast<int>(str.size()))));
    return str;
}

}  // namespace

CLoginDialog::CLoginDialog(CSettings& settings, BoxPresenter fnBoxes)
    : CDialogWindow(res::IDD_LOGIN, res::IDB_LOGIN, kLoginWindowName),
      m_fnBoxes(std::move(fnBoxes)),
      m_settings(settings),
      m_logic(*this, settings),
      m_hIcon(static_cast<HICON>(LoadImageW(res::Instance(), MAKEINTRESOURCEW(res::IDI_APP),
                                            IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED))) {}

CLoginDialog::~CLoginDialog() = default;

BOOL CLoginDialog::OnInitDialog() {
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    m_btnLogin.Attach(Control(IDC_LOGIN));
    m_btnLogin.SetHoverCursor(res::IDCUR_HAND);
    m_btnLogin.EnableBorder(false);
    m_btnLogin.UseParentBackground(false);
    m_btnLogin.LoadImages(res::IDB_LOGIN_HOVER, res::kKeyColour, res::IDB_LOGIN_NORMAL,
                          res::kKeyColour, res::IDB_LOGIN_PRESSED, res::kKeyColour);
    return TRUE;  // the focus goes to the first field, the id
}

bool CLoginDialog::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) {
    switch (uMsg) {
        case WM_COMMAND: {
            const int nId = LOWORD(wParam);
            const int nCode = HIWORD(wParam);
            // Enter (IDOK from the dialog manager, wherever the focus is) logs in, as the
            // button does; Escape (IDCANCEL) does nothing.
            if (nId == IDOK || (nId == IDC_LOGIN && nCode == BN_CLICKED)) {
                OnLogin();
                return true;
            }
            if (nId == IDCANCEL)
                return true;
            if ((nId == IDC_LOGIN_ID || nId == IDC_LOGIN_PW) && nCode == EN_CHANGE) {
                OnFieldChanged(nId);
                return true;
            }
            return false;
        }
        case WM_CLOSE:
            End(IDCANCEL);
            return true;
        case WM_CTLCOLOREDIT: {
            // The fields' frames and labels are part of the artwork, which shows through.
            HDC hdc = reinterpret_cast<HDC>(wParam);
            SetBkColor(hdc, RGB(255, 255, 255));
            SetTextColor(hdc, RGB(0, 0, 0));
            *pResult =
                reinterpret_cast<INT_PTR>(SeeThroughBrush(hdc, reinterpret_cast<HWND>(lParam)));
            return true;
        }
        default:
            return false;
    }
}

void CLoginDialog::OnFieldChanged(int nId) {
    if (m_bUndoing)
        return;
    HWND hEdit = Control(nId);
    const std::wstring strId = WindowText(Control(IDC_LOGIN_ID));
    const std::wstring strPw = WindowText(Control(IDC_LOGIN_PW));
    // The field keeps within what the protocol can carry (CP949 bytes of the login body and of
    // the account query); the visible width stops the rest, as the field does not scroll.
    if (LoginInputFits(Utf8FromWide(strId), Utf8FromWide(strPw))) {
        m_strAcceptedId = strId;
        m_strAcceptedPw = strPw;
        return;
    }
    m_bUndoing = true;
    const std::wstring& strBefore = nId == IDC_LOGIN_ID ? m_strAcceptedId : m_strAcceptedPw;
    DWORD dwStart = 0;
    SendMessageW(hEdit, EM_GETSEL, reinterpret_cast<WPARAM>(&dwStart), 0);
    SetWindowTextW(hEdit, strBefore.c_str());
    const DWORD dwCaret = std::min<DWORD>(dwStart, static_cast<DWORD>(strBefore.size()));
    SendMessageW(hEdit, EM_SETSEL, dwCaret, dwCaret);
    m_bUndoing = false;
    MessageBeep(MB_OK);
}

void CLoginDialog::OnLogin() {
    const std::string strId = Utf8FromWide(WindowText(Control(IDC_LOGIN_ID)));
    const std::string strPw = Utf8FromWide(WindowText(Control(IDC_LOGIN_PW)));
    SLoginOutcome outcome = m_logic.OnLogin(strId, strPw);
    if (!outcome.bLoggedIn) {
        SetFocus(Control(outcome.eFocus == ELoginFocus::Pw ? IDC_LOGIN_PW : IDC_LOGIN_ID));
        return;
    }
    ShowWindow(Handle(), SW_HIDE);
    if (m_fnRunMain)
        m_fnRunMain();
    else
        RunMainWindow();
    // The main window has closed: the program ends with it.
    End(IDOK);
}

void CLoginDialog::RunMainWindow() {
    CMainDialog dlg(m_settings, m_fnBoxes);
    dlg.SetIcon(m_hIcon);
    dlg.RunModal(nullptr);
}

void CLoginDialog::Message(const std::string& strText) {
    m_fnBoxes(Handle(), EBoxKind::Message, strText);
}

bool CLoginDialog::Confirm(const std::string& strText) {
    return m_fnBoxes(Handle(), EBoxKind::Confirm, strText);
}

#include "ui/win32/main_dialog.h"

#include <shlobj.h>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/window_log.h"
#include "net/endpoints.h"
#include "platform/native_text.h"
#include "ui/win32/fonts.h"
#include "ui/win32/resources.h"
#include "ui/win32/wait_cursor.h"
#include "ui/win32/web_browser2.h"

namespace {

constexpr COLORREF kUsageColour = RGB(0, 54, 255);
constexpr COLORREF kPathColour = RGB(117, 117, 117);

std::wstring WindowText(HWND hWnd) {
    std::wstring str(static_cast<size_t>(GetWindowTextLengthW(hWnd)) + 1, L'\0');
    str.resize(static_cast<size_t>(GetWindowTextW(hWnd, str.data(), static_cast<int>(str.size()))));
    return str;
}

// The picker's caption is its title too (the title itself stands above the folder tree).
int CALLBACK OnPickerEvent(HWND hWnd, UINT uMsg, LPARAM, LPARAM) {
    if (uMsg == BFFM_INITIALIZED)
        SetWindowTextW(hWnd, WideFromUtf8(kTitlePickFolder).c_str());
    return 0;
}

}  // namespace

CMainDialog::CMainDialog(CSettings& settings, BoxPresenter fnBoxes)
    : CDialogWindow(res::IDD_MAIN, res::IDB_MAIN, kMainWindowName),
      m_fnBoxes(std::move(fnBoxes)),
      m_logic(*this, settings) {}

CMainDialog::~CMainDialog() {
    // The window never closes while a transfer runs (CanClose); a worker that is still ending
    // finds the window gone for its calls and is waited for before the members go.
    m_ui.Detach();
    m_logic.WaitForWorker();
    while (m_nWaitCursor > 0) {
        wait_cursor::Pop();
        --m_nWaitCursor;
    }
    for (HGDIOBJ hObject : {static_cast<HGDIOBJ>(m_fontBold12), static_cast<HGDIOBJ>(m_fontBold11),
                            static_cast<HGDIOBJ>(m_hProgressBitmap)})
        if (hObject != nullptr)
            DeleteObject(hObject);
}

CSkinButton* CMainDialog::SkinButton(int nId) {
    switch (nId) {
        case IDC_REMOVE_ALL:
            return &m_btnRemoveAll;
        case IDC_INITIALIZE:
            return &m_btnInitialize;
        case IDC_BROWSE:
            return &m_btnBrowse;
        case IDC_BACKUP:
            return &m_btnBackup;
        case IDC_RESTORE:
            return &m_btnRestore;
        default:
            return nullptr;
    }
}

CWebBrowser2* CMainDialog::Browser() const {
    return CWebBrowser2::FromHandle(Control(IDC_BROWSER));
}

BOOL CMainDialog::OnInitDialog() {
    m_ui.Attach(Handle());
    if (m_hIcon == nullptr)
        m_hIcon = static_cast<HICON>(LoadImageW(res::Instance(), MAKEINTRESOURCEW(res::IDI_APP),
                                                IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    m_hProgressBitmap = static_cast<HBITMAP>(LoadImageW(
        res::Instance(), MAKEINTRESOURCEW(res::IDB_PROGRESS), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    BITMAP info{};
    if (m_hProgressBitmap != nullptr && GetObjectW(m_hProgressBitmap, sizeof(info), &info) != 0)
        m_sizeProgress = {info.bmWidth, info.bmHeight};

    if (CWebBrowser2* pBrowser = Browser()) {
        pBrowser->SetWidth(288);
        pBrowser->SetHeight(136);
        pBrowser->Navigate(m_logic.Settings().m_endpoints.LogoUrl());
    }

    const auto& faces = res::kMainButtonFaces;
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->Attach(Control(f.nControlId));
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->SetHoverCursor(res::IDCUR_HAND);
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->EnableBorder(false);
    for (const res::SButtonFaces& f : faces)
        SkinButton(f.nControlId)->UseParentBackground(false);
    for (const res::SButtonFaces& f : faces) {
        SkinButton(f.nControlId)
            ->LoadImages(f.nHover, res::kKeyColour, f.nNormal, res::kKeyColour, f.nPressed,
                         res::kKeyColour);
    }

    // Only two bold fonts: the radios and the nickname, and the total use.
    m_fontBold12 = CreateDialogFont(12, FW_BOLD, ANSI_CHARSET);
    m_fontBold11 = CreateDialogFont(11, FW_BOLD, ANSI_CHARSET);
    for (int nId : {IDC_MODE_AUTO, IDC_MODE_MANUAL, IDC_NICKNAME})
        SendMessageW(Control(nId), WM_SETFONT, reinterpret_cast<WPARAM>(m_fontBold12), TRUE);
    SendMessageW(Control(IDC_TOTAL_USAGE), WM_SETFONT, reinterpret_cast<WPARAM>(m_fontBold11),
                 TRUE);

    // The check boxes' labels are the category table's.
    for (const SCheckGroup& group : kCheckGroups) {
        for (int nId : {group.nBackupId, group.nRestoreId})
            SetWindowTextW(Control(nId), WideFromUtf8(group.szLabel).c_str());
    }

    m_logic.OnInitDialog();
    // A restore cut off by a crash or a power loss is settled before anything else runs.
    m_restore.OnWindowOpened();
    return TRUE;
}

void CMainDialog::PaintClient(HDC hdc) {
    CDialogWindow::PaintClient(hdc);
    if (m_nProgressWidth <= 0 || m_hProgressBitmap == nullptr)
        return;
    // The band's one-pixel column stretched across the filled part.
    const RECT band = ProgressRect();
    HDC hdcBand = CreateCompatibleDC(hdc);
    HGDIOBJ hOld = SelectObject(hdcBand, m_hProgressBitmap);
    StretchBlt(hdc, band.left, band.top, m_nProgressWidth, band.bottom - band.top, hdcBand, 0, 0,
               m_sizeProgress.cx, m_sizeProgress.cy, SRCCOPY);
    SelectObject(hdcBand, hOld);
    DeleteDC(hdcBand);
}

bool CMainDialog::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) {
    switch (uMsg) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return true;
        case WM_CLOSE:
            // The close box: refused (with a message) while a transfer runs.
            if (m_logic.CanClose())
                End(IDCANCEL);
            return true;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
            if (HBRUSH hBrush =
                    OnCtlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam))) {
                *pResult = reinterpret_cast<INT_PTR>(hBrush);
                return true;
            }
            return false;
        case WM_ZAV_PROGRESS: {
            m_nProgressWidth = static_cast<int>(wParam);
            const RECT band = ProgressRect();
            InvalidateRect(Handle(), &band, FALSE);
            return true;
        }
        case WM_DESTROY:
            m_ui.Detach();
            return false;
        default:
            return false;
    }
}

void CMainDialog::OnCommand(int nId, int nCode) {
    // Enter (IDOK) and Escape (IDCANCEL) do nothing here: the window closes only through its
    // close box.
    switch (nId) {
        case IDC_BACKUP:
            if (nCode == BN_CLICKED)
                m_backup.OnBackup();
            break;
        case IDC_RESTORE:
            if (nCode == BN_CLICKED)
                m_restore.OnRestore();
            break;
        case IDC_INITIALIZE:
            if (nCode == BN_CLICKED)
                m_maintenance.OnInitialize();
            break;
        case IDC_REMOVE_ALL:
            if (nCode == BN_CLICKED)
                m_maintenance.OnRemoveAll();
            break;
        case IDC_BROWSE:
            if (nCode == BN_CLICKED)
                m_logic.OnBrowseFolder();
            break;
        case IDC_MODE_AUTO:
        case IDC_MODE_MANUAL:
            if (nCode == BN_CLICKED)
                m_logic.OnGameFolderMode();
            break;
        case IDC_MANUAL_PATH:
            // A typed folder counts once its edit is finished, not only after a radio click.
            if (nCode == EN_CHANGE && !m_bSettingText) {
                m_bManualPathEdited = true;
            } else if (nCode == EN_KILLFOCUS && m_bManualPathEdited) {
                m_bManualPathEdited = false;
                m_logic.OnManualPathEdited();
            }
            break;
        default:
            break;
    }
}

HBRUSH CMainDialog::OnCtlColor(HDC hdc, HWND hControl) {
    const int nId = GetDlgCtrlID(hControl);
    if (nId == IDC_REGISTRY_PATH) {
        SetTextColor(hdc, kPathColour);
        SetBkColor(hdc, RGB(255, 255, 255));
    } else if (nId == IDC_MANUAL_PATH) {
        SetTextColor(hdc, kPathColour);
    } else if (nId == IDC_NICKNAME || (nId >= IDC_BACKUP_ADDON && nId <= IDC_MODE_MANUAL)) {
        SetTextColor(hdc, RGB(0, 0, 0));
        SetBkMode(hdc, TRANSPARENT);
    } else if (nId >= IDC_TOTAL_USAGE && nId <= IDC_LAST_UPLOAD) {
        SetTextColor(hdc, kUsageColour);
        SetBkColor(hdc, RGB(255, 255, 255));
    } else {
        return nullptr;
    }
    // The artwork shows through.
    return SeeThroughBrush(hdc, hControl);
}

void CMainDialog::Message(const std::string& strText) {
    m_ui.Call([&] { m_fnBoxes(Handle(), EBoxKind::Message, strText); });
}

bool CMainDialog::Confirm(const std::string& strText) {
    return m_ui.Call([&] { return m_fnBoxes(Handle(), EBoxKind::Confirm, strText); });
}

bool CMainDialog::ConfirmDefaultNo(const std::string& strText) {
    return m_ui.Call([&] { return m_fnBoxes(Handle(), EBoxKind::ConfirmDefaultNo, strText); });
}

bool CMainDialog::IsChecked(int nId) {
    return m_ui.Call([&] { return IsDlgButtonChecked(Handle(), nId) == BST_CHECKED; });
}

void CMainDialog::SetChecked(int nId, bool bChecked) {
    m_ui.Call([&] { CheckDlgButton(Handle(), nId, bChecked ? BST_CHECKED : BST_UNCHECKED); });
}

std::string CMainDialog::GetText(int nId) {
    return m_ui.Call([&] {
        HWND hControl = Control(nId);
        return hControl != nullptr ? Utf8FromWide(WindowText(hControl)) : std::string();
    });
}

void CMainDialog::SetText(int nId, const std::string& strText) {
    m_ui.Call([&] {
        HWND hControl = Control(nId);
        if (hControl == nullptr)
            return;
        m_bSettingText = true;
        SetWindowTextW(hControl, WideFromUtf8(strText).c_str());
        SendMessageW(hControl, EM_SETSEL, 0, 0);  // an edit shows the path's start
        m_bSettingText = false;
    });
}

void CMainDialog::SetProgressWidth(int nPixels) {
    // Stores the width and repaints the band; a worker does not wait for the paint.
    if (m_ui.OnUiThread()) {
        m_nProgressWidth = nPixels;
        const RECT band = ProgressRect();
        InvalidateRect(Handle(), &band, FALSE);
    } else {
        m_ui.Post(WM_ZAV_PROGRESS, static_cast<WPARAM>(nPixels));
    }
}

void CMainDialog::SetWaitCursor(bool bOn) {
    m_ui.Call([&] {
        if (bOn) {
            wait_cursor::Push();
            ++m_nWaitCursor;
        } else if (m_nWaitCursor > 0) {
            wait_cursor::Pop();
            --m_nWaitCursor;
        }
    });
}

void CMainDialog::KeepAlive() {
    m_ui.Call([] {
        // Paints, calls carried from other threads and the windows' own posted values; no input.
        MSG msg;
        for (int i = 0; i < 200 && PeekMessageW(&msg, nullptr, 0, 0,
                                                PM_REMOVE | PM_QS_PAINT | PM_QS_SENDMESSAGE);
             ++i)
            DispatchMessageW(&msg);
        while (PeekMessageW(&msg, nullptr, WM_ZAV_PROGRESS, WM_ZAV_PAGE, PM_REMOVE))
            DispatchMessageW(&msg);
    });
}

SFolderPick CMainDialog::PickFolder() {
    return m_ui.Call([&] { return m_fnPick ? m_fnPick() : ShowFolderPicker(); });
}

SFolderPick CMainDialog::ShowFolderPicker() {
    BROWSEINFOW info{};
    info.hwndOwner = Handle();
    const std::wstring strTitle = WideFromUtf8(kTitlePickFolder);
    info.lpszTitle = strTitle.c_str();
    info.ulFlags = BIF_EDITBOX | BIF_VALIDATE | BIF_BROWSEINCLUDEFILES;
    info.lpfn = &OnPickerEvent;
    PIDLIST_ABSOLUTE pItem = SHBrowseForFolderW(&info);
    SFolderPick pick;
    if (pItem == nullptr)
        return pick;
    wchar_t szPath[MAX_PATH] = {};
    const bool bPath = SHGetPathFromIDListW(pItem, szPath) && szPath[0] != L'\0';
    CoTaskMemFree(pItem);
    pick.eKind = bPath ? SFolderPick::Path : SFolderPick::Empty;
    if (bPath)
        pick.strPath = Utf8FromWide(szPath);
    return pick;
}

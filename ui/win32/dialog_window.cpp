#include "ui/win32/dialog_window.h"

#include <vector>

#include "app/window_log.h"
#include "ui/win32/fonts.h"
#include "ui/win32/gdi_util.h"
#include "ui/win32/resources.h"
#include "ui/win32/skin_button.h"
#include "ui/win32/ui_thread.h"
#include "ui/win32/wait_cursor.h"

namespace res {

HINSTANCE Instance() {
    return GetModuleHandleW(nullptr);
}

}  // namespace res

CDialogWindow::CDialogWindow(int nTemplateId, int nBackgroundId, const char* szMapName)
    : m_nTemplateId(nTemplateId), m_nBackgroundId(nBackgroundId), m_szMapName(szMapName) {}

CDialogWindow::~CDialogWindow() {
    // A modeless dialog still there: its messages no longer reach the object that is going.
    if (m_hDlg != nullptr) {
        SetWindowLongPtrW(m_hDlg, DWLP_USER, 0);
        DestroyWindow(m_hDlg);
    }
    if (m_hSeeThrough != nullptr)
        DeleteObject(m_hSeeThrough);
    if (m_hArtwork != nullptr)
        DeleteObject(m_hArtwork);
    if (m_hStandInFont != nullptr)
        DeleteObject(m_hStandInFont);
}

INT_PTR CDialogWindow::RunModal(HWND hOwner) {
    m_bModal = true;
    return DialogBoxParamW(res::Instance(), MAKEINTRESOURCEW(m_nTemplateId), hOwner, &DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

HWND CDialogWindow::Create(HWND hOwner) {
    m_bModal = false;
    return CreateDialogParamW(res::Instance(), MAKEINTRESOURCEW(m_nTemplateId), hOwner, &DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

void CDialogWindow::End(INT_PTR nResult) {
    if (m_bModal)
        EndDialog(m_hDlg, nResult);
    else
        ShowWindow(m_hDlg, SW_HIDE);
}

INT_PTR CALLBACK CDialogWindow::DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        reinterpret_cast<CDialogWindow*>(lParam)->m_hDlg = hDlg;
    }
    auto* pThis = reinterpret_cast<CDialogWindow*>(GetWindowLongPtrW(hDlg, DWLP_USER));
    if (pThis == nullptr)
        return FALSE;
    if (uMsg == WM_NCDESTROY) {
        pThis->m_hDlg = nullptr;
        SetWindowLongPtrW(hDlg, DWLP_USER, 0);
        return FALSE;
    }
    return pThis->Dispatch(uMsg, wParam, lParam);
}

void CDialogWindow::Initialize() {
    std::optional<SDialogTemplate> dialog = LoadDialogTemplate(res::Instance(), m_nTemplateId);
    if (dialog)
        m_template = std::move(*dialog);
    m_hArtwork = static_cast<HBITMAP>(LoadImageW(res::Instance(), MAKEINTRESOURCEW(m_nBackgroundId),
                                                 IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    BITMAP info{};
    if (m_hArtwork != nullptr && GetObjectW(m_hArtwork, sizeof(info), &info) != 0) {
        m_sizeArtwork = {info.bmWidth, info.bmHeight};
        m_hSeeThrough = CreatePatternBrush(m_hArtwork);
    }
    // A system without the template's face gets one that has Korean, of the same size.
    if (IsStandInFace() && m_template.nPointSize > 0) {
        HDC hdc = GetDC(m_hDlg);
        const int nHeight = -MulDiv(m_template.nPointSize, GetDeviceCaps(hdc, LOGPIXELSY), 72);
        ReleaseDC(m_hDlg, hdc);
        m_hStandInFont = CreateDialogFont(nHeight, FW_NORMAL, DEFAULT_CHARSET);
        for (const SDialogItem& item : m_template.vecItems) {
            if (HWND hControl = Control(item.nId))
                SendMessageW(hControl, WM_SETFONT, reinterpret_cast<WPARAM>(m_hStandInFont), FALSE);
        }
    }
    if (m_sizeArtwork.cx > 0)
        PlaceControls(m_hDlg, m_template, m_sizeArtwork);
}

void CDialogWindow::FitStaticsToFonts() {
    // A stand-in face's cells are taller than the statics made for "굴림": each static grows
    // to its font's cell height, half of it above, so that no descender is cut.
    if (!IsStandInFace())
        return;
    for (const SDialogItem& item : m_template.vecItems) {
        HWND hControl = Control(item.nId);
        if (hControl == nullptr || lstrcmpiW(item.strClass.c_str(), L"Static") != 0)
            continue;
        HDC hdc = GetDC(hControl);
        HGDIOBJ hOld =
            SelectObject(hdc, reinterpret_cast<HGDIOBJ>(SendMessageW(hControl, WM_GETFONT, 0, 0)));
        TEXTMETRICW metrics{};
        GetTextMetricsW(hdc, &metrics);
        SelectObject(hdc, hOld);
        ReleaseDC(hControl, hdc);
        RECT rect = DluToPixels(item.nX, item.nY, item.nWidth, item.nHeight);
        const int nMore = metrics.tmHeight - (rect.bottom - rect.top);
        if (nMore > 0)
            SetWindowPos(hControl, nullptr, rect.left, rect.top - nMore / 2, rect.right - rect.left,
                         metrics.tmHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CDialogWindow::PaintClient(HDC hdc) {
    HDC hdcArtwork = CreateCompatibleDC(hdc);
    HGDIOBJ hOld = SelectObject(hdcArtwork, m_hArtwork);
    BitBlt(hdc, 0, 0, m_sizeArtwork.cx, m_sizeArtwork.cy, hdcArtwork, 0, 0, SRCCOPY);
    SelectObject(hdcArtwork, hOld);
    DeleteDC(hdcArtwork);
}

HBRUSH CDialogWindow::SeeThroughBrush(HDC hdc, HWND hControl) {
    // The pattern is the whole artwork; its origin is moved to the dialog's origin as the
    // control's drawing context sees it.
    POINT origin = {0, 0};
    MapWindowPoints(m_hDlg, hControl, &origin, 1);
    SetBrushOrgEx(hdc, origin.x, origin.y, nullptr);
    return m_hSeeThrough != nullptr ? m_hSeeThrough
                                    : static_cast<HBRUSH>(GetStockObject(HOLLOW_BRUSH));
}

void CDialogWindow::WriteControlMap() {
    std::vector<SControlRect> vecControls;
    for (const SDialogItem& item : m_template.vecItems) {
        HWND hControl = item.nId > 0 && item.nId < 0xFFFF ? Control(item.nId) : nullptr;
        RECT rect;
        if (hControl == nullptr || !GetWindowRect(hControl, &rect))
            continue;
        vecControls.push_back(
            {item.nId, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top});
    }
    AppendControlMap(m_szMapName, vecControls);
}

INT_PTR CDialogWindow::Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    auto result = [this](INT_PTR nResult) {
        SetWindowLongPtrW(m_hDlg, DWLP_MSGRESULT, nResult);
        return TRUE;
    };
    switch (uMsg) {
        case WM_INITDIALOG: {
            Initialize();
            const BOOL bFocus = OnInitDialog();
            FitStaticsToFonts();
            return bFocus;
        }
        case WM_ERASEBKGND:
            return result(TRUE);  // the paint covers the client area
        case WM_PAINT:
            PaintBuffered(m_hDlg, [this](HDC hdc) { PaintClient(hdc); });
            return result(0);
        case WM_PRINTCLIENT:
            PaintClient(reinterpret_cast<HDC>(wParam));
            return result(0);
        case WM_DRAWITEM:
            if (CSkinButton::ReflectDrawItem(lParam))
                return result(TRUE);
            break;
        case WM_SETCURSOR:
            if (wait_cursor::IsShown()) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return result(TRUE);
            }
            break;
        case WM_ACTIVATE:
            // No hover picture stays while another window is active.
            if (LOWORD(wParam) == WA_INACTIVE) {
                for (const SDialogItem& item : m_template.vecItems)
                    if (CSkinButton* pButton = CSkinButton::FromHandle(Control(item.nId)))
                        pButton->LeaveHover();
            }
            break;
        case WM_SYSCOLORCHANGE:
            for (const SDialogItem& item : m_template.vecItems)
                if (HWND hControl = Control(item.nId))
                    SendMessageW(hControl, WM_SYSCOLORCHANGE, wParam, lParam);
            break;
        case WM_WINDOWPOSCHANGED:
            // Shown and placed: the control map is written once the show has been handled.
            if (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW)
                PostMessageW(m_hDlg, WM_ZAV_CONTROL_MAP, 0, 0);
            break;
        case WM_ZAV_CONTROL_MAP:
            if (IsWindowVisible(m_hDlg))
                WriteControlMap();
            return result(0);
        default:
            if (CUiCaller::Handle(uMsg, lParam))
                return result(0);
            break;
    }
    INT_PTR nResult = 0;
    if (!OnMessage(uMsg, wParam, lParam, &nResult))
        return FALSE;
    if (uMsg >= WM_CTLCOLORMSGBOX && uMsg <= WM_CTLCOLORSTATIC)
        return nResult;  // the brush itself
    return result(nResult);
}

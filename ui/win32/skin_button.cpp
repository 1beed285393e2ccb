#include "ui/win32/skin_button.h"

#include "ui/win32/resources.h"
#include "ui/win32/wait_cursor.h"

namespace {

constexpr const wchar_t* kProperty = L"ZavSkinButton";

// The mask of a bitmap: 1 where it has the transparent colour. Those pixels of the bitmap are
// made black, so that drawing it with OR over the cleared background leaves the background.
HBITMAP MakeMask(HBITMAP hBitmap, SIZE size, COLORREF key) {
    HBITMAP hMask = CreateBitmap(size.cx, size.cy, 1, 1, nullptr);
    if (hMask == nullptr)
        return nullptr;
    HDC hdcImage = CreateCompatibleDC(nullptr);
    HDC hdcMask = CreateCompatibleDC(nullptr);
    HGDIOBJ hOldImage = SelectObject(hdcImage, hBitmap);
    HGDIOBJ hOldMask = SelectObject(hdcMask, hMask);
    SetBkColor(hdcImage, key);
    BitBlt(hdcMask, 0, 0, size.cx, size.cy, hdcImage, 0, 0, SRCCOPY);
    SetTextColor(hdcImage, RGB(255, 255, 255));
    SetBkColor(hdcImage, RGB(0, 0, 0));
    BitBlt(hdcImage, 0, 0, size.cx, size.cy, hdcMask, 0, 0, SRCAND);
    SelectObject(hdcMask, hOldMask);
    SelectObject(hdcImage, hOldImage);
    DeleteDC(hdcMask);
    DeleteDC(hdcImage);
    return hMask;
}

}  // namespace

CSkinButton::~CSkinButton() {
    if (m_hWnd != nullptr && IsWindow(m_hWnd)) {
        SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnDefault));
        RemovePropW(m_hWnd, kProperty);
    }
    FreeImages();
    FreeBackground();
    if (m_hCursor != nullptr)
        DestroyCursor(m_hCursor);
}

bool CSkinButton::Attach(HWND hButton) {
    if (m_hWnd != nullptr || hButton == nullptr || !IsWindow(hButton) ||
        FromHandle(hButton) != nullptr)
        return false;
    m_hWnd = hButton;
    SetPropW(hButton, kProperty, this);
    m_pfnDefault = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc)));
    // Every paint arrives as a draw request.
    LONG_PTR nStyle = GetWindowLongPtrW(hButton, GWL_STYLE);
    SetWindowLongPtrW(hButton, GWL_STYLE, (nStyle & ~LONG_PTR{BS_TYPEMASK}) | BS_OWNERDRAW);
    return true;
}

CSkinButton* CSkinButton::FromHandle(HWND hWnd) {
    return hWnd != nullptr ? static_cast<CSkinButton*>(GetPropW(hWnd, kProperty)) : nullptr;
}

bool CSkinButton::ReflectDrawItem(LPARAM lParam) {
    const auto* pItem = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    CSkinButton* pButton =
        pItem != nullptr && pItem->CtlType == ODT_BUTTON ? FromHandle(pItem->hwndItem) : nullptr;
    if (pButton == nullptr)
        return false;
    pButton->DrawItem(*pItem);
    return true;
}

bool CSkinButton::SetHoverCursor(int nCursorId) {
    if (m_hCursor != nullptr)
        DestroyCursor(m_hCursor);
    m_hCursor = nullptr;
    if (nCursorId == 0)
        return false;
    m_hCursor = static_cast<HCURSOR>(
        LoadImageW(res::Instance(), MAKEINTRESOURCEW(nCursorId), IMAGE_CURSOR, 0, 0, 0));
    return m_hCursor != nullptr;
}

void CSkinButton::UseParentBackground(bool bRepaint) {
    m_bParentBackground = true;
    FreeBackground();
    if (bRepaint)
        Repaint();
}

int CSkinButton::LoadImages(int nId1, COLORREF key1, int nId2, COLORREF key2, int nId3,
                            COLORREF key3) {
    auto load = [](int nId) {
        return nId == 0 ? nullptr
                        : static_cast<HBITMAP>(LoadImageW(res::Instance(), MAKEINTRESOURCEW(nId),
                                                          IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    };
    return SetImages(load(nId1), key1, load(nId2), key2, load(nId3), key3);
}

int CSkinButton::SetImages(HBITMAP hImage1, COLORREF key1, HBITMAP hImage2, COLORREF key2,
                           HBITMAP hImage3, COLORREF key3) {
    FreeImages();
    const HBITMAP images[3] = {hImage1, hImage2, hImage3};
    const COLORREF keys[3] = {key1, key2, key3};
    int nResult = 0;
    bool bListEnded = false;
    for (int i = 0; i < 3; ++i) {
        if (images[i] == nullptr)
            bListEnded = true;
        if (bListEnded || nResult != 0) {
            if (images[i] != nullptr)
                DeleteObject(images[i]);
            continue;
        }
        BITMAP info{};
        if (GetObjectW(images[i], sizeof(info), &info) == 0) {
            DeleteObject(images[i]);
            nResult = 1;
            continue;
        }
        SImage& image = m_images[i];
        image.hBitmap = images[i];
        image.size = {info.bmWidth, info.bmHeight};
        image.hMask = MakeMask(image.hBitmap, image.size, keys[i]);
        if (image.hMask == nullptr) {
            nResult = 2;
            continue;
        }
        m_nImages = i + 1;
    }
    if (nResult != 0)
        FreeImages();
    Repaint();
    return nResult;
}

int CSkinButton::CurrentImage(bool bPressed) const {
    if (m_nImages == 0)
        return 0;
    if (!m_bHover)
        return m_nImages >= 2 ? 2 : 1;
    if (!bPressed)
        return 1;
    return m_nImages >= 3 ? 3 : 1;
}

POINT CSkinButton::ImageOrigin(bool bPressed) const {
    const int nImage = CurrentImage(bPressed);
    RECT rect{};
    if (nImage == 0 || m_hWnd == nullptr || !GetClientRect(m_hWnd, &rect))
        return {};
    const SIZE size = m_images[nImage - 1].size;
    // The spare room halved, the remainder dropped; one pixel right and down while pressed.
    POINT origin = {(rect.right - size.cx) / 2, (rect.bottom - size.cy) / 2};
    if (bPressed) {
        ++origin.x;
        ++origin.y;
    }
    return origin;
}

void CSkinButton::LeaveHover() {
    if (!m_bFlat || !m_bHover)
        return;
    m_bHover = false;
    Repaint();
}

void CSkinButton::FreeImages() {
    for (SImage& image : m_images) {
        if (image.hBitmap != nullptr)
            DeleteObject(image.hBitmap);
        if (image.hMask != nullptr)
            DeleteObject(image.hMask);
        image = SImage{};
    }
    m_nImages = 0;
}

void CSkinButton::FreeBackground() {
    if (m_hBackground != nullptr)
        DeleteObject(m_hBackground);
    m_hBackground = nullptr;
}

void CSkinButton::Repaint() {
    if (m_hWnd != nullptr) {
        InvalidateRect(m_hWnd, nullptr, TRUE);
        UpdateWindow(m_hWnd);
    }
}

LRESULT CALLBACK CSkinButton::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CSkinButton* pButton = FromHandle(hWnd);
    if (pButton == nullptr)
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    if (uMsg == WM_NCDESTROY) {
        // The control goes before the object: the object lets go of it.
        WNDPROC pfnDefault = pButton->m_pfnDefault;
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pfnDefault));
        RemovePropW(hWnd, kProperty);
        pButton->m_hWnd = nullptr;
        return CallWindowProcW(pfnDefault, hWnd, uMsg, wParam, lParam);
    }
    return pButton->OnMessage(uMsg, wParam, lParam);
}

LRESULT CSkinButton::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_MOUSEMOVE: {
            LRESULT nResult = CallWindowProcW(m_pfnDefault, m_hWnd, uMsg, wParam, lParam);
            OnMouseMove(lParam);
            return nResult;
        }
        case WM_CAPTURECHANGED:
            // The button's own press and release take and give back the capture; hover stays
            // and the next mouse move takes the capture again.
            if (m_bHover)
                Repaint();
            break;
        case WM_KILLFOCUS:
        case WM_CANCELMODE: {
            LRESULT nResult = CallWindowProcW(m_pfnDefault, m_hWnd, uMsg, wParam, lParam);
            LeaveHover();
            return nResult;
        }
        case WM_ENABLE:
            if (!wParam)
                LeaveHover();
            break;
        case WM_SETCURSOR:
            if (wait_cursor::IsShown()) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            if (m_hCursor != nullptr) {
                SetCursor(m_hCursor);
                return TRUE;
            }
            break;
        case WM_SYSCOLORCHANGE:
            CallWindowProcW(m_pfnDefault, m_hWnd, uMsg, wParam, lParam);
            FreeBackground();
            return 0;
        case WM_LBUTTONDBLCLK:
            // A quick second click is a second press, not a double click.
            return CallWindowProcW(m_pfnDefault, m_hWnd, WM_LBUTTONDOWN, wParam, lParam);
        case WM_ERASEBKGND:
            return TRUE;  // the draw request paints every pixel
        default:
            break;
    }
    return CallWindowProcW(m_pfnDefault, m_hWnd, uMsg, wParam, lParam);
}

void CSkinButton::OnMouseMove(LPARAM lParam) {
    const bool bLeftHeld = (GetKeyState(VK_LBUTTON) & 0x8000) != 0;
    if ((bLeftHeld && !m_bHover) || !m_bFlat)
        return;
    // No hover picture while another application is active.
    if (GetCapture() != m_hWnd) {
        if (GetActiveWindow() != nullptr && GetParent(m_hWnd) != nullptr) {
            m_bHover = true;
            SetCapture(m_hWnd);
            Repaint();
        }
        return;
    }
    // The button holds the mouse: is it still over the button?
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ClientToScreen(m_hWnd, &point);
    HWND hUnder = WindowFromPoint(point);
    if (hUnder == nullptr || hUnder == m_hWnd)
        return;
    // The mouse has left.
    if (m_bHover) {
        m_bHover = false;
        Repaint();
    }
    if (!bLeftHeld)
        ReleaseCapture();
}

void CSkinButton::MakeBackground(HDC hdc, SIZE size) {
    HWND hParent = GetParent(m_hWnd);
    m_hBackground = CreateCompatibleBitmap(hdc, size.cx, size.cy);
    if (m_hBackground == nullptr || hParent == nullptr)
        return;
    RECT rect;
    GetWindowRect(m_hWnd, &rect);
    MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rect), 2);
    HDC hdcMem = CreateCompatibleDC(hdc);
    HGDIOBJ hOld = SelectObject(hdcMem, m_hBackground);
    RECT rectFill = {0, 0, size.cx, size.cy};
    FillRect(hdcMem, &rectFill, GetSysColorBrush(COLOR_BTNFACE));
    // The dialog paints its client area into the copy, shifted so that the button's place
    // falls at the copy's origin.
    SetViewportOrgEx(hdcMem, -rect.left, -rect.top, nullptr);
    SendMessageW(hParent, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hdcMem), PRF_CLIENT);
    SetViewportOrgEx(hdcMem, 0, 0, nullptr);
    SelectObject(hdcMem, hOld);
    DeleteDC(hdcMem);
}

void CSkinButton::DrawItem(const DRAWITEMSTRUCT& item) {
    const bool bPressed = (item.itemState & ODS_SELECTED) != 0;
    const SIZE size = {item.rcItem.right - item.rcItem.left, item.rcItem.bottom - item.rcItem.top};
    if (size.cx <= 0 || size.cy <= 0)
        return;
    // Drawn off the screen first, then copied in one piece.
    HDC hdcFrame = CreateCompatibleDC(item.hDC);
    HBITMAP hFrame = CreateCompatibleBitmap(item.hDC, size.cx, size.cy);
    HGDIOBJ hOldFrame = SelectObject(hdcFrame, hFrame);

    if (m_hBackground == nullptr)
        MakeBackground(item.hDC, size);
    HDC hdcPart = CreateCompatibleDC(item.hDC);
    if (m_hBackground != nullptr) {
        HGDIOBJ hOld = SelectObject(hdcPart, m_hBackground);
        BitBlt(hdcFrame, 0, 0, size.cx, size.cy, hdcPart, 0, 0, SRCCOPY);
        SelectObject(hdcPart, hOld);
    }
    // No frame (flat, border off), no text, no focus mark.
    const int nImage = CurrentImage(bPressed);
    if (nImage > 0) {
        const SImage& image = m_images[nImage - 1];
        const POINT origin = ImageOrigin(bPressed);
        // The mask clears the opaque pixels (keeping the background where the picture is
        // transparent), then the picture goes in with OR.
        SetBkColor(hdcFrame, RGB(255, 255, 255));
        SetTextColor(hdcFrame, RGB(0, 0, 0));
        HGDIOBJ hOld = SelectObject(hdcPart, image.hMask);
        BitBlt(hdcFrame, origin.x, origin.y, image.size.cx, image.size.cy, hdcPart, 0, 0, SRCAND);
        SelectObject(hdcPart, image.hBitmap);
        BitBlt(hdcFrame, origin.x, origin.y, image.size.cx, image.size.cy, hdcPart, 0, 0, SRCPAINT);
        SelectObject(hdcPart, hOld);
    }
    DeleteDC(hdcPart);
    BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, size.cx, size.cy, hdcFrame, 0, 0, SRCCOPY);
    SelectObject(hdcFrame, hOldFrame);
    DeleteObject(hFrame);
    DeleteDC(hdcFrame);
}

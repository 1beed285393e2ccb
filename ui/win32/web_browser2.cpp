#include "ui/win32/web_browser2.h"

#include <objidl.h>
#include <shlwapi.h>
// GDI+ after the COM headers it builds on.
#include <gdiplus.h>

#include <algorithm>
#include <tuple>

#include "platform/browser_opener.h"
#include "platform/native_text.h"
#include "ui/win32/fonts.h"
#include "ui/win32/gdi_util.h"
#include "ui/win32/resources.h"
#include "ui/win32/ui_thread.h"
#include "ui/win32/wait_cursor.h"

namespace {

COLORREF ToColorRef(uint32_t nRgb) {
    return RGB((nRgb >> 16) & 0xFF, (nRgb >> 8) & 0xFF, nRgb & 0xFF);
}

// A picture's bytes (PNG, GIF, JPEG, BMP) as a bitmap over the page's background; nullptr when
// GDI+ cannot read them. GDI+ is started once and kept until the process ends.
HBITMAP DecodePicture(const std::string& strData, uint32_t nBackground, SIZE& size) {
    static const bool s_bGdiplus = [] {
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR nToken = 0;
        return Gdiplus::GdiplusStartup(&nToken, &input, nullptr) == Gdiplus::Ok;
    }();
    if (!s_bGdiplus || strData.empty())
        return nullptr;
    IStream* pStream = SHCreateMemStream(reinterpret_cast<const BYTE*>(strData.data()),
                                         static_cast<UINT>(strData.size()));
    if (pStream == nullptr)
        return nullptr;
    Gdiplus::GpBitmap* pBitmap = nullptr;
    HBITMAP hBitmap = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromStream(pStream, &pBitmap) == Gdiplus::Ok) {
        UINT nWidth = 0;
        UINT nHeight = 0;
        Gdiplus::DllExports::GdipGetImageWidth(pBitmap, &nWidth);
        Gdiplus::DllExports::GdipGetImageHeight(pBitmap, &nHeight);
        if (Gdiplus::DllExports::GdipCreateHBITMAPFromBitmap(
                pBitmap, &hBitmap, 0xFF000000 | nBackground) != Gdiplus::Ok)
            hBitmap = nullptr;
        size = {static_cast<LONG>(nWidth), static_cast<LONG>(nHeight)};
        Gdiplus::DllExports::GdipDisposeImage(pBitmap);
    }
    pStream->Release();
    return hBitmap;
}

}  // namespace

bool CWebBrowser2::RegisterWindowClass() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = res::Instance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

CWebBrowser2* CWebBrowser2::FromHandle(HWND hWnd) {
    wchar_t szClass[32] = {};
    if (hWnd == nullptr || GetClassNameW(hWnd, szClass, 32) == 0 ||
        lstrcmpiW(szClass, kClassName) != 0)
        return nullptr;
    return reinterpret_cast<CWebBrowser2*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
}

CWebBrowser2::~CWebBrowser2() {
    m_fetch.request_stop();
    if (m_fetch.joinable())
        m_fetch.join();
    FreePictures();
    for (auto& [key, hFont] : m_mapFonts)
        DeleteObject(hFont);
}

void CWebBrowser2::Navigate(const std::string& strUrl) {
    m_fetch.request_stop();
    if (m_fetch.joinable())
        m_fetch.join();
    m_bLoaded = false;
    m_fetch = std::jthread([this, strUrl](std::stop_token stop) {
        SLoadedPage page = LoadPage(strUrl, stop);
        if (stop.stop_requested())
            return;
        {
            std::lock_guard lock(m_mutex);
            m_arrived = std::move(page);
        }
        // The view takes it on its own thread; a view that has gone drops the message.
        PostMessageW(m_hWnd, WM_ZAV_PAGE, 0, 0);
    });
}

void CWebBrowser2::SetWidth(int nWidth) {
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    SetWindowPos(m_hWnd, nullptr, 0, 0, nWidth, rect.bottom, SWP_NOMOVE | SWP_NOZORDER);
}

void CWebBrowser2::SetHeight(int nHeight) {
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    SetWindowPos(m_hWnd, nullptr, 0, 0, rect.right, nHeight, SWP_NOMOVE | SWP_NOZORDER);
}

void CWebBrowser2::FreePictures() {
    for (auto& [strSource, picture] : m_mapPictures)
        DeleteObject(picture.first);
    m_mapPictures.clear();
    m_vecPlaced.clear();
}

void CWebBrowser2::OnPageArrived() {
    std::optional<SLoadedPage> page;
    {
        std::lock_guard lock(m_mutex);
        page.swap(m_arrived);
    }
    if (!page)
        return;
    FreePictures();
    m_banner = std::move(page->banner);
    for (const auto& [strSource, strData] : page->mapImages) {
        SIZE size{};
        if (HBITMAP hPicture = DecodePicture(strData, m_banner.nBackground, size))
            m_mapPictures[strSource] = {hPicture, size};
    }
    m_bLoaded = page->bOk;
    Layout();
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

HFONT CWebBrowser2::Font(int nPixels, bool bBold) {
    auto it = m_mapFonts.find({nPixels, bBold});
    if (it != m_mapFonts.end())
        return it->second;
    HFONT hFont = CreateDialogFont(-nPixels, bBold ? FW_BOLD : FW_NORMAL, DEFAULT_CHARSET);
    m_mapFonts[{nPixels, bBold}] = hFont;
    return hFont;
}

void CWebBrowser2::Layout() {
    m_vecPlaced.clear();
    RECT client;
    GetClientRect(m_hWnd, &client);
    const int nWidth = client.right;
    auto left = [nWidth](EBannerAlign eAlign, int nItemWidth) {
        return eAlign == EBannerAlign::Center  ? (nWidth - nItemWidth) / 2
               : eAlign == EBannerAlign::Right ? nWidth - nItemWidth
                                               : 0;
    };
    HDC hdc = GetDC(m_hWnd);
    int y = 0;
    for (const SBannerBlock& block : m_banner.vecBlocks) {
        if (y >= client.bottom)
            break;
        if (block.eKind == SBannerBlock::Image) {
            auto it = m_mapPictures.find(block.strSource);
            HBITMAP hPicture = it == m_mapPictures.end() ? nullptr : it->second.first;
            SIZE natural = it == m_mapPictures.end() ? SIZE{} : it->second.second;
            int cx = block.nWidth;
            int cy = block.nHeight;
            // One side given: the other keeps the picture's proportions.
            if (cx == 0 && cy > 0 && natural.cy > 0)
                cx = MulDiv(cy, natural.cx, natural.cy);
            else if (cy == 0 && cx > 0 && natural.cx > 0)
                cy = MulDiv(cx, natural.cy, natural.cx);
            else if (cx == 0 && cy == 0)
                std::tie(cx, cy) = std::pair<int, int>(natural.cx, natural.cy);
            if (cx <= 0 || cy <= 0)
                continue;
            const int x = left(block.eAlign, cx);
            m_vecPlaced.push_back({&block, {x, y, x + cx, y + cy}, hPicture});
            y += cy;
            continue;
        }
        HGDIOBJ hOld = SelectObject(hdc, Font(block.nFontPixels, block.bBold));
        const std::wstring strText = WideFromUtf8(block.strText);
        RECT rectText = {0, 0, nWidth, 0};
        DrawTextW(hdc, strText.c_str(), static_cast<int>(strText.size()), &rectText,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        SelectObject(hdc, hOld);
        const int cxText = std::min<int>(rectText.right, nWidth);
        const int cyBlock = std::max<int>(rectText.bottom, block.nLineHeight);
        // The text sits in the middle of its line height.
        const int yText = y + (cyBlock - rectText.bottom) / 2;
        const int x = left(block.eAlign, cxText);
        m_vecPlaced.push_back({&block, {x, yText, x + cxText, yText + rectText.bottom}, nullptr});
        y += cyBlock;
    }
    ReleaseDC(m_hWnd, hdc);
}

void CWebBrowser2::Paint(HDC hdc) {
    RECT client;
    GetClientRect(m_hWnd, &client);
    if (!m_bLoaded) {
        // The dialog's artwork under the view.
        HWND hParent = GetParent(m_hWnd);
        POINT origin = {0, 0};
        MapWindowPoints(m_hWnd, hParent, &origin, 1);
        POINT before;
        OffsetViewportOrgEx(hdc, -origin.x, -origin.y, &before);
        SendMessageW(hParent, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hdc), PRF_CLIENT);
        SetViewportOrgEx(hdc, before.x, before.y, nullptr);
        return;
    }
    HBRUSH hBackground = CreateSolidBrush(ToColorRef(m_banner.nBackground));
    FillRect(hdc, &client, hBackground);
    DeleteObject(hBackground);
    HDC hdcPicture = CreateCompatibleDC(hdc);
    SetBkMode(hdc, TRANSPARENT);
    SetStretchBltMode(hdc, HALFTONE);
    for (const SPlaced& placed : m_vecPlaced) {
        const RECT& rect = placed.rect;
        if (placed.pBlock->eKind == SBannerBlock::Image) {
            if (placed.hPicture == nullptr)
                continue;
            const SIZE size = m_mapPictures[placed.pBlock->strSource].second;
            HGDIOBJ hOld = SelectObject(hdcPicture, placed.hPicture);
            StretchBlt(hdc, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                       hdcPicture, 0, 0, size.cx, size.cy, SRCCOPY);
            SelectObject(hdcPicture, hOld);
            continue;
        }
        HGDIOBJ hOld = SelectObject(hdc, Font(placed.pBlock->nFontPixels, placed.pBlock->bBold));
        SetTextColor(hdc, ToColorRef(placed.pBlock->nColour));
        const std::wstring strText = WideFromUtf8(placed.pBlock->strText);
        RECT rectText = rect;
        const UINT uAlign = placed.pBlock->eAlign == EBannerAlign::Center  ? DT_CENTER
                            : placed.pBlock->eAlign == EBannerAlign::Right ? DT_RIGHT
                                                                           : DT_LEFT;
        DrawTextW(hdc, strText.c_str(), static_cast<int>(strText.size()), &rectText,
                  DT_WORDBREAK | DT_NOPREFIX | uAlign);
        SelectObject(hdc, hOld);
    }
    DeleteDC(hdcPicture);
}

const CWebBrowser2::SPlaced* CWebBrowser2::LinkAt(POINT point) const {
    for (const SPlaced& placed : m_vecPlaced)
        if (!placed.pBlock->strLink.empty() && PtInRect(&placed.rect, point))
            return &placed;
    return nullptr;
}

LRESULT CALLBACK CWebBrowser2::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_NCCREATE) {
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new CWebBrowser2(hWnd)));
        // No scroll bars, whatever the template says.
        SetWindowLongPtrW(hWnd, GWL_STYLE,
                          GetWindowLongPtrW(hWnd, GWL_STYLE) & ~(WS_HSCROLL | WS_VSCROLL));
    }
    auto* pView = reinterpret_cast<CWebBrowser2*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pView == nullptr)
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    if (uMsg == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        delete pView;
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    return pView->OnMessage(uMsg, wParam, lParam);
}

LRESULT CWebBrowser2::OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_ZAV_PAGE:
            OnPageArrived();
            return 0;
        case WM_SIZE:
            Layout();
            InvalidateRect(m_hWnd, nullptr, FALSE);
            return 0;
        case WM_ERASEBKGND:
            return TRUE;  // the paint covers every pixel
        case WM_PAINT:
            PaintBuffered(m_hWnd, [this](HDC hdc) { Paint(hdc); });
            return 0;
        case WM_PRINTCLIENT:
            Paint(reinterpret_cast<HDC>(wParam));
            return 0;
        case WM_SETCURSOR: {
            POINT point;
            GetCursorPos(&point);
            ScreenToClient(m_hWnd, &point);
            if (LOWORD(lParam) == HTCLIENT && !wait_cursor::IsShown() && LinkAt(point) != nullptr) {
                SetCursor(LoadCursorW(nullptr, IDC_HAND));
                return TRUE;
            }
            break;
        }
        case WM_LBUTTONUP: {
            POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            if (const SPlaced* pLink = LinkAt(point))
                OpenInBrowser(pLink->pBlock->strLink);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

// The main window's web view on Windows: the service's page shown as its banner, the same
// subset that the Qt window shows (app/page_banner.h): pictures at the size the page gives
// them and paragraphs in their colour, size and alignment, on the page's background. It loads
// the page and its pictures once, on a thread of its own, through the program's HTTP layer;
// GDI+ decodes the pictures. No scroll bars; a link opens in the system's web browser. Until
// the page has arrived (or when it cannot be had) the dialog's artwork shows through.
//
// The system's HTML control is not hosted: under Wine, where the tests and many members' game
// clients run, it renders nothing.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/page_banner.h"

class CWebBrowser2 {
public:
    // The window class of control 1027 ("ZavWebView"), registered once before the dialogs.
    static constexpr const wchar_t* kClassName = L"ZavWebView";
    static bool RegisterWindowClass();
    static CWebBrowser2* FromHandle(HWND hWnd);

    // Starts loading strUrl (the page's pictures with it).
    void Navigate(const std::string& strUrl);
    // The view's size in pixels.
    void SetWidth(int nWidth);
    void SetHeight(int nHeight);

    // The page has arrived and is shown.
    bool IsLoaded() const { return m_bLoaded; }
    // Where the pictures and paragraphs are drawn, in the view's pixels (block order).
    struct SPlaced {
        const SBannerBlock* pBlock;
        RECT rect;
        HBITMAP hPicture;  // for a picture that arrived, else nullptr
    };
    const std::vector<SPlaced>& Placed() const { return m_vecPlaced; }

private:
    explicit CWebBrowser2(HWND hWnd) : m_hWnd(hWnd) {}
    ~CWebBrowser2();  // stops and joins a running load
    CWebBrowser2(const CWebBrowser2&) = delete;
    CWebBrowser2& operator=(const CWebBrowser2&) = delete;

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void OnPageArrived();
    void Layout();
    void Paint(HDC hdc);
    HFONT Font(int nPixels, bool bBold);
    const SPlaced* LinkAt(POINT point) const;
    void FreePictures();

    HWND m_hWnd;
    std::jthread m_fetch;
    std::mutex m_mutex;
    std::optional<SLoadedPage> m_arrived;  // guarded by m_mutex: from the thread to the view
    SPageBanner m_banner;
    bool m_bLoaded = false;
    std::map<std::string, std::pair<HBITMAP, SIZE>> m_mapPictures;
    std::map<std::pair<int, bool>, HFONT> m_mapFonts;
    std::vector<SPlaced> m_vecPlaced;
};

// The native Windows window under Wine: the dialog templates against their layout and texts,
// the artwork and cursor resources, the skinned button's faces, both dialogs made from their
// templates against a live zav-service (controls on the artwork's grid, keys, the field limit,
// colours showing the artwork, the progress band, the close rule), the hand-over of worker
// calls to the UI thread, and the control map.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "app/auth_reply.h"
#include "app/game_folder.h"
#include "app/server_config.h"
#include "app/settings.h"
#include "app/window_log.h"
#include "net/http_request.h"
#include "platform/native_text.h"
#include "platform/registry.h"
#include "support/env_guard.h"
#include "support/file_io.h"
#include "support/live_service.h"
#include "support/sandbox.h"
#include "ui/win32/dialog_template.h"
#include "ui/win32/login_dialog.h"
#include "ui/win32/main_dialog.h"
#include "ui/win32/resources.h"
#include "ui/win32/skin_button.h"
#include "ui/win32/web_browser2.h"

namespace {

// Runs the thread's messages until pred holds (true) or timeout milliseconds have passed.
bool PumpUntil(const std::function<bool()>& pred, DWORD dwTimeout = 10000) {
    const ULONGLONG nEnd = GetTickCount64() + dwTimeout;
    while (!pred()) {
        if (GetTickCount64() > nEnd)
            return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

// What a window paints of its client area (WM_PRINTCLIENT into a 32-bit picture).
class CCapture {
public:
    explicit CCapture(HWND hWnd) {
        RECT rect;
        GetClientRect(hWnd, &rect);
        m_nWidth = rect.right;
        m_nHeight = rect.bottom;
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = m_nWidth;
        info.bmiHeader.biHeight = -m_nHeight;  // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* pBits = nullptr;
        HDC hdc = CreateCompatibleDC(nullptr);
        HBITMAP hBitmap = CreateDIBSection(hdc, &info, DIB_RGB_COLORS, &pBits, nullptr, 0);
        HGDIOBJ hOld = SelectObject(hdc, hBitmap);
        SendMessageW(hWnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hdc), PRF_CLIENT);
        GdiFlush();
        const auto* pPixels = static_cast<const DWORD*>(pBits);
        m_vecPixels.assign(pPixels, pPixels + m_nWidth * m_nHeight);
        SelectObject(hdc, hOld);
        DeleteObject(hBitmap);
        DeleteDC(hdc);
    }
    // 0xRRGGBB
    DWORD Pixel(int x, int y) const {
        return x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight
                   ? 0xFFFFFFFF
                   : m_vecPixels[static_cast<size_t>(y * m_nWidth + x)] & 0xFFFFFF;
    }
    SIZE Size() const { return {m_nWidth, m_nHeight}; }

private:
    int m_nWidth = 0;
    int m_nHeight = 0;
    std::vector<DWORD> m_vecPixels;
};

std::string Text(HWND hWnd) {
    wchar_t szText[512] = {};
    GetWindowTextW(hWnd, szText, 512);
    return Utf8FromWide(szText);
}

// A control's rectangle in its dialog's client pixels.
RECT RectInDialog(HWND hControl) {
    RECT rect;
    GetWindowRect(hControl, &rect);
    MapWindowPoints(nullptr, GetParent(hControl), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// The control map's lines of one window, by control id.
std::map<int, RECT> MapLines(const std::string& strFile, const std::string& strWindow) {
    std::map<int, RECT> mapRects;
    std::string strAll = ReadWholeFile(strFile);
    for (size_t nStart = 0; nStart < strAll.size();) {
        size_t nEnd = strAll.find('\n', nStart);
        std::string strLine = strAll.substr(nStart, nEnd - nStart);
        nStart = nEnd == std::string::npos ? strAll.size() : nEnd + 1;
        int nId, x, y, w, h;
        char szWindow[16] = {};
        if (std::sscanf(strLine.c_str(),
                        "{\"window\": \"%15[a-z]\", \"id\": %d, \"x\": %d, \"y\": %d, \"w\": %d, "
                        "\"h\": %d}",
                        szWindow, &nId, &x, &y, &w, &h) == 6 &&
            strWindow == szWindow)
            mapRects[nId] = {x, y, x + w, y + h};
    }
    return mapRects;
}

struct SBox {
    EBoxKind eKind;
    std::string strText;
    DWORD dwThread;
};

// The Parts' layout of a template control: id, class, dialog units, text, what its style holds.
struct SLayout {
    int nId;
    const wchar_t* szClass;
    int x, y, cx, cy;
    const char* szText;
    DWORD dwStyle;  // bits that must be set (the kind's value for BS_/SS_ kinds)
    bool bTransparent;
};

void ExpectLayout(const SDialogTemplate& dialog, const std::vector<SLayout>& vecLayout) {
    ASSERT_EQ(dialog.vecItems.size(), vecLayout.size());
    for (const SLayout& want : vecLayout) {
        const SDialogItem* pItem = dialog.Item(want.nId);
        ASSERT_NE(pItem, nullptr) << want.nId;
        EXPECT_EQ(lstrcmpiW(pItem->strClass.c_str(), want.szClass), 0) << want.nId;
        EXPECT_EQ(pItem->nX, want.x) << want.nId;
        EXPECT_EQ(pItem->nY, want.y) << want.nId;
        EXPECT_EQ(pItem->nWidth, want.cx) << want.nId;
        EXPECT_EQ(pItem->nHeight, want.cy) << want.nId;
        EXPECT_EQ(Utf8FromWide(pItem->strText), want.szText) << want.nId;
        const bool bKind = lstrcmpiW(want.szClass, L"Edit") != 0;
        const DWORD dwKind = lstrcmpiW(want.szClass, L"Button") == 0   ? BS_TYPEMASK
                             : lstrcmpiW(want.szClass, L"Static") == 0 ? SS_TYPEMASK
                                                                       : 0;
        if (bKind && dwKind != 0)
            EXPECT_EQ(pItem->dwStyle & dwKind, want.dwStyle) << want.nId;
        else
            EXPECT_EQ(pItem->dwStyle & want.dwStyle, want.dwStyle) << want.nId;
        EXPECT_EQ((pItem->dwExStyle & WS_EX_TRANSPARENT) != 0, want.bTransparent) << want.nId;
        EXPECT_TRUE(pItem->dwStyle & WS_VISIBLE) << want.nId;
    }
}

// A parent of one flat colour for the skinned button, which hands it its draw requests.
constexpr COLORREF kParentColour = RGB(200, 0, 200);
int g_nClicks = 0;

LRESULT CALLBACK FlatParentProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_PRINTCLIENT:
        case WM_ERASEBKGND: {
            RECT rect;
            GetClientRect(hWnd, &rect);
            HBRUSH hBrush = CreateSolidBrush(kParentColour);
            FillRect(reinterpret_cast<HDC>(wParam), &rect, hBrush);
            DeleteObject(hBrush);
            return 1;
        }
        case WM_DRAWITEM:
            return CSkinButton::ReflectDrawItem(lParam);
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED)
                ++g_nClicks;
            return 0;
        default:
            return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

// A 10 x 10 face of one colour with a black (transparent) pixel at its top left.
HBITMAP Face(COLORREF colour) {
    HDC hdcScreen = GetDC(nullptr);
    HBITMAP hBitmap = CreateCompatibleBitmap(hdcScreen, 10, 10);
    HDC hdc = CreateCompatibleDC(hdcScreen);
    ReleaseDC(nullptr, hdcScreen);
    HGDIOBJ hOld = SelectObject(hdc, hBitmap);
    RECT rect = {0, 0, 10, 10};
    HBRUSH hBrush = CreateSolidBrush(colour);
    FillRect(hdc, &rect, hBrush);
    DeleteObject(hBrush);
    SetPixel(hdc, 0, 0, RGB(0, 0, 0));
    SelectObject(hdc, hOld);
    DeleteDC(hdc);
    return hBitmap;
}

constexpr DWORD kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kMagenta = 0xC800C8;

}  // namespace

TEST(Win32Resources, TemplatesHaveTheLayoutAndTextsOfTheWindows) {
    std::optional<SDialogTemplate> login = LoadDialogTemplate(res::Instance(), res::IDD_LOGIN);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->nWidth, 269);
    EXPECT_EQ(login->nHeight, 173);
    EXPECT_EQ(Utf8FromWide(login->strCaption), "ZAV");
    EXPECT_EQ(Utf8FromWide(login->strFace), "굴림");
    EXPECT_EQ(login->nPointSize, 9);
    for (const SDialogTemplate* pDialog : {&*login}) {
        EXPECT_EQ(pDialog->dwStyle & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
                  DWORD{WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME});
        EXPECT_TRUE(pDialog->dwExStyle & WS_EX_APPWINDOW);  // shown in the task bar
    }
    ExpectLayout(*login, {
                             {1000, L"Edit", 68, 106, 83, 12, "", 0, false},
                             {1002, L"Edit", 68, 123, 83, 12, "", ES_PASSWORD, false},
                             {1001, L"Button", 158, 102, 49, 33, "", BS_OWNERDRAW, true},
                         });
    for (int nId : {1000, 1002})
        EXPECT_FALSE(login->Item(nId)->dwStyle & (ES_AUTOHSCROLL | WS_HSCROLL)) << nId;

    std::optional<SDialogTemplate> main = LoadDialogTemplate(res::Instance(), res::IDD_MAIN);
    ASSERT_TRUE(main);
    EXPECT_EQ(main->nWidth, 369);
    EXPECT_EQ(main->nHeight, 289);
    EXPECT_EQ(Utf8FromWide(main->strCaption), "ZAV");
    EXPECT_EQ(Utf8FromWide(main->strFace), "굴림");
    EXPECT_TRUE(main->dwExStyle & WS_EX_APPWINDOW);
    ExpectLayout(
        *main,
        {
            {IDC_BACKUP, L"Button", 14, 70, 81, 37, "", BS_OWNERDRAW, true},
            {IDC_BACKUP_ADDON, L"Button", 18, 111, 59, 10, "애드온(Addon)", BS_AUTOCHECKBOX, true},
            {IDC_BACKUP_CACHE, L"Button", 18, 125, 57, 10, "캐쉬(Cache)", BS_AUTOCHECKBOX, true},
            {IDC_BACKUP_FONT, L"Button", 18, 139, 49, 10, "폰트(Font)", BS_AUTOCHECKBOX, true},
            {IDC_RESTORE, L"Button", 274, 70, 81, 37, "", BS_OWNERDRAW, true},
            {IDC_RESTORE_ADDON, L"Button", 278, 111, 63, 10, "애드온(Addon)", BS_AUTOCHECKBOX,
             true},
            {IDC_RESTORE_CACHE, L"Button", 278, 125, 57, 10, "캐쉬(Cache)", BS_AUTOCHECKBOX, true},
            {IDC_RESTORE_FONT, L"Button", 278, 139, 49, 10, "폰트(Font)", BS_AUTOCHECKBOX, true},
            {IDC_BROWSER, CWebBrowser2::kClassName, 102, 63, 164, 91, "", 0, false},
            {IDC_NICKNAME, L"Static", 14, 197, 55, 8, "Static", SS_CENTER, true},
            {IDC_TOTAL_USAGE, L"Static", 106, 197, 68, 8, "Static", SS_RIGHT, true},
            {IDC_ADDON_USAGE, L"Static", 53, 219, 117, 8, "Static", SS_LEFT, false},
            {IDC_WDB_USAGE, L"Static", 46, 233, 124, 8, "Static", SS_LEFT, false},
            {IDC_FONTS_USAGE, L"Static", 46, 247, 124, 8, "Static", SS_LEFT, false},
            {IDC_LAST_UPLOAD, L"Static", 69, 261, 101, 8, "Static", SS_LEFT, false},
            {IDC_MODE_AUTO, L"Button", 196, 196, 25, 10, "자동", BS_AUTORADIOBUTTON, true},
            {IDC_MODE_MANUAL, L"Button", 196, 213, 25, 10, "수동", BS_AUTORADIOBUTTON, true},
            {IDC_REGISTRY_PATH, L"Edit", 225, 197, 130, 14, "", ES_READONLY | ES_AUTOHSCROLL,
             false},
            {IDC_MANUAL_PATH, L"Edit", 225, 214, 85, 14, "", ES_AUTOHSCROLL, false},
            {IDC_BROWSE, L"Button", 313, 213, 43, 14, "", BS_OWNERDRAW, true},
            {IDC_INITIALIZE, L"Button", 200, 239, 62, 16, "", BS_OWNERDRAW, true},
            {IDC_REMOVE_ALL, L"Button", 264, 239, 87, 16, "", BS_OWNERDRAW, true},
        });
    EXPECT_FALSE(main->Item(IDC_MANUAL_PATH)->dwStyle & ES_READONLY);
}

TEST(Win32Resources, ArtworkAndCursorHaveTheirSizes) {
    const std::map<int, SIZE> sizes = {
        {129, {471, 259}}, {130, {86, 49}},  {131, {86, 49}},  {132, {86, 49}},  {133, {644, 433}},
        {134, {150, 24}},  {135, {141, 55}}, {136, {141, 55}}, {137, {141, 55}}, {138, {109, 24}},
        {139, {72, 20}},   {140, {141, 55}}, {141, {141, 55}}, {142, {141, 55}}, {143, {1, 8}},
    };
    for (const auto& [nId, size] : sizes) {
        HBITMAP hBitmap = static_cast<HBITMAP>(LoadImageW(res::Instance(), MAKEINTRESOURCEW(nId),
                                                          IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_NE(hBitmap, nullptr) << nId;
        DIBSECTION dib{};
        ASSERT_NE(GetObjectW(hBitmap, sizeof(dib), &dib), 0);
        EXPECT_EQ(dib.dsBm.bmWidth, size.cx) << nId;
        EXPECT_EQ(dib.dsBm.bmHeight, size.cy) << nId;
        EXPECT_EQ(dib.dsBmih.biBitCount, 24) << nId;
        if (nId == res::IDB_PROGRESS) {
            // The band's rows, top to bottom.
            const DWORD rows[8] = {0x000B1A, 0x5FADD1, 0x3288B6, 0x2E7FAC,
                                   0x2874A0, 0x236A94, 0x1D628A, 0x00030A};
            const auto* pBits = static_cast<const BYTE*>(dib.dsBm.bmBits);
            for (int y = 0; y < 8; ++y) {
                const BYTE* p = pBits + (7 - y) * dib.dsBm.bmWidthBytes;  // bottom-up
                EXPECT_EQ(DWORD{p[2]} << 16 | DWORD{p[1]} << 8 | p[0], rows[y]) << y;
            }
        }
        DeleteObject(hBitmap);
    }
    HCURSOR hCursor = static_cast<HCURSOR>(
        LoadImageW(res::Instance(), MAKEINTRESOURCEW(res::IDCUR_HAND), IMAGE_CURSOR, 0, 0, 0));
    ASSERT_NE(hCursor, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(hCursor, &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_EQ(info.xHotspot, 5u);
    EXPECT_EQ(info.yHotspot, 0u);
    BITMAP mask{};
    GetObjectW(info.hbmMask, sizeof(mask), &mask);
    EXPECT_EQ(mask.bmWidth, 32);
    EXPECT_EQ(mask.bmHeight, 64);  // monochrome: the AND and XOR masks one above the other
    EXPECT_EQ(info.hbmColor, nullptr);
    DeleteObject(info.hbmMask);
    DestroyCursor(hCursor);
}

class Win32SkinButton : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &FlatParentProc;
        wc.hInstance = res::Instance();
        wc.lpszClassName = L"ZavTestFlatParent";
        RegisterClassW(&wc);
        m_hParent = CreateWindowExW(0, L"ZavTestFlatParent", L"parent", WS_POPUP, 100, 100, 60, 60,
                                    nullptr, nullptr, res::Instance(), nullptr);
        // The button's spare room is 11 x 10: a 10 x 10 face sits at (5, 5).
        m_hButton =
            CreateWindowExW(0, L"Button", L"", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 21,
                            20, m_hParent, reinterpret_cast<HMENU>(7), res::Instance(), nullptr);
        ASSERT_TRUE(m_button.Attach(m_hButton));
        EXPECT_EQ(GetWindowLongPtrW(m_hButton, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
        EXPECT_EQ(m_button.SetImages(Face(RGB(255, 0, 0)), 0, Face(RGB(0, 255, 0)), 0,
                                     Face(RGB(0, 0, 255)), 0),
                  0);
        g_nClicks = 0;
    }
    void TearDown() override {
        if (GetCapture() != nullptr)
            ReleaseCapture();
        DestroyWindow(m_hParent);
    }
    void MouseAt(int x, int y) { SendMessageW(m_hButton, WM_MOUSEMOVE, 0, MAKELPARAM(x, y)); }

    HWND m_hParent = nullptr;
    HWND m_hButton = nullptr;
    CSkinButton m_button;
};

TEST_F(Win32SkinButton, DrawsTheFaceOfEachStateOverTheParentsPixels) {
    CCapture normal(m_hButton);
    EXPECT_EQ(m_button.CurrentImage(false), 2);
    EXPECT_EQ(normal.Pixel(6, 6), kGreen);
    EXPECT_EQ(normal.Pixel(5, 5), kMagenta);  // the black pixel shows the parent
    EXPECT_EQ(normal.Pixel(1, 1), kMagenta);  // outside the face

    // The mouse comes over the button while the window is active: hover, and the capture.
    ShowWindow(m_hParent, SW_SHOW);
    SetActiveWindow(m_hParent);
    ASSERT_NE(GetActiveWindow(), nullptr);
    MouseAt(10, 10);
    EXPECT_TRUE(m_button.IsHover());
    EXPECT_EQ(GetCapture(), m_hButton);
    EXPECT_EQ(CCapture(m_hButton).Pixel(6, 6), kRed);

    SendMessageW(m_hButton, BM_SETSTATE, TRUE, 0);
    CCapture pressed(m_hButton);
    EXPECT_EQ(pressed.Pixel(7, 7), kBlue);
    EXPECT_EQ(pressed.Pixel(6, 6), kMagenta);  // the black pixel moved with the face
    EXPECT_EQ(pressed.Pixel(15, 15), kBlue);
    EXPECT_EQ(pressed.Pixel(5, 5), kMagenta);
    SendMessageW(m_hButton, BM_SETSTATE, FALSE, 0);

    // The mouse goes to the parent: normal face, capture given back.
    MouseAt(40, 40);
    EXPECT_FALSE(m_button.IsHover());
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(CCapture(m_hButton).Pixel(6, 6), kGreen);

    // Losing the focus or the window's activation leaves hover too.
    MouseAt(10, 10);
    ASSERT_TRUE(m_button.IsHover());
    m_button.LeaveHover();
    EXPECT_EQ(CCapture(m_hButton).Pixel(6, 6), kGreen);
}

TEST_F(Win32SkinButton, QuickSecondClickIsASecondClickAndTheHandShows) {
    const LPARAM at = MAKELPARAM(5, 5);
    SendMessageW(m_hButton, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(m_hButton, WM_LBUTTONUP, 0, at);
    SendMessageW(m_hButton, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    SendMessageW(m_hButton, WM_LBUTTONUP, 0, at);
    EXPECT_EQ(g_nClicks, 2);

    EXPECT_TRUE(m_button.SetHoverCursor(res::IDCUR_HAND));
    SendMessageW(m_hButton, WM_SETCURSOR, reinterpret_cast<WPARAM>(m_hButton),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(GetCursor(), &info));
    EXPECT_EQ(info.xHotspot, 5u);
    DeleteObject(info.hbmMask);

    // A missing first image keeps none; one image serves every state.
    EXPECT_EQ(m_button.SetImages(nullptr, 0, Face(RGB(0, 255, 0)), 0), 0);
    EXPECT_EQ(m_button.CurrentImage(false), 0);
    EXPECT_EQ(CCapture(m_hButton).Pixel(6, 6), kMagenta);
    m_button.SetImages(Face(RGB(255, 0, 0)), 0);
    EXPECT_EQ(m_button.CurrentImage(true), 1);
}

// Both windows against a live service, with their boxes answered by a recorder.
class Win32Windows : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(HttpGlobalInit());
        ASSERT_TRUE(CWebBrowser2::RegisterWindowClass());
        s_pService = new CLiveService({"--max-upload-mb", "20"});
        ASSERT_TRUE(s_pService->IsRunning());
        ASSERT_TRUE(s_pService->AddMember("gamer01", "zavdemo", "용감한전사"));
    }
    static void TearDownTestSuite() {
        delete s_pService;
        s_pService = nullptr;
    }
    void SetUp() override {
        m_settings.m_endpoints = s_pService->Endpoints();
        // The game folder in the registry, as the installer leaves it; put back afterwards.
        char szBefore[kMaxPath] = {};
        m_bHadFolder =
            RegReadString(kInstallPathValue, szBefore, kMaxPath, ERegRoot::LocalMachine) >= 0;
        m_strFolderBefore = szBefore;
        m_strGame = m_sandbox.Path("World of Warcraft") + "\\";
        WriteWholeFile(m_strGame + "WTF\\Config.wtf", "SET locale \"koKR\"\n");
        ASSERT_EQ(RegWriteString(kInstallPathValue, m_strGame.c_str(), ERegRoot::LocalMachine), 1);
        m_env.Set(kControlMapVariable, m_sandbox.Path("controls.jsonl"));
    }
    void TearDown() override {
        if (m_bHadFolder) {
            RegWriteString(kInstallPathValue, m_strFolderBefore.c_str(), ERegRoot::LocalMachine);
        } else {
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE,
                               L"SOFTWARE\\Wow6432Node\\Blizzard Entertainment\\World of Warcraft",
                               L"InstallPath");
        }
    }
    BoxPresenter Recorder() {
        return [this](HWND, EBoxKind eKind, const std::string& strText) {
            m_vecBoxes.push_back({eKind, strText, GetCurrentThreadId()});
            return m_bAnswer;
        };
    }
    // A member logged in through the service and the main window made for them, shown.
    bool OpenMainWindow(CMainDialog& dlg) {
        CBoxMessageView view(nullptr, Recorder());
        if (m_settings.LoadServerConfig(view) != EConfigLoad::Loaded)
            return false;
        CLoginLogic logic(view, m_settings);
        if (!logic.OnLogin("gamer01", "zavdemo").bLoggedIn || dlg.Create(nullptr) == nullptr)
            return false;
        ShowWindow(dlg.Handle(), SW_SHOW);
        return true;
    }
    std::string MapFile() const { return m_sandbox.Path("controls.jsonl"); }

    static CLiveService* s_pService;
    CSandbox m_sandbox{"zav-win32"};
    CEnvGuard m_env;
    CSettings m_settings;
    std::string m_strGame;
    bool m_bHadFolder = false;
    std::string m_strFolderBefore;
    std::vector<SBox> m_vecBoxes;
    bool m_bAnswer = true;
};

CLiveService* Win32Windows::s_pService = nullptr;

TEST_F(Win32Windows, LoginDialogSitsOnItsArtworkTakesItsKeysAndLogsIn) {
    CLoginDialog dlg(m_settings, Recorder());
    bool bMainRan = false;
    bool bHiddenDuringMain = false;
    dlg.SetMainWindowRunner([&] {
        bMainRan = true;
        bHiddenDuringMain = !IsWindowVisible(dlg.Handle());
    });
    ASSERT_NE(dlg.Create(nullptr), nullptr);
    ShowWindow(dlg.Handle(), SW_SHOW);
    RECT client;
    GetClientRect(dlg.Handle(), &client);
    EXPECT_EQ(client.right, 471);
    EXPECT_EQ(client.bottom, 259);
    for (const SDialogItem& item : dlg.Template().vecItems) {
        EXPECT_TRUE(SameRect(RectInDialog(dlg.Control(item.nId)),
                             DluToPixels(item.nX, item.nY, item.nWidth, item.nHeight)))
            << item.nId;
    }
    // The control map: the three controls where they are on the screen.
    ASSERT_TRUE(PumpUntil([&] { return MapLines(MapFile(), "login").size() == 3; }));
    for (const auto& [nId, rect] : MapLines(MapFile(), "login")) {
        RECT onScreen;
        GetWindowRect(dlg.Control(nId), &onScreen);
        EXPECT_TRUE(SameRect(rect, onScreen)) << nId;
    }

    // Escape does nothing; Enter logs in wherever the focus is.
    HWND hId = dlg.Control(IDC_LOGIN_ID);
    HWND hPw = dlg.Control(IDC_LOGIN_PW);
    auto key = [&](HWND hFocus, WPARAM nKey) {
        SetFocus(hFocus);
        MSG msg = {hFocus, WM_KEYDOWN, nKey, 0, 0, {}};
        EXPECT_TRUE(IsDialogMessageW(dlg.Handle(), &msg));
    };
    key(hId, VK_ESCAPE);
    EXPECT_TRUE(IsWindowVisible(dlg.Handle()));
    EXPECT_TRUE(m_vecBoxes.empty());
    key(hId, VK_RETURN);
    ASSERT_EQ(m_vecBoxes.size(), 1u);
    EXPECT_EQ(m_vecBoxes[0].strText, "아이디를 입력하십시오.");
    SetWindowTextW(hId, L"gamer01");
    key(hId, VK_RETURN);
    EXPECT_EQ(m_vecBoxes.back().strText, "패스워드를 입력하십시오.");
    EXPECT_EQ(GetFocus(), hPw);

    // The fields take no more than the protocol carries, nor a character without a CP949 code.
    SetWindowTextW(hId, L"");
    for (int i = 0; i < 60; ++i)
        SendMessageW(hId, WM_CHAR, L'i', 0);
    EXPECT_EQ(Text(hId), std::string(kMaxAuthIdBytes, 'i'));
    SetWindowTextW(hId, L"");
    for (wchar_t c : std::wstring(L"a\xD83D\xDE00"
                                  L"b"))
        SendMessageW(hId, WM_CHAR, c, 0);
    EXPECT_EQ(Text(hId), "ab");

    // A refusal shows the service's text and keeps what was typed; then the login.
    SetWindowTextW(hId, L"gamer01");
    SetWindowTextW(hPw, L"wrong");
    key(hPw, VK_RETURN);
    EXPECT_EQ(m_vecBoxes.back().strText, "아이디 또는 비밀번호가 올바르지 않습니다.");
    EXPECT_EQ(Text(hPw), "wrong");
    EXPECT_EQ(GetFocus(), hId);
    EXPECT_FALSE(bMainRan);
    SetWindowTextW(hPw, L"zavdemo");
    SendMessageW(dlg.Handle(), WM_COMMAND, MAKEWPARAM(IDC_LOGIN, BN_CLICKED),
                 reinterpret_cast<LPARAM>(dlg.Control(IDC_LOGIN)));
    EXPECT_TRUE(bMainRan);
    EXPECT_TRUE(bHiddenDuringMain);
    EXPECT_EQ(m_settings.GetNickname(), "용감한전사");
    EXPECT_EQ(m_vecBoxes.size(), 3u);
}

TEST_F(Win32Windows, MainWindowOpensOnItsArtworkWithTheMembersValues) {
    CMainDialog dlg(m_settings, Recorder());
    ASSERT_TRUE(OpenMainWindow(dlg));
    EXPECT_TRUE(m_vecBoxes.empty());
    HWND hDlg = dlg.Handle();
    RECT client;
    GetClientRect(hDlg, &client);
    EXPECT_EQ(client.right, 644);
    EXPECT_EQ(client.bottom, 433);
    EXPECT_EQ(Text(hDlg), "ZAV");
    for (const SDialogItem& item : dlg.Template().vecItems) {
        RECT want = DluToPixels(item.nX, item.nY, item.nWidth, item.nHeight);
        RECT rect = RectInDialog(dlg.Control(item.nId));
        if (item.nId == IDC_BROWSER) {
            want.right = want.left + 288;
            want.bottom = want.top + 136;
        }
        // A static may be taller for a stand-in face's cells, never narrower or elsewhere.
        EXPECT_EQ(rect.left, want.left) << item.nId;
        EXPECT_EQ(rect.right, want.right) << item.nId;
        EXPECT_LE(rect.top, want.top) << item.nId;
        EXPECT_GE(rect.bottom, want.bottom) << item.nId;
    }

    EXPECT_TRUE(dlg.IsChecked(IDC_BACKUP_ADDON));
    EXPECT_TRUE(dlg.IsChecked(IDC_BACKUP_CACHE));
    EXPECT_FALSE(dlg.IsChecked(IDC_BACKUP_FONT));
    EXPECT_TRUE(dlg.IsChecked(IDC_MODE_AUTO));
    EXPECT_FALSE(dlg.IsChecked(IDC_RESTORE_ADDON));
    EXPECT_EQ(dlg.GetText(IDC_REGISTRY_PATH), m_strGame);
    EXPECT_EQ(dlg.GetText(IDC_NICKNAME), "용감한전사");
    EXPECT_EQ(dlg.GetText(IDC_TOTAL_USAGE), "총사용량:0.0M/20M");
    EXPECT_EQ(dlg.GetText(IDC_LAST_UPLOAD), "업로드 하신 내용이 없습니다.");

    // The web view: the page's picture at the size the page gives it.
    CWebBrowser2* pBrowser = dlg.Browser();
    ASSERT_NE(pBrowser, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return pBrowser->IsLoaded(); }, 30000));
    ASSERT_FALSE(pBrowser->Placed().empty());
    const CWebBrowser2::SPlaced& logo = pBrowser->Placed().front();
    EXPECT_NE(logo.hPicture, nullptr);
    EXPECT_TRUE(SameRect(logo.rect, {0, 0, 288, 96}));
    EXPECT_FALSE(GetWindowLongPtrW(dlg.Control(IDC_BROWSER), GWL_STYLE) &
                 (WS_HSCROLL | WS_VSCROLL));

    // The usage statics and the path paint the artwork around their text.
    CCapture window(hDlg);
    for (int nId : {IDC_ADDON_USAGE, IDC_NICKNAME, IDC_MANUAL_PATH}) {
        HWND hControl = dlg.Control(nId);
        const RECT rect = RectInDialog(hControl);
        CCapture control(hControl);
        const int x = rect.right - rect.left - 2;  // right of any text
        EXPECT_EQ(control.Pixel(x, 1), window.Pixel(rect.left + x, rect.top + 1)) << nId;
    }

    // The band: bitmap 143's rows stretched from the left edge, as wide as the progress says.
    dlg.Logic().SetProgress(60, 100, EProgressMode::Plain);
    EXPECT_EQ(dlg.ProgressWidth(), 156);
    CCapture band(hDlg);
    EXPECT_EQ(band.Pixel(352, 399), 0x5FADD1u);
    EXPECT_EQ(band.Pixel(500, 404), 0x1D628Au);
    EXPECT_NE(band.Pixel(520, 401), 0x3288B6u);

    // Every control of the window in the control map, where it is on the screen.
    ASSERT_TRUE(PumpUntil([&] { return MapLines(MapFile(), "main").size() == 22; }));
    for (const auto& [nId, rect] : MapLines(MapFile(), "main")) {
        RECT onScreen;
        ASSERT_TRUE(GetWindowRect(dlg.Control(nId), &onScreen)) << nId;
        EXPECT_TRUE(SameRect(rect, onScreen)) << nId;
    }
}

TEST_F(Win32Windows, WorkerCallsAreCarriedToTheUiThreadAndTheCloseWaitsForTheTransfer) {
    CMainDialog dlg(m_settings, Recorder());
    ASSERT_TRUE(OpenMainWindow(dlg));
    const DWORD dwUi = GetCurrentThreadId();

    m_bAnswer = false;
    std::atomic<bool> bDone{false};
    bool bConfirmed = true;
    bool bFontChecked = true;
    DWORD dwWorker = 0;
    std::thread worker([&] {
        dwWorker = GetCurrentThreadId();
        dlg.SetProgressWidth(26);
        dlg.Message("업로드가 완료되었습니다.");
        bConfirmed = dlg.ConfirmDefaultNo("계속하시겠습니까?");
        dlg.SetText(IDC_WDB_USAGE, "9.9M");
        bFontChecked = dlg.IsChecked(IDC_BACKUP_FONT);
        bDone = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return bDone.load(); }));
    worker.join();
    ASSERT_EQ(m_vecBoxes.size(), 2u);
    EXPECT_EQ(m_vecBoxes[0].dwThread, dwUi);
    EXPECT_EQ(m_vecBoxes[1].dwThread, dwUi);
    EXPECT_NE(dwWorker, dwUi);
    EXPECT_EQ(m_vecBoxes[1].eKind, EBoxKind::ConfirmDefaultNo);
    EXPECT_FALSE(bConfirmed);
    EXPECT_FALSE(bFontChecked);
    EXPECT_EQ(Text(dlg.Control(IDC_WDB_USAGE)), "9.9M");
    EXPECT_TRUE(PumpUntil([&] { return dlg.ProgressWidth() == 26; }));

    // The close box while a transfer runs: refused with a message; afterwards it closes.
    CTransferClaim running = dlg.Logic().TryClaim();
    SendMessageW(dlg.Handle(), WM_CLOSE, 0, 0);
    running.Release();
    EXPECT_TRUE(IsWindowVisible(dlg.Handle()));
    EXPECT_EQ(m_vecBoxes.back().strText, "진행중입니다. 잠시만 기다려주십시오.");
    // Enter and Escape do nothing here.
    for (WPARAM nKey : {VK_RETURN, VK_ESCAPE}) {
        MSG msg = {dlg.Control(IDC_MANUAL_PATH), WM_KEYDOWN, nKey, 0, 0, {}};
        IsDialogMessageW(dlg.Handle(), &msg);
    }
    EXPECT_TRUE(IsWindowVisible(dlg.Handle()));
    SendMessageW(dlg.Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(dlg.Handle()));
    EXPECT_EQ(m_vecBoxes.size(), 3u);
}

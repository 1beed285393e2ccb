// A push button drawn as a picture: one of three bitmaps over a copy of the dialog's own
// pixels, switched as the mouse enters, leaves and presses it, with a pointing-hand cursor. No
// text, no frame, no focus mark. The button is owner-drawn and subclassed; its dialog hands it
// its WM_DRAWITEM (ReflectDrawItem) and tells it when the dialog is deactivated.
#pragma once

#include <windows.h>

class CSkinButton {
public:
    CSkinButton() = default;
    ~CSkinButton();  // gives the control its own procedure back; releases pictures and cursor
    CSkinButton(const CSkinButton&) = delete;
    CSkinButton& operator=(const CSkinButton&) = delete;

    // The bind step: subclasses the control and makes it owner-drawn. False when hButton is not
    // a window or is bound already.
    bool Attach(HWND hButton);
    HWND Handle() const { return m_hWnd; }
    // The object bound to a control, or nullptr.
    static CSkinButton* FromHandle(HWND hWnd);
    // For the dialog's WM_DRAWITEM: draws when the item is a bound button; true then.
    static bool ReflectDrawItem(LPARAM lParam);

    // Set-up, in the order the dialogs call them.
    // Cursor shown over the button: a cursor resource id, 0 for none. True when one was loaded.
    bool SetHoverCursor(int nCursorId);
    void EnableBorder(bool bEnable) { m_bDrawBorder = bEnable; }
    // The dialog's pixels under the button are its background: copied again at the next paint.
    void UseParentBackground(bool bRepaint);
    // Images 1 (hover), 2 (normal), 3 (hover and pressed) from bitmap resources, each with its
    // transparent colour. A missing first image keeps no images; a missing second or third ends
    // the list. 0 on success, 1 when a size cannot be read, 2 when a mask cannot be made.
    int LoadImages(int nId1, COLORREF key1, int nId2 = 0, COLORREF key2 = 0, int nId3 = 0,
                   COLORREF key3 = 0);
    // The same from bitmaps the button takes over (nullptr for a missing one).
    int SetImages(HBITMAP hImage1, COLORREF key1, HBITMAP hImage2 = nullptr, COLORREF key2 = 0,
                  HBITMAP hImage3 = nullptr, COLORREF key3 = 0);

    bool IsHover() const { return m_bHover; }
    // Which image a paint in this pressed state draws (1..3), 0 without images.
    int CurrentImage(bool bPressed) const;
    // Where that image's top left corner falls in the button.
    POINT ImageOrigin(bool bPressed) const;
    // Leaves the hover state (the dialog calls it when it is deactivated).
    void LeaveHover();

private:
    struct SImage {
        HBITMAP hBitmap = nullptr;
        HBITMAP hMask = nullptr;
        SIZE size{};
    };

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void OnMouseMove(LPARAM lParam);
    void DrawItem(const DRAWITEMSTRUCT& item);
    void MakeBackground(HDC hdc, SIZE size);
    void FreeImages();
    void FreeBackground();
    void Repaint();

    HWND m_hWnd = nullptr;
    WNDPROC m_pfnDefault = nullptr;
    bool m_bFlat = true;
    bool m_bDrawBorder = true;
    bool m_bParentBackground = false;
    bool m_bHover = false;
    HCURSOR m_hCursor = nullptr;
    SImage m_images[3];
    int m_nImages = 0;
    HBITMAP m_hBackground = nullptr;  // the dialog's pixels under the button
};

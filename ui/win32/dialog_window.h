// What the login dialog and the main window share on Windows: a dialog made from its template
// (modal, or modeless for the tests), its controls placed on the artwork's grid and its client
// area the artwork's size, the artwork painted through a memory drawing context, a brush that
// shows the artwork under the see-through controls, the skinned buttons' draw requests and
// hover, the wait cursor, and the control map once the window is shown and placed.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "ui/win32/dialog_template.h"

class CDialogWindow {
public:
    virtual ~CDialogWindow();
    CDialogWindow(const CDialogWindow&) = delete;
    CDialogWindow& operator=(const CDialogWindow&) = delete;

    // Runs the dialog modally; returns when it ends, with what End gave.
    INT_PTR RunModal(HWND hOwner);
    // Makes the dialog without a loop of its own (shown as its template says); nullptr when it
    // cannot be made. The caller destroys it with DestroyWindow or lets the object go.
    HWND Create(HWND hOwner);

    HWND Handle() const { return m_hDlg; }
    HWND Control(int nId) const { return GetDlgItem(m_hDlg, nId); }
    // The template the window was made from (after it was made).
    const SDialogTemplate& Template() const { return m_template; }
    // Paints the window's client area (artwork and what the window adds) into hdc.
    virtual void PaintClient(HDC hdc);

protected:
    CDialogWindow(int nTemplateId, int nBackgroundId, const char* szMapName);

    // WM_INITDIALOG, after the controls have been placed; TRUE lets the dialog manager set the
    // focus.
    virtual BOOL OnInitDialog() = 0;
    // Every other message; return true when handled (with *pResult the dialog's result).
    virtual bool OnMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, INT_PTR* pResult) = 0;
    // Ends the dialog: a modal one returns from RunModal, a modeless one is hidden.
    void End(INT_PTR nResult);
    // For WM_CTLCOLOR*: the brush that paints the artwork under hControl on hdc.
    HBRUSH SeeThroughBrush(HDC hdc, HWND hControl);
    // The artwork's size in pixels.
    SIZE ArtworkSize() const { return m_sizeArtwork; }
    HBITMAP Artwork() const { return m_hArtwork; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void Initialize();
    void FitStaticsToFonts();
    void WriteControlMap();

    int m_nTemplateId;
    int m_nBackgroundId;
    const char* m_szMapName;
    HWND m_hDlg = nullptr;
    bool m_bModal = false;
    SDialogTemplate m_template;
    HBITMAP m_hArtwork = nullptr;
    SIZE m_sizeArtwork{};
    HBRUSH m_hSeeThrough = nullptr;
    HFONT m_hStandInFont = nullptr;  // the dialog font when "굴림" is missing
};

// A dialog template read back from the program's resources, and the template's controls placed
// in pixels. The controls go where the template's dialog units fall with the template font on a
// Korean system (7/4 pixel across, 12/8 pixel down per unit, each edge rounded), whatever font
// the system gives the dialog: the artwork is drawn for that grid.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

struct SDialogItem {
    int nId = 0;
    int nX = 0;  // dialog units
    int nY = 0;
    int nWidth = 0;
    int nHeight = 0;
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    std::wstring strClass;  // "Button", "Edit", "Static" ... for the predefined classes
    std::wstring strText;
};

struct SDialogTemplate {
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    int nWidth = 0;  // dialog units
    int nHeight = 0;
    std::wstring strCaption;
    int nPointSize = 0;
    std::wstring strFace;
    int nCharSet = 0;
    std::vector<SDialogItem> vecItems;

    const SDialogItem* Item(int nId) const;
};

// The DIALOGEX template nId of hModule; nullopt when it is missing or malformed.
std::optional<SDialogTemplate> LoadDialogTemplate(HMODULE hModule, int nId);

// Dialog units to pixels on the artwork's grid.
RECT DluToPixels(int x, int y, int cx, int cy);

// Moves every control of the template to its place on the grid and gives the dialog a client
// area of sizeClient pixels (the artwork's size), keeping its centre.
void PlaceControls(HWND hDlg, const SDialogTemplate& dialog, SIZE sizeClient);

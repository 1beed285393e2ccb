// The ids of the program's artwork, one table for both windows: the SVG files of this folder
// are named by them, the Qt window looks its pictures up by them, and the Windows window's
// resource script (ui/win32/zav_win32.rc) gives them to its bitmaps, cursor, icon and dialog
// templates.
#pragma once

#include "app/view.h"

namespace res {

enum EResource : int {
    IDD_LOGIN = 102,  // dialog templates (the Windows window)
    IDD_MAIN = 103,
    IDI_APP = 128,
    IDB_LOGIN = 129,
    IDB_LOGIN_PRESSED = 130,
    IDB_LOGIN_HOVER = 131,
    IDB_LOGIN_NORMAL = 132,
    IDB_MAIN = 133,
    IDB_REMOVE_ALL = 134,
    IDB_RESTORE_HOVER = 135,
    IDB_RESTORE_NORMAL = 136,
    IDB_RESTORE_PRESSED = 137,
    IDB_INITIALIZE = 138,
    IDB_BROWSE = 139,
    IDB_BACKUP_HOVER = 140,
    IDB_BACKUP_NORMAL = 141,
    IDB_BACKUP_PRESSED = 142,
    IDB_PROGRESS = 143,
    IDCUR_HAND = 134,  // a cursor (IDC_HAND is the name of a Windows system cursor)
};

// The main window's picture buttons and their faces, in the order the window sets them up.
struct SButtonFaces {
    int nControlId;
    int nHover;
    int nNormal;
    int nPressed;  // hover and pressed
};
inline constexpr SButtonFaces kMainButtonFaces[] = {
    {IDC_REMOVE_ALL, IDB_REMOVE_ALL, IDB_REMOVE_ALL, IDB_REMOVE_ALL},
    {IDC_INITIALIZE, IDB_INITIALIZE, IDB_INITIALIZE, IDB_INITIALIZE},
    {IDC_BROWSE, IDB_BROWSE, IDB_BROWSE, IDB_BROWSE},
    {IDC_BACKUP, IDB_BACKUP_HOVER, IDB_BACKUP_NORMAL, IDB_BACKUP_PRESSED},
    {IDC_RESTORE, IDB_RESTORE_HOVER, IDB_RESTORE_NORMAL, IDB_RESTORE_PRESSED},
};

}  // namespace res

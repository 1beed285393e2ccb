// Resource ids of the Windows window (zav_win32.rc and res/zav.rc.in), and the artwork's sizes.
#pragma once

#include <windows.h>

namespace res {

enum : int {
    IDD_LOGIN = 102,
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
    IDCUR_HAND = 134,  // a cursor (IDC_HAND is the system's)
};

// The transparent colour of every button face.
inline constexpr COLORREF kKeyColour = RGB(0, 0, 0);

// The program's own module, where the resources are.
HINSTANCE Instance();

}  // namespace res

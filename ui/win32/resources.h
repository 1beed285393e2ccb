// The Windows window's resources: their ids (res/resource_ids.h, the numbers of zav_win32.rc
// and res/zav.rc.in), the buttons' transparent colour and the module that holds them.
#pragma once

#include <windows.h>

#include "res/resource_ids.h"

namespace res {

// The transparent colour of every button face.
inline constexpr COLORREF kKeyColour = RGB(0, 0, 0);

// The program's own module, where the resources are.
HINSTANCE Instance();

}  // namespace res

#include "ui/win32/wait_cursor.h"

#include <windows.h>

namespace wait_cursor {
namespace {

int g_nDepth = 0;
HCURSOR g_hBefore = nullptr;

}  // namespace

void Push() {
    HCURSOR hBefore = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (g_nDepth++ == 0)
        g_hBefore = hBefore;
}

void Pop() {
    if (g_nDepth == 0 || --g_nDepth > 0)
        return;
    SetCursor(g_hBefore);
    // The window under the mouse sets its own cursor again at once.
    POINT point;
    if (GetCursorPos(&point))
        SetCursorPos(point.x, point.y);
}

bool IsShown() {
    return g_nDepth > 0;
}

}  // namespace wait_cursor

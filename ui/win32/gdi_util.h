// Drawing helpers of the Windows window.
#pragma once

#include <windows.h>

#include <functional>

// Handles WM_PAINT of hWnd through a memory picture of its client area: fnPaint draws the
// whole client area into it, and the part to paint goes to the screen in one copy, so nothing
// flickers.
void PaintBuffered(HWND hWnd, const std::function<void(HDC hdc)>& fnPaint);

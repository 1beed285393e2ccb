#include "ui/win32/gdi_util.h"

void PaintBuffered(HWND hWnd, const std::function<void(HDC hdc)>& fnPaint) {
    PAINTSTRUCT paint;
    HDC hdc = BeginPaint(hWnd, &paint);
    RECT client;
    GetClientRect(hWnd, &client);
    HDC hdcFrame = CreateCompatibleDC(hdc);
    HBITMAP hFrame = CreateCompatibleBitmap(hdc, client.right, client.bottom);
    HGDIOBJ hOld = SelectObject(hdcFrame, hFrame);
    FillRect(hdcFrame, &client, GetSysColorBrush(COLOR_BTNFACE));
    fnPaint(hdcFrame);
    BitBlt(hdc, paint.rcPaint.left, paint.rcPaint.top, paint.rcPaint.right - paint.rcPaint.left,
           paint.rcPaint.bottom - paint.rcPaint.top, hdcFrame, paint.rcPaint.left,
           paint.rcPaint.top, SRCCOPY);
    SelectObject(hdcFrame, hOld);
    DeleteObject(hFrame);
    DeleteDC(hdcFrame);
    EndPaint(hWnd, &paint);
}

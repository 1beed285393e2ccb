// The program's artwork and look: bitmaps and the cursor by resource id (SVG sources compiled
// into the executable, rendered at the screen's device pixel ratio), the dialog fonts, and the
// dialog-unit geometry of the window templates.
#pragma once

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QSize>
#include <vector>

#include "app/window_log.h"
#include "res/resource_ids.h"

class QWidget;

namespace artwork {

// The resource ids (res/resource_ids.h), as artwork::IDB_LOGIN and so on.
using enum res::EResource;

// The bitmap's size in pixels as the program's templates expect it.
QSize BitmapSize(int nId);
// True when the artwork for bitmap nId is compiled in.
bool HasBitmap(int nId);
// Bitmap nId at device pixel ratio dDpr (logical size BitmapSize(nId)). A bitmap whose artwork
// is missing is a plain placeholder of the right size, so the program still runs.
QImage Bitmap(int nId, qreal dDpr);
QPixmap BitmapPixmap(int nId, qreal dDpr);
// Cursor nId (the pointing hand, hot spot 5, 0); the system's pointing hand when missing.
QCursor Cursor(int nId, qreal dDpr);
QIcon AppIcon();

// Makes every pixel of colour key transparent: the skinned buttons' transparent colour.
QImage KeyOut(QImage image, QColor key);

// The dialog font ("굴림" 9 point, falling back to an installed Korean face) and the two bold
// fonts of the main window (heights 12 and 11 pixels).
QFont DialogFont();
QFont BoldFont(int nPixelHeight);

// The application-wide look: the Fusion style (the same on every desktop), the dialog font and
// the icon. Call once after the QApplication exists.
void ApplyApplicationLook();

// Dialog units to pixels: 7/4 pixel across and 12/8 pixel down per unit, each edge rounded
// as the dialog manager rounds it.
QRect DluRect(int x, int y, int cx, int cy);

// A control's rectangle on the screen, in the screen's pixels (the control map's unit).
SControlRect ScreenRect(int nId, const QWidget* pControl);

}  // namespace artwork

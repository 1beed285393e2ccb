#include "ui/artwork.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QStringList>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <QWidget>
#include <cmath>

namespace artwork {
namespace {

// The progress band's eight rows, top to bottom.
constexpr QRgb kProgressRows[8] = {qRgb(0, 11, 26),    qRgb(95, 173, 209), qRgb(50, 136, 182),
                                   qRgb(46, 127, 172), qRgb(40, 116, 160), qRgb(35, 106, 148),
                                   qRgb(29, 98, 138),  qRgb(0, 3, 10)};

// ":/res/<kind>_<id>_<role>.svg", or "" when not compiled in.
QString ResourcePath(const char* szKind, int nId) {
    QDir dir(QStringLiteral(":/res"));
    QStringList list =
        dir.entryList({QStringLiteral("%1_%2_*.svg").arg(QLatin1String(szKind)).arg(nId)},
                      QDir::Files, QDir::Name);
    if (list.isEmpty()) {
        list = dir.entryList({QStringLiteral("%1_%2.svg").arg(QLatin1String(szKind)).arg(nId)},
                             QDir::Files);
    }
    return list.isEmpty() ? QString() : dir.filePath(list.first());
}

QImage Render(const QString& strPath, QSize size, qreal dDpr) {
    QSvgRenderer renderer(strPath);
    if (!renderer.isValid())
        return {};
    QImage image(size * dDpr, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size * dDpr)));
    painter.end();
    image.setDevicePixelRatio(dDpr);
    return image;
}

QImage Placeholder(int nId, QSize size, qreal dDpr) {
    QImage image(size * dDpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dDpr);
    if (nId == IDB_PROGRESS) {
        QPainter painter(&image);
        for (int y = 0; y < 8; ++y)
            painter.fillRect(QRectF(0, y, size.width(), 1), QColor(kProgressRows[y]));
        return image;
    }
    QColor colour =
        nId == IDB_LOGIN || nId == IDB_MAIN ? QColor(236, 240, 245) : QColor(120, 150, 190);
    image.fill(colour);
    return image;
}

int Round(int nValue, int nMul, int nDiv) {
    return (nValue * nMul + nDiv / 2) / nDiv;
}

}  // namespace

QSize BitmapSize(int nId) {
    switch (nId) {
        case IDB_LOGIN:
            return {471, 259};
        case IDB_LOGIN_PRESSED:
        case IDB_LOGIN_HOVER:
        case IDB_LOGIN_NORMAL:
            return {86, 49};
        case IDB_MAIN:
            return {644, 433};
        case IDB_REMOVE_ALL:
            return {150, 24};
        case IDB_RESTORE_HOVER:
        case IDB_RESTORE_NORMAL:
        case IDB_RESTORE_PRESSED:
        case IDB_BACKUP_HOVER:
        case IDB_BACKUP_NORMAL:
        case IDB_BACKUP_PRESSED:
            return {141, 55};
        case IDB_INITIALIZE:
            return {109, 24};
        case IDB_BROWSE:
            return {72, 20};
        case IDB_PROGRESS:
            return {1, 8};
        default:
            return {};
    }
}

bool HasBitmap(int nId) {
    return !ResourcePath("bitmap", nId).isEmpty();
}

QImage Bitmap(int nId, qreal dDpr) {
    QSize size = BitmapSize(nId);
    if (size.isEmpty())
        return {};
    if (dDpr <= 0)
        dDpr = 1;
    QString strPath = ResourcePath("bitmap", nId);
    if (!strPath.isEmpty()) {
        QImage image = Render(strPath, size, dDpr);
        if (!image.isNull())
            return image;
    }
    return Placeholder(nId, size, dDpr);
}

QPixmap BitmapPixmap(int nId, qreal dDpr) {
    return QPixmap::fromImage(Bitmap(nId, dDpr));
}

QCursor Cursor(int nId, qreal dDpr) {
    QString strPath = ResourcePath("cursor", nId);
    if (strPath.isEmpty())
        return QCursor(Qt::PointingHandCursor);
    QImage image = Render(strPath, QSize(32, 32), dDpr <= 0 ? 1 : dDpr);
    if (image.isNull())
        return QCursor(Qt::PointingHandCursor);
    return QCursor(QPixmap::fromImage(image), 5, 0);
}

QIcon AppIcon() {
    QString strPath = ResourcePath("icon", IDI_APP);
    return strPath.isEmpty() ? QIcon() : QIcon(strPath);
}

QImage KeyOut(QImage image, QColor key) {
    qreal dDpr = image.devicePixelRatio();
    image = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb rgbKey = key.rgb() & 0xFFFFFF;
    for (int y = 0; y < image.height(); ++y) {
        auto* pLine = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(pLine[x]) == 255 && (pLine[x] & 0xFFFFFF) == rgbKey)
                pLine[x] = 0;
        }
    }
    image.setDevicePixelRatio(dDpr);
    return image;
}

QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("굴림"), QStringLiteral("Gulim"),
                      QStringLiteral("NanumGothic"), QStringLiteral("나눔고딕"),
                      QStringLiteral("Noto Sans CJK KR")});
    font.setPixelSize(12);  // 9 point at 96 dots per inch
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

QFont BoldFont(int nPixelHeight) {
    QFont font = DialogFont();
    font.setPixelSize(nPixelHeight);
    font.setWeight(QFont::Bold);
    return font;
}

void ApplyApplicationLook() {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setFont(DialogFont());
    QApplication::setWindowIcon(AppIcon());
}

QRect DluRect(int x, int y, int cx, int cy) {
    int nLeft = Round(x, 7, 4);
    int nTop = Round(y, 12, 8);
    int nRight = Round(x + cx, 7, 4);
    int nBottom = Round(y + cy, 12, 8);
    return QRect(nLeft, nTop, nRight - nLeft, nBottom - nTop);
}

SControlRect ScreenRect(int nId, const QWidget* pControl) {
    const qreal dDpr = pControl->devicePixelRatioF();
    const QPoint origin = pControl->mapToGlobal(QPoint(0, 0));
    auto pixels = [dDpr](int nValue) { return static_cast<int>(std::lround(nValue * dDpr)); };
    return {nId, pixels(origin.x()), pixels(origin.y()), pixels(pControl->width()),
            pixels(pControl->height())};
}

}  // namespace artwork

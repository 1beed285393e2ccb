#include "ui/skin_button.h"

#include <QApplication>
#include <QEnterEvent>
#include <QPainter>
#include <QWindow>

#include "ui/artwork.h"

CSkinButton::CSkinButton(QWidget* pParent) : QAbstractButton(pParent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_NoSystemBackground);
    // The window's activation decides whether hover is shown at all.
    if (pParent != nullptr)
        pParent->installEventFilter(this);
}

CSkinButton::~CSkinButton() = default;

bool CSkinButton::SetHoverCursor(int nCursorId) {
    m_nCursorId = nCursorId;
    if (nCursorId == 0) {
        unsetCursor();
        return false;
    }
    setCursor(artwork::Cursor(nCursorId, devicePixelRatioF()));
    return true;
}

void CSkinButton::UseParentBackground(bool bRepaint) {
    m_bParentBackground = true;
    if (bRepaint)
        repaint();
}

int CSkinButton::LoadImages(int nId1, QColor key1, int nId2, QColor key2, int nId3, QColor key3) {
    const qreal dDpr = devicePixelRatioF();
    auto load = [dDpr](int nId) {
        return nId != 0 && artwork::BitmapSize(nId).isValid() ? artwork::Bitmap(nId, dDpr)
                                                              : QImage();
    };
    return SetImages(load(nId1), key1, load(nId2), key2, load(nId3), key3);
}

int CSkinButton::SetImages(const QImage& image1, QColor key1, const QImage& image2, QColor key2,
                           const QImage& image3, QColor key3) {
    for (QPixmap& pixmap : m_images)
        pixmap = QPixmap();
    m_nImages = 0;
    const QImage* images[3] = {&image1, &image2, &image3};
    const QColor keys[3] = {key1, key2, key3};
    for (int i = 0; i < 3 && !images[i]->isNull(); ++i) {
        m_images[i] = QPixmap::fromImage(artwork::KeyOut(*images[i], keys[i]));
        m_nImages = i + 1;
    }
    updateGeometry();
    repaint();
    return 0;
}

int CSkinButton::CurrentImage() const {
    if (m_nImages == 0)
        return 0;
    if (!m_bHover)
        return m_nImages >= 2 ? 2 : 1;
    if (!isDown())
        return 1;
    return m_nImages >= 3 ? 3 : 1;
}

QPoint CSkinButton::ImageOrigin() const {
    int nImage = CurrentImage();
    if (nImage == 0)
        return {};
    QSize size = m_images[nImage - 1].deviceIndependentSize().toSize();
    // The spare room halved, the remainder dropped; one pixel right and down while pressed.
    QPoint origin((width() - size.width()) / 2, (height() - size.height()) / 2);
    if (isDown())
        origin += QPoint(1, 1);
    return origin;
}

QSize CSkinButton::sizeHint() const {
    return m_nImages > 0 ? m_images[0].deviceIndependentSize().toSize() : QSize(16, 16);
}

void CSkinButton::paintEvent(QPaintEvent*) {
    int nImage = CurrentImage();
    if (nImage == 0)
        return;
    QPainter painter(this);
    // Transparent-colour pixels were made transparent when the image was loaded, so the
    // parent's pixels show there. No frame, no text, no focus mark.
    painter.drawPixmap(ImageOrigin(), m_images[nImage - 1]);
}

void CSkinButton::TrackHover() {
    if (m_bHover || !m_bFlat || !isEnabled())
        return;
    if (QApplication::mouseButtons() & Qt::LeftButton)
        return;
    // No hover picture while another application is active.
    if (QApplication::activeWindow() == nullptr)
        return;
    m_bHover = true;
    update();
}

void CSkinButton::LeaveHover() {
    if (!m_bFlat || !m_bHover)
        return;
    m_bHover = false;
    update();
}

void CSkinButton::enterEvent(QEnterEvent* pEvent) {
    QAbstractButton::enterEvent(pEvent);
    TrackHover();
}

void CSkinButton::leaveEvent(QEvent* pEvent) {
    QAbstractButton::leaveEvent(pEvent);
    LeaveHover();
}

void CSkinButton::mouseMoveEvent(QMouseEvent* pEvent) {
    QAbstractButton::mouseMoveEvent(pEvent);
    // While the left button is held the button keeps the mouse, so leaving shows up here.
    if (rect().contains(pEvent->position().toPoint())) {
        TrackHover();
    } else {
        LeaveHover();
    }
    update();
}

void CSkinButton::mouseDoubleClickEvent(QMouseEvent* pEvent) {
    // A quick second click is a second press, not a double click.
    mousePressEvent(pEvent);
}

void CSkinButton::focusOutEvent(QFocusEvent* pEvent) {
    QAbstractButton::focusOutEvent(pEvent);
    LeaveHover();
}

void CSkinButton::changeEvent(QEvent* pEvent) {
    QAbstractButton::changeEvent(pEvent);
    if (pEvent->type() == QEvent::EnabledChange && !isEnabled())
        LeaveHover();
    if (pEvent->type() == QEvent::ActivationChange && !isActiveWindow())
        LeaveHover();
}

bool CSkinButton::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pEvent->type() == QEvent::WindowDeactivate)
        LeaveHover();
    return QAbstractButton::eventFilter(pWatched, pEvent);
}

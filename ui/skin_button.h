// A push button drawn as a picture: one of three images over the dialog's own pixels,
// switched as the mouse enters, leaves and presses it, with a pointing-hand cursor. No text,
// no frame, no focus mark.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QPixmap>

class CSkinButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit CSkinButton(QWidget* pParent = nullptr);
    ~CSkinButton() override;

    // Set-up, in the order the dialogs call them.
    // Cursor shown over the button: a cursor resource id, 0 for none. True when one was loaded.
    bool SetHoverCursor(int nCursorId);
    void EnableBorder(bool bEnable) { m_bDrawBorder = bEnable; }
    // The parent's pixels show wherever the button paints nothing (or a transparent-colour
    // pixel): the window system composes the parent under the button at every paint.
    void UseParentBackground(bool bRepaint);
    // Images 1 (hover), 2 (normal), 3 (hover and pressed) from bitmap resources, each with its
    // transparent colour. A missing first image keeps no images; a missing second or third ends
    // the list. 0 on success.
    int LoadImages(int nId1, QColor key1, int nId2 = 0, QColor key2 = Qt::black, int nId3 = 0,
                   QColor key3 = Qt::black);
    // The same from images in memory (null images are missing ones).
    int SetImages(const QImage& image1, QColor key1, const QImage& image2 = {},
                  QColor key2 = Qt::black, const QImage& image3 = {}, QColor key3 = Qt::black);

    bool IsHover() const { return m_bHover; }
    // Which image the next paint draws (1..3), 0 without images.
    int CurrentImage() const;
    // Where the image's top left corner falls in the button.
    QPoint ImageOrigin() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void enterEvent(QEnterEvent* pEvent) override;
    void leaveEvent(QEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void TrackHover();
    void LeaveHover();

    bool m_bFlat = true;
    bool m_bDrawBorder = true;
    bool m_bParentBackground = false;
    bool m_bHover = false;
    int m_nCursorId = 0;
    QPixmap m_images[3];
    int m_nImages = 0;
};

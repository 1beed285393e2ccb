// CSkinButton: the image per state, the one-pixel shift while pressed, black showing the
// parent's pixels, no hover while the application is inactive, a double click as two clicks.
#include "ui/skin_button.h"

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

namespace {

const QColor kBackground(200, 0, 200);

// A parent that paints one flat colour, so the button's transparent pixels are easy to see.
class CFlatParent : public QWidget {
public:
    CFlatParent() { resize(60, 60); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), kBackground); }
};

// A 10 x 10 face of one colour with a black (transparent) pixel at its top left.
QImage Face(QColor colour) {
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(colour);
    image.setPixelColor(0, 0, Qt::black);
    return image;
}

}  // namespace

class SkinButtonTest : public QObject {
    Q_OBJECT

private:
    CFlatParent* m_pParent = nullptr;
    CSkinButton* m_pButton = nullptr;

    // The parent's pixel at a point of the button.
    QColor Pixel(QPoint inButton) {
        QImage image = m_pParent->grab().toImage();
        return image.pixelColor(m_pButton->mapTo(m_pParent, inButton) * image.devicePixelRatio());
    }

    // What the window system sends when the mouse comes over the button: enter, then a move.
    void MouseComesOver(QPointF at) {
        QEnterEvent enter(at, m_pButton->mapTo(m_pParent, at), m_pButton->mapToGlobal(at));
        QApplication::sendEvent(m_pButton, &enter);
        QMouseEvent move(QEvent::MouseMove, at, m_pButton->mapToGlobal(at), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(m_pButton, &move);
    }

private slots:
    void init() {
        m_pParent = new CFlatParent;
        m_pButton = new CSkinButton(m_pParent);
        m_pButton->setGeometry(10, 10, 21, 20);  // spare 11 x 10: the face sits at (5, 5)
        m_pButton->SetImages(Face(Qt::red), Qt::black, Face(Qt::green), Qt::black, Face(Qt::blue),
                             Qt::black);
        m_pParent->show();
        QApplication::setActiveWindow(m_pParent);
        QVERIFY(QTest::qWaitForWindowActive(m_pParent));
    }
    void cleanup() {
        delete m_pParent;
        m_pParent = nullptr;
    }

    void NormalFaceIsCentredAndBlackShowsTheParent() {
        QCOMPARE(m_pButton->CurrentImage(), 2);
        QCOMPARE(m_pButton->ImageOrigin(), QPoint(5, 5));
        QCOMPARE(Pixel(QPoint(6, 6)), QColor(Qt::green));
        QCOMPARE(Pixel(QPoint(5, 5)), kBackground);  // the black pixel
        QCOMPARE(Pixel(QPoint(1, 1)), kBackground);  // outside the face
    }

    void HoverPressAndLeave() {
        QTest::mouseMove(m_pButton, QPoint(10, 10));
        QTRY_VERIFY(m_pButton->IsHover());
        QCOMPARE(m_pButton->CurrentImage(), 1);
        QCOMPARE(Pixel(QPoint(6, 6)), QColor(Qt::red));

        QTest::mousePress(m_pButton, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(m_pButton->CurrentImage(), 3);
        QCOMPARE(m_pButton->ImageOrigin(), QPoint(6, 6));
        QCOMPARE(Pixel(QPoint(7, 7)), QColor(Qt::blue));
        QCOMPARE(Pixel(QPoint(6, 6)), kBackground);  // the black pixel moved with the face
        QCOMPARE(Pixel(QPoint(15, 15)), QColor(Qt::blue));
        QCOMPARE(Pixel(QPoint(5, 5)), kBackground);

        QSignalSpy clicked(m_pButton, &QAbstractButton::clicked);
        QTest::mouseRelease(m_pButton, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(m_pButton->CurrentImage(), 1);

        QTest::mouseMove(m_pParent, QPoint(55, 55));
        QTRY_VERIFY(!m_pButton->IsHover());
        QCOMPARE(m_pButton->CurrentImage(), 2);
        QCOMPARE(Pixel(QPoint(6, 6)), QColor(Qt::green));
    }

    void NoHoverWhileTheApplicationIsInactive() {
        QApplication::setActiveWindow(nullptr);
        QTRY_VERIFY(QApplication::activeWindow() == nullptr);
        MouseComesOver(QPointF(10, 10));
        QVERIFY(!m_pButton->IsHover());
        QCOMPARE(m_pButton->CurrentImage(), 2);
        // The same events while the window is active do show the hover face.
        QApplication::setActiveWindow(m_pParent);
        QTRY_VERIFY(QApplication::activeWindow() == m_pParent);
        MouseComesOver(QPointF(10, 10));
        QVERIFY(m_pButton->IsHover());
        QCOMPARE(m_pButton->CurrentImage(), 1);
    }

    void DisablingLeavesHover() {
        QTest::mouseMove(m_pButton, QPoint(10, 10));
        QTRY_VERIFY(m_pButton->IsHover());
        m_pButton->setEnabled(false);
        QVERIFY(!m_pButton->IsHover());
    }

    void QuickSecondClickIsASecondClick() {
        QSignalSpy clicked(m_pButton, &QAbstractButton::clicked);
        const QPointF at(10, 10);
        auto send = [&](QEvent::Type eType, Qt::MouseButtons buttons) {
            QMouseEvent event(eType, at, m_pButton->mapToGlobal(at), Qt::LeftButton, buttons,
                              Qt::NoModifier);
            QApplication::sendEvent(m_pButton, &event);
        };
        // The order the window system reports a double click in.
        send(QEvent::MouseButtonPress, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, Qt::NoButton);
        send(QEvent::MouseButtonDblClick, Qt::LeftButton);
        QVERIFY(m_pButton->isDown());
        send(QEvent::MouseButtonRelease, Qt::NoButton);
        QCOMPARE(clicked.count(), 2);
    }

    void MissingFirstImageKeepsNone() {
        m_pButton->SetImages(QImage(), Qt::black, Face(Qt::green), Qt::black);
        QCOMPARE(m_pButton->CurrentImage(), 0);
        QCOMPARE(Pixel(QPoint(6, 6)), kBackground);
        // One image only: it serves every state.
        m_pButton->SetImages(Face(Qt::red), Qt::black);
        QCOMPARE(m_pButton->CurrentImage(), 1);
        QTest::mousePress(m_pButton, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(m_pButton->CurrentImage(), 1);
        QCOMPARE(m_pButton->ImageOrigin(), QPoint(6, 6));
        QTest::mouseRelease(m_pButton, Qt::LeftButton, {}, QPoint(10, 10));
    }
};

QTEST_MAIN(SkinButtonTest)
#include "skin_button_test.moc"

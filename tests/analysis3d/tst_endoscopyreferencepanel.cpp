// The endoscopy reference panel as a user drives it: clicks, scroll drags, zoom limits, the plane menu
// and the overview path.

#include "support/PopupMenuAnswer.h"

#include "analysis3d/EndoscopyReferencePanel.h"

#include <QtTest>

namespace {

QImage greyImage(int w, int h)
{
    QImage img(w, h, QImage::Format_Grayscale8);
    img.fill(120);
    return img;
}

// A mouse event of `type` with `b` as the button that changed (press, release) or is held (move).
void mouse(QWidget* w, QEvent::Type type, Qt::MouseButton b, QPointF p)
{
    QMouseEvent e(type, p, w->mapToGlobal(p), type == QEvent::MouseMove ? Qt::NoButton : b,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : b, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}
void press(QWidget* w, Qt::MouseButton b, QPointF p) { mouse(w, QEvent::MouseButtonPress, b, p); }
void move(QWidget* w, Qt::MouseButton b, QPointF p) { mouse(w, QEvent::MouseMove, b, p); }
void release(QWidget* w, Qt::MouseButton b, QPointF p) { mouse(w, QEvent::MouseButtonRelease, b, p); }
void wheel(QWidget* w, QPointF p, int delta)
{
    QWheelEvent e(p, w->mapToGlobal(p), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                  false);
    QApplication::sendEvent(w, &e);
}

} // namespace

class TestEndoscopyReferencePanel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void clickMapsToImagePixel_data();
    void clickMapsToImagePixel();
    void dragScrollsByFourPixels();
    void zoomStaysWithinLimits();
    void planeMenuOnlyOnStillRightClickOnSlice();
    void overviewPathAndMarker();

private:
    EndoscopyReferencePanel* m_panel = nullptr;
};

void TestEndoscopyReferencePanel::init()
{
    m_panel = new EndoscopyReferencePanel;
    m_panel->resize(300, 600);
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel));
    m_panel->setCurrentSlice(greyImage(100, 100), QPointF(50, 50), QPointF(60, 50));
    m_panel->grab(); // lays out both views
}

void TestEndoscopyReferencePanel::cleanup()
{
    delete m_panel;
    m_panel = nullptr;
}

void TestEndoscopyReferencePanel::clickMapsToImagePixel_data()
{
    QTest::addColumn<QPointF>("imagePoint");
    QTest::addColumn<QPointF>("releaseOffset");
    QTest::addColumn<bool>("emitted");
    QTest::newRow("still") << QPointF(25, 75) << QPointF(0, 0) << true;
    QTest::newRow("within four pixels") << QPointF(40, 10) << QPointF(2.5, 2.5) << true;
    QTest::newRow("beyond four pixels") << QPointF(40, 10) << QPointF(0, 4.5) << false;
    QTest::newRow("outside the image") << QPointF(50, -5) << QPointF(0, 0) << false;
}

void TestEndoscopyReferencePanel::clickMapsToImagePixel()
{
    QFETCH(QPointF, imagePoint);
    QFETCH(QPointF, releaseOffset);
    QFETCH(bool, emitted);
    const auto pl = EndoscopyReferencePanel::placement(QSize(100, 100), m_panel->sliceRect(), 1.0, 0, 0);
    QVERIFY(m_panel->sliceRect().width() > 200);
    const QPointF at = pl.offset + pl.scale * imagePoint;
    QVERIFY(m_panel->sliceRect().contains(at.toPoint()));
    QSignalSpy clicks(m_panel, &EndoscopyReferencePanel::sliceClicked);
    press(m_panel, Qt::LeftButton, at);
    move(m_panel, Qt::LeftButton, at + releaseOffset);
    release(m_panel, Qt::LeftButton, at + releaseOffset);
    QCOMPARE(clicks.count(), emitted ? 1 : 0);
    if (emitted) {
        const QPointF got = clicks.first().first().toPointF();
        QVERIFY(std::abs(got.x() - imagePoint.x() - releaseOffset.x() / pl.scale) < 1e-6);
        QVERIFY(std::abs(got.y() - imagePoint.y() - releaseOffset.y() / pl.scale) < 1e-6);
    }
}

void TestEndoscopyReferencePanel::dragScrollsByFourPixels()
{
    const QPointF start = QRectF(m_panel->sliceRect()).center();
    QSignalSpy scrolls(m_panel, &EndoscopyReferencePanel::sliceScrollRequested);
    press(m_panel, Qt::LeftButton, start);
    move(m_panel, Qt::LeftButton, start + QPointF(0, 11));
    QCOMPARE(scrolls.count(), 2);
    QCOMPARE(scrolls.at(0).first().toInt(), 1);
    // 3 pixels are kept: one more pixel down makes the third step, then 8 up go back twice.
    move(m_panel, Qt::LeftButton, start + QPointF(0, 12));
    QCOMPARE(scrolls.count(), 3);
    move(m_panel, Qt::LeftButton, start + QPointF(0, 4));
    QCOMPARE(scrolls.count(), 5);
    QCOMPARE(scrolls.last().first().toInt(), -1);
    release(m_panel, Qt::LeftButton, start + QPointF(0, 4));
}

void TestEndoscopyReferencePanel::zoomStaysWithinLimits()
{
    const QPointF c = QRectF(m_panel->sliceRect()).center() + QPointF(30, 20);
    for (int i = 0; i < 30; ++i)
        wheel(m_panel, c, 120);
    QCOMPARE(m_panel->sliceZoom(), 6.0);
    for (int i = 0; i < 30; ++i)
        wheel(m_panel, c - QPointF(60, 40), -120);
    QCOMPARE(m_panel->sliceZoom(), 1.0);
    QVERIFY(m_panel->slicePan().manhattanLength() > 1.0); // recentred around the cursor, not reset
}

void TestEndoscopyReferencePanel::planeMenuOnlyOnStillRightClickOnSlice()
{
    QSignalSpy planes(m_panel, &EndoscopyReferencePanel::slicePlaneChangeRequested);
    const QPointF mid = QRectF(m_panel->sliceRect()).center();
    {
        fixtures::PopupMenuAnswer answer(2);
        press(m_panel, Qt::RightButton, mid);
        release(m_panel, Qt::RightButton, mid);
        QCOMPARE(answer.shown, 1);
        QCOMPARE(answer.entries, (QStringList{QStringLiteral("Аксиальный"), QStringLiteral("Корональный"),
                                              QStringLiteral("Сагиттальный")}));
    }
    QCOMPARE(planes.count(), 1);
    QCOMPARE(planes.first().first().value<EndoscopyReferencePanel::SlicePlane>(), EndoscopyReferencePanel::Sagittal);
    // A right click on the overview opens no menu.
    const QPointF overviewMid = QRectF(m_panel->overviewRect()).center();
    press(m_panel, Qt::RightButton, overviewMid);
    release(m_panel, Qt::RightButton, overviewMid);
    QCOMPARE(planes.count(), 1);
}

void TestEndoscopyReferencePanel::overviewPathAndMarker()
{
    m_panel->setOverviewImage(greyImage(320, 320));
    m_panel->setOverviewPath({QPointF(10, 10), QPointF(300, 300)});
    m_panel->setOverviewMarker(99, QPointF(300, 300), QPointF(310, 300));
    QCOMPARE(m_panel->travelledCount(), 2); // clamped to the path
    const QImage shot = m_panel->grab().toImage();
    // The flown part of the path is drawn red over the overview.
    const auto pl = EndoscopyReferencePanel::placement(QSize(320, 320), m_panel->overviewRect(), 1.0, 0, 0);
    const QColor mid = shot.pixelColor((pl.offset + pl.scale * QPointF(155, 155)).toPoint());
    QVERIFY2(mid.red() > 180 && mid.green() < 120, qPrintable(mid.name()));
}

QTEST_MAIN(TestEndoscopyReferencePanel)
#include "tst_endoscopyreferencepanel.moc"

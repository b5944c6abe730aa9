#include "mpr/VesselProfileChartWidget.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

namespace {

render::LumenSample sample(double arc, double d, bool valid = true, bool clipped = false, bool calcified = false)
{
    render::LumenSample s;
    s.arcMm = arc;
    s.diameterMm = d;
    s.areaMm2 = d * d;
    s.valid = valid;
    s.touchesBorder = clipped;
    s.calcified = calcified;
    return s;
}

void click(QWidget* w, QPoint pos)
{
    QMouseEvent ev(QEvent::MouseButtonPress, pos, w->mapToGlobal(pos), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &ev);
}

int countColor(const QImage& img, QColor c, int tol = 12)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor p = img.pixelColor(x, y);
            if (std::abs(p.red() - c.red()) <= tol && std::abs(p.green() - c.green()) <= tol
                && std::abs(p.blue() - c.blue()) <= tol)
                ++n;
        }
    return n;
}

// Colour counted along one pixel column of the plot between two x positions.
int colorInColumns(const QImage& img, int x0, int x1, QColor c)
{
    return countColor(img.copy(x0, 0, x1 - x0, img.height()), c, 20);
}

} // namespace

class TestVesselProfileChart : public QObject
{
    Q_OBJECT

private slots:
    void rangesFollowValidDiameters();
    void invalidSamplesBreakTheLine();
    void clicksPickNearestSample();
};

void TestVesselProfileChart::rangesFollowValidDiameters()
{
    VesselProfileChartWidget w;
    w.resize(470, 250);
    render::LumenProfile p;
    p.sections = {sample(0, 3.0), sample(5, 3.0), sample(10, 9.0, false)};
    w.setProfile(p);
    auto area = w.plotArea();
    QCOMPARE(area.rect, QRectF(55, 15, 400, 200));
    QCOMPARE(area.xMax, 10.0);
    QVERIFY(std::abs(area.yTop - 4.6) < 1e-9); // equal diameters: 3 + 1, then 15 % headroom
    p.sections = {sample(0, 0.0, false)};
    w.setProfile(p);
    area = w.plotArea();
    QCOMPARE(area.xMax, 1.0);
    QVERIFY(std::abs(area.yTop - 1.15) < 1e-9);
}

void TestVesselProfileChart::invalidSamplesBreakTheLine()
{
    VesselProfileChartWidget w;
    w.resize(470, 250); // plot x 55..455, 40 px per mm over 0..10 mm
    render::LumenProfile p;
    p.sections = {sample(0, 4), sample(2, 4), sample(4, 4, false), sample(6, 4), sample(8, 4, true, true),
                  sample(10, 4, true, false, true)};
    p.referenceDiameterMm = 0.0; // no reference line
    p.minDiameterMm = 0.0;
    w.setProfile(p);
    const QImage img = w.grab().toImage();
    const QColor blue(90, 170, 255), orange(230, 160, 60);
    QVERIFY(colorInColumns(img, 60, 130, blue) > 10);   // 0..2 mm joined
    QCOMPARE(colorInColumns(img, 140, 290, blue), 0);   // 2..6 mm interrupted by the invalid sample
    QVERIFY(colorInColumns(img, 300, 370, orange) > 10); // 6..8 mm: clipped sample
    QVERIFY(colorInColumns(img, 380, 450, blue) > 10);
    QCOMPARE(countColor(img, QColor(120, 180, 120), 10), 0); // no reference
    // The calcified tick lies below the plot at 10 mm.
    QVERIFY(countColor(img.copy(450, 216, 10, 8), QColor(230, 90, 90), 30) > 2);
}

void TestVesselProfileChart::clicksPickNearestSample()
{
    VesselProfileChartWidget w;
    w.resize(470, 250);
    render::LumenProfile p;
    p.sections = {sample(0, 4), sample(5, 3), sample(5, 2, false), sample(10, 4)};
    w.setProfile(p);
    QSignalSpy clicked(&w, &VesselProfileChartWidget::pointClicked);
    click(&w, {40, 100}); // left of the plot
    QCOMPARE(clicked.count(), 0);
    click(&w, {455, 100}); // right edge: the last sample
    QCOMPARE(clicked.takeLast().at(0).toDouble(), 10.0);
    click(&w, {260, 100}); // 5.125 mm: the first of the two samples at 5 mm
    QCOMPARE(clicked.takeLast().at(0).toDouble(), 5.0);
    QVERIFY(w.hasSelection());
    w.setProfile(p);
    QVERIFY(!w.hasSelection());
}

QTEST_MAIN(TestVesselProfileChart)
#include "tst_vesselprofilechart.moc"

// The time-intensity chart as painted: broken lines across unreadable phases, and the messages for
// empty and unreadable input.

#include "analysis3d/TimeIntensityCurveWidget.h"

#include <QtTest>

namespace {

render::TimeIntensityCurve curve(const QList<double>& means, const QList<int>& counts, int shape = 0)
{
    render::TimeIntensityCurve c;
    for (int i = 0; i < means.size(); ++i)
        c.samples.append(render::TimeIntensitySample{double(i), means[i], 1.0, counts[i]});
    c.shape = shape;
    return c;
}

bool hasColour(const QImage& img, const QColor& colour, int tolerance)
{
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) <= tolerance && std::abs(c.green() - colour.green()) <= tolerance
                && std::abs(c.blue() - colour.blue()) <= tolerance)
                return true;
        }
    return false;
}

} // namespace

class TestTimeIntensityChart : public QObject
{
    Q_OBJECT

private slots:
    void gapBreaksTheLine();
    void messages();
};

void TestTimeIntensityChart::gapBreaksTheLine()
{
    TimeIntensityCurveWidget chart;
    chart.resize(600, 300);
    chart.setCurves({{QColor(0, 200, 255), curve({100, 100, 150, 200, 200}, {5, 5, 0, 5, 5}, 1)}});
    const QImage img = chart.grab().toImage();
    const QRect plot(55, 15, 600 - 70, 300 - 50);
    // y range 100..200 widened by a tenth on each side.
    auto isCurve = [&](double t, double mean, int dy = 0) {
        const QColor c = img.pixelColor(int(std::lround(plot.left() + plot.width() * t / 4.0)),
                                        int(std::lround(plot.bottom() - plot.height() * (mean - 90.0) / 120.0)) + dy);
        return c.blue() > 200 && c.green() > 150 && c.red() < 80;
    };
    QVERIFY(isCurve(0.5, 100));
    QVERIFY(isCurve(3.5, 200));
    QVERIFY(!isCurve(2.0, 150)); // no line across the unreadable phase
    QVERIFY(!isCurve(2.0, 150, 3));
    QCOMPARE(TimeIntensityCurveWidget::timeLabel(4.0, true), QStringLiteral("5")); // phase numbers from 1
}

void TestTimeIntensityChart::messages()
{
    TimeIntensityCurveWidget chart;
    chart.resize(500, 200);
    QVERIFY(hasColour(chart.grab().toImage(), QColor(150, 150, 150), 20)); // empty-state text

    const QColor unreadable(120, 220, 120);
    chart.setCurves({{unreadable, curve({1, 2, 3}, {0, 0, 0})}});
    const QImage alone = chart.grab().toImage();
    QVERIFY(hasColour(alone, QColor(210, 90, 90), 30));
    QVERIFY(!hasColour(alone, unreadable, 10));

    // Together with a readable curve it adds only its legend square.
    chart.setCurves({{QColor(255, 165, 0), curve({10, 20, 30}, {4, 4, 4})}, {unreadable, curve({1, 2, 3}, {0, 0, 0})}});
    const QImage both = chart.grab().toImage();
    QVERIFY(!hasColour(both, QColor(210, 90, 90), 10));
    QCOMPARE(both.pixelColor(QPoint(500 - 15 - 1 - 120 + 5, 17 + 16 + 5)), unreadable);
}

QTEST_MAIN(TestTimeIntensityChart)
#include "tst_timeintensitychart.moc"

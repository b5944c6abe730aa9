// The time-intensity chart as painted: broken lines across unreadable phases, the messages for empty
// and unreadable input, and the legend and time-axis texts.

#include <analysis3d/TimeIntensityCurveWidget.h>

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
    void texts_data();
    void texts();
    void gapBreaksTheLine();
    void messages();
};

void TestTimeIntensityChart::texts_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("legend");
    QTest::newRow("none") << 0 << QStringLiteral("ROI 3");
    QTest::newRow("I") << 1 << QStringLiteral("ROI 3 · Тип I");
    QTest::newRow("II") << 2 << QStringLiteral("ROI 3 · Тип II");
    QTest::newRow("III") << 3 << QStringLiteral("ROI 3 · Тип III");
    QTest::newRow("unknown") << 7 << QStringLiteral("ROI 3");
}

void TestTimeIntensityChart::texts()
{
    QFETCH(int, type);
    QFETCH(QString, legend);
    QCOMPARE(TimeIntensityCurveWidget::legendText(3, type), legend);
    QCOMPARE(TimeIntensityCurveWidget::timeLabel(0.0, true), QStringLiteral("1"));
    QCOMPARE(TimeIntensityCurveWidget::timeLabel(4.0, true), QStringLiteral("5"));
    QCOMPARE(TimeIntensityCurveWidget::timeLabel(24.6, false), QStringLiteral("25"));
}

void TestTimeIntensityChart::gapBreaksTheLine()
{
    TimeIntensityCurveWidget chart;
    chart.resize(600, 300);
    const QColor colour(0, 200, 255);
    chart.setCurves({{colour, curve({100, 100, 150, 200, 200}, {5, 5, 0, 5, 5}, 1)}});
    const QImage img = chart.grab().toImage();
    img.save(QDir::temp().filePath(QStringLiteral("time_intensity_chart.png")));
    const QRect plot(55, 15, 600 - 70, 300 - 50);
    // y range 100..200 widened by a tenth on each side.
    auto at = [&](double t, double mean) {
        return QPoint(int(std::lround(plot.left() + plot.width() * t / 4.0)),
                      int(std::lround(plot.bottom() - plot.height() * (mean - 90.0) / 120.0)));
    };
    auto isCurve = [&](QPoint p) {
        const QColor c = img.pixelColor(p);
        return c.blue() > 200 && c.green() > 150 && c.red() < 80;
    };
    QVERIFY(isCurve(at(0.5, 100)));
    QVERIFY(isCurve(at(3.5, 200)));
    QVERIFY(!isCurve(at(2.0, 150))); // no line across the unreadable phase
    QVERIFY(!isCurve(at(2.0, 150) + QPoint(0, 3)));
}

void TestTimeIntensityChart::messages()
{
    TimeIntensityCurveWidget chart;
    chart.resize(500, 200);
    QVERIFY(!hasColour(chart.grab().toImage(), QColor(210, 90, 90), 30));
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

    chart.clearCurves();
    QVERIFY(chart.curves().isEmpty());
}

QTEST_MAIN(TestTimeIntensityChart)
#include "tst_timeintensitychart.moc"

#include "render/TransferFunction.h"

#include <QtTest>

#include <cmath>

namespace {

render::TransferFunctionPreset fn(std::initializer_list<render::TransferFunctionPoint> pts)
{
    return {QStringLiteral("t"), QList<render::TransferFunctionPoint>(pts)};
}

render::TransferFunctionPoint pt(double v, int r, int g, int b, double a)
{
    return {v, QColor(r, g, b), a};
}

bool near(float a, double b)
{
    return std::abs(double(a) - b) < 1e-6;
}

} // namespace

class TestTransferFunction : public QObject
{
    Q_OBJECT

private slots:
    void presetPointsAscend()
    {
        // The sampler looks for the first enclosing pair: every built-in table must run upwards.
        const auto& presets = render::transferFunctionPresets();
        QCOMPARE(presets.size(), 10);
        for (const auto& preset : presets)
            for (int p = 1; p < preset.points.size(); ++p)
                QVERIFY2(preset.points[p - 1].value < preset.points[p].value, qPrintable(preset.name));
    }

    void evaluationRule_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("red");
        QTest::addColumn<double>("opacity");
        // Points: 0 (0) 0.0; 100 (255) 1.0; 100 (51) 0.2; 200 (102) 0.4
        QTest::newRow("below first") << -50.0 << 0.0 << 0.0;
        QTest::newRow("at first") << 0.0 << 0.0 << 0.0;
        QTest::newRow("between") << 25.0 << 63.75 << 0.25;
        QTest::newRow("at duplicate: first of pair") << 100.0 << 255.0 << 1.0;
        QTest::newRow("after duplicate") << 150.0 << 76.5 << 0.3;
        QTest::newRow("at last") << 200.0 << 102.0 << 0.4;
        QTest::newRow("above last") << 1e6 << 102.0 << 0.4;
    }
    void evaluationRule()
    {
        QFETCH(double, value);
        QFETCH(double, red);
        QFETCH(double, opacity);
        const auto f = fn({pt(0, 0, 0, 0, 0), pt(100, 255, 0, 0, 1), pt(100, 51, 0, 0, 0.2), pt(200, 102, 0, 0, 0.4)});
        float c[3];
        render::sampleTransferFunctionColor(f, c, value);
        QVERIFY2(near(c[0], red / 255.0), qPrintable(QString::number(c[0] * 255)));
        QVERIFY(std::abs(render::sampleTransferFunctionOpacity(f, value) - opacity) < 1e-12);
    }

    void degenerateFunctions()
    {
        float c[3] = {0, 0, 0};
        render::sampleTransferFunctionColor(fn({}), c, 12);
        QVERIFY(near(c[0], 1) && near(c[1], 1) && near(c[2], 1));
        QCOMPARE(render::sampleTransferFunctionOpacity(fn({}), 12), 0.0);
        const auto one = fn({pt(40, 10, 20, 30, 0.5)});
        for (double v : {-1000.0, 40.0, 5000.0}) {
            render::sampleTransferFunctionColor(one, c, v);
            QVERIFY(near(c[0], 10 / 255.0) && near(c[1], 20 / 255.0) && near(c[2], 30 / 255.0));
            QCOMPARE(render::sampleTransferFunctionOpacity(one, v), 0.5);
        }
        // Out of order: the first enclosing pair decides.
        const auto unordered = fn({pt(0, 0, 0, 0, 0.1), pt(100, 0, 0, 0, 0.2), pt(50, 0, 0, 0, 0.3), pt(300, 0, 0, 0, 0.4)});
        QVERIFY(std::abs(render::sampleTransferFunctionOpacity(unordered, 75) - 0.175) < 1e-12);
        QVERIFY(std::abs(render::sampleTransferFunctionOpacity(unordered, 200) - 0.36) < 1e-12);
        // NaN lies in no segment: the last point applies.
        QCOMPARE(render::sampleTransferFunctionOpacity(unordered, std::nan("")), 0.4);
    }
};

QTEST_GUILESS_MAIN(TestTransferFunction)
#include "tst_transferfunction.moc"

#include "analysis3d/DensityCut.h"
#include "analysis3d/Vrt3DWindow.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

using render::TransferFunctionPoint;
using render::TransferFunctionPreset;

namespace {

QList<double> values(const TransferFunctionPreset& p)
{
    QList<double> out;
    for (const auto& point : p.points)
        out.append(point.value);
    return out;
}

enum Saved { Failed, Replaced, Appended };

Saved save(const TransferFunctionPreset& p)
{
    bool appended = false;
    QString error;
    if (!Vrt3DWindow::saveCustomPreset(p, &appended, &error))
        return Failed;
    return appended ? Appended : Replaced;
}

} // namespace

// Density cuts over presets and the user's presets kept in the settings.
class TestTransferFunctionPresets : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
        QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    }
    void init() { QSettings().remove(QStringLiteral("vrt/customPresets")); }

    void densityCutLimitsThePreset_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<double>("minHu");
        QTest::addColumn<double>("maxHu");
        QTest::addColumn<QList<double>>("expected");
        const TransferFunctionPreset bones = render::transferFunctionPresets().first();
        QList<double> inner{100, 120};
        for (const auto& p : bones.points)
            if (p.value > 120 && p.value < 480)
                inner.append(p.value);
        inner << 480 << 500;
        QTest::newRow("wide") << true << 100.0 << 500.0 << inner;
        QTest::newRow("narrow") << true << 100.0 << 120.0 << QList<double>{100, 110, 110, 120};
        QTest::newRow("empty") << true << 300.0 << 300.0 << values(bones);
        QTest::newRow("off") << false << 100.0 << 500.0 << values(bones);
    }
    void densityCutLimitsThePreset()
    {
        QFETCH(bool, enabled);
        QFETCH(double, minHu);
        QFETCH(double, maxHu);
        QFETCH(QList<double>, expected);
        const TransferFunctionPreset bones = render::transferFunctionPresets().first();
        const TransferFunctionPreset cut = densityCutPreset(bones, {enabled, minHu, maxHu});
        QCOMPARE(cut.name, bones.name);
        QCOMPARE(values(cut), expected);
        if (enabled && minHu < maxHu) {
            QCOMPARE(cut.points.first().opacity, 0.0);
            QCOMPARE(cut.points.last().opacity, 0.0);
            const double a = expected[1];
            QCOMPARE(cut.points[1].opacity, render::sampleTransferFunctionOpacity(bones, a));
            QCOMPARE(cut.points[1].color.alpha(), 255);
            // Nothing outside the cut is visible any more.
            QCOMPARE(render::sampleTransferFunctionOpacity(cut, minHu - 50), 0.0);
            QCOMPARE(render::sampleTransferFunctionOpacity(cut, maxHu + 50), 0.0);
        }
    }

    void customPresetsRoundTrip()
    {
        const TransferFunctionPreset test{QStringLiteral("Test"),
                                          {{-200, QColor(255, 0, 0), 0.0}, {300, QColor(255, 255, 255), 0.5}}};
        QCOMPARE(save(test), Appended);
        QCOMPARE(QSettings().value(QStringLiteral("vrt/customPresets")).toStringList(),
                 QStringList{QStringLiteral("Test|-200,255,0,0,0;300,255,255,255,0.5")});
        const TransferFunctionPreset odd{QStringLiteral("a,b;c"),
                                         {{0.1, QColor(1, 2, 3), 1e-05}, {1234.5678, QColor(4, 5, 6), 1500}}};
        QCOMPARE(save(odd), Appended);
        QCOMPARE(QSettings().value(QStringLiteral("vrt/customPresets")).toStringList().last(),
                 QStringLiteral("a,b;c|0.1,1,2,3,1e-05;1234.57,4,5,6,1500"));

        // Saving under a stored name replaces the element in place.
        TransferFunctionPreset changed = test;
        changed.points[1].opacity = 0.75;
        QCOMPARE(save(changed), Replaced);
        const QList<TransferFunctionPreset> loaded = Vrt3DWindow::loadCustomPresets();
        QCOMPARE(loaded.size(), 2);
        QCOMPARE(loaded[0].name, QStringLiteral("Test"));
        QCOMPARE(loaded[0].points[1].opacity, 0.75);
        QCOMPARE(loaded[0].points[0].color, QColor(255, 0, 0));
        QCOMPARE(loaded[1].name, QStringLiteral("a,b;c"));
        QCOMPARE(loaded[1].points[1].value, 1234.57);

        // A "|" in the name comes back whole, and saving it again replaces it.
        TransferFunctionPreset barred = test;
        barred.name = QStringLiteral("A|B");
        QCOMPARE(save(barred), Appended);
        QCOMPARE(save(barred), Replaced);
        const QList<TransferFunctionPreset> again = Vrt3DWindow::loadCustomPresets();
        QCOMPARE(again.size(), 3);
        QCOMPARE(again[2].name, QStringLiteral("A|B"));
        QCOMPARE(values(again[2]), (QList<double>{-200, 300}));
    }

    void unwritableSettingsAreReported()
    {
        // A folder where the settings file belongs makes every write fail, even for root.
        const QString file = QSettings().fileName();
        QFile::remove(file);
        QVERIFY(QDir().mkpath(file));
        const TransferFunctionPreset test{QStringLiteral("Test"), {{0, QColor(1, 2, 3), 0}, {1, QColor(1, 2, 3), 1}}};
        bool appended = false;
        QString error;
        const bool saved = Vrt3DWindow::saveCustomPreset(test, &appended, &error);
        QVERIFY(QDir().rmdir(file));
        QVERIFY(!saved);
        QVERIFY2(error.contains(file), qPrintable(error));
    }

    void malformedStoredPresetsAreSkipped()
    {
        QSettings().setValue(QStringLiteral("vrt/customPresets"),
                             QStringList{
                                 QStringLiteral("no bar at all"),
                                 QStringLiteral("Four|1,2,3,4;5,6,7,8,9"),           // one point left
                                 QStringLiteral("Six|1,2,3,4,5,6;7,8,9,10,0.5;;"),    // one point left
                                 QStringLiteral("|0,1,2,3,0;10,1,2,3,1"),             // empty name
                                 QStringLiteral("Junk|x,300,-5,y,z;10,1,2,3,1"),      // bad numbers read as 0
                                 QStringLiteral("Good|0,10,20,30,0;;100,40,50,60,1"), // empty parts dropped
                                 // Not-a-number points go, opacities are held inside 0..1.
                                 QStringLiteral("Odd|nan,1,2,3,0.5;0,1,2,3,nan;5,1,2,3,inf;10,1,2,3,7;20,1,2,3,-1"),
                             });
        const QList<TransferFunctionPreset> loaded = Vrt3DWindow::loadCustomPresets();
        QCOMPARE(loaded.size(), 3);
        QCOMPARE(values(loaded[2]), (QList<double>{10, 20}));
        QCOMPARE(loaded[2].points[0].opacity, 1.0);
        QCOMPARE(loaded[2].points[1].opacity, 0.0);
        QCOMPARE(loaded[0].name, QStringLiteral("Junk"));
        QCOMPARE(loaded[0].points[0].value, 0.0);
        QCOMPARE(loaded[0].points[0].color, QColor(255, 0, 0)); // out-of-range channels held at the ends
        QCOMPARE(loaded[1].name, QStringLiteral("Good"));
        QCOMPARE(loaded[1].points.size(), 2);
        QCOMPARE(loaded[1].points[1].color, QColor(40, 50, 60));
    }
};

QTEST_GUILESS_MAIN(TestTransferFunctionPresets)
#include "tst_transferfunctionpresets.moc"

#include "support/ModalAnswer.h"
#include "support/TextNumbers.h"
#include "SeriesRows.h"

#include "analysis3d/CtaSubtractionWindow.h"
#include "analysis3d/VolumeWarningLabel.h"
#include "analysis3d/Vrt3DWindow.h"

#include <QAction>
#include <QLabel>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>

using namespace vol3dtest;

// The subtraction window builds post-contrast minus native on a thread, hands the result to a 3D
// window that outlives it, and closes itself.
class TestCtaSubtractionWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    render::CtaSubtractionPair pair(int contrastSlices, bool approximate,
                                    fixtures::StackShape shape = fixtures::StackShape::Regular)
    {
        fixtures::SeriesLayout native;
        native.rows = native.columns = 16;
        native.slices = 6;
        if (shape != fixtures::StackShape::Regular)
            fixtures::shapeStack(native, shape);
        native.value = [](int x, int y, int z) { return 1000 + x + y + z; };
        fixtures::SeriesLayout contrast = native;
        contrast.slices = contrastSlices;
        contrast.value = [](int x, int y, int z) { return 1100 + x + y + z; };
        const QString tag = QString::number(contrastSlices) + QString::number(int(shape));
        render::CtaSubtractionPair p;
        p.nativeInstances = writeSeriesRows(m_dir.filePath(QStringLiteral("native") + tag), native);
        p.contrastInstances = writeSeriesRows(m_dir.filePath(QStringLiteral("contrast") + tag), contrast);
        p.nativeLabel = QStringLiteral("Нативная");
        p.contrastLabel = QStringLiteral("Артериальная");
        p.orderIsApproximate = approximate;
        return p;
    }

    static QList<Vrt3DWindow*> vrtWindows(QWidget* viewer)
    {
        return viewer->findChildren<Vrt3DWindow*>(QString(), Qt::FindDirectChildrenOnly);
    }

private slots:
    void opensTheDifferenceInA3DWindow()
    {
        QWidget viewer;
        QPointer<CtaSubtractionWindow> cta = new CtaSubtractionWindow(pair(6, true), &viewer);
        cta->show();
        QCOMPARE(cta->windowTitle(), QStringLiteral("Субтракция КТ-ангиографии"));
        QTRY_VERIFY_WITH_TIMEOUT(cta.isNull(), 20000);
        const auto windows = vrtWindows(&viewer);
        QCOMPARE(windows.size(), 1);
        Vrt3DWindow* vrt = windows.first();
        QCOMPARE(vrt->windowTitle(), QStringLiteral("3D VRT — Субтракция КТ-ангиографии — Артериальная минус Нативная "
                                                    "(порядок фаз определён приблизительно)"));
        QCOMPARE(vrt->currentPreset().name, QStringLiteral("Сосуды (контраст)"));
        QVERIFY(!vrt->syncAction()->isEnabled());
        const render::Volume& v = vrt->volume();
        QCOMPARE(v.voxels.size(), size_t(16 * 16 * 6));
        QVERIFY(std::all_of(v.voxels.begin(), v.voxels.end(), [](float f) { return f == 100.f; }));
        QCOMPARE(vrt->effectiveWindowWidth(), 1.0); // the range of a uniform difference, at least 1
    }

    // The 3D window of a difference of two stacks that their volumes lay off their place keeps the
    // builds' warnings in sight, as the 3D window of either series does.
    void slidStacksAreAnnounced_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<QList<double>>("named"); // numbers the warnings name; none: no warning
        QTest::newRow("regular") << int(fixtures::StackShape::Regular) << QList<double>{};
        // Six slices, each slid 0.68 mm (tilted gantry, planes 20 degrees off the axes) or 0.73 mm (sheared).
        QTest::newRow("tilted gantry") << int(fixtures::StackShape::TiltedGantry) << QList<double>{20, 3.42};
        QTest::newRow("sheared") << int(fixtures::StackShape::Sheared) << QList<double>{3.64};
    }
    void slidStacksAreAnnounced()
    {
        QFETCH(int, shape);
        QFETCH(QList<double>, named);
        QWidget viewer;
        QPointer<CtaSubtractionWindow> cta =
            new CtaSubtractionWindow(pair(6, false, fixtures::StackShape(shape)), &viewer);
        QTRY_VERIFY_WITH_TIMEOUT(cta.isNull(), 20000);
        const auto windows = vrtWindows(&viewer);
        QCOMPARE(windows.size(), 1);
        windows.first()->show();
        const QLabel* warning = windows.first()->volumeWarning();
        QCOMPARE(warning->isVisible(), !named.isEmpty());
        QList<double> numbers = fixtures::numbersIn(warning->text());
        std::sort(numbers.begin(), numbers.end());
        std::sort(named.begin(), named.end());
        QCOMPARE(numbers, named); // each warning once, though both series carry it
    }

    void failedBuildWarnsAndOpensNothing()
    {
        QWidget viewer;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        QPointer<CtaSubtractionWindow> cta = new CtaSubtractionWindow(pair(5, false), &viewer);
        QTRY_VERIFY_WITH_TIMEOUT(cta.isNull(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 20000);
        // Told with no loop of the box's own, in which the build's thread ends and its worker goes.
        QCOMPARE(answer.loopLevels(), QList<int>{0});
        QCOMPARE(answer.titles().first(), QStringLiteral("Субтракция КТ-ангиографии"));
        QVERIFY(answer.texts().first().startsWith(QStringLiteral("Не удалось построить разностный объём:\n")));
        QVERIFY(answer.texts().first().contains(QStringLiteral("Размеры объёмов не совпадают")));
        QVERIFY(vrtWindows(&viewer).isEmpty());
    }

    void closingDuringTheBuildDropsTheResult()
    {
        QWidget viewer;
        auto* cta = new CtaSubtractionWindow(pair(6, false), &viewer);
        QPointer<QThread> build = cta->findChild<QThread*>();
        QVERIFY(build);
        delete cta;
        // The build runs to its end on its own thread, which then deletes itself; its result is dropped.
        QTRY_VERIFY_WITH_TIMEOUT(build.isNull(), 60000);
        QCoreApplication::processEvents();
        QVERIFY(vrtWindows(&viewer).isEmpty());
    }
};

QTEST_MAIN(TestCtaSubtractionWindow)
#include "tst_ctasubtractionwindow.moc"

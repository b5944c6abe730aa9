// The viewer's analysis launchers and background builds on a real index of fixture series: refusals,
// the windows opened, series stepping and the curved-reconstruction and vessel-tracking builds end to
// end. Boxes are answered through ModalAnswer; the busy dialogs close themselves.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TextNumbers.h"

#include "analysis3d/EndoscopyWindow.h"
#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "mpr/CurvedMprWindow.h"
#include "render/VesselCenterline.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

using Point = std::array<double, 3>;

// Pixel (x, y) of slice k of the tube series lies at (-100 + x, -120 + y, 50 + k) mm.
Point tubePoint(double x, double y, double k)
{
    return {-100.0 + x, -120.0 + y, 50.0 + k};
}

// The build has ended and its handler has run; its busy dialog is never answered.
bool buildFinished(ViewerWindow& w, fixtures::ModalAnswer& answer)
{
    answer.setDialogHandler([](QDialog* d) { return qobject_cast<QProgressDialog*>(d) == nullptr; });
    QThreadPool::globalInstance()->waitForDone(30000);
    return QTest::qWaitFor([&] { return w.findChildren<QProgressDialog*>().isEmpty(); }, 30000);
}

QAction* menuEntry(ViewerWindow& w, const QString& text)
{
    for (QToolButton* button : w.toolBar()->findChildren<QToolButton*>())
        for (QAction* a : button->menu() ? button->menu()->actions() : QList<QAction*>{})
            if (a->text() == text)
                return a;
    return nullptr;
}

// The viewer's child windows of one class (some classes lack their own meta-object: hence the cast).
template <typename T = QWidget> QList<QWidget*> windowsOf(ViewerWindow& w, const QByteArray& className = {})
{
    QList<QWidget*> out;
    for (QWidget* c : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (c->isWindow() && dynamic_cast<T*>(c) &&
            (className.isEmpty() || c->metaObject()->className() == className))
            out << c;
    return out;
}

} // namespace

class TestAnalysisLaunchers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<dicom::CodecRegistrationScope> m_codecs;
    db::Database m_db;
    QString m_study, m_otherStudy, m_tube, m_flat, m_noGeometry;

    QString add(fixtures::SeriesLayout layout, QString* studyUid = nullptr)
    {
        const bool ok = fixtures::writeAndIndexSeries(m_db, m_dir.filePath(fixtures::newUid()), layout);
        if (studyUid)
            *studyUid = layout.studyUid;
        return ok ? layout.seriesUid : QString();
    }

    std::unique_ptr<ViewerWindow> openViewer(const QString& seriesUid, const QString& study = {})
    {
        auto w = std::make_unique<ViewerWindow>(&m_db, study.isEmpty() ? m_study : study, seriesUid);
        w->show();
        return w;
    }

  private slots:
    void initTestCase()
    {
        m_codecs = std::make_unique<dicom::CodecRegistrationScope>();
        QVERIFY(m_dir.isValid() && m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        // A contrast-filled vessel (300 HU, radius 3 mm) along z through pixel (20, 20), in 40 HU.
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = layout.slices = 40;
        layout.rowSpacing = layout.columnSpacing = layout.sliceSpacing = layout.sliceThickness = 1.0;
        layout.value = [](int x, int y, int) {
            return (x - 20) * (x - 20) + (y - 20) * (y - 20) <= 9 ? 1324 : 1064;
        };
        fixtures::completeUids(layout); // one frame of reference for the series of the study
        m_tube = add(layout, &m_study);
        // Two plain series of one geometry a minute apart (a CTA pair, two DCE phases) and one without.
        auto next = [&](int slices, bool geometry) {
            layout.seriesUid = fixtures::newUid();
            layout.seriesNumber = QString::number(layout.seriesNumber.toInt() + 1);
            layout.rows = layout.columns = 16;
            layout.slices = slices;
            layout.writeGeometry = geometry;
            layout.acquisitionTimeStart += 60.0;
            return layout;
        };
        m_flat = add(next(4, true));
        QVERIFY(!add(next(4, true)).isEmpty());
        m_noGeometry = add(next(3, false));
        fixtures::SeriesLayout older = next(4, true);
        older.studyUid = fixtures::newUid();
        older.studyDate = QStringLiteral("20230101");
        QVERIFY(!add(older, &m_otherStudy).isEmpty() && !m_tube.isEmpty() && !m_noGeometry.isEmpty());
    }

    // Each launcher refuses with its own title (the same text for an empty panel) and leaves nothing
    // behind, or opens a new window of its class as the viewer's top-level child, deleted on close.
    // Point counts that make no path or seed pair do nothing at all.
    void launchers_data()
    {
        QTest::addColumn<QString>("series"); // empty: the other study's plain series
        QTest::addColumn<bool>("emptyPanel");
        QTest::addColumn<int>("launcher");  // used when there is no menu entry
        QTest::addColumn<QString>("entry"); // the menu entry chosen
        QTest::addColumn<QString>("title"); // the box shown, if any
        QTest::addColumn<QString>("text");  // the start of its text
        QTest::addColumn<QByteArray>("window");
        const QString noSeries = QStringLiteral("В активной панели нет загруженной серии.");
        const QStringList titles = QStringLiteral("MPR|3D VRT|DCE|Субтракция КТ-ангиографии|Узел в лёгком|"
                                                  "Индекс коронарного кальция|Кардио-МРТ|Криволинейный MPR|"
                                                  "Автотрассировка сосуда")
                                       .split('|');
        for (int i : {0, 1, 2, 3, 4, 5, 7, 8})
            QTest::addRow("no series %d", i)
                << QString() << true << i << QString() << titles[i] << noSeries << QByteArray();
        QTest::newRow("dce: no phases") << QString() << false << 2 << QString() << titles[2]
                                        << "Не удалось определить временные фазы для этой серии.\n\n"
                                        << QByteArray();
        QTest::newRow("cta: no pair") << QString() << false << 3 << QString() << titles[3]
                                      << "Не удалось найти пару серий для субтракции.\n\n"
                                      << QByteArray();
        QTest::newRow("cardiac: no stack") << QString() << false << 6 << QString() << titles[6]
                                           << "Не найдено ни одного SAX cine-стека" << QByteArray();
        QTest::newRow("one path point; one or three seeds")
            << QString() << false << 9 << QString() << QString() << QString() << QByteArray();
        const QList<std::tuple<QString, QString, const char*>> opened{
            {m_tube, "3D МногоПлоскостная Реконструкция", "MprWindow"},
            {m_tube, "3D VRT — объёмный рендеринг", "Vrt3DWindow"},
            {m_flat, "Динамика накопления контраста (DCE)", "DceAnalysisWindow"},
            {m_flat, "Субтракция КТ-ангиографии", "CtaSubtractionWindow"},
            {m_tube, "Узел в лёгком", "LungNoduleWindow"},
            {m_tube, "Индекс коронарного кальция (Agatston)", "CoronaryCalciumWindow"}};
        for (const auto& [series, entry, window] : opened)
            QTest::newRow(window) << series << false << -1 << entry << QString() << QString()
                                  << QByteArray(window);
    }
    void launchers()
    {
        QFETCH(QString, series);
        QFETCH(bool, emptyPanel);
        QFETCH(int, launcher);
        QFETCH(QString, entry);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QByteArray, window);
        auto w = openViewer(series, series.isEmpty() ? m_otherStudy : m_study);
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(emptyPanel ? 1 : 0);
        const int childrenBefore = w->children().size();
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        const Point p = tubePoint(8, 8, 1);
        const QList<void (ViewerWindow::*)()> launchers{
            &ViewerWindow::openMprWindow,        &ViewerWindow::openVrtWindow,
            &ViewerWindow::openDceWindow,        &ViewerWindow::openCtaSubtractionWindow,
            &ViewerWindow::openLungNoduleWindow, &ViewerWindow::openCoronaryCalciumWindow,
            &ViewerWindow::openCardiacMriWindow};
        if (QAction* action = entry.isEmpty() ? nullptr : menuEntry(*w, entry)) {
            QVERIFY(action->isEnabled());
            action->trigger();
        } else if (launcher < launchers.size()) {
            (w.get()->*launchers[launcher])();
        } else if (launcher < 9) {
            launcher == 7 ? w->startCurvedMprBuild({p, p}, 0) : w->startVesselAutoTrack({p, p});
        } else {
            w->startCurvedMprBuild({p}, 1), w->startVesselAutoTrack({p}), w->startVesselAutoTrack({p, p, p});
        }
        QCOMPARE(answer.titles(), title.isEmpty() ? QStringList() : QStringList{title});
        if (!title.isEmpty()) // the grouping's or finder's reason follows its text
            QVERIFY2(answer.texts().first().startsWith(text) &&
                         (text.endsWith('.') || answer.texts().first() != text),
                     qPrintable(answer.texts().first()));
        QCOMPARE(windowsOf(*w, window).size(), window.isEmpty() ? 0 : 1);
        if (window.isEmpty())
            QCOMPARE(w->children().size(), childrenBefore);
        else
            QVERIFY(windowsOf(*w, window)[0]->isVisible() &&
                    windowsOf(*w, window)[0]->testAttribute(Qt::WA_DeleteOnClose));
    }

    // The endoscopy entry arms the active panel only; a click inside the lumen opens the window.
    void endoscopySeedClick()
    {
        auto w = openViewer(m_tube);
        menuEntry(*w, QStringLiteral("Виртуальная эндоскопия/колоноскопия"))->trigger();
        QCOMPARE(w->panel(0)->measurementMode(), 18);
        QCOMPARE(w->panel(1)->measurementMode(), 3);
        emit w->panel(0)->airwayAutoTraceSeedClicked(tubePoint(20, 20, 20));
        QCOMPARE(windowsOf<EndoscopyWindow>(*w).size(), 1);
    }

    // Arrow keys on panel 2 walk the series panel, skipping study headers and stopping at both ends; a
    // panel without a listed series starts at the first going forwards, the last going backwards.
    void seriesStepping_data()
    {
        QTest::addColumn<int>("start"); // index into the series rows, -1 for an empty panel
        QTest::addColumn<int>("direction");
        QTest::addColumn<int>("expected"); // -1: unchanged
        QTest::newRow("next") << 0 << 1 << 1;
        QTest::newRow("back from the first") << 0 << -1 << -1;
        QTest::newRow("on from the last") << 4 << 1 << -1;
        QTest::newRow("over the second study's header") << 3 << 1 << 4;
        QTest::newRow("back over the header") << 4 << -1 << 3;
        QTest::newRow("empty panel forwards") << -1 << 1 << 0;
        QTest::newRow("empty panel backwards") << -1 << -1 << 4;
    }
    void seriesStepping()
    {
        QFETCH(int, start);
        QFETCH(int, direction);
        QFETCH(int, expected);
        auto w = openViewer({});
        w->openComparisonStudy(m_otherStudy);
        QStringList series;
        for (int r = 0; r < w->seriesListWidget()->count(); ++r)
            series << w->seriesListWidget()->item(r)->data(SeriesUidRole).toString();
        QCOMPARE(series.removeAll(QString()), 2);
        QCOMPARE(series.size(), 5);
        w->onGridLayoutChosen(3, 3);
        w->setActiveViewport(2);
        if (start >= 0)
            w->showSeriesInActivePanel(series.at(start));
        w->setActiveViewport(0);
        if (start >= 0) // an empty panel takes no keys
            QTest::keyClick(w->panel(2), direction > 0 ? Qt::Key_Right : Qt::Key_Left);
        else
            emit w->panel(2)->seriesStepRequested(direction);
        QCOMPARE(w->activePanelIndex(), expected < 0 ? 0 : 2);
        QCOMPARE(w->panelSeriesUid(2), series.value(expected < 0 ? start : expected));
    }

    // A volume that cannot be built, or a trace that finds no vessel, ends in a warning behind a busy
    // dialog that cannot be cancelled, and opens nothing.
    void failedBuilds_data()
    {
        QTest::addColumn<bool>("tracking");
        QTest::addColumn<QString>("prefix"); // empty: the tracer's own message on the tube series
        QTest::newRow("curved") << false << QStringLiteral("Не удалось построить реконструкцию: У серии");
        QTest::newRow("tracking") << true << QStringLiteral("Не удалось построить объём серии: У серии");
        QTest::newRow("no vessel at the seeds") << true << QString();
    }
    void failedBuilds()
    {
        QFETCH(bool, tracking);
        QFETCH(QString, prefix);
        const QString series = prefix.isEmpty() ? m_tube : m_noGeometry;
        auto w = openViewer(series);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        const QList<Point> points{tubePoint(5, 5, 1), tubePoint(5, 5, 2)};
        tracking ? w->startVesselAutoTrack(points) : w->startCurvedMprBuild(points, 0);
        for (QProgressDialog* progress : w->findChildren<QProgressDialog*>()) { // unless already over
            QCOMPARE(progress->windowModality(), Qt::WindowModal);
            QVERIFY(progress->findChildren<QPushButton*>().isEmpty());
        }
        QVERIFY(buildFinished(*w, answer));
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 10000);
        QCOMPARE(answer.titles().first(),
                 QString::fromUtf8(tracking ? "Автотрассировка сосуда" : "Криволинейный MPR"));
        if (prefix.isEmpty()) {
            const render::FusionVolume volume =
                render::buildFusionVolume(m_db.instancesForSeries(series), nullptr);
            prefix = render::traceVesselCenterline(volume, points[0].data(), points[1].data()).message;
        }
        QVERIFY2(answer.texts().first().startsWith(prefix), qPrintable(answer.texts().first()));
        QVERIFY(windowsOf<CurvedMprWindow>(*w).isEmpty());
    }

    // From the toolbar entry to the window: the orthopantomogram path, then automatic tracking, which
    // keeps the panoramic choice, reports the trace and opens the vessel analysis on it.
    void curvedReconstructionAndTracking()
    {
        auto w = openViewer(m_tube);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        ImageViewportWidget* panel = w->panel(0);
        menuEntry(*w, QStringLiteral("Ортопантомограмма"))->trigger();
        QCOMPARE(panel->measurementMode(), 16);
        emit panel->curvedMprPathFinished(
            {tubePoint(20, 20, 5), tubePoint(20, 20, 20), tubePoint(20, 20, 35)});
        QVERIFY(buildFinished(*w, answer));
        QCOMPARE(windowsOf<CurvedMprWindow>(*w).size(), 1);
        std::unique_ptr<CurvedMprWindow> panoramic(
            dynamic_cast<CurvedMprWindow*>(windowsOf<CurvedMprWindow>(*w)[0]));
        QCOMPARE(panoramic->mode(), CurvedMprWindow::Panoramic);
        QCOMPARE(answer.count(), 0);
        panoramic.reset();

        menuEntry(*w, QStringLiteral("Автоматически по ходу сосуда"))->trigger();
        QCOMPARE(panel->measurementMode(), 17);
        QVERIFY(w->panoramicMode() && w->vesselAnalysisMode());
        emit panel->vesselAutoTrackSeedPicked({tubePoint(20, 20, 15), tubePoint(20, 20, 20)});
        QVERIFY(buildFinished(*w, answer));
        QTRY_COMPARE_WITH_TIMEOUT(windowsOf<CurvedMprWindow>(*w).size(), 1, 10000);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Автотрассировка сосуда")});
        QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Построено ")),
                 qPrintable(answer.texts().first()));
        QCOMPARE(dynamic_cast<CurvedMprWindow*>(windowsOf<CurvedMprWindow>(*w)[0])->mode(),
                 CurvedMprWindow::VesselAnalysis);
    }

    // A vessel (300 HU, radius 3 mm) along z through x -80, y -100 mm in -100 HU, in 16 slices 2 mm apart
    // of a stack that its volume lays off its place: the curved reconstruction opens with the builder's
    // warning in sight, and tracking from clicks on the vessel, which miss it in the volume, says why.
    // (Last: the series it adds to the study would change the series list the tests above walk.)
    void slidStacksAreAnnounced_data()
    {
        QTest::addColumn<bool>("tracking");
        QTest::addColumn<int>("shape");
        QTest::addColumn<QList<double>>("named"); // the warning's numbers; none: no warning
        for (const bool tracking : {false, true}) {
            const char* view = tracking ? "tracking" : "curved";
            QTest::addRow("%s, regular", view) << tracking << int(fixtures::StackShape::Regular) << QList<double>{};
            // Each slice slid 0.68 mm (tilted gantry) or 0.73 mm (sheared) against the one before.
            QTest::addRow("%s, tilted gantry", view)
                << tracking << int(fixtures::StackShape::TiltedGantry) << QList<double>{10.26};
            QTest::addRow("%s, sheared", view)
                << tracking << int(fixtures::StackShape::Sheared) << QList<double>{10.92};
        }
    }
    void slidStacksAreAnnounced()
    {
        QFETCH(bool, tracking);
        QFETCH(int, shape);
        QFETCH(QList<double>, named);
        fixtures::SeriesLayout layout;
        layout.studyUid = m_study;
        layout.seriesNumber = QString::number(20 + shape);
        layout.rows = layout.columns = 40;
        layout.rowSpacing = layout.columnSpacing = 1.0;
        layout.slices = 16;
        fixtures::shapeStack(layout, fixtures::StackShape(shape));
        const fixtures::SeriesLayout geometry = layout;
        layout.value = [geometry](int x, int y, int k) {
            const Point p = fixtures::pixelPosition(geometry, x, y, k);
            return std::hypot(p[0] + 80.0, p[1] + 100.0) <= 3.0 ? 1324 : 924;
        };
        const QString series = add(layout);
        QVERIFY(!series.isEmpty());

        auto w = openViewer(series);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        if (tracking)
            w->startVesselAutoTrack({{-80.0, -100.0, 68.0}, {-80.0, -100.0, 72.0}});
        else
            w->startCurvedMprBuild({{-80.0, -100.0, 56.0}, {-80.0, -100.0, 66.0}, {-80.0, -100.0, 76.0}}, 0);
        QVERIFY(buildFinished(*w, answer));
        const bool traced = !tracking || named.isEmpty();
        QTRY_COMPARE_WITH_TIMEOUT(windowsOf<CurvedMprWindow>(*w).size(), traced ? 1 : 0, 10000);
        if (tracking) {
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 10000);
            const QList<double> numbers = fixtures::numbersIn(answer.texts().first());
            // The refusal names the shift and keeps the tracer's own reason (the density it found).
            for (double number : named)
                QVERIFY2(numbers.contains(number) && numbers.contains(-100), qPrintable(answer.texts().first()));
            QCOMPARE(answer.texts().first().startsWith(QStringLiteral("Построено ")), traced);
        }
        if (traced) {
            std::unique_ptr<CurvedMprWindow> curved(
                dynamic_cast<CurvedMprWindow*>(windowsOf<CurvedMprWindow>(*w)[0]));
            QCOMPARE(curved->volumeWarning()->isVisible(), !named.isEmpty());
            QCOMPARE(fixtures::numbersIn(curved->volumeWarning()->text()), named);
        }
    }
};

QTEST_MAIN(TestAnalysisLaunchers)
#include "tst_analysislaunchers.moc"

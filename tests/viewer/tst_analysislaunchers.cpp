// The viewer's analysis launchers and background builds on a real index filled from fixture series:
// series stepping through the series panel, the curved-reconstruction and vessel-tracking builds with
// their refusals and failures, and the export dialog. Message boxes are answered through ModalAnswer;
// the busy dialog of a build is left to close itself.

#include "DicomFixtures.h"
#include "IndexFixtures.h"
#include "ModalAnswer.h"

#include "db/Database.h"
#include "dialogs/ExportDialog.h"
#include "dicom/CodecRegistration.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include "clinical/CardiacMriWindow.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <QComboBox>
#include <QInputDialog>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

using Point = std::array<double, 3>;

// The tube series: a contrast-filled vessel (300 HU, radius 3 mm) along z through pixel (20, 20) of
// 1 mm pixels and slices, in soft tissue of 40 HU. Pixel (x, y) of slice k lies at
// (-100 + x, -120 + y, 50 + k).
constexpr int TubeSize = 40;
int tubeValue(int x, int y, int)
{
    const int dx = x - 20, dy = y - 20;
    return (dx * dx + dy * dy <= 9 ? 300 : 40) + 1024;
}

Point tubePoint(double x, double y, double k)
{
    return {-100.0 + x, -120.0 + y, 50.0 + k};
}

void leaveProgressOpen(fixtures::ModalAnswer& answer)
{
    answer.setDialogHandler([](QDialog* d) { return qobject_cast<QProgressDialog*>(d) == nullptr; });
}

// Waits until the build has ended and its handler has run (the busy dialog is gone).
bool buildFinished(ViewerWindow& w)
{
    QThreadPool::globalInstance()->waitForDone(30000);
    return QTest::qWaitFor([&] { return w.findChildren<QProgressDialog*>().isEmpty(); }, 30000);
}

} // namespace

class TestAnalysisLaunchers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<dicom::CodecRegistrationScope> m_codecs;
    std::unique_ptr<db::Database> m_db;
    QString m_study, m_otherStudy, m_cardiacStudy, m_tube, m_flat, m_noGeometry, m_otherSeries;

    // An MR series holding a whole cine grid: `locations` positions 8 mm apart, `phases` trigger
    // times 40 ms apart at each.
    bool addCineGrid(const QString& number, int locations, int phases)
    {
        fixtures::SeriesSpec spec;
        spec.patientId = QStringLiteral("P8");
        spec.studyUid = m_cardiacStudy;
        spec.modality = QStringLiteral("MR");
        spec.seriesNumber = number;
        spec.seriesDescription = QStringLiteral("Cine SA");
        spec.rows = spec.columns = 8;
        spec.slices = locations * phases;
        spec.sliceThickness = 8.0;
        const auto origin = spec.origin;
        spec.customize = [=](DcmDataset& ds, int j) {
            const double location = 8.0 * (j % locations);
            ds.putAndInsertString(DCM_ImagePositionPatient, QStringLiteral("%1\\%2\\%3")
                                                                .arg(origin[0])
                                                                .arg(origin[1])
                                                                .arg(origin[2] + location)
                                                                .toLatin1()
                                                                .constData());
            ds.putAndInsertString(DCM_SliceLocation, QByteArray::number(location).constData());
            ds.putAndInsertString(DCM_TriggerTime, QByteArray::number(40.0 * (j / locations)).constData());
        };
        const bool written =
            fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("cine") + number), spec);
        m_cardiacStudy = spec.studyUid;
        return written;
    }

    QString add(fixtures::SeriesSpec& spec, const QString& folder)
    {
        if (!fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(folder), spec))
            return {};
        return spec.seriesUid;
    }

    std::unique_ptr<ViewerWindow> openViewer(const QString& seriesUid = {})
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), m_study, seriesUid);
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        w->resize(1100, 700);
        w->show();
        return w;
    }

    // Series UIDs of the series panel's rows, "" for a study header.
    static QStringList rowUids(ViewerWindow& w)
    {
        QStringList out;
        for (int r = 0; r < w.seriesListWidget()->count(); ++r)
            out << w.seriesListWidget()->item(r)->data(SeriesUidRole).toString();
        return out;
    }

  private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_codecs = std::make_unique<dicom::CodecRegistrationScope>();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));

        fixtures::SeriesSpec tube;
        tube.patientId = QStringLiteral("P7");
        tube.studyDate = QStringLiteral("20240301");
        tube.seriesDescription = QStringLiteral("Tube");
        tube.rows = tube.columns = TubeSize;
        tube.rowSpacing = tube.columnSpacing = 1.0;
        tube.slices = TubeSize;
        tube.sliceSpacing = tube.sliceThickness = 1.0;
        tube.windowCenter = 200.0;
        tube.windowWidth = 600.0;
        tube.value = tubeValue;
        m_tube = add(tube, QStringLiteral("tube"));
        m_study = tube.studyUid;

        fixtures::SeriesSpec flat = tube;
        flat.seriesUid.clear();
        flat.seriesNumber = QStringLiteral("2");
        flat.seriesDescription = QStringLiteral("Flat");
        flat.rows = flat.columns = 16;
        flat.slices = 4;
        flat.value = [](int, int, int) { return 1064; };
        m_flat = add(flat, QStringLiteral("flat"));

        fixtures::SeriesSpec noGeometry = flat;
        noGeometry.seriesUid.clear();
        noGeometry.seriesNumber = QStringLiteral("3");
        noGeometry.seriesDescription = QStringLiteral("No geometry");
        noGeometry.writeGeometry = false;
        m_noGeometry = add(noGeometry, QStringLiteral("nogeo"));

        fixtures::SeriesSpec other = flat;
        other.studyUid.clear();
        other.seriesUid.clear();
        other.studyDate = QStringLiteral("20230101");
        other.seriesDescription = QStringLiteral("Older");
        m_otherSeries = add(other, QStringLiteral("older"));
        m_otherStudy = other.studyUid;
        QVERIFY(!m_tube.isEmpty() && !m_flat.isEmpty() && !m_noGeometry.isEmpty() &&
                !m_otherSeries.isEmpty());
        // Two grids of different size, so that they stay two stacks.
        QVERIFY(addCineGrid(QStringLiteral("5"), 2, 5));
        QVERIFY(addCineGrid(QStringLiteral("6"), 3, 4));
    }

    // The walk through the series panel, by the panel's own arrow keys: it skips study headers and
    // stops at both ends; a panel without a listed series starts at the first series forwards and the last
    // backwards.
    void seriesStepping_data()
    {
        QTest::addColumn<int>("start"); // index into the panel's series rows, -1 for an empty panel
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("expected"); // index into the series rows, -1 for unchanged
        QTest::newRow("next") << 0 << int(Qt::Key_Right) << 1;
        QTest::newRow("previous") << 1 << int(Qt::Key_Left) << 0;
        QTest::newRow("back from the first") << 0 << int(Qt::Key_Left) << -1;
        QTest::newRow("on from the last") << 3 << int(Qt::Key_Right) << -1;
        QTest::newRow("over the second study's header") << 2 << int(Qt::Key_Right) << 3;
        QTest::newRow("back over the header") << 3 << int(Qt::Key_Left) << 2;
        QTest::newRow("empty panel forwards") << -1 << int(Qt::Key_Right) << 0;
        QTest::newRow("empty panel backwards") << -1 << int(Qt::Key_Left) << 3;
    }
    void seriesStepping()
    {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(int, expected);
        auto w = openViewer();
        w->openComparisonStudy(m_otherStudy); // a second header row, its series in panel 1
        const QStringList rows = rowUids(*w);
        QStringList series = rows;
        series.removeAll(QString());
        QCOMPARE(series.size(), 4);
        QCOMPARE(rows.count(QString()), 2);

        // Panel 2 of a 3 x 3 grid, not the active one: the step makes it active.
        w->onGridLayoutChosen(3, 3);
        w->setActiveViewport(2);
        if (start >= 0)
            w->showSeriesInActivePanel(series.at(start));
        w->setActiveViewport(0);
        ImageViewportWidget* panel = w->panel(2);
        // An empty panel takes no keys; its step request can still come from the wheel's series mode.
        if (start >= 0)
            QTest::keyClick(panel, Qt::Key(key));
        else
            emit panel->seriesStepRequested(key == Qt::Key_Right ? 1 : -1);
        if (expected < 0) {
            QCOMPARE(w->panelSeriesUid(2), start >= 0 ? series.at(start) : QString());
            QCOMPARE(w->activePanelIndex(), 0);
            return;
        }
        QCOMPARE(w->activePanelIndex(), 2);
        QCOMPARE(w->panelSeriesUid(2), series.at(expected));
        QCOMPARE(panel->sliceCount(), m_db->instancesForSeries(series.at(expected)).size());
    }

    // Point counts that are not a path or a seed pair do nothing at all; an empty panel refuses.
    void buildPreconditions()
    {
        auto w = openViewer();
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        leaveProgressOpen(answer);
        const Point p = tubePoint(20, 20, 10);
        w->startCurvedMprBuild({}, 0);
        w->startCurvedMprBuild({p}, 1);
        w->startVesselAutoTrack({p});
        w->startVesselAutoTrack({p, p, p});
        QVERIFY(w->findChildren<QProgressDialog*>().isEmpty());
        QTest::qWait(100);
        QCOMPARE(answer.count(), 0);

        w->setActiveViewport(0);
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        w->startCurvedMprBuild({p, p}, 0);
        w->startVesselAutoTrack({p, p});
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 2, 10000);
        QCOMPARE(answer.titles(), (QStringList{QStringLiteral("Криволинейный MPR"),
                                               QStringLiteral("Автотрассировка сосуда")}));
        QCOMPARE(answer.texts(), QStringList(2, QStringLiteral("В активной панели нет загруженной серии.")));
    }

    // A series the volume cannot be built from ends in a warning with the build's reason, behind a
    // busy dialog without a cancel button.
    void failedVolumeBuilds_data()
    {
        QTest::addColumn<bool>("tracking");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("curved") << false << QStringLiteral("Криволинейный MPR")
                                << QStringLiteral("Не удалось построить реконструкцию: ");
        QTest::newRow("tracking") << true << QStringLiteral("Автотрассировка сосуда")
                                  << QStringLiteral("Не удалось построить объём серии: ");
    }
    void failedVolumeBuilds()
    {
        QFETCH(bool, tracking);
        QFETCH(QString, title);
        QFETCH(QString, prefix);
        auto w = openViewer(m_noGeometry);
        QCOMPARE(w->panelSeriesUid(0), m_noGeometry);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        leaveProgressOpen(answer);
        const QList<Point> points{tubePoint(5, 5, 1), tubePoint(10, 10, 2)};
        if (tracking)
            w->startVesselAutoTrack(points);
        else
            w->startCurvedMprBuild(points, 0);
        const QList<QProgressDialog*> progress = w->findChildren<QProgressDialog*>();
        if (!progress.isEmpty()) { // a fast build may already be gone
            QCOMPARE(progress.first()->windowModality(), Qt::WindowModal);
            QCOMPARE(progress.first()->maximum(), 0);
            QVERIFY(progress.first()->findChildren<QPushButton*>().isEmpty());
        }
        QVERIFY(buildFinished(*w));
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 10000);
        QCOMPARE(answer.titles().first(), title);
        QVERIFY2(answer.texts().first().startsWith(prefix + QStringLiteral("У серии")),
                 qPrintable(answer.texts().first()));
    }

    // A trace that finds no vessel at the clicks reaches the user only as the tracer's message.
    void traceFailureIsTheTracersMessage()
    {
        auto w = openViewer(m_tube);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        leaveProgressOpen(answer);
        w->startVesselAutoTrack({tubePoint(5, 5, 10), tubePoint(5, 5, 15)});
        QVERIFY(buildFinished(*w));
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 10000);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Автотрассировка сосуда")});
        QVERIFY(!answer.texts().first().isEmpty());
        QVERIFY(!answer.texts().first().startsWith(QStringLiteral("Не удалось построить объём")));
    }

    // The study's stacks decide: none refuses, several are offered by label, and cancelling the
    // choice opens nothing and says nothing.
    void cardiacMriStackChoice()
    {
        {
            auto w = std::make_unique<ViewerWindow>(m_db.get(), m_otherStudy, QString());
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            w->openCardiacMriWindow();
            QCOMPARE(answer.titles(), QStringList{QStringLiteral("Кардио-МРТ")});
            QVERIFY(answer.texts().first().startsWith(QStringLiteral("Не найдено ни одного SAX cine-стека")));
            QVERIFY(w->findChildren<CardiacMriWindow*>().isEmpty());
        }
        auto w = std::make_unique<ViewerWindow>(m_db.get(), m_cardiacStudy, QString());
        QStringList offered;
        QString title, label;
        {
            fixtures::ModalAnswer cancel(QMessageBox::Ok, QDialog::Rejected);
            cancel.setDialogHandler([&](QDialog* d) {
                if (auto* input = qobject_cast<QInputDialog*>(d)) {
                    offered = input->comboBoxItems();
                    title = input->windowTitle();
                    label = input->labelText();
                }
                return true;
            });
            w->openCardiacMriWindow();
            QCOMPARE(cancel.count(), 1);
        }
        QCOMPARE(title, QStringLiteral("Кардио-МРТ — выбор стека"));
        QCOMPARE(label, QStringLiteral("В исследовании найдено несколько cine-стеков:"));
        QCOMPARE(offered, (QStringList{QStringLiteral("2 срезов × 5 фаз — одна серия №5 (\"Cine SA\")"),
                                       QStringLiteral("3 срезов × 4 фаз — одна серия №6 (\"Cine SA\")")}));
        QVERIFY(w->findChildren<CardiacMriWindow*>().isEmpty());

        // The second stack chosen; the window asks for the patient's parameters as it opens.
        fixtures::ModalAnswer choose(QMessageBox::Ok, QDialog::Accepted);
        choose.setDialogHandler([&](QDialog* d) {
            if (auto* input = qobject_cast<QInputDialog*>(d))
                input->setTextValue(offered.at(1));
            return true;
        });
        w->openCardiacMriWindow();
        const QList<CardiacMriWindow*> windows = w->findChildren<CardiacMriWindow*>();
        QCOMPARE(windows.size(), 1);
        QCOMPARE(windows.first()->windowTitle(), QStringLiteral("Кардио-МРТ (SAX) — ") + offered.at(1));
        QVERIFY(windows.first()->isWindow() && windows.first()->testAttribute(Qt::WA_DeleteOnClose));
    }

    // The export entry runs the modal export dialog over the viewer's panels.
    void exportDialog()
    {
        auto w = openViewer(m_tube);
        int seen = 0;
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Rejected);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<ExportDialog*>(d) && d->parent() == w.get())
                ++seen;
            return true;
        });
        w->openExportDialog();
        QCOMPARE(seen, 1);
        QVERIFY(w->findChildren<ExportDialog*>().isEmpty());
    }
};

QTEST_MAIN(TestAnalysisLaunchers)
#include "tst_analysislaunchers.moc"

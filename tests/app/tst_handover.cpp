// Hand-over between the study list and the viewer windows, and the start-up action.

#include "DicomFixtures.h"
#include "IndexFixtures.h"
#include "TestBench.h"
#include "StudyTableRow.h"
#include "VisibleViewer.h"

#include "app/MainWindow.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString addStudy(db::Database* index, const QString& folder, const QString& patient, int seriesCount = 1)
{
    fixtures::SeriesLayout layout;
    layout.patientName = patient;
    layout.patientId = patient;
    layout.slices = 2;
    layout.rows = layout.columns = 16;
    fixtures::completeUids(layout);
    for (int s = 0; s < seriesCount; ++s) {
        layout.seriesUid = fixtures::newUid();
        layout.seriesNumber = QString::number(s + 1);
        if (!fixtures::writeAndIndexSeries(*index, folder + QStringLiteral("/%1").arg(s), layout))
            return {};
    }
    return layout.studyUid;
}

void closeAllViewers()
{
    for (ViewerWindow* v : fixtures::visibleViewers())
        v->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestHandover : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init() { m_bench.reset(); }

    void cleanup() { closeAllViewers(); }

    void openBackAndReplace()
    {
        QTemporaryDir dir;
        MainWindow w;
        w.show();
        const QString a = addStudy(w.database(), dir.filePath("a"), "ALPHA");
        const QString b = addStudy(w.database(), dir.filePath("b"), "BETA");
        w.refreshStudyTable();

        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), a), 2);
        QCOMPARE(QSettings().value("startup/lastStudyUid").toString(), a);
        QCOMPARE(fixtures::visibleViewers().size(), 1);
        QPointer<ViewerWindow> viewerA = fixtures::visibleViewers().first();
        QCOMPARE(viewerA->studyUid(), a);
        QVERIFY(viewerA->isMaximized());

        // Back to the list through the viewer's own action; the viewer stays open and is remembered.
        auto* back = viewerA->findChild<QAction*>(QStringLiteral("backToList"));
        QVERIFY(back);
        back->trigger();
        QCOMPARE(w.rememberedViewer(), viewerA.data());
        QVERIFY(viewerA->isVisible());

        // The next study replaces the remembered viewer, which closes.
        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), b), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!viewerA, 30000);
        QCOMPARE(fixtures::visibleViewers().size(), 1);
        QCOMPARE(fixtures::visibleViewers().first()->studyUid(), b);
        QVERIFY(fixtures::visibleViewers().first()->isMaximized());
        QVERIFY(!w.rememberedViewer());

        // Without going back to the list, both viewers stay open.
        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), a), 0);
        QCOMPARE(fixtures::visibleViewers().size(), 2);
    }

    void replacementTakesTheGeometry()
    {
        QTemporaryDir dir;
        MainWindow w;
        const QString a = addStudy(w.database(), dir.filePath("a"), "ALPHA");
        w.refreshStudyTable();
        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), a), 0);
        QPointer<ViewerWindow> first = fixtures::visibleViewers().first();
        first->showNormal();
        first->setGeometry(100, 120, 640, 480);
        w.returnFromViewer(first);
        const QRect geometry = first->geometry();
        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), a), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!first, 30000);
        ViewerWindow* second = fixtures::visibleViewers().first();
        QVERIFY(!second->isMaximized());
        QCOMPARE(second->geometry(), geometry);
    }

    void seriesDoubleClickRecordsTheStudy()
    {
        QTemporaryDir dir;
        MainWindow w;
        const QString a = addStudy(w.database(), dir.filePath("a"), "ALPHA", 2);
        w.refreshStudyTable();
        w.onSeriesDoubleClicked(0, 0); // no study selected: nothing
        QVERIFY(fixtures::visibleViewers().isEmpty());
        w.onStudySelected(fixtures::studyRow(w.studyTable(), a), 0);
        QCOMPARE(w.seriesTable()->rowCount(), 2);
        const QString seriesUid = w.seriesTable()->item(1, 0)->data(Qt::UserRole).toString();
        w.onSeriesDoubleClicked(1, 0);
        QCOMPARE(QSettings().value("startup/lastStudyUid").toString(), a);
        QCOMPARE(fixtures::visibleViewers().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(fixtures::visibleViewers().first()->panelSeriesUid(fixtures::visibleViewers().first()->activePanelIndex()), seriesUid, 30000);
    }

    void startupActionLastViewer()
    {
        QTemporaryDir dir;
        QString a;
        {
            MainWindow w;
            a = addStudy(w.database(), dir.filePath("a"), "ALPHA");
        }
        QSettings().setValue("startup/action", "lastViewer");
        QSettings().setValue("startup/lastStudyUid", a);
        {
            MainWindow w;
            QTRY_COMPARE_WITH_TIMEOUT(fixtures::visibleViewers().size(), 1, 30000);
            QVERIFY(fixtures::visibleViewers().first()->isMaximized());
            QVERIFY(!w.rememberedViewer());
            closeAllViewers();
            // A study that has gone from the index opens nothing.
            QVERIFY(w.database()->deleteStudy(a));
        }
        MainWindow again;
        QCoreApplication::processEvents(); // the start-up action runs from the event loop
        QVERIFY(fixtures::visibleViewers().isEmpty());

        // An unknown action leaves every start-up entry unchecked and opens nothing.
        QSettings().setValue("startup/action", "somethingElse");
        MainWindow third;
        QMenu* startup = third.findChild<QMenu*>(QStringLiteral("startupMenu"));
        QVERIFY(startup);
        for (QAction* act : startup->actions())
            QVERIFY(!act->isChecked());
    }
};

QTEST_MAIN(TestHandover)
#include "tst_handover.moc"

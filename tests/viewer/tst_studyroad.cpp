// The whole road of a study: a fixture folder is imported from the study list, a double-click opens
// the viewer on the first slice, the back-to-list action hands control back, and the next study
// opened takes the remembered viewer's place.

#include "support/DicomFixtures.h"
#include "support/ProgramTestSetup.h"
#include "support/StudyTableRow.h"
#include "support/VisibleViewer.h"

#include "app/MainWindow.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QPointer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

namespace {

QAction* backToList(ViewerWindow* v)
{
    for (QAction* a : v->toolBar()->actions())
        if (a->objectName() == QLatin1String("backToList"))
            return a;
    return nullptr;
}

} // namespace

class TestStudyRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        fixtures::prepareProgramTest();
    }

    void folderToFirstSlice()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        fixtures::SeriesLayout first;
        first.studyDescription = QStringLiteral("Грудь");
        first.seriesDescription = QStringLiteral("Axial");
        first.slices = 6;
        first.reverseInstanceNumbers = true; // file order differs from instance order
        fixtures::completeUids(first);
        const QStringList files = fixtures::writeSeries(dir.filePath(QStringLiteral("one")), first);
        fixtures::SeriesLayout second;
        second.patientId = QStringLiteral("P0002");
        second.patientName = QStringLiteral("Second^Patient");
        second.studyDate = QStringLiteral("20240301");
        second.slices = 3;
        fixtures::completeUids(second);
        QDir().mkpath(dir.filePath(QStringLiteral("two")));
        fixtures::writeSeries(dir.filePath(QStringLiteral("two")), second);

        MainWindow list;
        list.show();
        list.startFolderImport(dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(list.statusText().startsWith(QStringLiteral("Импорт завершён")), 20000);
        const int row = fixtures::studyRow(list.studyTable(), first.studyUid);
        QVERIFY(row >= 0);

        emit list.studyTable()->cellDoubleClicked(row, 1);
        QList<ViewerWindow*> viewers = fixtures::visibleViewers();
        QCOMPARE(viewers.size(), 1);
        QPointer<ViewerWindow> a = viewers.first();
        QVERIFY(a->isMaximized());
        QCOMPARE(a->studyUid(), first.studyUid);
        QCOMPARE(a->windowTitle(), QStringLiteral("Test^Patient — Грудь"));

        // The first slice by instance number: with reversed numbers, the last file written.
        ImageViewportWidget* panel = a->panel(0);
        QCOMPARE(panel->sliceCount(), 6);
        QCOMPARE(panel->currentSliceIndex(), 0);
        QVERIFY(panel->currentSlice().has_value());
        QCOMPARE(QFileInfo(panel->currentSlice()->filePath).canonicalFilePath(),
                 QFileInfo(files.last()).canonicalFilePath());
        QCOMPARE(panel->imageWidth(), 32);
        QCOMPARE(panel->imageHeight(), 32);

        // Back to the list: the viewer stays open and is remembered; the next study takes its place.
        a->showNormal();
        a->setGeometry(100, 80, 900, 700);
        QCoreApplication::processEvents();
        const QRect geometry = a->geometry();
        QAction* back = backToList(a);
        QVERIFY(back);
        back->trigger();
        QVERIFY(a->isVisible());
        QVERIFY(list.isVisible());

        emit list.studyTable()->cellDoubleClicked(fixtures::studyRow(list.studyTable(), second.studyUid), 0);
        QTRY_VERIFY_WITH_TIMEOUT(a.isNull(), 30000);
        viewers = fixtures::visibleViewers();
        QCOMPARE(viewers.size(), 1);
        QCOMPARE(viewers.first()->studyUid(), second.studyUid);
        QVERIFY(!viewers.first()->isMaximized());
        QCOMPARE(viewers.first()->geometry(), geometry);
        QCOMPARE(viewers.first()->panel(0)->sliceCount(), 3);
        viewers.first()->close();
    }
};

QTEST_MAIN(TestStudyRoad)
#include "tst_studyroad.moc"

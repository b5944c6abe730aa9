// Portable mode on a real "DICOM" folder: the viewer opens at the first file, the series fill in, and
// closing the viewer ends the program; an empty folder warns and ends.

#include "support/DicomFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"
#include "support/VisibleViewer.h"

#include "app/PortableSession.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class TestPortable : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void viewerOpensAndClosingEnds()
    {
        QTemporaryDir dir;
        fixtures::SeriesLayout layout;
        layout.slices = 40;
        layout.rows = layout.columns = 16;
        fixtures::completeUids(layout);
        fixtures::writeSeries(dir.filePath("DICOM/s1"), layout);
        layout.seriesUid = fixtures::newUid();
        layout.seriesNumber = QStringLiteral("2");
        fixtures::writeSeries(dir.filePath("DICOM/s2"), layout);

        bool sawViewer = false;
        bool portableFlag = false;
        QString studyUid;
        QTimer probe;
        probe.setInterval(50);
        connect(&probe, &QTimer::timeout, this, [&] {
            ViewerWindow* v = fixtures::visibleViewer();
            if (!v)
                return;
            sawViewer = true;
            portableFlag = v->isPortableMode();
            studyUid = v->studyUid();
            // Wait until the whole folder has arrived, then close as a user would.
            if (v->panelSliceList(v->activePanelIndex()).size() == 40) {
                probe.stop();
                v->close();
            }
        });
        probe.start();
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(30000);

        const int code = runPortableMode(*qApp, dir.filePath("DICOM"));
        QCOMPARE(code, 0);
        QVERIFY(sawViewer);
        QVERIFY(portableFlag);
        QCOMPARE(studyUid, layout.studyUid);
    }

    void emptyFolderWarnsAndEnds()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("DICOM"));
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(20000);
        const int code = runPortableMode(*qApp, dir.filePath("DICOM"));
        QCOMPARE(code, 0);
        QCOMPARE(answer.titles(), QStringList({QStringLiteral("Kalvenor")}));
        QCOMPARE(answer.texts().value(0),
                 QStringLiteral("Не найдено ни одного DICOM-файла в папке \"%1\".").arg(dir.filePath("DICOM")));
        QVERIFY(!fixtures::visibleViewer());
    }

    void missingFolderWarnsToo()
    {
        QTemporaryDir dir;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(20000);
        QCOMPARE(runPortableMode(*qApp, dir.filePath("DICOM")), 0);
        QVERIFY(answer.texts().value(0).startsWith(QStringLiteral("Не найдено ни одного DICOM-файла")));
    }
};

QTEST_MAIN(TestPortable)
#include "tst_portable.moc"

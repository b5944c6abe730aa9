// Portable mode on a real "DICOM" folder: the viewer opens at the first file, the series fill in, and
// closing the viewer ends the program; an empty folder warns and ends.

#include "support/DicomFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"
#include "support/PortableRun.h"
#include "support/VisibleViewer.h"

#include "app/PortableSession.h"
#include "dicom/DicomFileSummary.h"
#include "platform/DataFolderLock.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <dcmtk/dcmdata/dcuid.h>

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
        const int code = fixtures::runPortableWatching(dir.filePath("DICOM"), [&](ViewerWindow* v) {
            sawViewer = true;
            portableFlag = v->isPortableMode();
            studyUid = v->studyUid();
            // Wait until the whole folder has arrived, then close as a user would.
            return v->panelSliceList(v->activePanelIndex()).size() == 40;
        });
        QCOMPARE(code, 0);
        QVERIFY(sawViewer);
        QVERIFY(portableFlag);
        QCOMPARE(studyUid, layout.studyUid);
    }

    // A disc may list a key-object selection or a report before its images: the viewer opens on an image
    // series all the same. A folder without any image still opens on what it holds. A copy of the program
    // that works on the user's data folder does not keep a viewer from a disc from running.
    void viewerOpensOnAnImageSeries_data()
    {
        QTest::addColumn<bool>("withImages");
        QTest::addColumn<bool>("folderHeld");
        QTest::newRow("key objects listed first") << true << false;
        QTest::newRow("no image at all") << false << false;
        QTest::newRow("data folder held by a running copy") << true << true;
    }

    void viewerOpensOnAnImageSeries()
    {
        QFETCH(bool, withImages);
        QFETCH(bool, folderHeld);
        platform::DataFolderLock otherCopy(fixtures::TestBench::dataPath());
        QVERIFY(!folderHeld || (!otherCopy.anotherInstanceRunning() && otherCopy.isHeld()));
        QTemporaryDir dir;
        const QDir folder(dir.filePath("DICOM"));
        fixtures::SeriesLayout layout;
        layout.slices = 3;
        layout.rows = layout.columns = 16;
        fixtures::completeUids(layout);
        const QString keyObjects = fixtures::writeKeyObjectSelection(folder.filePath("KO.dcm"), layout, "Key images",
                                                                     UID_CTImageStorage, fixtures::newUid());
        QVERIFY(!keyObjects.isEmpty());
        QVERIFY(!fixtures::writeTextReport(folder.filePath("SR.dcm"), layout, "Findings").isEmpty());
        if (withImages) {
            fixtures::writeSeries(folder.path(), layout);
            // The folder lists its files in the order of its directory, which no name decides: the key
            // objects change places with whichever file comes first.
            QDirIterator it(folder.path(), QDir::Files, QDirIterator::Subdirectories);
            const QString first = it.next();
            if (first != keyObjects) {
                const QString aside = folder.filePath("aside");
                QVERIFY(QFile::rename(first, aside) && QFile::rename(keyObjects, first)
                        && QFile::rename(aside, keyObjects));
            }
            QCOMPARE(dicom::readFileSummary(first)->modality, QStringLiteral("KO"));
        }

        fixtures::ModalAnswer answer(QMessageBox::Ok);
        QString openedOn;
        QCOMPARE(fixtures::runPortableWatching(folder.path(),
                                               [&](ViewerWindow* v) {
                                                   openedOn = v->panelSeriesUid(v->activePanelIndex());
                                                   return true;
                                               }),
                 0);
        QVERIFY(answer.texts().isEmpty());
        if (withImages)
            QCOMPARE(openedOn, layout.seriesUid);
        else
            QVERIFY(!openedOn.isEmpty());
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

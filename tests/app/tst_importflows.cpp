// Import flows of the study list: folders and archives from the menu path and by drag-and-drop, one
// import of each kind at a time, damaged and hostile files, and files the index refuses.

#include "AppTestSupport.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"

#include "db/IndexBatch.h"
#include "dicom/DicomNesting.h"
#include "render/Volume.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include <QElapsedTimer>
#include <QGraphicsView>
#include <QMimeData>
#include <QProgressBar>
#include <QLabel>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <dcmtk/dcmdata/dctk.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

// A ZIP of the given files, stored under "study/<name>".
bool writeZip(const QString& zipPath, const QStringList& files)
{
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    for (const QString& f : files) {
        zip_source_t* src = z ? zip_source_file(z, QFile::encodeName(f).constData(), 0, -1) : nullptr;
        if (!src || zip_file_add(z, ("study/" + QFileInfo(f).fileName()).toUtf8().constData(), src, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(src);
            zip_discard(z);
            return false;
        }
    }
    return z && zip_close(z) == 0;
}

QStringList writeStudy(const QString& dir, const QString& patient, int slices)
{
    fixtures::SeriesLayout layout = apptest::small(slices);
    layout.patientName = layout.patientId = patient;
    return fixtures::writeSeries(dir, layout);
}

bool drag(MainWindow& w, const QList<QUrl>& urls, bool drop = false)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QCoreApplication::sendEvent(&w, drop ? static_cast<QEvent*>(&dropped) : &enter);
    return enter.isAccepted();
}

// Waits for the import of the kind to end; its counts "added, skipped".
QString finished(MainWindow& w, bool archive)
{
    const QString done = archive ? QStringLiteral("Импорт из архива завершён") : QStringLiteral("Импорт завершён");
    if (!QTest::qWaitFor([&] { return w.statusText().startsWith(done); }, 60000))
        return QStringLiteral("not finished: ") + w.statusText();
    static const QRegularExpression numbers(QStringLiteral("(\\d+)\\D+(\\d+)$"));
    const auto match = numbers.match(w.statusText());
    return match.captured(1) + QLatin1Char(',') + match.captured(2);
}

// Runs `then` as the watched widget hides, inside the call that hides it.
class OnHide : public QObject
{
public:
    OnHide(QWidget* watched, std::function<void()> then) : m_then(std::move(then)) { watched->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide)
            m_then();
        return false;
    }

private:
    std::function<void()> m_then;
};

// For each box of a shown window's import (answered while this lives), whether it opened once the
// import's end had been handled (its count line written) and control had gone back to the main loop,
// where a call queued as that end hid the busy bar has run.
class EndBeforeBox
{
public:
    EndBeforeBox(MainWindow& w, fixtures::ModalAnswer& answer)
        : m_end(w.findChild<QProgressBar*>(), [this] {
              m_returned = false;
              QMetaObject::invokeMethod(&m_end, [this] { m_returned = true; }, Qt::QueuedConnection);
          })
    {
        answer.setShowHandler([this, &w](QWidget*) {
            seen << (m_returned && w.statusText().contains(QStringLiteral(" завершён")));
        });
    }
    QList<bool> seen;

private:
    OnHide m_end;
    bool m_returned = false;
};

// Ends the test program, saying so, when the thread that made it stops handling its events for
// longer than the limit: a frozen window fails at once instead of hanging the run.
class FreezeWatch
{
public:
    explicit FreezeWatch(int limitMs) : m_limitMs(limitMs)
    {
        m_beat.setInterval(50);
        QObject::connect(&m_beat, &QTimer::timeout, [this] { m_last = now(); });
        m_beat.start();
        m_last = now();
        m_watcher = std::thread([this] {
            while (!m_done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (now() - m_last > m_limitMs) {
                    std::fprintf(stderr, "FAIL: the window handled no events for %d ms\n", m_limitMs);
                    std::fflush(stderr);
                    std::_Exit(1);
                }
            }
        });
    }
    ~FreezeWatch()
    {
        m_done = true;
        m_watcher.join();
    }

private:
    static qint64 now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    const int m_limitMs;
    QTimer m_beat;
    std::atomic<qint64> m_last{0};
    std::atomic_bool m_done{false};
    std::thread m_watcher;
};

} // namespace

class TestImportFlows : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init() { m_bench.reset(); }

    void folderImportFillsTheList()
    {
        QTemporaryDir dir;
        fixtures::SeriesLayout ct = apptest::small(5);
        ct.patientName = QStringLiteral("Смирнов^Пётр");
        QVERIFY(writeZip(m_bench.path("a.zip"), fixtures::writeSeries(dir.filePath(QStringLiteral("a/ct")), ct)));
        fixtures::SeriesLayout mr = apptest::small(3);
        mr.modality = QStringLiteral("MR");
        mr.patientId = QStringLiteral("P0002");
        fixtures::writeSeries(dir.filePath(QStringLiteral("b/вложенная")), mr);
        fixtures::writeBytes(dir.filePath(QStringLiteral("notes.txt")), "not dicom");
        MainWindow w;
        w.startFolderImport(dir.path());
        QCOMPARE(finished(w, false), QStringLiteral("8,1"));
        QCOMPARE(w.studyTable()->rowCount(), 2);
        // A second import while one runs is refused with a box, as is a second archive import; a
        // folder import may run beside an archive import. The same files again change nothing.
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w.startFolderImport(dir.path());
        w.startFolderImport(dir.path());
        QCOMPARE(answer.count(), 1);
        w.startArchiveImport(m_bench.path("a.zip"));
        w.startArchiveImport(m_bench.path("a.zip"));
        QCOMPARE(answer.count(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 60000);
        QCOMPARE(w.studyTable()->rowCount(), 2);
    }

    void archiveImportCopiesIntoTheStore()
    {
        QTemporaryDir dir;
        QVERIFY(writeZip(dir.filePath("study.zip"), writeStudy(dir.filePath("src"), "ARCHIVED", 4)));
        MainWindow w;
        w.startArchiveImport(dir.filePath("study.zip"));
        QCOMPARE(finished(w, true), QStringLiteral("4,0"));
        QCOMPARE(w.studyTable()->rowCount(), 1);
        const QString store = fixtures::TestBench::dataPath(QStringLiteral("imported_from_zip/"));
        for (const auto& s : w.database()->allStudies())
            for (const QString& path : w.database()->studyFilePaths(s.studyInstanceUid))
                QVERIFY2(path.startsWith(store), qPrintable(path));
    }

    // So does a folder import of a path that is no folder.
    void damagedArchiveStillEndsWithCounts()
    {
        QTemporaryDir dir;
        fixtures::writeBytes(dir.filePath("broken.zip"), QByteArray("PK\x03\x04 this is not really a zip", 30));
        MainWindow w;
        w.show();
        for (const bool archive : {true, false}) {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            const EndBeforeBox order(w, answer);
            archive ? w.startArchiveImport(dir.filePath("broken.zip"))
                    : w.startFolderImport(dir.filePath("not there"));
            QCOMPARE(finished(w, archive), QStringLiteral("0,0"));
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
            QVERIFY(!answer.texts().value(0).isEmpty());
            // Told after the import's end with no loop of the box's own, in which its thread would end.
            QCOMPARE(answer.loopLevels(), QList<int>{0});
            QCOMPARE(order.seen, QList<bool>{true});
        }
    }

    // Parsing threads get a stack of their own size, and a file nested past any stack is skipped.
    void importThreadsTakeHostileNesting()
    {
        QTemporaryDir dir;
        QStringList files = writeStudy(dir.filePath("src"), "NESTED", 3);
        fixtures::appendNestedSequences(files.at(0), 100000);
        QVERIFY(writeZip(dir.filePath("nested.zip"), files));
        MainWindow w;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        for (const bool archive : {false, true}) {
            archive ? w.startArchiveImport(dir.filePath("nested.zip")) : w.startFolderImport(dir.filePath("src"));
            const QList<QThread*> threads = w.findChildren<QThread*>();
            QCOMPARE(threads.size(), 1);
            QCOMPARE(threads.at(0)->stackSize(), dicom::kParsingThreadStackSize);
            QCOMPARE(finished(w, archive), QStringLiteral("2,1"));
            QTRY_VERIFY_WITH_TIMEOUT(w.findChildren<QThread*>().isEmpty(), 30000);
        }
        QCOMPARE(answer.count(), 0);
    }

    // Files in a compression the program cannot decode are indexed, and the end of the import says how
    // many of them will show no image and why.
    void undecodableCompressionIsNamed()
    {
        QTemporaryDir dir;
        fixtures::SeriesLayout layout = apptest::small(3);
        layout.compression = fixtures::Compression::JpegLsLossless;
        const QStringList files = fixtures::writeSeries(dir.filePath("src"), layout);
        for (const QString& file : files.mid(1))
            fixtures::replaceInFile(file, "1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.90"); // JPEG 2000
        QVERIFY(writeZip(dir.filePath("j2k.zip"), files));
        MainWindow w;
        for (const bool archive : {false, true}) {
            archive ? w.startArchiveImport(dir.filePath("j2k.zip"))
                    : w.startFolderImport(dir.filePath("src"));
            QCOMPARE(finished(w, archive), QStringLiteral("3,0"));
            QVERIFY2(w.statusText().contains(QStringLiteral("(JPEG 2000 не поддерживается, файлов: 2)")),
                     qPrintable(w.statusText()));
            QTRY_VERIFY_WITH_TIMEOUT(w.findChildren<QThread*>().isEmpty(), 30000);
        }
    }

    void dragAndDrop()
    {
        QTemporaryDir dir;
        const QStringList files = writeStudy(dir.filePath("folder"), "DROPPED", 3);
        QVERIFY(writeZip(dir.filePath("STUDY.ZIP"), writeStudy(dir.filePath("zsrc"), "ZIPPED", 2)));
        fixtures::writeBytes(dir.filePath("x.rar"), "Rar!");
        MainWindow w;
        const QUrl folder = QUrl::fromLocalFile(dir.filePath("folder"));
        const QUrl archive = QUrl::fromLocalFile(dir.filePath("STUDY.ZIP"));
        QVERIFY(drag(w, {archive}));
        QVERIFY(drag(w, {folder}));
        QVERIFY(!drag(w, {QUrl::fromLocalFile(dir.filePath("x.rar"))}));
        QVERIFY(!drag(w, {QUrl::fromLocalFile(files.first())}));
        QVERIFY(!drag(w, {QUrl(QStringLiteral("https://example.invalid/a.zip"))}));
        QVERIFY(!drag(w, {QUrl::fromLocalFile(dir.filePath("missing.zip"))}));
        QVERIFY(drag(w, {QUrl::fromLocalFile(dir.filePath("x.rar")), folder}));
        // A folder and an archive together start both imports at once.
        drag(w, {folder, archive}, true);
        QTRY_COMPARE_WITH_TIMEOUT(w.studyTable()->rowCount(), 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 60000);
    }

    // Folder imports started back to back, each in the moment the one before reports its end (as its
    // busy bar hides): none waits for the thread of the one before, which ends only once the window's
    // thread is free again. Each ends within a few seconds and the list holds every file once.
    void importStartedAsTheLastEnds()
    {
        constexpr int kImports = 50;
        QTemporaryDir dir;
        writeStudy(dir.filePath("series"), "AGAIN", 3);
        MainWindow w;
        w.show();
        auto* busy = w.findChild<QProgressBar*>();
        QVERIFY(busy);
        int started = 0, ended = 0;
        qint64 longest = 0;
        QElapsedTimer sinceStart;
        const auto start = [&] {
            ++started;
            sinceStart.start();
            w.startFolderImport(dir.filePath("series"));
        };
        OnHide onEnd(busy, [&] {
            ++ended;
            longest = qMax(longest, sinceStart.elapsed());
            if (started < kImports)
                start();
        });
        const FreezeWatch watch(30000);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(ended, kImports, 600000);
        QVERIFY2(longest < 10000, qPrintable(QString::number(longest)));
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 30000);
        const QList<db::StudyRecord> studies = w.database()->allStudies();
        QCOMPARE(studies.size(), 1);
        QCOMPARE(studies.first().instanceCount, 3);
    }

    // A scan that ran far ahead of the window (its thread held meanwhile) leaves more files than one batch
    // takes: they are written over several turns, and the end is reported only once every one is listed.
    void scanAheadOfTheIndexEndsWithEveryFileListed()
    {
        const int files = db::IndexBatch::kLargestBatch + 2 * db::IndexBatch::kMaxFiles;
        QTemporaryDir dir;
        writeStudy(dir.filePath("series"), "AHEAD", files);
        MainWindow w;
        w.show();
        auto* busy = w.findChild<QProgressBar*>();
        QVERIFY(busy);
        int listedAtEnd = -1;
        OnHide onEnd(busy, [&] {
            const QList<db::StudyRecord> studies = w.database()->allStudies();
            listedAtEnd = studies.size() == 1 ? studies.first().instanceCount : -1;
        });
        w.startFolderImport(dir.filePath("series"));
        auto* scan = w.findChild<QThread*>();
        QVERIFY(scan);
        QVERIFY(scan->wait(60000));
        QCOMPARE(finished(w, false), QStringLiteral("%1,0").arg(files));
        QCOMPARE(listedAtEnd, files);
    }

    // A folder imported where it lies, then another patient's disc copied into it over three of its
    // names (two files of the same size as the ones they replace, one of another): neither the viewer
    // nor a copy of the first study shows the other patient's images as the first one's, and the
    // folder imported again lists each file once, under the object it holds, saying how many changed.
    // While the study is open too: the slices listed before are read for their rows, and the files that
    // hold the other disc's images are missing from the viewer, from a volume of its panel and from the note.
    void otherDiscCopiedOverTheFolder_data()
    {
        QTest::addColumn<bool>("renamed");
        QTest::addColumn<bool>("whileOpen");
        QTest::newRow("written over each file") << false << false;
        QTest::newRow("renamed over each file") << true << false;
        QTest::newRow("written over each file while the study is open") << false << true;
        QTest::newRow("renamed over each file while the study is open") << true << true;
    }

    void otherDiscCopiedOverTheFolder()
    {
        QFETCH(bool, renamed);
        QFETCH(bool, whileOpen);
        QTemporaryDir dir;
        fixtures::SeriesLayout first = apptest::small(6);
        first.patientName = first.patientId = QStringLiteral("PERVYI");
        // Room for the other disc's files to be made one size with these.
        first.customize = [](DcmDataset& ds, int) {
            ds.putAndInsertString(DCM_ImageComments, QByteArray(200, 'a').constData());
        };
        fixtures::completeUids(first);
        const QStringList names = fixtures::writeSeries(dir.filePath(QStringLiteral("disc")), first);
        fixtures::SeriesLayout second = apptest::small(3);
        second.patientName = second.patientId = QStringLiteral("VTOROI");
        fixtures::completeUids(second);
        MainWindow w;
        w.startFolderImport(dir.filePath(QStringLiteral("disc")));
        QCOMPARE(finished(w, false), QStringLiteral("6,0"));
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 60000);
        std::unique_ptr<ViewerWindow> open;
        if (whileOpen)
            open = std::make_unique<ViewerWindow>(w.database(), first.studyUid, QString());
        for (int k = 0; k < 3; ++k) {
            const QString other = dir.filePath(QStringLiteral("other%1.dcm").arg(k));
            fixtures::writeSliceOfSize(other, second, k, k < 2 ? QFileInfo(names.at(k)).size() : -1);
            QCOMPARE(QFileInfo(other).size() == QFileInfo(names.at(k)).size(), k < 2);
            QVERIFY(fixtures::replaceFileBytes(names.at(k), fixtures::readFile(other), false, renamed));
        }
        const auto studyOf = [](const QString& path) {
            const std::optional<dicom::DicomFileSummary> held = dicom::readFileSummary(path);
            return held ? held->studyInstanceUid : QString();
        };
        const auto replacedNote = [](const ViewerWindow& viewer) {
            const auto* note = viewer.findChild<QLabel*>(QStringLiteral("replacedFilesNote"));
            return note && note->isVisibleTo(&viewer) ? note->text() : QString();
        };
        if (whileOpen) {
            ImageViewportWidget* panel = open->panel(0);
            QCOMPARE(panel->sliceCount(), 6);
            int missing = 0;
            for (int i = 0; i < panel->sliceCount(); ++i) {
                panel->showSlice(i);
                const bool other = studyOf(panel->slices().at(i).filePath) == second.studyUid;
                QCOMPARE(panel->imageWidth() == 0, other);
                missing += other ? 1 : 0;
            }
            QCOMPARE(missing, 3);
            const QString told = replacedNote(*open);
            QVERIFY2(told.contains(QStringLiteral("PERVYI")) && told.contains(QStringLiteral(": 3.")),
                     qPrintable(told));
            panel->enterReconstructionPlane(3);
            QVERIFY(panel->hasReconstructionVolume());
            QCOMPARE(panel->reconstructionSliceCount(), 6);
            bool planesToldLeftOut = false;
            for (const QLabel* label : panel->graphicsView()->findChildren<QLabel*>())
                planesToldLeftOut =
                    planesToldLeftOut || label->text().contains(render::otherObjectSlicesWarning(3));
            QVERIFY(planesToldLeftOut);
        }

        {
            ViewerWindow viewer(w.database(), first.studyUid, QString());
            const QList<db::InstanceRecord> shown = viewer.panelSliceList(0);
            QCOMPARE(shown.size(), 3);
            QCOMPARE(viewer.panel(0)->sliceCount(), 3);
            for (const db::InstanceRecord& row : shown)
                QCOMPARE(studyOf(row.filePath), first.studyUid);
            QVERIFY(viewer.seriesListWidget()->item(1)->text().contains(QStringLiteral("\n3 срез.")));
            const QString told = replacedNote(viewer);
            QVERIFY2(told.contains(QStringLiteral("PERVYI")) && told.contains(QStringLiteral(": 3.")),
                     qPrintable(told));
        }
        QTemporaryDir out;
        QString error;
        QVERIFY(!w.copyStudyFilesTo(first.studyUid, out.path(), &error));
        QVERIFY2(error.contains(QStringLiteral("PERVYI")) && error.contains(QStringLiteral(": 3.")),
                 qPrintable(error));
        QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), 0);

        w.startFolderImport(dir.filePath(QStringLiteral("disc")));
        finished(w, false);
        QVERIFY2(w.statusText().contains(QStringLiteral("добавлено 6, пропущено 0")),
                 qPrintable(w.statusText()));
        QVERIFY2(w.statusText().endsWith(QStringLiteral(" — 3")), qPrintable(w.statusText()));
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 60000);
        int rows = 0;
        for (const db::StudyRecord& study : w.database()->allStudies())
            rows += study.instanceCount;
        QCOMPARE(rows, 6);
        for (const QString& uid : {first.studyUid, second.studyUid}) {
            QTemporaryDir copy;
            QVERIFY2(w.copyStudyFilesTo(uid, copy.path(), &error), qPrintable(error));
            const QStringList copied = QDir(copy.path()).entryList(QDir::Files);
            QCOMPARE(copied.size(), 3);
            for (const QString& name : copied)
                QCOMPARE(studyOf(QDir(copy.path()).filePath(name)), uid);
        }
    }

    void refusedFilesAreNotReportedAsImported()
    {
        QTemporaryDir dir;
        writeStudy(dir.filePath("one"), "LOCKED", 1);
        MainWindow w;
        w.show();
        {
            // Another connection holds the index locked, so every write fails.
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
            other.setDatabaseName(fixtures::TestBench::dataPath(QStringLiteral("index.sqlite3")));
            other.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY(q.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            const EndBeforeBox order(w, answer);
            w.startFolderImport(dir.filePath("one"));
            QCOMPARE(finished(w, false), QStringLiteral("0,1"));
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
            QVERIFY(answer.texts().value(0).contains(QStringLiteral(": 1")));
            QCOMPARE(answer.loopLevels(), QList<int>{0});
            QCOMPARE(order.seen, QList<bool>{true});
            q.exec(QStringLiteral("ROLLBACK"));
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    }
};

QTEST_MAIN(TestImportFlows)
#include "tst_importflows.moc"

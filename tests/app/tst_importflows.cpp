// Import flows of the study list: archives from the menu path, drag-and-drop of folders and archives,
// one import of each kind at a time, and imports whose files the index refuses.

#include "DicomFixtures.h"
#include "ModalAnswer.h"
#include "TestBench.h"

#include "app/MainWindow.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"

#include <QDir>
#include <QMimeData>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <zip.h>

namespace {

// A ZIP of the given files, stored under "study/<name>".
bool writeZip(const QString& zipPath, const QStringList& files)
{
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z)
        return false;
    for (const QString& f : files) {
        zip_source_t* src = zip_source_file(z, QFile::encodeName(f).constData(), 0, -1);
        const QByteArray name = ("study/" + QFileInfo(f).fileName()).toUtf8();
        if (!src || zip_file_add(z, name.constData(), src, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(src);
            zip_discard(z);
            return false;
        }
    }
    return zip_close(z) == 0;
}

QStringList writeStudy(const QString& dir, const QString& patient, int slices)
{
    fixtures::SeriesLayout layout;
    layout.patientName = patient;
    layout.patientId = patient;
    layout.slices = slices;
    layout.rows = layout.columns = 16;
    return fixtures::writeSeries(dir, layout);
}

bool sendDragEnter(MainWindow& w, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QCoreApplication::sendEvent(&w, &enter);
    return enter.isAccepted();
}

void sendDrop(MainWindow& w, const QList<QUrl>& urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &drop);
}

} // namespace

class TestImportFlows : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init() { m_bench.reset(); }

    void archiveImportCopiesIntoTheStore()
    {
        QTemporaryDir dir;
        const QStringList files = writeStudy(dir.filePath("src"), "ARCHIVED", 4);
        QVERIFY(writeZip(dir.filePath("study.zip"), files));

        MainWindow w;
        w.startArchiveImport(dir.filePath("study.zip"));
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт из архива завершён")), 60000);
        QCOMPARE(w.statusText(), QStringLiteral("Импорт из архива завершён: добавлено 4, пропущено 0"));
        QCOMPARE(w.studyTable()->rowCount(), 1);
        const QString store = fixtures::TestBench::dataPath(QStringLiteral("imported_from_zip"));
        for (const auto& s : w.database()->allStudies())
            for (const QString& path : w.database()->studyFilePaths(s.studyInstanceUid))
                QVERIFY2(path.startsWith(store + QLatin1Char('/')), qPrintable(path));
    }

    void damagedArchiveStillEndsWithCounts()
    {
        QTemporaryDir dir;
        fixtures::writeBytes(dir.filePath("broken.zip"), QByteArray("PK\x03\x04 this is not really a zip", 30));
        MainWindow w;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w.startArchiveImport(dir.filePath("broken.zip"));
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт из архива завершён")), 60000);
        QCOMPARE(answer.titles(), QStringList({QStringLiteral("Ошибка импорта архива")}));
        QVERIFY(!answer.texts().value(0).isEmpty());
        QCOMPARE(w.statusText(), QStringLiteral("Импорт из архива завершён: добавлено 0, пропущено 0"));
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
        w.startFolderImport(dir.filePath("src"));
        QList<QThread*> threads = w.findChildren<QThread*>();
        QCOMPARE(threads.size(), 1);
        QCOMPARE(threads.at(0)->stackSize(), dicom::kParsingThreadStackSize);
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 60000);
        QCOMPARE(w.statusText(), QStringLiteral("Импорт завершён: добавлено 2, пропущено 1"));
        QTRY_VERIFY_WITH_TIMEOUT(w.findChildren<QThread*>().isEmpty(), 30000);

        w.startArchiveImport(dir.filePath("nested.zip"));
        threads = w.findChildren<QThread*>();
        QCOMPARE(threads.size(), 1);
        QCOMPARE(threads.at(0)->stackSize(), dicom::kParsingThreadStackSize);
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт из архива завершён")), 60000);
        QCOMPARE(w.statusText(), QStringLiteral("Импорт из архива завершён: добавлено 2, пропущено 1"));
        QVERIFY(answer.titles().isEmpty());
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
        QVERIFY(sendDragEnter(w, {archive}));
        QVERIFY(sendDragEnter(w, {folder}));
        QVERIFY(!sendDragEnter(w, {QUrl::fromLocalFile(dir.filePath("x.rar"))}));
        QVERIFY(!sendDragEnter(w, {QUrl::fromLocalFile(files.first())}));
        QVERIFY(!sendDragEnter(w, {QUrl(QStringLiteral("https://example.invalid/a.zip"))}));
        QVERIFY(!sendDragEnter(w, {QUrl::fromLocalFile(dir.filePath("missing.zip"))}));
        QVERIFY(sendDragEnter(w, {QUrl::fromLocalFile(dir.filePath("x.rar")), folder}));

        // A folder and an archive together start both imports at once.
        sendDrop(w, {folder, archive});
        QTRY_COMPARE_WITH_TIMEOUT(w.studyTable()->rowCount(), 2, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 60000);
    }

    void oneImportOfEachKindAtATime()
    {
        QTemporaryDir dir;
        QStringList files = writeStudy(dir.filePath("big"), "BIG", 60);
        QVERIFY(writeZip(dir.filePath("a.zip"), files));
        MainWindow w;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w.startArchiveImport(dir.filePath("a.zip"));
        w.startArchiveImport(dir.filePath("a.zip"));
        QCOMPARE(answer.titles(), QStringList({QStringLiteral("Импорт уже выполняется")}));
        // A folder import may run beside the archive import.
        w.startFolderImport(dir.filePath("big"));
        QCOMPARE(answer.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QThread*>(), 60000);
        QCOMPARE(w.studyTable()->rowCount(), 1);
    }

    void refusedFilesAreNotReportedAsImported()
    {
        QTemporaryDir dir;
        writeStudy(dir.filePath("one"), "LOCKED", 1);
        MainWindow w;
        // Another connection holds the index locked, so every write fails.
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
            other.setDatabaseName(fixtures::TestBench::dataPath(QStringLiteral("index.sqlite3")));
            other.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY(q.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            w.startFolderImport(dir.filePath("one"));
            QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 60000);
            QCOMPARE(w.statusText(), QStringLiteral("Импорт завершён: добавлено 0, пропущено 1"));
            QCOMPARE(answer.titles(), QStringList({QStringLiteral("Ошибка импорта")}));
            QVERIFY(answer.texts().value(0).startsWith(QStringLiteral("Не удалось записать в локальную базу файлов: 1")));
            q.exec(QStringLiteral("ROLLBACK"));
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    }
};

QTEST_MAIN(TestImportFlows)
#include "tst_importflows.moc"

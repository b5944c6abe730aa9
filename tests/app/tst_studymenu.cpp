// The study context menu, protection, removal and the start-up clean-up on a real index with managed
// ("imported_from_zip", "pacs_downloads") and unmanaged files: only managed files are ever deleted,
// protected studies never.

#include "AppTestSupport.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"

#include "db/CleanupSettings.h"

#include <QSqlQuery>

#include <ctime>
#include <utime.h>

using apptest::addStudy;
using fixtures::TestBench;

namespace {

QSet<QString> studyUids(db::Database* index)
{
    QSet<QString> out;
    for (const auto& s : index->allStudies())
        out << s.studyInstanceUid;
    return out;
}

// Opens the index where the study list will find it.
bool openProgramIndex(db::Database& index)
{
    QDir().mkpath(TestBench::dataPath());
    return index.open(TestBench::dataPath(QStringLiteral("index.sqlite3")));
}

// Moves a study's import back in time, as if it had been indexed then.
bool setImportTime(db::Database& index, const QString& studyUid, const QDateTime& when)
{
    QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
    q.prepare(QStringLiteral("UPDATE studies SET imported_at = :t WHERE study_instance_uid = :u"));
    q.bindValue(QStringLiteral(":t"), when.toUTC().toString(Qt::ISODate));
    q.bindValue(QStringLiteral(":u"), studyUid);
    return q.exec() && q.numRowsAffected() == 1;
}

// Makes the index file read-only for every user (root too): a write-version byte above 2.
bool makeReadOnly(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.seek(18) && f.write("\x03", 1) == 1;
}

// Another program's connection to the index file, holding a read transaction while it lives.
class ReadingProgram
{
public:
    explicit ReadingProgram(const QString& path)
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        d.setDatabaseName(path);
        QSqlQuery q(d.open() ? d : QSqlDatabase());
        m_ok = q.exec(QStringLiteral("BEGIN")) && q.exec(QStringLiteral("SELECT COUNT(*) FROM studies")) && q.next();
    }
    ~ReadingProgram()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    bool ok() const { return m_ok; }

private:
    const QString m_name = QStringLiteral("reading_program");
    bool m_ok = false;
};

// Sets a folder's modification time back by the given number of seconds.
bool age(const QString& path, int seconds)
{
    const time_t when = ::time(nullptr) - seconds;
    const struct utimbuf times{when, when};
    return ::utime(QFile::encodeName(path).constData(), &times) == 0;
}

} // namespace

class TestStudyMenu : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init()
    {
        m_bench.reset();
        MainWindow::setCurrentDateOverride(QDate(2024, 6, 30));
    }

    void managedFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("managed");
        const QString data = TestBench::dataPath();
        QTest::newRow("archive import") << data + "/imported_from_zip/abc/x.dcm" << true;
        QTest::newRow("download") << data + "/pacs_downloads/1.2/x.dcm" << true;
        QTest::newRow("download, dots") << data + "//pacs_downloads/./a/../x.dcm" << true;
        QTest::newRow("look-alike sibling") << data + "/imported_from_zip_backup/x.dcm" << false;
        QTest::newRow("look-alike name") << data + "/pacs_downloads2/x.dcm" << false;
        QTest::newRow("climbing out") << data + "/pacs_downloads/../elsewhere/x.dcm" << false;
        QTest::newRow("elsewhere") << "/home/user/x.dcm" << false;
    }
    void managedFiles()
    {
        QFETCH(QString, path);
        QFETCH(bool, managed);
        QCOMPARE(MainWindow::isManagedStudyFile(path), managed);
    }

    void menuFollowsTheSelection()
    {
        QTemporaryDir outside;
        MainWindow w;
        w.resize(1000, 600);
        const QString a = addStudy(w.database(), outside.filePath("a"));
        const QString b = addStudy(w.database(), outside.filePath("b"));
        const QString c = addStudy(w.database(), outside.filePath("c"));
        QVERIFY(w.database()->setStudyProtected(c, true));
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        auto menuAt = [&](const QString& uid, int column = 0) {
            return std::unique_ptr<QMenu>(w.buildStudyContextMenu(t->visualItemRect(t->item(fixtures::studyRow(t, uid), column)).center()));
        };
        auto entry = [](const std::unique_ptr<QMenu>& menu, const char* name) { return menu->findChild<QAction*>(QLatin1String(name)); };

        // Two rows selected, right-click on a third (protected): only that row, with the single-study entries.
        t->selectRow(fixtures::studyRow(t, a));
        t->selectionModel()->select(t->model()->index(fixtures::studyRow(t, b), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        auto menu = menuAt(c);
        QCOMPARE(t->selectionModel()->selectedRows().size(), 1);
        QVERIFY(entry(menu, "protectAction") && !entry(menu, "deleteCompletelyAction")->isEnabled());
        QVERIFY(!entry(menu, "removeFromListAction")->isEnabled());
        // A right-click inside a selection keeps it; the count goes into the text.
        t->selectAll();
        menu = menuAt(a);
        QVERIFY(!entry(menu, "protectAction"));
        QVERIFY(entry(menu, "removeFromListAction")->text().contains(QStringLiteral("(3 шт.)")));
        QVERIFY(!entry(menu, "removeFromListAction")->isEnabled());
        // With the name column hidden the menu still appears.
        t->setColumnHidden(0, true);
        t->clearSelection();
        menu = menuAt(b, 1);
        QVERIFY(menu && entry(menu, "deleteCompletelyAction")->isEnabled());
    }

    void protectionAndRemoval()
    {
        QTemporaryDir outside;
        MainWindow w;
        const QString a = addStudy(w.database(), outside.filePath("a"));
        const QString b = addStudy(w.database(), outside.filePath("b"));
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        w.setStudyProtection(a, false);
        QVERIFY(t->item(fixtures::studyRow(t, a), 0)->text().startsWith(QStringLiteral("🔒 ")));
        w.setStudyProtection(a, true);
        QVERIFY(!t->item(fixtures::studyRow(t, a), 0)->text().startsWith(QStringLiteral("🔒")));

        w.onStudySelected(fixtures::studyRow(t, b), 0);
        QCOMPARE(w.seriesTable()->rowCount(), 1);
        {
            fixtures::ModalAnswer no(QMessageBox::No);
            w.removeStudiesFromList({a, b});
            QVERIFY(no.texts().value(0).contains(QStringLiteral(" 2 ")));
        }
        QCOMPARE(studyUids(w.database()).size(), 2);
        {
            fixtures::ModalAnswer yes(QMessageBox::Yes);
            w.removeStudiesFromList({b});
        }
        QCOMPARE(studyUids(w.database()), QSet<QString>({a}));
        QVERIFY(w.seriesTable()->rowCount() == 0 && w.selectedStudyUid().isEmpty());
        // Files of a folder import stay on disk after removal from the list.
        QCOMPARE(QDir(outside.filePath("b")).entryList(QDir::Files).size(), 2);
    }

    void completeDeletionTouchesOnlyManagedFiles()
    {
        QTemporaryDir outside;
        const QString zip = TestBench::dataPath(QStringLiteral("imported_from_zip"));
        MainWindow w;
        const QString folderStudy = addStudy(w.database(), outside.filePath("f"));
        const QString zipStudy = addStudy(w.database(), zip + "/s1");
        const QString other = addStudy(w.database(), zip + "/s2");
        const QString sibling = addStudy(w.database(), zip + "_backup/s3"); // a look-alike folder is not managed
        w.refreshStudyTable();
        fixtures::ModalAnswer yes(QMessageBox::Yes);
        w.deleteStudiesCompletely({folderStudy, zipStudy, sibling});
        QCOMPARE(yes.count(), 1);
        QCOMPARE(studyUids(w.database()), QSet<QString>({other}));
        QCOMPARE(QDir(outside.filePath("f")).entryList(QDir::Files).size(), 2);
        QVERIFY(!QDir(zip + "/s1").exists() && QDir(zip + "/s2").exists());
        QCOMPARE(QDir(zip + "_backup/s3").entryList(QDir::Files).size(), 2);
        QCOMPARE(w.studyTable()->rowCount(), 1);
    }

    // One old managed study, an age rule that chooses it, and an index that cannot remove its rows:
    // neither the clean-up nor a complete deletion may remove its files, and both say why.
    void failedRowRemovalKeepsTheFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("cause");
        QTest::newRow("read-only index") << "read-only" << "только для чтения";
        QTest::newRow("another program reading") << "reader" << "другой программой";
        QTest::newRow("row removal refused") << "refused" << "study refused";
    }
    void failedRowRemovalKeepsTheFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, cause);
        const QString indexPath = TestBench::dataPath(QStringLiteral("index.sqlite3"));
        const QString folder = TestBench::dataPath(QStringLiteral("imported_from_zip/old"));
        QString uid;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            uid = addStudy(&index, folder);
            QVERIFY(setImportTime(index, uid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
            if (kind == "refused") {
                QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                QVERIFY(q.exec("CREATE TRIGGER refuse BEFORE DELETE ON studies BEGIN SELECT RAISE(ABORT, 'study refused'); END"));
            }
        }
        const QStringList files = QDir(folder).entryList(QDir::Files);
        QCOMPARE(files.size(), 2);
        CleanupSettings rules;
        rules.byAgeEnabled = true;
        rules.maxAgeDays = 30;
        saveCleanupSettings(rules);
        if (kind == "read-only")
            QVERIFY(makeReadOnly(indexPath));
        std::unique_ptr<ReadingProgram> reader;
        if (kind == "reader") {
            reader = std::make_unique<ReadingProgram>(indexPath);
            QVERIFY(reader->ok());
        }

        fixtures::ModalAnswer answer(QMessageBox::Yes);
        MainWindow w;
        if (kind != "refused") { // the opening says that the index cannot be written, and why
            QCOMPARE(answer.titles().value(0), QStringLiteral("Локальная база исследований"));
            QVERIFY2(answer.texts().value(0).contains(cause), qPrintable(answer.texts().value(0)));
        }
        QVERIFY2(w.statusText().startsWith(QStringLiteral("Автоочистка при запуске не выполнена")),
                 qPrintable(w.statusText()));
        QVERIFY2(w.statusText().contains(cause), qPrintable(w.statusText()));
        QCOMPARE(QDir(folder).entryList(QDir::Files), files);
        QCOMPARE(studyUids(w.database()), QSet<QString>({uid}));

        const int boxes = answer.count();
        w.deleteStudiesCompletely({uid});
        QCOMPARE(answer.titles().mid(boxes), (QStringList{QStringLiteral("Удалить полностью"), QStringLiteral("Ошибка")}));
        QVERIFY2(answer.texts().last().contains(cause), qPrintable(answer.texts().last()));
        QCOMPARE(QDir(folder).entryList(QDir::Files), files);
        QCOMPARE(studyUids(w.database()), QSet<QString>({uid}));
        QCOMPARE(w.studyTable()->rowCount(), 1);
    }

    // What a killed import or deletion leaves in the managed store, and a killed archive import's
    // unpack folder, are gone after the next start; whatever a row names, hidden files and other
    // folders stay.
    void startSweepsWhatNoRowNames_data()
    {
        QTest::addColumn<bool>("indexListsStudies");
        QTest::addColumn<bool>("lastSessionCut");
        QTest::addColumn<bool>("swept");
        QTest::newRow("last session killed") << true << true << true;
        // Nothing can have been left: the store is not walked at every start.
        QTest::newRow("last session ended cleanly") << true << false << false;
        // A new or replaced index cannot tell which stored files are still wanted.
        QTest::newRow("index lists nothing") << false << true << false;
    }
    void startSweepsWhatNoRowNames()
    {
        QFETCH(bool, indexListsStudies);
        QFETCH(bool, lastSessionCut);
        QFETCH(bool, swept);
        const QString zip = TestBench::dataPath(QStringLiteral("imported_from_zip"));
        const QString downloads = TestBench::dataPath(QStringLiteral("pacs_downloads"));
        QStringList listed;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            if (indexListsStudies) {
                for (const QString& folder : {zip + "/s1", downloads + "/1.2.3"}) {
                    QVERIFY(!addStudy(&index, folder).isEmpty());
                    for (const QString& name : QDir(folder).entryList(QDir::Files))
                        listed << folder + '/' + name;
                }
                // A row written while the data folder was elsewhere still claims its file.
                QTemporaryDir elsewhere;
                const QString moved = addStudy(&index, elsewhere.filePath("old-profile/imported_from_zip/moved"));
                QVERIFY(!moved.isEmpty());
                for (const QString& name : QDir(elsewhere.filePath("old-profile/imported_from_zip/moved")).entryList(QDir::Files)) {
                    QVERIFY(QDir().mkpath(zip + "/moved"));
                    QVERIFY(QFile::copy(elsewhere.filePath("old-profile/imported_from_zip/moved/" + name), zip + "/moved/" + name));
                    listed << zip + "/moved/" + name;
                }
            }
        }
        const QStringList orphans{zip + "/s1/orphan.dcm", zip + "/lost/x.dcm", downloads + "/gone/y.dcm"};
        const QStringList others{downloads + "/1.2.3/.directory", TestBench::dataPath("other/z.dcm")};
        for (const QString& path : orphans + others)
            fixtures::writeFile(path, "DICM");
        const QString unpack = QDir::tempPath() + '/' + QCoreApplication::applicationName();
        const QStringList oldUnpack{unpack + "-a1B2c3"};
        const QStringList keptFolders{unpack + "-d4E5f6", QDir::tempPath() + "/other-a1B2c3"};
        for (const QString& folder : oldUnpack + keptFolders)
            fixtures::writeFile(folder + "/e00000001", "DICM");
        for (const QString& folder : {oldUnpack.first(), keptFolders.last()})
            QVERIFY(age(folder, 2 * 3600));

        if (lastSessionCut) // a session that was killed had no chance to take its mark away
            fixtures::writeFile(TestBench::dataPath("store_sweep_due"), "");

        auto w = std::make_unique<MainWindow>();
        for (const QString& path : listed + others)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        for (const QString& path : orphans)
            QVERIFY2(QFileInfo::exists(path) != swept, qPrintable(path));
        QCOMPARE(QFileInfo::exists(zip + "/lost"), !swept); // emptied folders go
        QVERIFY(!QFileInfo::exists(oldUnpack.first()));
        for (const QString& folder : keptFolders)
            QVERIFY2(QFileInfo::exists(folder + "/e00000001"), qPrintable(folder));
        for (const QString& folder : oldUnpack + keptFolders)
            QDir(folder).removeRecursively();
        // Ended cleanly, the session leaves nothing for the next start to sweep.
        w.reset();
        QVERIFY(!QFileInfo::exists(TestBench::dataPath("store_sweep_due")));
    }

    // A file that a deletion could not remove is listed nowhere: the next start sweeps it.
    void unremovableFileIsSweptAtTheNextStart()
    {
        const QString folder = TestBench::dataPath(QStringLiteral("imported_from_zip/s"));
        QString stuck;
        {
            MainWindow w;
            const QString uid = addStudy(w.database(), folder);
            stuck = w.database()->studyFilePaths(uid).value(0);
            // A folder under the file's name cannot be removed as a file.
            QVERIFY(QFile::remove(stuck));
            fixtures::writeFile(stuck + "/inside.dcm", "DICM");
            QVERIFY(!addStudy(w.database(), TestBench::dataPath(QStringLiteral("imported_from_zip/other"))).isEmpty());
            w.deleteStudyCompletely(uid);
            QVERIFY(!studyUids(w.database()).contains(uid));
            QVERIFY(QFileInfo::exists(stuck + "/inside.dcm"));
        }
        QVERIFY(QFileInfo::exists(TestBench::dataPath("store_sweep_due")));
        MainWindow again;
        QVERIFY(!QFileInfo::exists(stuck + "/inside.dcm"));
        QCOMPARE(studyUids(again.database()).size(), 1);
    }

    // Studies as "name date imported place [protected]": the study date, the import that many days before
    // today (2024-06-30), the place (zip and dl are managed, out is not and holds 20 slices); the size
    // limit counts two-slice studies (-1: one byte).
    void autoCleanup_data()
    {
        QTest::addColumn<QStringList>("studies");
        QTest::addColumn<int>("maxAgeDays");
        QTest::addColumn<int>("maxStudies");
        QTest::addColumn<QStringList>("kept");
        // Age counts from the import: a study ten years old brought in today stays.
        QTest::newRow("by age") << QStringList{"fresh 20140630 0 zip", "month 20240520 31 zip", "edge 20140101 30 zip",
                                               "undated - 31 dl", "prot 20140630 400 zip p"}
                                << 30 << 0 << QStringList{"fresh", "edge", "prot"};
        // The unmanaged (older) study frees nothing and is not chosen; the oldest managed one goes.
        QTest::newRow("by size") << QStringList{"unmanaged 20230101 0 out", "oldest 20240101 0 dl", "middle 20240201 0 dl",
                                                "newest 20240301 0 dl"}
                                 << 0 << 2 << QStringList{"unmanaged", "middle", "newest"};
        QTest::newRow("by size, all protected") << QStringList{"unmanaged 20230101 0 out", "middle 20240201 0 dl p",
                                                               "newest 20240301 0 dl p"}
                                                << 0 << -1 << QStringList{"unmanaged", "middle", "newest"};
        // What the age rule leaves is already small enough.
        QTest::newRow("both rules") << QStringList{"old1 20200101 400 dl", "old2 20200102 400 dl", "recent 20240601 10 dl"}
                                    << 365 << 1 << QStringList{"recent"};
    }
    void autoCleanup()
    {
        QFETCH(QStringList, studies);
        QFETCH(int, maxAgeDays);
        QFETCH(int, maxStudies);
        QFETCH(QStringList, kept);
        QTemporaryDir outside;
        QHash<QString, QString> uids, folders; // by name
        qint64 studyBytes = 0;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            for (const QString& line : studies) {
                const QStringList f = line.split(u' ');
                folders[f[0]] = f[3] == u"out" ? outside.filePath(f[0])
                                               : TestBench::dataPath((f[3] == u"zip" ? "imported_from_zip/" : "pacs_downloads/") + f[0]);
                uids[f[0]] = addStudy(&index, folders[f[0]], apptest::small(f[3] == u"out" ? 20 : 2, f[1] == u"-" ? QString() : f[1]));
                QVERIFY(!uids[f[0]].isEmpty());
                QVERIFY(f.size() < 5 || index.setStudyProtected(uids[f[0]], true));
                QVERIFY(setImportTime(index, uids[f[0]], QDateTime(QDate(2024, 6, 30).addDays(-f[2].toInt()), QTime(12, 0))));
                if (f[3] != u"out" && !studyBytes)
                    for (const QString& p : index.studyFilePaths(uids[f[0]]))
                        studyBytes += QFileInfo(p).size();
            }
        }
        CleanupSettings rules;
        rules.byAgeEnabled = maxAgeDays > 0;
        rules.maxAgeDays = maxAgeDays;
        rules.bySizeEnabled = maxStudies != 0;
        rules.maxSizeBytes = maxStudies < 0 ? 1 : studyBytes * maxStudies;
        saveCleanupSettings(rules);

        MainWindow w;
        QSet<QString> expected;
        for (auto it = uids.begin(); it != uids.end(); ++it) {
            QCOMPARE(QFileInfo::exists(folders[it.key()]), kept.contains(it.key()));
            if (kept.contains(it.key()))
                expected << it.value();
        }
        QCOMPARE(studyUids(w.database()), expected);
        const int removed = int(studies.size() - kept.size());
        QCOMPARE(w.statusText().startsWith(QStringLiteral("Автоочистка")), removed > 0);
        if (removed)
            QVERIFY2(w.statusText().endsWith(QStringLiteral(" %1").arg(removed)), qPrintable(w.statusText()));
    }
};

QTEST_MAIN(TestStudyMenu)
#include "tst_studymenu.moc"

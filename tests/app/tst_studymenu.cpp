// The study context menu, protection, removal and the start-up clean-up on a real index with managed
// ("imported_from_zip", "pacs_downloads") and unmanaged files: only the program's own copies are ever
// deleted, protected studies never; the start-up sweep deletes only the program's leftovers.

#include "AppTestSupport.h"
#include "support/ModalAnswer.h"
#include "support/DataFolderShape.h"
#include "support/EarlierIndexShapes.h"
#include "support/PopupMenuAnswer.h"
#include "support/PacsTestPeers.h"
#include "support/SmallFileSystem.h"
#include "support/SettingsFileHelpers.h"
#include "support/TestBench.h"

#include "app/ManagedStore.h"
#include "db/CleanupSettings.h"
#include "dialogs/ExportDialog.h"
#include "dicom/AtomicDicomWriter.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/StoreSpace.h"
#include "pacs/UnfinishedRetrieves.h"
#include "platform/ContentDigest.h"
#include "platform/SingleInstanceLock.h"
#include "viewer/ViewerWindow.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QToolBar>
#include <QToolButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utime.h>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

using apptest::addStoredStudy;
using apptest::addStudy;
using apptest::storeFolder;
using fixtures::TestBench;

namespace {

const char kHoldStoreLock[] = "--hold-store-lock";
const QString kZip = QStringLiteral("imported_from_zip");
const QString kDownloads = QStringLiteral("pacs_downloads");
const QString kRemote = QStringLiteral("remote_downloads");
// A store name (an MD5 in hexadecimal) of no particular UID.
const QString kName = QStringLiteral("0123456789abcdef0123456789abcdef");

} // namespace

namespace {

QSet<QString> studyUids(db::Database* index)
{
    QSet<QString> out;
    for (const auto& s : index->allStudies())
        out << s.studyInstanceUid;
    return out;
}

// A user's own study inside the store, imported where it lies, in one of two layouts whose names look
// like the program's: "numbered" as pacs_downloads/2019/1.dcm … n.dcm, "hex" as
// imported_from_zip/<32 hex>/<32 hex>.dcm with names that are not the digests of the files' UIDs.
// Its study UID, empty on failure; files receives the paths.
QString addUserStudyNamedLikeCopies(db::Database* index, const QString& layoutName, QStringList* files,
                                    fixtures::SeriesLayout layout = apptest::small(10))
{
    const auto hex = [](const QString& seed) {
        return QString::fromLatin1(QCryptographicHash::hash(seed.toUtf8(), QCryptographicHash::Md5).toHex());
    };
    const QString folder = layoutName == QLatin1String("numbered")
                               ? TestBench::dataPath(kDownloads + QStringLiteral("/2019"))
                               : TestBench::dataPath(kZip + QLatin1Char('/') + hex(QStringLiteral("user folder")));
    QTemporaryDir scratch;
    files->clear();
    fixtures::completeUids(layout);
    const QStringList written = fixtures::writeSeries(scratch.path(), layout);
    if (written.isEmpty() || !QDir().mkpath(folder))
        return {};
    for (qsizetype i = 0; i < written.size(); ++i) {
        const QString name = layoutName == QLatin1String("numbered") ? QString::number(i + 1)
                                                                     : hex(QStringLiteral("user file %1").arg(i));
        *files << QDir(folder).filePath(name + QStringLiteral(".dcm"));
        if (!QFile::copy(written[i], files->last()))
            return {};
    }
    return fixtures::indexFiles(*index, *files) ? layout.studyUid : QString();
}

// A user's own copy of an object: the same UIDs in other bytes (a comment of theirs added).
bool writeUsersCopy(const QString& original, const QString& path)
{
    DcmFileFormat file;
    return QDir().mkpath(QFileInfo(path).path()) && file.loadFile(QFile::encodeName(original).constData()).good()
           && file.getDataset()->putAndInsertString(DCM_ImageComments, "user's own copy").good()
           && file.saveFile(QFile::encodeName(path).constData(), EXS_LittleEndianExplicit).good();
}

// Every job that copies or sends a study out, run on it as the user would into `out` (folders chosen,
// choices taken, menus dismissed): what the user was told. The viewer's export runs in `opened` when
// given, else in a viewer opened for it.
QStringList exportStudy(MainWindow& w, const QString& job, const QString& studyUid, const QString& out,
                        ViewerWindow* opened = nullptr)
{
    fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
    fixtures::PopupMenuAnswer dismiss(-1);
    bool exported = false;
    answer.setDialogHandler([&](QDialog* d) {
        if (qobject_cast<QProgressDialog*>(d))
            return false;
        if (auto* chooser = qobject_cast<QFileDialog*>(d))
            chooser->setDirectory(out);
        auto* dialog = qobject_cast<ExportDialog*>(d);
        if (!dialog || exported)
            return true;
        // Anonymised DICOM copies of every series the viewer shows.
        exported = true;
        dialog->findChild<QLineEdit*>(QStringLiteral("folderEdit"))->setText(out);
        for (QRadioButton* choice : dialog->findChildren<QRadioButton*>())
            if (choice->text() == QStringLiteral("Все открытые серии") || choice->text() == QStringLiteral("DICOM")
                || choice->text() == QStringLiteral("Основной (анонимный)"))
                choice->setChecked(true);
        QTimer::singleShot(0, dialog, [dialog] {
            for (QPushButton* button : dialog->findChildren<QPushButton*>())
                if (button->text() == QStringLiteral("Экспорт"))
                    button->click();
        });
        return false; // closed on a later tick, after the export has run
    });
    if (job == QLatin1String("exported to a folder")) {
        w.exportStudiesToArchive({studyUid});
    } else if (job == QLatin1String("exported for a flash drive")) {
        w.exportStudiesToFlashDrive(studyUid);
    } else if (job == QLatin1String("burned to disc")) {
        w.burnStudiesToDisc(studyUid);
    } else if (job == QLatin1String("sent by e-mail")) {
        w.sendStudyByEmail(studyUid);
    } else if (job == QLatin1String("sent to PACS")) {
        w.sendStudyToPacs(studyUid);
    } else {
        std::unique_ptr<ViewerWindow> own;
        if (!opened) {
            own = std::make_unique<ViewerWindow>(w.database(), studyUid, QString());
            own->setAttribute(Qt::WA_DeleteOnClose, false);
            own->show();
        }
        ViewerWindow& viewer = opened ? *opened : *own;
        if (!QTest::qWaitFor([&] { return viewer.panel(0)->sliceCount() > 0; }, 30000))
            return {QStringLiteral("the viewer shows nothing")};
        for (QToolButton* button : viewer.toolBar()->findChildren<QToolButton*>())
            if (button->menu())
                for (QAction* entry : button->menu()->actions())
                    if (entry->text() == QStringLiteral("Экспортировать изображения…"))
                        entry->trigger();
        viewer.close();
    }
    return answer.texts();
}

QStringList filesBelow(const QString& folder)
{
    QStringList files;
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next();
    return files;
}

// As if an earlier version had written the index: no row says whether the program wrote its file,
// nor what its bytes were.
bool forgetWhoWroteTheFiles(db::Database& index)
{
    QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
    return q.exec(QStringLiteral("UPDATE instances SET own_copy = NULL, content_digest = NULL"));
}

// Every file below the folder with its bytes, to tell that nothing there changed.
QMap<QString, QByteArray> bytesBelow(const QString& root)
{
    QMap<QString, QByteArray> files;
    for (const QString& path : fixtures::filesBelow(root))
        files.insert(path, fixtures::readFile(QDir(root).filePath(path)));
    return files;
}

// The whole folder copied as a user copies a data folder to a new disk: links, times and marks kept.
bool copyFolder(const QString& from, const QString& to)
{
    return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}) == 0;
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

// Another program's connection to the index file, holding while it lives a read transaction, or the
// write lock.
class OtherProgram
{
public:
    enum Hold { Reading, Writing };
    explicit OtherProgram(const QString& path, Hold hold = Reading)
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        d.setDatabaseName(path);
        QSqlQuery q(d.open() ? d : QSqlDatabase());
        m_ok = hold == Writing ? q.exec(QStringLiteral("BEGIN IMMEDIATE"))
                               : q.exec(QStringLiteral("BEGIN")) && q.exec(QStringLiteral("SELECT COUNT(*) FROM studies")) && q.next();
    }
    ~OtherProgram()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    bool ok() const { return m_ok; }

private:
    const QString m_name = QStringLiteral("other_program");
    bool m_ok = false;
};

// Sets a folder's modification time back by the given number of seconds.
bool age(const QString& path, int seconds)
{
    const time_t when = ::time(nullptr) - seconds;
    const struct utimbuf times{when, when};
    return ::utime(QFile::encodeName(path).constData(), &times) == 0;
}

QString markPath()
{
    return TestBench::dataPath(QStringLiteral("store_sweep_due"));
}

// What a session that was cut short leaves: its mark, laid when it began, after the files it made.
void leaveSessionMark()
{
    fixtures::writeFile(markPath(), "");
}

// Files the program leaves when killed, changed two hours ago (before the session mark).
void writeOldFiles(const QStringList& paths, const QByteArray& bytes = "x")
{
    for (const QString& path : paths) {
        fixtures::writeFile(path, bytes);
        QVERIFY2(age(path, 2 * 3600), qPrintable(path));
    }
}

bool allExist(const QStringList& paths)
{
    for (const QString& path : paths)
        if (!QFileInfo::exists(path)) {
            qWarning() << "missing:" << path;
            return false;
        }
    return true;
}

// The index where the study list finds it with its last page lost, reading back as zeros (as a
// power cut leaves a page that was never written): it opens, but not every row reads.
bool damageIndex()
{
    QFile f(TestBench::dataPath(QStringLiteral("index.sqlite3")));
    constexpr qint64 kPage = 4096;
    return f.open(QIODevice::ReadWrite) && f.seek(f.size() - kPage) && f.write(QByteArray(kPage, '\0')) == kPage;
}

// Another copy of the program on the same data folder: this test started again, holding the data
// folder's session lock until it is killed.
class OtherCopy
{
public:
    OtherCopy()
    {
        m_process.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kHoldStoreLock)});
    }
    ~OtherCopy()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool holdsLock()
    {
        return m_process.waitForReadyRead(30000) && m_process.readLine().trimmed() == "HELD";
    }

private:
    QProcess m_process;
};

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

    // Whether a path is the program's own copy, which a deletion may remove. Paths and the file made
    // first name the data folder {data} and a folder outside it {out}; link, when given, is a folder
    // of the data folder made a link to {out}.
    void managedFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("made");
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("managed");
        const QString copy = kZip + "/" + kName + "/" + kName + ".dcm";
        QTest::newRow("archive import") << "{data}/" + copy << "{data}/" + copy << "" << true;
        QTest::newRow("download") << "{data}/pacs_downloads/1.2/1.2.3.dcm" << "{data}/pacs_downloads/1.2/1.2.3.dcm" << "" << true;
        QTest::newRow("download, second object of one UID") << "{data}/pacs_downloads/1.2/1.2.3_1.dcm"
                                                             << "{data}/pacs_downloads/1.2/1.2.3_1.dcm" << "" << true;
        QTest::newRow("download, dots") << "{data}//pacs_downloads/./1.2/../1.2/1.2.3.dcm"
                                        << "{data}/pacs_downloads/1.2/1.2.3.dcm" << "" << true;
        QTest::newRow("look-alike sibling") << "{data}/imported_from_zip_backup/" + kName + "/" + kName + ".dcm"
                                            << "{data}/imported_from_zip_backup/" + kName + "/" + kName + ".dcm" << "" << false;
        QTest::newRow("look-alike name") << "{data}/pacs_downloads2/1.2/1.2.3.dcm" << "{data}/pacs_downloads2/1.2/1.2.3.dcm"
                                         << "" << false;
        QTest::newRow("climbing out") << "{data}/pacs_downloads/../elsewhere/1.2/1.2.3.dcm"
                                      << "{data}/elsewhere/1.2/1.2.3.dcm" << "" << false;
        QTest::newRow("elsewhere") << "{out}/1.2/1.2.3.dcm" << "{out}/1.2/1.2.3.dcm" << "" << false;
        // Imported where they lay: their names are not the store's.
        QTest::newRow("in place inside the store") << "{data}/imported_from_zip/keep/IM0001"
                                                   << "{data}/imported_from_zip/keep/IM0001" << "" << false;
        QTest::newRow("user's file in a study folder") << "{data}/pacs_downloads/1.2/readme.txt"
                                                       << "{data}/pacs_downloads/1.2/readme.txt" << "" << false;
        QTest::newRow("gone") << "{data}/" + copy << "" << "" << false;
        QTest::newRow("through a link to an outside folder") << "{data}/" + copy << "{out}/" + kName + ".dcm"
                                                             << kZip + "/" + kName << false;
        QTest::newRow("store folder linked outside") << "{data}/pacs_downloads/1.2/1.2.3.dcm" << "{out}/1.2/1.2.3.dcm"
                                                     << kDownloads << false;
    }
    void managedFiles()
    {
        QFETCH(QString, path);
        QFETCH(QString, made);
        QFETCH(QString, link);
        QFETCH(bool, managed);
        QTemporaryDir outside;
        const auto place = [&outside](QString text) {
            return text.replace("{data}", TestBench::dataPath()).replace("{out}", outside.path());
        };
        if (!made.isEmpty())
            fixtures::writeFile(place(made), "DICM");
        if (!link.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(TestBench::dataPath(link)).path()));
            QVERIFY(QFile::link(outside.path(), TestBench::dataPath(link)));
        }
        QCOMPARE(MainWindow::isManagedStudyFile(place(path)), managed);
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
        // Rows the filter hides stay out of a selection that spans them: only the protected study is shown.
        w.findChild<QLineEdit*>()->setText(QStringLiteral("🔒"));
        t->selectAll();
        menu = menuAt(c, 1);
        QVERIFY(entry(menu, "protectAction"));
        QVERIFY(!entry(menu, "removeFromListAction")->text().contains(QStringLiteral("шт.")));
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
        const QString zip = TestBench::dataPath(kZip);
        MainWindow w;
        const QString folderStudy = addStudy(w.database(), outside.filePath("f"));
        const QString zipStudy = addStoredStudy(w.database(), kZip);
        const QString other = addStoredStudy(w.database(), kZip);
        const QString sibling = addStudy(w.database(), zip + "_backup/s3"); // a look-alike folder is not managed
        w.refreshStudyTable();
        fixtures::ModalAnswer yes(QMessageBox::Yes);
        w.deleteStudiesCompletely({folderStudy, zipStudy, sibling});
        QCOMPARE(yes.count(), 1);
        QCOMPARE(studyUids(w.database()), QSet<QString>({other}));
        QCOMPARE(QDir(outside.filePath("f")).entryList(QDir::Files).size(), 2);
        const QStringList left = QDir(zip).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(left.size(), 1); // the deleted study's folder went, the other's and the store stay
        QCOMPARE(QDir(zip + "/" + left.first()).entryList(QDir::Files).size(), 2);
        QCOMPARE(QDir(zip + "_backup/s3").entryList(QDir::Files).size(), 2);
        QCOMPARE(w.studyTable()->rowCount(), 1);
    }

    // Complete deletion of a study whose files are not the program's copies, though their paths
    // begin with a store folder: the rows go, every file stays, and nothing is reported as failed.
    void completeDeletionLeavesWhatIsNotACopy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("imported in place inside the store") << "in place";
        QTest::newRow("imported in place through a link to an outside folder") << "link";
        QTest::newRow("copies reached through a link to an outside folder") << "linked copies";
        // Names the program gives its copies there, yet the program never wrote these files.
        QTest::newRow("user's numbered files in the download folder") << "numbered";
        QTest::newRow("user's files with hexadecimal names in the archive folder") << "hex";
    }
    void completeDeletionLeavesWhatIsNotACopy()
    {
        QFETCH(QString, kind);
        QTemporaryDir outside;
        MainWindow w;
        const QString store = TestBench::dataPath(kZip);
        QVERIFY(QDir().mkpath(store));
        QString uid;
        QStringList files;
        if (kind == "numbered" || kind == "hex") {
            uid = addUserStudyNamedLikeCopies(w.database(), kind, &files);
            QCOMPARE(files.size(), 10);
        } else if (kind == "in place") {
            uid = addStudy(w.database(), store + "/keep");
        } else if (kind == "link") {
            QVERIFY(QFile::link(outside.path(), store + "/linked"));
            uid = addStudy(w.database(), store + "/linked/series");
        } else {
            uid = addStoredStudy(w.database(), kZip, apptest::small(), &files);
            const QString folder = QFileInfo(files.value(0)).path();
            QVERIFY(QDir().rename(folder, outside.filePath("moved")));
            QVERIFY(QFile::link(outside.filePath("moved"), folder));
        }
        QVERIFY(!uid.isEmpty());
        files.clear();
        for (const QString& path : w.database()->studyFilePaths(uid))
            files << QFileInfo(path).canonicalFilePath();
        QCOMPARE(files.size(), kind == "numbered" || kind == "hex" ? 10 : 2);
        fixtures::ModalAnswer yes(QMessageBox::Yes);
        w.deleteStudiesCompletely({uid});
        // The question only; for the program's copies reached through a link, how many stay and why.
        QCOMPARE(yes.count(), kind == "linked copies" ? 2 : 1);
        QVERIFY2(yes.count() == 1 || yes.texts().last().contains(QStringLiteral("заменена ссылкой) — 2")),
                 qPrintable(yes.texts().last()));
        QVERIFY(studyUids(w.database()).isEmpty());
        QVERIFY(allExist(files));
        QVERIFY(w.database()->pendingRemovals().isEmpty());
    }

    // A study of three objects brought by an archive import or a retrieve, two of which a user's files
    // opened where they lie already hold, under the very names the program gives its copies there and
    // in other bytes; the data folder reached as it is, through a link to it, or named relative to the
    // working folder, or first through a link or a bind mount that is gone by the time the study goes
    // (the data folder then reached by its real path). Then the study goes by complete deletion or the
    // clean-up by age. The user's files are never taken for the program's, replaced or removed, and the
    // import or retrieve says it left them; the program's one copy opens and goes with the study. A
    // user's file moved onto the copy's name after the import is not the copy, whatever its size: it
    // stays, and the deletion says so. The data folder copied to a new place, the old one kept (or
    // another data folder found at the old path since): the study opens from the new one and goes from
    // it alone. A store folder made a link to a copy of it: nothing of the copy goes, and the deletion
    // says why. A start after a cut session lists nothing anew: no copy's row goes to a user's file.
    void programsCopiesGoUsersFilesStay_data()
    {
        QTest::addColumn<QString>("source"); // archive, C-GET, C-MOVE
        // absolute, link, relative, link then real, mount then real, moved onto the copy, link then elsewhere
        // (the index alone taken to another data folder: the copy is found nowhere), same size onto the
        // copy, copied (another at the old path), store folder a link, cut session
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("byAge");
        QTest::addColumn<bool>("listed"); // the user's files are in the list before
        for (const char* shape : {"absolute", "link", "relative", "link then real", "mount then real", "moved onto the copy",
                                  "link then elsewhere"})
            for (const bool byAge : {false, true})
                QTest::addRow("archive, data folder %s, %s", shape, byAge ? "clean-up by age" : "complete deletion")
                    << "archive" << shape << byAge << true;
        for (const char* source : {"C-GET", "C-MOVE"})
            for (const bool byAge : {false, true})
                QTest::addRow("%s, %s", source, byAge ? "clean-up by age" : "complete deletion")
                    << source << "absolute" << byAge << true;
        QTest::newRow("C-GET, data folder link then real, complete deletion") << "C-GET" << "link then real" << false << true;
        QTest::newRow("C-MOVE, user's file moved onto the copy, clean-up by age") << "C-MOVE" << "moved onto the copy" << true << true;
        // Not listed: the archive's copies go beside them.
        for (const bool byAge : {false, true})
            QTest::addRow("archive, user's files not listed, %s", byAge ? "clean-up by age" : "complete deletion")
                << "archive" << "absolute" << byAge << false;
        for (const char* shape :
             {"same size onto the copy", "copied", "copied, another at the old path", "store folder a link"})
            for (const bool byAge : {false, true})
                QTest::addRow("archive, %s, %s", shape, byAge ? "clean-up by age" : "complete deletion")
                    << "archive" << shape << byAge << true;
        QTest::newRow("C-GET, copied, complete deletion") << "C-GET"
                                                          << "copied" << false << true;
        QTest::newRow("C-MOVE, same size onto the copy, clean-up by age")
            << "C-MOVE"
            << "same size onto the copy" << true << true;
        // A start with the session mark standing, before the removal.
        for (const bool byAge : {false, true})
            QTest::addRow("archive, user's files not listed, cut session, %s",
                          byAge ? "clean-up by age" : "complete deletion")
                << "archive"
                << "cut session" << byAge << false;
        QTest::newRow("archive, cut session, complete deletion") << "archive"
                                                                 << "cut session" << false << true;
        QTest::newRow("C-MOVE, user's files not listed, cut session, clean-up by age")
            << "C-MOVE"
            << "cut session" << true << false;
    }
    void programsCopiesGoUsersFilesStay()
    {
        QFETCH(QString, source);
        QFETCH(QString, shape);
        QFETCH(bool, byAge);
        QFETCH(bool, listed);
        fixtures::DataFolderShape data;
        QTemporaryDir work;
        fixtures::SeriesLayout layout = apptest::small(3);
        fixtures::completeUids(layout);
        const QStringList sent = fixtures::writeSeries(work.filePath("sent"), layout);
        QCOMPARE(sent.size(), 3);
        // The user's files, opened where they lie by their plain paths.
        QStringList users;
        QList<QByteArray> usersBytes;
        for (const QString& file : sent.mid(0, 2)) {
            const QString sop = dicom::readFileSummary(file)->sopInstanceUid;
            users << (source == "archive" ? apptest::storeFolder(kZip, layout) + "/" + dicom::ZipImportWorker::storeName(sop) + ".dcm"
                                          : apptest::storeFolder(kDownloads, layout) + "/" + sop + ".dcm");
            QVERIFY(writeUsersCopy(file, users.last()));
            usersBytes << fixtures::readFile(users.last());
        }
        if (listed) {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            QVERIFY(fixtures::indexFiles(index, users));
        }
        std::unique_ptr<fixtures::BindMount> mount;
        if (shape == "mount then real") {
            mount = std::make_unique<fixtures::BindMount>(data.home(), work.filePath("mounted"));
            if (!mount->isMounted())
                QSKIP(qPrintable(mount->why()));
            data.moveTo(work.filePath("mounted"));
        } else {
            const QString reached = shape.section(' ', 0, 0);
            QVERIFY(data.reach(reached == "link" || reached == "relative" ? reached : "absolute",
                               work.filePath("data")));
        }
        auto w = std::make_unique<MainWindow>();
        QString said;
        if (source == "archive") {
            QVERIFY(fixtures::writeZip(work.filePath("study.zip"), work.filePath("sent"), sent));
            w->startArchiveImport(work.filePath("study.zip"));
            QTRY_VERIFY_WITH_TIMEOUT(w->statusText().startsWith(QStringLiteral("Импорт из архива завершён")), 60000);
            said = w->statusText();
            QVERIFY2(said.contains(listed ? QStringLiteral("добавлено 1,") : QStringLiteral("добавлено 3,")), qPrintable(said));
        } else {
            const int retrieveMode = source == "C-GET" ? 1 : 0;
            const quint16 listenPort = fixtures::freeLoopbackPort();
            peers::QrArchive pacs;
            pacs.addMoveDestination(QStringLiteral("KALVMENU"), listenPort);
            QVERIFY(pacs.index(sent) && pacs.start());
            pacs::PacsOpenCoordinator coordinator(w->database());
            QSignalSpy finished(&coordinator, &pacs::PacsOpenCoordinator::finished);
            coordinator.startDownload(pacs.server(retrieveMode), peers::localConfig(listenPort, "KALVMENU", {pacs.server(retrieveMode)}),
                                      layout.studyUid, QDir(pacs::pacsDownloadsRoot()).filePath(layout.studyUid),
                                      pacs::PacsOpenCoordinator::ToArchive);
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
            QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
            said = finished.first().at(1).toString();
            QTRY_COMPARE_WITH_TIMEOUT(pacs::PacsRetrieveSession::liveSessions(), 0, 30000);
        }
        QVERIFY2(!listed || (said.contains(QStringLiteral("файлы пользователя")) && said.contains(QStringLiteral(" 2"))),
                 qPrintable(said));
        // The user's files are theirs still, and the folder holds one file per object, and one beside
        // each user's file that no row listed.
        QString folder = QFileInfo(users.first()).path();
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), listed ? 3 : 5);
        int own = 0;
        for (const db::IndexedFile& file : w->database()->studyFiles(layout.studyUid))
            own += file.ownCopy.value_or(false) ? 1 : 0;
        QCOMPARE(own, listed ? 1 : 3);
        for (qsizetype i = 0; i < users.size(); ++i)
            QCOMPARE(fixtures::readFile(users[i]), usersBytes[i]);
        QString copy;
        QMap<QString, QByteArray> oldFiles; // of the data folder at its old path, when copied
        for (const db::IndexedFile& file : w->database()->studyFiles(layout.studyUid))
            if (file.ownCopy.value_or(false))
                copy = QDir(QFileInfo(users.first()).path()).filePath(QFileInfo(file.filePath).fileName());
        if (shape.endsWith("then real")) {
            // The way the copy was written through is gone; the data folder is reached as it is.
            w.reset();
            QVERIFY(mount ? mount->unmount() : QFile::remove(work.filePath("data")));
            QVERIFY(data.reach("absolute"));
            w = std::make_unique<MainWindow>();
            int opened = 0;
            for (const db::SeriesRecord& series : w->database()->seriesForStudy(layout.studyUid))
                for (const db::InstanceRecord& instance : w->database()->instancesForSeries(series.seriesInstanceUid))
                    opened += dicom::readFileSummary(instance.filePath) ? 1 : 0;
            QCOMPARE(opened, 3);
        } else if (shape == "link then elsewhere") {
            w.reset();
            QString index = TestBench::dataPath("index.sqlite3");
            QVERIFY(QFile::remove(work.filePath("data")));
            data.moveTo(work.filePath("elsewhere"));
            QVERIFY(QDir().mkpath(TestBench::dataPath()) && QFile::copy(index.replace(work.filePath("data"), data.home()),
                                                                        TestBench::dataPath("index.sqlite3")));
            w = std::make_unique<MainWindow>();
            users << copy; // stays where it is, out of the data folder's reach
            usersBytes << fixtures::readFile(copy);
        } else if (shape == "moved onto the copy") {
            // The user's own file, made elsewhere and moved onto the copy's name.
            QVERIFY(writeUsersCopy(sent.last(), work.filePath("moved.dcm")));
            QVERIFY(QFile::remove(copy) && QFile::rename(work.filePath("moved.dcm"), copy));
            users << copy;
            usersBytes << fixtures::readFile(copy);
        } else if (shape == "same size onto the copy") {
            // One byte other, as a name edited to one of equal length.
            QByteArray bytes = fixtures::readFile(copy);
            bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
            fixtures::writeFile(work.filePath("moved.dcm"), bytes);
            QVERIFY(QFile::remove(copy) && QFile::rename(work.filePath("moved.dcm"), copy));
            users << copy;
            usersBytes << bytes;
        } else if (shape.startsWith("copied")) {
            w.reset();
            const QString now = work.filePath("copied");
            QVERIFY(copyFolder(data.home(), now));
            if (shape.endsWith("another at the old path")) {
                // The old one taken away, and another data folder there: the same names, other bytes.
                QVERIFY(QDir().rename(data.home(), work.filePath("taken away")));
                QVERIFY(copyFolder(now, data.home()));
                for (const QString& path : fixtures::filesBelow(data.home()))
                    if (path.endsWith(".dcm"))
                        QVERIFY(writeUsersCopy(QDir(data.home()).filePath(path),
                                               QDir(data.home()).filePath(path)));
            }
            oldFiles = bytesBelow(data.home());
            for (QString& path : users)
                path.replace(data.home(), now);
            folder.replace(data.home(), now);
            data.moveTo(now);
            w = std::make_unique<MainWindow>();
            int opened = 0;
            for (const db::SeriesRecord& series : w->database()->seriesForStudy(layout.studyUid))
                for (const db::InstanceRecord& instance :
                     w->database()->instancesForSeries(series.seriesInstanceUid))
                    opened +=
                        instance.filePath.startsWith(now + "/") && dicom::readFileSummary(instance.filePath)
                            ? 1
                            : 0;
            QCOMPARE(opened, 3);
        } else if (shape == "store folder a link") {
            // The store folder replaced by a link to the user's copy of it, kept in the data folder.
            const QString store = TestBench::dataPath(source == "archive" ? kZip : kDownloads);
            w.reset();
            QVERIFY(copyFolder(store, TestBench::dataPath("store copy")) && QDir(store).removeRecursively());
            QVERIFY(QFile::link(TestBench::dataPath("store copy"), store));
            w = std::make_unique<MainWindow>();
            users.clear();
            usersBytes.clear();
            for (const QString& name : QDir(folder).entryList(QDir::Files)) {
                users << QDir(folder).filePath(name);
                usersBytes << fixtures::readFile(users.last());
            }
        } else if (shape == "cut session") {
            // The import's session cut short: the next start looks over the store.
            w.reset();
            leaveSessionMark();
            w = std::make_unique<MainWindow>();
            QCOMPARE(QDir(folder).entryList(QDir::Files).size(), listed ? 3 : 5);
        }

        // The program's copies that stay, and a word of why.
        const int left = shape == "store folder a link"                                      ? own
                         : shape.endsWith("onto the copy") || shape == "link then elsewhere" ? 1
                                                                                             : 0;
        const QString why = shape == "store folder a link" ? QStringLiteral("заменена ссылкой")
                            : shape == "link then elsewhere" ? QStringLiteral("нет там")
                                                             : QStringLiteral("другой файл");
        // The user's listed files, where and as the program keeps its copies, stay too, and are counted
        // apart: the program cannot prove them its own. Not so in a store folder made a link, which is no
        // store, nor in the old data folder, out of the store's reach.
        const int usersLeft =
            listed && shape != "store folder a link" && shape != "link then elsewhere" ? 2 : 0;
        const auto usersCounted = [](const QString& told, const char* pattern) {
            const QRegularExpressionMatch m = QRegularExpression(QString::fromUtf8(pattern)).match(told);
            return m.hasMatch() ? m.captured(1).toInt() : 0;
        };
        if (byAge) {
            QVERIFY(setImportTime(*w->database(), layout.studyUid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
            CleanupSettings rules;
            rules.byAgeEnabled = true;
            rules.maxAgeDays = 30;
            saveCleanupSettings(rules);
            w.reset();
            w = std::make_unique<MainWindow>();
            if (left > 0)
                QVERIFY2(w->statusText().contains(QStringLiteral("заменены другими: %1 (").arg(left)) &&
                             w->statusText().contains(why),
                         qPrintable(w->statusText()));
            QCOMPARE(usersCounted(w->statusText(), "не отмеченные как записанные программой: (\\d+)"),
                     usersLeft);
        } else {
            fixtures::ModalAnswer yes(QMessageBox::Yes);
            w->deleteStudiesCompletely({layout.studyUid});
            // The question, and for the files that stay how many were left, and why.
            QCOMPARE(yes.count(), left > 0 || usersLeft > 0 ? 2 : 1);
            if (left > 0)
                QVERIFY2(yes.texts().last().contains(QStringLiteral(": %1.").arg(left)) &&
                             yes.texts().last().contains(why),
                         qPrintable(yes.texts().last()));
            QCOMPARE(usersCounted(yes.texts().last(), "файлы удалённых исследований: (\\d+)"), usersLeft);
        }
        QVERIFY(studyUids(w->database()).isEmpty());
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), int(users.size()));
        for (qsizetype i = 0; i < users.size(); ++i)
            QCOMPARE(fixtures::readFile(users[i]), usersBytes[i]);
        QVERIFY(w->database()->pendingRemovals().isEmpty());
        w.reset();
        // The data folder at the old path is as it was.
        if (shape.startsWith("copied"))
            QCOMPARE(bytesBelow(data.home()), oldFiles);
    }

    // A retrieve of twelve objects, held once three of them are written (the store's free-space probe
    // waits on the receiving thread), meets the study's removal from the list, its complete deletion,
    // a job that copies or sends it out, or a folder import of a copy of it. A job on the study never
    // ends in a plain success for the part of it that has come: the study list's refuse and say that
    // the study is still arriving and how many objects it holds, the viewer's export says so beside
    // what it wrote, and a viewer opened meanwhile and exported from after the retrieve says how many of
    // the study's files it holds, or takes them all. After the retrieve the study is never listed with fewer
    // objects than the retrieve reports unless it stays marked as unfinished, nor opened from the
    // archive as whole; a removal is done or refused with a word why. An import leaves the program's
    // listed copies theirs and says so, and so does a retrieve of a study an archive import brought
    // before, so that complete deletion then removes every copy from both store folders.
    void retrieveMeetsRemovalOrImport_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<QString>("meets");
        for (const char* source : {"C-GET", "C-MOVE"})
            for (const char* meets : {"removed from the list", "deleted completely",
                                      "removed from the list, the retrieve begun while asked",
                                      "deleted completely, the retrieve begun while asked", "folder import of a copy",
                                      "archive import of a copy", "archive import that looked before the rows came",
                                      "an archive import before",
                                      "an archive import before, its copies gone since", "exported to a folder",
                                      "exported for a flash drive", "burned to disc", "sent by e-mail",
                                      "sent to PACS", "exported from the viewer",
                                      "exported later from a viewer opened while it arrived"})
                QTest::addRow("%s, %s", source, meets) << (qstrcmp(source, "C-GET") == 0 ? 1 : 0) << meets;
    }
    void retrieveMeetsRemovalOrImport()
    {
        QFETCH(int, retrieveMode);
        QFETCH(QString, meets);
        constexpr int kObjects = 12;
        QTemporaryDir work;
        fixtures::SeriesLayout layout = apptest::small(kObjects);
        fixtures::completeUids(layout);
        const QStringList sent = fixtures::writeSeries(work.filePath("sent"), layout);
        const quint16 listenPort = fixtures::freeLoopbackPort();
        peers::QrArchive pacs;
        pacs.addMoveDestination(QStringLiteral("KALVRACE"), listenPort);
        QVERIFY(pacs.index(sent) && pacs.start());
        const QString folder = QDir(pacs::pacsDownloadsRoot()).filePath(layout.studyUid);
        std::atomic_bool held{false}, released{false};
        // An archive import is held at its first copy (after the store's reserve is looked at once),
        // having found that object unlisted, when asked to.
        std::atomic_bool holdImport{false}, importHeld{false}, importReleased{false};
        std::atomic_int zipProbes{0};
        pacs::setStoreFreeSpaceProbe([&](const QString& path) -> qint64 {
            if (path.contains(kZip) && holdImport && ++zipProbes == 2) {
                importHeld = true;
                while (!importReleased)
                    QThread::msleep(5);
            }
            if (QThread::currentThread() != QCoreApplication::instance()->thread() && !released
                && path.contains(kDownloads) && QDir(folder).entryList({QStringLiteral("*.dcm")}, QDir::Files).size() >= 3) {
                held = true;
                while (!released)
                    QThread::msleep(5);
            }
            return 1LL << 40;
        });
        const auto realDisk = qScopeGuard([&] {
            released = true;
            importReleased = true;
            pacs::setStoreFreeSpaceProbe({});
        });
        MainWindow w;
        QVERIFY(fixtures::writeZip(work.filePath("study.zip"), work.filePath("sent"), sent));
        const auto importArchive = [&] {
            w.startArchiveImport(work.filePath("study.zip"));
            return QTest::qWaitFor(
                [&] { return w.statusText().startsWith(QStringLiteral("Импорт из архива завершён")); }, 30000);
        };
        if (meets.startsWith(QStringLiteral("an archive import before"))) {
            released = true;
            QVERIFY(importArchive());
            // Gone, they hold nothing: the retrieve's copies take their rows.
            if (meets.endsWith(QStringLiteral("gone since")))
                for (const QString& copy : w.database()->studyFilePaths(layout.studyUid))
                    QVERIFY(QFile::remove(copy));
        }
        pacs::PacsOpenCoordinator coordinator(w.database());
        QSignalSpy finished(&coordinator, &pacs::PacsOpenCoordinator::finished);
        // As the retrieve says it ended, its thread has yet to: the study is still being received.
        bool receivingAtItsEnd = false;
        connect(&coordinator, &pacs::PacsOpenCoordinator::finished, this,
                [&] { receivingAtItsEnd = pacs::PacsRetrieveSession::isReceiving(layout.studyUid); });
        const pacs::PacsServer server = pacs.server(retrieveMode);
        const auto startRetrieve = [&] {
            coordinator.startDownload(server, peers::localConfig(listenPort, "KALVRACE", {server}), layout.studyUid,
                                      folder, pacs::PacsOpenCoordinator::ToArchive);
        };
        const auto retrieveHeld = [&] { return (held || released) && w.database()->studyExists(layout.studyUid); };
        // Or once the removal's question is open, when the removal has looked at the register.
        const bool beganWhileAsked = meets.endsWith(QStringLiteral("while asked"));
        if (!beganWhileAsked) {
            startRetrieve();
            QVERIFY2(QTest::qWaitFor(retrieveHeld, 30000),
                     qPrintable(finished.isEmpty() ? QStringLiteral("held: %1").arg(bool(held))
                                                   : finished.first().value(1).toString()));
        }
        // The user's copy of the study, in a folder of their own.
        QStringList users;
        for (const QString& file : sent) {
            users << work.filePath("copy/" + QFileInfo(file).fileName());
            QVERIFY(QDir().mkpath(work.filePath("copy")) && QFile::copy(file, users.last()));
        }
        if (meets == "folder import of a copy") {
            w.startFolderImport(work.filePath("copy"));
            QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 30000);
            QVERIFY2(w.statusText().contains(QStringLiteral("копии программы")), qPrintable(w.statusText()));
        } else if (meets == "archive import that looked before the rows came") {
            // The retrieve lists every object, that one too, while the import copies it.
            holdImport = true;
            w.startArchiveImport(work.filePath("study.zip"));
            QVERIFY(QTest::qWaitFor([&] { return bool(importHeld); }, 30000));
            released = true;
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
            importReleased = true;
            QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт из архива завершён")), 30000);
            QVERIFY2(w.statusText().contains(QStringLiteral("копии программы (оставлены как есть) — 12")),
                     qPrintable(w.statusText()));
        } else if (meets == "archive import of a copy") {
            QVERIFY(importArchive());
            QVERIFY2(w.statusText().contains(QStringLiteral("копии программы")), qPrintable(w.statusText()));
        } else if (meets == "exported later from a viewer opened while it arrived") {
            // The viewer keeps what it had: its export after the retrieve takes that and says so, or the
            // whole study.
            ViewerWindow viewer(w.database(), layout.studyUid, QString());
            viewer.setAttribute(Qt::WA_DeleteOnClose, false);
            viewer.show();
            QVERIFY(QTest::qWaitFor([&] { return viewer.panel(0)->sliceCount() > 0; }, 30000));
            released = true;
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
            QTRY_COMPARE_WITH_TIMEOUT(pacs::PacsRetrieveSession::liveSessions(), 0, 30000);
            const QString out = work.filePath("out");
            QVERIFY(QDir().mkpath(out));
            const QString told =
                exportStudy(w, QStringLiteral("exported from the viewer"), layout.studyUid, out, &viewer)
                    .join(QStringLiteral(" | "));
            const int written = int(filesBelow(out).size());
            QVERIFY2(told.contains(QStringLiteral("Экспортировано файлов: %1").arg(written)),
                     qPrintable(told));
            const QRegularExpressionMatch held =
                QRegularExpression(QStringLiteral("файлов исследования: (\\d+) из (\\d+)")).match(told);
            QVERIFY2(held.hasMatch() ? held.captured(1).toInt() == written
                                           && held.captured(2).toInt() == kObjects && written < kObjects
                                     : written == kObjects,
                     qPrintable(told));
        } else if (meets.startsWith(QStringLiteral("export")) || meets.startsWith(QStringLiteral("sent"))
                   || meets == "burned to disc") {
            const QString out = work.filePath("out");
            QVERIFY(QDir().mkpath(out));
            const QString told = exportStudy(w, meets, layout.studyUid, out).join(QStringLiteral(" | "));
            const QRegularExpressionMatch held = QRegularExpression(QStringLiteral("загружается\\D*(\\d+)")).match(told);
            QVERIFY2(held.hasMatch(), qPrintable(told));
            QVERIFY2(held.captured(1).toInt() > 0 && held.captured(1).toInt() < kObjects, qPrintable(told));
            if (meets == "exported from the viewer") {
                const int written = int(filesBelow(out).size());
                QVERIFY2(written > 0 && told.contains(QStringLiteral("Экспортировано файлов: %1").arg(written)),
                         qPrintable(told));
            } else {
                QCOMPARE(filesBelow(out), QStringList());
            }
        } else if (!meets.startsWith(QStringLiteral("an archive import before"))) {
            fixtures::ModalAnswer yes(QMessageBox::Yes);
            bool started = false;
            if (beganWhileAsked)
                yes.setBoxHandler([&](QMessageBox*) {
                    if (!std::exchange(started, true))
                        startRetrieve();
                    return retrieveHeld();
                });
            if (meets.startsWith(QStringLiteral("deleted completely")))
                w.deleteStudiesCompletely({layout.studyUid});
            else
                w.removeStudiesFromList({layout.studyUid});
            QVERIFY2(!w.database()->studyExists(layout.studyUid)
                         || yes.texts().join(QString()).contains(QStringLiteral("загружается")),
                     qPrintable(yes.texts().join(QStringLiteral(" | "))));
            // "Да" meets a retrieve that began after the removal first looked: refused all the same.
            if (beganWhileAsked)
                QVERIFY2(yes.texts().size() == 2 && yes.texts().last().contains(QStringLiteral("загружается")),
                         qPrintable(yes.texts().join(QStringLiteral(" | "))));
        }
        released = true;
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(pacs::PacsRetrieveSession::liveSessions(), 0, 30000);
        QVERIFY(receivingAtItsEnd);
        QVERIFY(!pacs::PacsRetrieveSession::isReceiving(layout.studyUid));
        int listed = 0;
        for (const db::SeriesRecord& series : w.database()->seriesForStudy(layout.studyUid))
            listed += int(w.database()->instancesForSeries(series.seriesInstanceUid).size());
        const int reported = finished.first().at(2).toInt();
        QVERIFY2(pacs::isRetrieveUnfinished(layout.studyUid) || listed == 0 || listed == reported,
                 qPrintable(QStringLiteral("listed %1, reported %2, %3")
                                .arg(listed)
                                .arg(reported)
                                .arg(finished.first().at(1).toString())));
        const pacs::OpenRequestAssessment open = coordinator.assessRequest(
            {layout.studyUid, QStringLiteral("127.0.0.1"), pacs.port(), QString::fromLatin1(peers::QrArchive::aeTitle)});
        if (open.kind == pacs::OpenRequestAssessment::OpenLocal)
            QCOMPARE(listed, kObjects);
        if (!meets.contains(QStringLiteral("import")))
            return;
        QVERIFY(allExist(w.database()->studyFilePaths(layout.studyUid)));
        fixtures::ModalAnswer yes(QMessageBox::Yes);
        w.deleteStudiesCompletely({layout.studyUid});
        QVERIFY(!w.database()->studyExists(layout.studyUid));
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
        QCOMPARE(QDir(apptest::storeFolder(kZip, layout)).entryList(QDir::Files), QStringList());
        QVERIFY(allExist(users));
    }

    // An index of an earlier version, whose rows do not say who wrote their files: from its first start
    // the program takes for its own only the copies whose folder and name are those it gives the
    // row's own UIDs, and a complete deletion or the clean-up by age removes those and no other file.
    void earlierIndexKnowsItsCopiesByTheirNames_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("byCleanup");
        QTest::addColumn<bool>("removed");
        QTest::newRow("archive copies, complete deletion") << "zip" << false << true;
        QTest::newRow("retrieved copies, clean-up by age") << "dl" << true << true;
        // Written through a link to the data folder that is gone since: the data folder reached as it is.
        QTest::newRow("archive copies through a link since gone, complete deletion") << "zip, link" << false << true;
        QTest::newRow("retrieved copies through a link since gone, clean-up by age") << "dl, link" << true << true;
        QTest::newRow("user's numbered files, complete deletion") << "numbered" << false << false;
        QTest::newRow("user's numbered files, clean-up by age") << "numbered" << true << false;
        QTest::newRow("user's hexadecimal names, complete deletion") << "hex" << false << false;
        QTest::newRow("user's hexadecimal names, clean-up by age") << "hex" << true << false;
        // The data folder copied to a new place, the old one kept: the copies go from the new one alone.
        QTest::newRow("archive copies, data folder copied since, complete deletion")
            << "zip, copied" << false << true;
        QTest::newRow("retrieved copies, data folder copied since, clean-up by age")
            << "dl, copied" << true << true;
        // A download from another workstation under the version before, which counted only the other
        // two folders as its store and recorded the download's files whole, without their digests.
        QTest::newRow("remote copies of the version before, complete deletion") << "remote" << false << true;
        QTest::newRow("remote copies of the version before, data folder copied since, clean-up by age")
            << "remote, copied" << true << true;
        // An earlier version's start took a user's file under the copy's name for the copy that the
        // import had put beside it: the user's file stays, the other copy goes.
        QTest::newRow("a user's file an earlier start took for the copy beside it, complete deletion")
            << "zip, taken" << false << true;
    }
    void earlierIndexKnowsItsCopiesByTheirNames()
    {
        QFETCH(QString, layout);
        QFETCH(bool, byCleanup);
        QFETCH(bool, removed);
        QStringList files;
        QString uid;
        fixtures::DataFolderShape data;
        QTemporaryDir work;
        const QString how = layout.section(", ", 1);
        layout = layout.section(", ", 0, 0);
        if (how == "link")
            QVERIFY(data.reach("link", work.filePath("data")));
        QString users; // a user's file taken for a copy
        QByteArray usersBytes;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            const QHash<QString, QString> roots{{"zip", kZip}, {"dl", kDownloads}, {"remote", kRemote}};
            uid = roots.contains(layout) ? addStoredStudy(&index, roots[layout], apptest::small(), &files)
                                         : addUserStudyNamedLikeCopies(&index, layout, &files);
            QVERIFY(!uid.isEmpty());
            QVERIFY(setImportTime(index, uid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
            if (how == "taken") {
                // The copy put beside the user's file, which took its row and size.
                users = files.first();
                const QString beside = users.chopped(4) + "_1.dcm";
                QVERIFY(QFile::rename(users, beside) && writeUsersCopy(beside, users));
                QVERIFY(fixtures::indexFiles(index, {users}, true));
                usersBytes = fixtures::readFile(users);
                files.removeFirst(); // the copy beside it, listed no more, stays as the earlier version left
                                     // it
            }
            QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
            if (layout == "remote") {
                for (const QString& path : std::as_const(files))
                    fixtures::writeFile(path + ".done", {});
                QVERIFY(q.exec("UPDATE instances SET content_digest = NULL")
                        && q.exec("PRAGMA user_version = 2"));
            } else {
                QVERIFY(forgetWhoWroteTheFiles(index));
            }
            // Where the earlier version kept its store, as it recorded it.
            for (const QString& folder : ManagedStore().folders())
                QVERIFY((layout == "remote" && folder.endsWith(kRemote))
                        || q.exec("INSERT OR IGNORE INTO store_folders (folder) VALUES ('" + folder + "/')"));
        }
        QMap<QString, QByteArray> oldFiles;
        if (how == "copied") {
            QVERIFY(copyFolder(data.home(), work.filePath("copied")));
            oldFiles = bytesBelow(data.home());
            for (QString& path : files)
                path.replace(data.home(), work.filePath("copied"));
            data.moveTo(work.filePath("copied"));
        }
        const bool linked = how == "link";
        if (linked) {
            QVERIFY(QFile::remove(work.filePath("data")) && data.reach("absolute"));
            for (QString& path : files)
                path.replace(work.filePath("data"), data.home());
            QVERIFY(allExist(files));
        }
        if (byCleanup) {
            CleanupSettings rules;
            rules.byAgeEnabled = true;
            rules.maxAgeDays = 30;
            saveCleanupSettings(rules);
        }
        fixtures::ModalAnswer yes(QMessageBox::Yes);
        MainWindow w;
        if (!byCleanup)
            w.deleteStudiesCompletely({uid});
        QVERIFY(!studyUids(w.database()).contains(uid));
        int present = 0;
        for (const QString& path : std::as_const(files))
            present += QFileInfo::exists(path) ? 1 : 0;
        QCOMPARE(present, removed ? 0 : int(files.size()));
        // A download's marks of its files being complete go with them: a later download would take
        // the files as got.
        for (const QString& path : std::as_const(files))
            QVERIFY(!QFileInfo::exists(path + ".done"));
        if (how == "taken")
            QCOMPARE(fixtures::readFile(users), usersBytes);
        if (how == "copied")
            QCOMPARE(bytesBelow(data.home()), oldFiles);
    }

    // One old managed study, an age rule that chooses it, and an index that cannot remove its rows:
    // neither the clean-up nor a complete deletion may remove its files, and both say why.
    void failedRowRemovalKeepsTheFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("cause");
        QTest::newRow("read-only index") << "read-only" << "только для чтения";
        // The version before the rows kept their files' versions: opened read as it is, its study whole.
        QTest::newRow("read-only index of an earlier version") << "earlier read-only" << "только для чтения";
        // Every version before it alike.
        for (const QString& version : fixtures::earlierIndexVersions().mid(1))
            QTest::newRow(qPrintable("read-only index of the version " + version))
                << "earlier read-only:" + version << "только для чтения";
        QTest::newRow("another program reading") << "reader" << "другой программой";
        QTest::newRow("row removal refused") << "refused" << "study refused";
    }
    void failedRowRemovalKeepsTheFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, cause);
        const QString indexPath = TestBench::dataPath(QStringLiteral("index.sqlite3"));
        QString folder, uid;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            QStringList stored;
            uid = addStoredStudy(&index, kZip, apptest::small(), &stored);
            folder = QFileInfo(stored.value(0)).path();
            QVERIFY(setImportTime(index, uid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
            if (kind == "refused") {
                QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                QVERIFY(q.exec("CREATE TRIGGER refuse BEFORE DELETE ON studies BEGIN SELECT RAISE(ABORT, 'study refused'); END"));
            }
        }
        // As an earlier version wrote it; the first, the version before the rows kept their files' versions.
        const bool earlier = kind.startsWith("earlier read-only");
        if (earlier)
            QCOMPARE(fixtures::shapeAsEarlierIndex(indexPath, kind.section(':', 1).isEmpty()
                                                                   ? fixtures::earlierIndexVersions().first()
                                                                   : kind.section(':', 1)),
                     QString());
        const QStringList files = QDir(folder).entryList(QDir::Files);
        QCOMPARE(files.size(), 2);
        CleanupSettings rules;
        rules.byAgeEnabled = true;
        rules.maxAgeDays = 30;
        saveCleanupSettings(rules);
        if (kind.contains("read-only"))
            QVERIFY(makeReadOnly(indexPath));
        std::unique_ptr<OtherProgram> reader;
        if (kind == "reader") {
            reader = std::make_unique<OtherProgram>(indexPath);
            QVERIFY(reader->ok());
        }

        fixtures::ModalAnswer answer(QMessageBox::Yes);
        MainWindow w;
        // The user's words only: the data folder is the one name of the system's in them.
        const auto inLibraryWords = [](QString text) {
            return text.remove(QDir::toNativeSeparators(ManagedStore::defaultDataFolder()))
                .contains(QRegularExpression(QStringLiteral("[A-Za-z]{2,}")));
        };
        if (kind != "refused") { // the opening says that the index cannot be written, and why
            QCOMPARE(answer.titles().value(0), QStringLiteral("Локальная база исследований"));
            QVERIFY2(answer.texts().value(0).contains(cause), qPrintable(answer.texts().value(0)));
            QVERIFY2(!inLibraryWords(answer.texts().value(0)), qPrintable(answer.texts().value(0)));
        }
        QVERIFY2(w.statusText().startsWith(QStringLiteral("Автоочистка при запуске не выполнена")),
                 qPrintable(w.statusText()));
        QVERIFY2(w.statusText().contains(cause), qPrintable(w.statusText()));
        QCOMPARE(QDir(folder).entryList(QDir::Files), files);
        QCOMPARE(studyUids(w.database()), QSet<QString>({uid}));
        // The notice tells an earlier version's index apart, and the study opens with every slice.
        QCOMPARE(answer.texts().value(0).contains(QStringLiteral("предыдущей версией")), earlier);
        {
            ViewerWindow viewer(w.database(), uid, QString());
            QCOMPARE(viewer.panelSliceList(0).size(), files.size());
        }

        const int boxes = answer.count();
        w.deleteStudiesCompletely({uid});
        QCOMPARE(answer.titles().mid(boxes), (QStringList{QStringLiteral("Удалить полностью"), QStringLiteral("Ошибка")}));
        QVERIFY2(answer.texts().last().contains(cause), qPrintable(answer.texts().last()));
        if (kind != "refused") { // and what makes the index writable again
            QVERIFY2(answer.texts().last().contains(QStringLiteral("дайте права на запись")), qPrintable(answer.texts().last()));
            QVERIFY2(!inLibraryWords(answer.texts().last()), qPrintable(answer.texts().last()));
        }
        QCOMPARE(QDir(folder).entryList(QDir::Files), files);
        QCOMPARE(studyUids(w.database()), QSet<QString>({uid}));
        QCOMPARE(w.studyTable()->rowCount(), 1);
    }

    // After a session that was cut short, the next start removes the program's temporaries from the
    // store and a killed archive import's unpack folder, and lists again the copies that no row names
    // (a new or replaced index names none); every other file stays, whatever its name or place.
    void startSweepsOnlyTheProgramsLeftovers_data()
    {
        QTest::addColumn<bool>("indexListsStudies");
        QTest::addColumn<bool>("lastSessionCut");
        QTest::addColumn<bool>("swept");
        QTest::newRow("last session killed") << true << true << true;
        // Nothing can have been left: the store is not walked at every start.
        QTest::newRow("last session ended cleanly") << true << false << false;
        // A new or replaced index: the copies in the store are listed again.
        QTest::newRow("index lists nothing") << false << true << true;
    }
    void startSweepsOnlyTheProgramsLeftovers()
    {
        QFETCH(bool, indexListsStudies);
        QFETCH(bool, lastSessionCut);
        QFETCH(bool, swept);
        const QString zip = TestBench::dataPath(kZip);
        const QString downloads = TestBench::dataPath(kDownloads);
        QStringList copies;       // the program's own copies, listed or not
        QSet<QString> indexed;    // the studies the index lists before the start
        QSet<QString> all;        // every study whose copies are in the store
        QString movedUid;
        QTemporaryDir elsewhere;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            db::Database scratch; // an import whose rows never reached the program's index
            QVERIFY(scratch.open(":memory:"));
            for (const QString& root : {kZip, kDownloads}) {
                QStringList files;
                const QString uid = addStoredStudy(indexListsStudies ? &index : &scratch, root, apptest::small(), &files);
                QVERIFY(!uid.isEmpty());
                copies << files;
                all << uid;
                if (indexListsStudies)
                    indexed << uid;
            }
            QStringList files;
            const QString unlisted = addStoredStudy(&scratch, kZip, apptest::small(), &files);
            copies << files;
            all << unlisted;
            // Rows written while the data folder was elsewhere: the copies are found where they are now.
            QStringList moved;
            movedUid = addStoredStudy(&scratch, kZip, apptest::small(), &moved);
            QVERIFY(!movedUid.isEmpty());
            for (const QString& file : moved) {
                const QString old = elsewhere.filePath("old-profile/" + QDir(TestBench::dataPath()).relativeFilePath(file));
                fixtures::writeFile(old, fixtures::readFile(file));
                QVERIFY(!indexListsStudies || fixtures::indexFiles(index, {old}));
            }
            if (indexListsStudies)
                indexed << movedUid;
            copies << moved;
            all << movedUid;
        }
        const QString copyFolder = QFileInfo(copies.first()).path();
        const QString copyName = QFileInfo(copies.first()).fileName();
        const QStringList leftovers{copyFolder + "/." + copyName + ".Ab12Cd.tmp", copyFolder + "/qt_temp.Xy34Zw",
                                    downloads + "/.receiving-1.part",
                                    QFileInfo(copies.at(2)).path() + "/.receiving-2.part"};
        const QStringList others{zip + "/s1/orphan.dcm",        zip + "/lost/x.dcm",
                                 downloads + "/gone/y.dcm",     QFileInfo(copies.at(2)).path() + "/.directory",
                                 TestBench::dataPath("other/z.dcm"), zip + "/" + kName + "/.notes.Ab12Cd.tmp",
                                 zip + "/" + kName + "/" + kName + ".dcm"}; // not DICOM
        writeOldFiles(leftovers + others, "DICM");
        const QString unpack = QDir::tempPath() + '/' + QCoreApplication::applicationName();
        const QStringList oldUnpack{unpack + "-a1B2c3"};
        const QStringList keptFolders{unpack + "-d4E5f6", QDir::tempPath() + "/other-a1B2c3"};
        for (const QString& folder : oldUnpack + keptFolders)
            fixtures::writeFile(folder + "/e00000001", "DICM");
        for (const QString& folder : {oldUnpack.first(), keptFolders.last()})
            QVERIFY(age(folder, 2 * 3600));

        if (lastSessionCut) // a session that was killed had no chance to take its mark away
            leaveSessionMark();

        auto w = std::make_unique<MainWindow>();
        QVERIFY(allExist(copies + others));
        for (const QString& path : leftovers)
            QVERIFY2(QFileInfo::exists(path) != swept, qPrintable(path));
        QCOMPARE(studyUids(w->database()), swept ? all : indexed);
        if (swept) { // found where they are now, not where the rows said
            for (const QString& path : w->database()->studyFilePaths(movedUid))
                QVERIFY2(path.startsWith(zip), qPrintable(path));
            QVERIFY2(w->statusText().contains(QStringLiteral("Снова в списке")), qPrintable(w->statusText()));
        }
        QVERIFY(!QFileInfo::exists(oldUnpack.first()));
        for (const QString& folder : keptFolders)
            QVERIFY2(QFileInfo::exists(folder + "/e00000001"), qPrintable(folder));
        for (const QString& folder : oldUnpack + keptFolders)
            QDir(folder).removeRecursively();
        // Ended cleanly, the session leaves nothing for the next start to sweep.
        w.reset();
        QVERIFY(!QFileInfo::exists(markPath()));
    }

    // Files that a removal could not take are named; they stay on the pending list and the session
    // mark stays, so the next start removes them once it can.
    void unremovableFileIsNamedAndRemovedLater_data()
    {
        QTest::addColumn<bool>("byCleanup");
        QTest::newRow("complete deletion") << false;
        QTest::newRow("start-up clean-up") << true;
    }
    void unremovableFileIsNamedAndRemovedLater()
    {
        QFETCH(bool, byCleanup);
        QStringList files;
        QString uid;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            uid = addStoredStudy(&index, kZip, apptest::small(), &files);
            QVERIFY(!addStoredStudy(&index, kZip).isEmpty());
            QVERIFY(setImportTime(index, uid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
        }
        if (byCleanup) {
            CleanupSettings rules;
            rules.byAgeEnabled = true;
            rules.maxAgeDays = 30;
            saveCleanupSettings(rules);
        }
        // A folder under a copy's name cannot be removed as a file.
        const QString stuck = files.first();
        const QByteArray written = fixtures::readFile(stuck);
        QVERIFY(QFile::remove(stuck));
        fixtures::writeFile(stuck + "/inside.dcm", "DICM");
        {
            fixtures::ModalAnswer answer(QMessageBox::Yes);
            MainWindow w;
            if (!byCleanup)
                w.deleteStudyCompletely(uid);
            QVERIFY(!studyUids(w.database()).contains(uid));
            const QString said = byCleanup ? w.statusText() : answer.texts().value(0);
            QVERIFY2(said.contains(QStringLiteral("не удалось удалить файлов: 1"), Qt::CaseInsensitive), qPrintable(said));
            QVERIFY2(said.contains(QFileInfo(stuck).fileName()), qPrintable(said));
            QVERIFY(!QFileInfo::exists(files.last()));
            QCOMPARE(w.database()->pendingRemovals(), QStringList{stuck});
        }
        QVERIFY(QFileInfo::exists(markPath()));
        QVERIFY(QFileInfo::exists(stuck + "/inside.dcm"));
        // Once the obstacle is gone, the next start removes the file that was left.
        QVERIFY(QDir(stuck).removeRecursively());
        writeOldFiles({stuck}, written);
        {
            MainWindow again;
            QVERIFY(!QFileInfo::exists(stuck));
            QVERIFY(again.database()->pendingRemovals().isEmpty());
            QCOMPARE(studyUids(again.database()).size(), 1);
        }
        QVERIFY(!QFileInfo::exists(markPath()));
    }

    // Studies as "name date imported place [p] [u]": the study date, the import that many days before
    // today (2024-06-30), the place (zip and dl are managed, out is not and holds 20 slices, usr is a
    // user's folder inside the download folder), p protected, u its file sizes not known to the index
    // (as an earlier version wrote its rows); the size limit counts two-slice studies (-1: one byte).
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
        // Sizes an earlier version did not keep are measured before the store is summed.
        QTest::newRow("by size, sizes not known yet") << QStringList{"oldest 20240101 0 dl u", "middle 20240201 0 zip u",
                                                                     "newest 20240301 0 dl"}
                                                      << 0 << 2 << QStringList{"middle", "newest"};
        // Files of the user's in the store's folder are neither the program's to remove nor its store.
        QTest::newRow("by size, user's files in the store folder")
            << QStringList{"user 20230101 0 usr", "oldest 20240101 0 dl", "middle 20240201 0 dl", "newest 20240301 0 dl"}
            << 0 << 2 << QStringList{"user", "middle", "newest"};
        // Files of a user's whose names are those the program gives its copies: the rows of their
        // studies go by age, the files stay.
        QTest::newRow("by age, user's files named like the program's copies")
            << QStringList{"numbered 20140630 400 unum", "hexnames 20140630 400 uhex", "fresh 20140630 0 zip"} << 30 << 0
            << QStringList{"fresh"};
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
        QHash<QString, QStringList> userFiles; // of the studies in a user's folder, by name
        qint64 studyBytes = 0;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            for (const QString& line : studies) {
                const QStringList f = line.split(u' ');
                const fixtures::SeriesLayout layout = apptest::small(f[3] == u"out" ? 20 : 2, f[1] == u"-" ? QString() : f[1]);
                if (f[3] == u"out" || f[3] == u"usr") {
                    folders[f[0]] = f[3] == u"out" ? outside.filePath(f[0]) : TestBench::dataPath(kDownloads + "/" + f[0]);
                    uids[f[0]] = addStudy(&index, folders[f[0]], layout);
                    userFiles[f[0]] = index.studyFilePaths(uids[f[0]]);
                } else if (f[3] == u"unum" || f[3] == u"uhex") {
                    uids[f[0]] = addUserStudyNamedLikeCopies(&index, f[3] == u"unum" ? "numbered" : "hex",
                                                             &userFiles[f[0]], layout);
                    folders[f[0]] = QFileInfo(userFiles[f[0]].value(0)).path();
                } else {
                    QStringList stored;
                    uids[f[0]] = addStoredStudy(&index, f[3] == u"zip" ? kZip : kDownloads, layout, &stored);
                    folders[f[0]] = QFileInfo(stored.value(0)).path();
                }
                QVERIFY(!uids[f[0]].isEmpty());
                QVERIFY(!f.mid(4).contains(u"p") || index.setStudyProtected(uids[f[0]], true));
                if (f.mid(4).contains(u"u")) {
                    QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                    QVERIFY(q.exec(QStringLiteral("UPDATE instances SET file_size = NULL WHERE series_instance_uid IN "
                                                  "(SELECT series_instance_uid FROM series WHERE study_instance_uid = '%1')")
                                       .arg(uids[f[0]])));
                }
                QVERIFY(setImportTime(index, uids[f[0]], QDateTime(QDate(2024, 6, 30).addDays(-f[2].toInt()), QTime(12, 0))));
                if ((f[3] == u"zip" || f[3] == u"dl") && !studyBytes)
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
            // A user's files stay, whether or not the rules remove the study's rows.
            if (userFiles.contains(it.key()))
                QVERIFY(allExist(userFiles[it.key()]));
            else
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

    // An age clean-up of more studies than one transaction takes: every study goes, a batch at a time
    // with the program's copies; a batch whose rows cannot be removed stays whole, files and all, and
    // the batches before it stay removed. Batches go by study UID: a stored study sorting first, 2,600
    // studies indexed where they lie, a stored study sorting last.
    void ageCleanupGoesInBatches_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("every batch") << false;
        QTest::newRow("second batch refused") << true;
    }
    void ageCleanupGoesInBatches()
    {
        QFETCH(bool, refused);
        QStringList firstFiles, lastFiles;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            fixtures::SeriesLayout first = apptest::small(), last = apptest::small();
            first.studyUid = QStringLiteral("1.1.1");
            last.studyUid = QStringLiteral("1.9.9");
            QVERIFY(!addStoredStudy(&index, kZip, first, &firstFiles).isEmpty());
            QVERIFY(!addStoredStudy(&index, kDownloads, last, &lastFiles).isEmpty());
            QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
            for (const char* sql :
                 {"INSERT INTO patients (patient_id, patient_name) VALUES ('BULK', 'Bulk')",
                  "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < 2599) "
                  "INSERT INTO studies (study_instance_uid, patient_key, study_date) SELECT printf('1.5.%04d', x), "
                  "(SELECT patient_key FROM patients WHERE patient_id = 'BULK'), '20200101' FROM n",
                  "INSERT INTO series (series_instance_uid, study_instance_uid, modality) SELECT study_instance_uid "
                  "|| '.1', study_instance_uid, 'CT' FROM studies WHERE study_instance_uid LIKE '1.5.%'",
                  "INSERT INTO instances (sop_instance_uid, series_instance_uid, file_path) SELECT "
                  "series_instance_uid || '.1', series_instance_uid, '/nonexistent/' || series_instance_uid "
                  "FROM series WHERE series_instance_uid LIKE '1.5.%'",
                  "UPDATE studies SET imported_at = '2020-01-01T08:00:00Z'"})
                QVERIFY2(q.exec(QString::fromLatin1(sql)), qPrintable(q.lastError().text()));
            if (refused)
                QVERIFY(q.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE DELETE ON studies WHEN "
                                              "OLD.study_instance_uid = '1.5.2500' BEGIN SELECT RAISE(ABORT, 'refused'); END")));
            QCOMPARE(studyUids(&index).size(), 2602);
        }
        CleanupSettings rules;
        rules.byAgeEnabled = true;
        rules.maxAgeDays = 30;
        saveCleanupSettings(rules);

        MainWindow w;
        const QSet<QString> left = studyUids(w.database());
        QVERIFY(!allExist(firstFiles));
        QCOMPARE(allExist(lastFiles), refused);
        if (!refused) {
            QVERIFY(left.isEmpty());
            QVERIFY2(w.statusText().endsWith(QStringLiteral(" 2602")), qPrintable(w.statusText()));
            return;
        }
        // The first 2,000 by UID went: the first stored study and 1.5.0000 to 1.5.1998.
        QCOMPARE(left.size(), 602);
        QVERIFY(left.contains("1.5.1999") && left.contains("1.9.9") && !left.contains("1.5.1998"));
        QVERIFY2(w.statusText().contains(QStringLiteral("— 2000")) && w.statusText().contains(QStringLiteral("602")),
                 qPrintable(w.statusText()));
        QVERIFY(w.database()->pendingRemovals().isEmpty());
    }

    // A start after a session that was cut short, with files in and around the store that are not
    // provably the program's leftovers. Every row has a listed study of three copies, a temporary file
    // of the program beside them that a sweep removes, and the session mark standing; the age
    // clean-up would choose the study.
    void startSweepSparesWhatIsNotProvablyLeftOver_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("sweeps");   // the temporary goes
        QTest::addColumn<int>("studies");   // listed after the start (-1: not looked at)
        QTest::addColumn<QString>("said");  // a word of a message box or the status line
        QTest::newRow("index lost a page") << "damaged" << false << -1 << "повреждена";
        QTest::newRow("user files in the store") << "user files" << true << 1 << "";
        QTest::newRow("store folder linked to a user folder") << "linked root" << true << 1 << "";
        QTest::newRow("folder import inside the store, cut short") << "in place" << true << 2 << "";
        QTest::newRow("older index restored") << "restored" << true << 3 << "Снова в списке";
        QTest::newRow("data folder below a folder named imported_from_zip") << "nested data" << true << 1 << "";
        QTest::newRow("another copy holds the data folder") << "other copy" << false << 1 << "другая запущенная копия";
        // The user removed the study from the list only, in a session that ended cleanly.
        QTest::newRow("study removed from the list") << "removed from list" << true << 0 << "";
        // An import cut before its rows: its copy beside a user's file under the copy's name, and a
        // user's file alone under another. Listed again, the copy as the program's by its mark, the
        // user's files as theirs, which its complete deletion leaves.
        QTest::newRow("cut import beside a user's file") << "cut import" << true << 2 << "Снова в списке";
        // An import cut before its rows, and the data folder then copied by "cp -r", which drops the
        // copies' marks: listed again as files the program cannot prove its own, which complete deletion
        // and the clean-up by age leave, and say how many.
        QTest::newRow("cut import copied without its marks, complete deletion")
            << "unmarked, deleted" << true << 2 << "Снова в списке";
        QTest::newRow("cut import copied without its marks, clean-up by age")
            << "unmarked, by age" << true << 2 << "Снова в списке";
    }
    void startSweepSparesWhatIsNotProvablyLeftOver()
    {
        QFETCH(QString, kind);
        QFETCH(bool, sweeps);
        QFETCH(int, studies);
        QFETCH(QString, said);
        fixtures::DataFolderShape data;
        if (kind == "nested data") {
            data.moveTo(data.home() + "/imported_from_zip/inner");
            QVERIFY(TestBench::dataPath().contains("/imported_from_zip/inner/"));
        }
        QTemporaryDir outside;
        const QString zip = TestBench::dataPath(kZip);
        const QString downloads = TestBench::dataPath(kDownloads);
        const QString indexPath = TestBench::dataPath("index.sqlite3");
        QStringList kept; // files that must stay
        QString keptUid;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            QStringList files;
            keptUid = addStoredStudy(&index, kZip, apptest::small(3), &files);
            QVERIFY(setImportTime(index, keptUid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
            kept << files;
            if (kind == "damaged") // rows enough that the index's last pages hold some
                QVERIFY(!addStudy(&index, outside.filePath("many"), apptest::small(60)).isEmpty());
            if (kind == "in place") { // two of five files were indexed when the import was killed
                const QStringList inPlace = fixtures::writeSeries(zip + "/scans", apptest::small(5));
                QVERIFY(fixtures::indexFiles(index, inPlace.mid(0, 2)));
                kept << inPlace;
            }
            if (kind == "restored") { // the index as it was before two more studies came
                QVERIFY(QFile::copy(indexPath, outside.filePath("backup.sqlite3")));
                for (const QString& root : {kZip, kDownloads}) {
                    QVERIFY(!addStoredStudy(&index, root, apptest::small(), &files).isEmpty());
                    kept << files;
                }
            }
        }
        if (kind == "restored") {
            QVERIFY(QFile::remove(indexPath));
            QVERIFY(QFile::copy(outside.filePath("backup.sqlite3"), indexPath));
        }
        if (kind == "damaged")
            QVERIFY(damageIndex());
        if (kind == "user files") {
            const QStringList mine{downloads + "/my notes/readme.txt", downloads + "/1.2.840.1/1.2.840.1.5.dcm"};
            writeOldFiles(mine);
            kept << mine << fixtures::writeSeries(zip + "/keep", apptest::small(1));
        }
        if (kind == "linked root") { // eleven files of a user folder, some of them named like the store's
            QVERIFY(QFile::link(outside.filePath("user"), downloads));
            QStringList mine;
            for (int i = 0; i < 8; ++i)
                mine << outside.filePath(QStringLiteral("user/notes %1.txt").arg(i));
            mine << outside.filePath("user/.receiving-1.part") << outside.filePath("user/1.2.3/.receiving-2.part");
            writeOldFiles(mine);
            db::Database scratch;
            QVERIFY(scratch.open(":memory:"));
            QStringList copy;
            QVERIFY(!addStoredStudy(&scratch, kDownloads, apptest::small(1), &copy).isEmpty());
            for (const QString& path : copy)
                mine << QFileInfo(path).canonicalFilePath();
            QCOMPARE(mine.size(), 11);
            kept << mine;
        }
        QString cutUid, cutCopy;
        if (kind == "cut import") {
            QTemporaryDir sent;
            fixtures::SeriesLayout layout = apptest::small(2);
            fixtures::completeUids(layout);
            const QStringList objects = fixtures::writeSeries(sent.path(), layout);
            QCOMPARE(objects.size(), 2);
            cutUid = layout.studyUid;
            for (const QString& object : objects) {
                const QString name =
                    apptest::storeFolder(kZip, layout) + "/" +
                    dicom::ZipImportWorker::storeName(dicom::readFileSummary(object)->sopInstanceUid);
                QVERIFY(writeUsersCopy(object, name + ".dcm"));
                QVERIFY(age(name + ".dcm", 2 * 3600));
                kept << name + ".dcm";
                if (object == objects.first()) {
                    cutCopy = name + "_1.dcm";
                    QVERIFY(dicom::AtomicDicomWriter::copyFile(object, cutCopy));
                    QVERIFY(age(cutCopy, 2 * 3600));
                }
            }
        }
        QStringList unmarked;
        if (kind.startsWith("unmarked")) {
            QTemporaryDir sent;
            fixtures::SeriesLayout layout = apptest::small(3);
            fixtures::completeUids(layout);
            cutUid = layout.studyUid;
            for (const QString& object : fixtures::writeSeries(sent.path(), layout)) {
                const QString sop = dicom::readFileSummary(object)->sopInstanceUid;
                unmarked << apptest::storeFolder(kZip, layout) + "/" + dicom::ZipImportWorker::storeName(sop)
                                + ".dcm";
                QVERIFY(QDir().mkpath(QFileInfo(unmarked.last()).path()));
                QVERIFY(dicom::AtomicDicomWriter::copyFile(object, unmarked.last()));
                QVERIFY(!platform::ContentDigest::provenMark(unmarked.last()).isEmpty());
            }
            const QString home = data.home();
            const QString copied = outside.filePath("copied");
            QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), home, copied}), 0);
            data.moveTo(copied);
            for (QStringList* paths : {&kept, &unmarked})
                for (QString& path : *paths)
                    path.replace(home, copied);
            QVERIFY(platform::ContentDigest::provenMark(unmarked.first()).isEmpty());
            kept << unmarked;
        }
        const QString temporary = QFileInfo(kept.first()).path() + "/." + QFileInfo(kept.first()).fileName() + ".Zz99Yy.tmp";
        writeOldFiles({temporary});
        CleanupSettings rules;
        rules.byAgeEnabled = true;
        rules.maxAgeDays = 30;
        saveCleanupSettings(rules);
        if (kind != "damaged") // only the damaged index lets the clean-up go unnoticed
            saveCleanupSettings(CleanupSettings{});
        std::unique_ptr<OtherCopy> other;
        if (kind == "other copy") {
            other = std::make_unique<OtherCopy>();
            QVERIFY(other->holdsLock());
        }
        if (kind == "removed from list") {
            fixtures::ModalAnswer yes(QMessageBox::Yes);
            MainWindow w;
            w.removeStudiesFromList({keptUid});
            QVERIFY(studyUids(w.database()).isEmpty());
        }
        leaveSessionMark();

        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            MainWindow w;
            QVERIFY(allExist(kept));
            QCOMPARE(QFileInfo::exists(temporary), !sweeps);
            if (studies >= 0)
                QCOMPARE(studyUids(w.database()).size(), studies);
            if (kind == "in place") // the files the import did not reach are not taken for copies
                QCOMPARE(w.database()->studyFilePaths(*(studyUids(w.database()) - QSet<QString>{keptUid}).begin()).size(), 2);
            if (kind == "nested data" || kind == "other copy")
                QCOMPARE(w.database()->studyFilePaths(keptUid).size(), 3);
            if (kind == "removed from list") { // until the same files are imported again
                QCOMPARE(w.database()->leftUnlisted().size(), 3);
                QVERIFY(fixtures::indexFiles(*w.database(), kept.mid(0, 3)));
                QVERIFY(w.database()->leftUnlisted().isEmpty());
                QCOMPARE(studyUids(w.database()).size(), 1);
            }
            const QString shown = answer.texts().join('\n') + '\n' + w.statusText();
            QVERIFY2(shown.contains(said), qPrintable(shown));
            if (kind == "cut import") {
                QMap<QString, QByteArray> users;
                for (const QString& path : kept.mid(kept.size() - 2))
                    users.insert(path, fixtures::readFile(path));
                w.deleteStudyCompletely(cutUid);
                QVERIFY(!QFileInfo::exists(cutCopy));
                for (auto it = users.cbegin(); it != users.cend(); ++it)
                    QCOMPARE(fixtures::readFile(it.key()), it.value());
            }
            if (kind.startsWith("unmarked")) {
                int notOwn = 0;
                for (const db::IndexedFile& file : w.database()->studyFiles(cutUid))
                    notOwn += file.ownCopy == false ? 1 : 0;
                QCOMPARE(notOwn, 3);
            }
            if (kind == "unmarked, deleted") {
                const int before = answer.count();
                w.deleteStudyCompletely(cutUid);
                QCOMPARE(answer.count(), before + 1);
                const QRegularExpression count(QStringLiteral("файлы удалённых исследований: (\\d+)"));
                const QRegularExpressionMatch left = count.match(answer.texts().last());
                QVERIFY2(left.hasMatch() && left.captured(1).toInt() == 3, qPrintable(answer.texts().last()));
            }
        }
        if (kind == "unmarked, by age") {
            {
                db::Database index;
                QVERIFY(openProgramIndex(index));
                QVERIFY(setImportTime(index, cutUid, QDateTime(QDate(2023, 1, 1), QTime(12, 0))));
                QVERIFY(index.setStudyProtected(keptUid, true));
            }
            CleanupSettings byAge;
            byAge.byAgeEnabled = true;
            byAge.maxAgeDays = 30;
            saveCleanupSettings(byAge);
            MainWindow w;
            QVERIFY(!w.database()->studyExists(cutUid));
            const QRegularExpression count(QStringLiteral("не отмеченные как записанные программой: (\\d+)"));
            const QRegularExpressionMatch left = count.match(w.statusText());
            QVERIFY2(left.hasMatch() && left.captured(1).toInt() == 3, qPrintable(w.statusText()));
        }
        // What could not be done is still due at the next start.
        QCOMPARE(QFileInfo::exists(markPath()), !sweeps);
        QVERIFY(allExist(kept));
    }

    // A start after a session that was cut short, that cannot list again the 300 copies the session
    // left without rows: the disk of the data folder nearly full, or full to its last byte (no lock can
    // be made), or another program holding the index past the time-out. The cause is named, and the
    // mark stays, so that the next start, with room again, lists them. An index of an earlier version
    // whose rows cannot be placed in the store for want of room says so too, and is placed at the next
    // start. An index that cannot even be made there is named as the cause by an import meanwhile.
    void startThatCannotListTheStoreSaysWhy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("said"); // a word of the status line
        QTest::newRow("disk nearly full") << "nearly full" << "нет места";
        QTest::newRow("disk full to the last byte") << "full" << "нет места";
        QTest::newRow("no index, disk full to the last byte") << "no index" << "нет места";
        QTest::newRow("earlier index, disk nearly full") << "earlier" << "Не удалось обновить";
        QTest::newRow("index held past the time-out") << "held" << "занята";
    }
    void startThatCannotListTheStoreSaysWhy()
    {
        QFETCH(QString, kind);
        QFETCH(QString, said);
        fixtures::DataFolderShape data;
        QTemporaryDir work;
        std::unique_ptr<fixtures::SmallFileSystem> disk;
        if (kind != "held") {
            disk = std::make_unique<fixtures::SmallFileSystem>(work.filePath("disk"), 16 << 20);
            if (!disk->isMounted())
                QSKIP(qPrintable(disk->why()));
            data.moveTo(work.filePath("disk/data"));
        }
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            QVERIFY(!addStoredStudy(&index, kZip, apptest::small(kind == "earlier" ? 300 : 2)).isEmpty());
            if (kind == "earlier") { // rows an earlier version wrote, not yet placed in the store
                QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                QVERIFY(q.exec(QStringLiteral("DELETE FROM store_folders")) && q.exec(QStringLiteral("UPDATE instances SET in_store = 0")));
            }
        }
        if (kind != "earlier") {
            db::Database scratch; // the cut session's rows never reached the index
            QVERIFY(scratch.open(":memory:"));
            QVERIFY(!addStoredStudy(&scratch, kZip, apptest::small(300)).isEmpty());
            leaveSessionMark();
        }
        if (kind == "no index")
            QVERIFY(QFile::remove(TestBench::dataPath("index.sqlite3")));
        const auto listed = [](db::Database* index) {
            int rows = 0;
            for (const db::StudyRecord& study : index->allStudies())
                rows += study.instanceCount;
            return rows;
        };
        if (kind == "held") {
            // The sweep itself, while another program writes past the time-out: what the window shows
            // and keeps comes from its report.
            db::Database index;
            QVERIFY(openProgramIndex(index));
            ManagedStore::SweepReport report;
            {
                OtherProgram writer(TestBench::dataPath("index.sqlite3"), OtherProgram::Writing);
                QVERIFY(writer.ok());
                report = ManagedStore().sweep(index, QDateTime());
            }
            QVERIFY(!report.complete());
            QCOMPARE(report.unlisted, 300);
            QVERIFY2(report.cause.contains(said), qPrintable(report.cause));
            QCOMPARE(listed(&index), 2);
        } else {
            QVERIFY(disk->fillLeaving(kind == "full" || kind == "no index" ? 0 : kind == "earlier" ? 32 * 1024 : 64 * 1024));
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            MainWindow w;
            const QString shown = w.statusText();
            QVERIFY2(shown.contains(said), qPrintable(shown));
            QVERIFY2(!shown.contains(QStringLiteral("другая запущенная копия")), qPrintable(shown));
            QCOMPARE(listed(w.database()), kind == "earlier" ? 300 : kind == "no index" ? 0 : 2);
            if (kind == "no index") {
                // A folder import meanwhile (its files lie elsewhere) names why nothing is listed.
                QVERIFY(!fixtures::writeSeries(work.filePath("import"), apptest::small(2)).isEmpty());
                const qsizetype boxes = answer.texts().size();
                w.startFolderImport(work.filePath("import"));
                QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 30000);
                // Its box opens only after that end, from the main loop.
                QTRY_COMPARE_WITH_TIMEOUT(answer.texts().size(), boxes + 1, 30000);
                QVERIFY2(answer.texts().last().contains(said), qPrintable(answer.texts().last()));
            }
        }
        QCOMPARE(QFileInfo::exists(markPath()), kind != "earlier");
        // With room again, and the index free, the next start lists every copy, and places every row.
        if (disk)
            disk->empty();
        {
            MainWindow w;
            QCOMPARE(listed(w.database()), kind == "earlier" ? 300 : 302);
            QVERIFY(w.database()->allStudies().constFirst().storeBytes > 0);
            QVERIFY2(!w.statusText().contains(said), qPrintable(w.statusText()));
        }
        QVERIFY(!QFileInfo::exists(markPath()));
    }

    // A removal cut short between its commit and its files (a killed clean-up or deletion) is
    // finished at the next start, for the program's own copies only (the files of the bytes recorded)
    // and not for a file that was indexed again since, wherever the data folder was reached from.
    // Removals an earlier version planned, which keep no digest, are finished only for files whose
    // names are those of the UIDs they hold and of the size recorded; the start says what it left.
    void pendingRemovalsAreFinishedAtTheNextStart_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("left");        // of the study's two files
        QTest::addColumn<int>("pending");     // removals still to do after the start
        QTest::newRow("killed after the rows went") << "killed" << 0 << 0;
        QTest::newRow("one file imported again since") << "imported again" << 1 << 0;
        // Not the file the program wrote: another, of another size, moved onto its name since.
        QTest::newRow("a user's file moved onto one copy's name since") << "replaced" << 1 << 0;
        // The same size, one byte other.
        QTest::newRow("a user's file of the copy's size moved onto its name since")
            << "replaced, same size" << 1 << 0;
        // Recorded by the previous version's digest (SHA-256), which still proves the copies, and no
        // other file.
        QTest::newRow("copies, recorded by the previous version's digest") << "sha256" << 0 << 0;
        QTest::newRow(
            "a user's file of the copy's size on its name, recorded by the previous version's digest")
            << "replaced, same size, sha256" << 1 << 0;
        // The data folder reached through a link when the removal was cut short, the link gone since.
        QTest::newRow("killed through a link to the data folder, gone since") << "link gone" << 0 << 0;
        // Planned by the previous version, which kept the size but no digest.
        QTest::newRow("copies, planned by the previous version") << "previous" << 0 << 0;
        // Planned by the previous version without the size (of rows that did not say), and a user's
        // files of another size under those names since.
        QTest::newRow("user's files, planned by the previous version without a size")
            << "previous, replaced" << 2 << 0;
        // Without the size recorded nothing proves the files those the program wrote: they stay, and
        // the start says so.
        QTest::newRow("copies, planned by an earlier version") << "earlier" << 2 << 0;
        QTest::newRow("files imported where they lay, planned by an earlier version") << "in place" << 2 << 0;
        // Changed after the cut session began: another copy may be writing it now.
        QTest::newRow("one file changed since the session began") << "changed" << 1 << 1;
    }
    void pendingRemovalsAreFinishedAtTheNextStart()
    {
        QFETCH(QString, kind);
        QFETCH(int, left);
        QFETCH(int, pending);
        QStringList files;
        fixtures::DataFolderShape data;
        QTemporaryDir work;
        if (kind == "link gone")
            QVERIFY(data.reach("link", work.filePath("data")));
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            if (kind == "link gone") // as the program records its store, reached as it is then
                QVERIFY(index.setStoreFolders(ManagedStore().folders()));
            // In place: a user's files whose names look like the archive's copies.
            const QString uid = kind == "in place" ? addUserStudyNamedLikeCopies(&index, "hex", &files, apptest::small())
                                                   : addStoredStudy(&index, kZip, apptest::small(), &files);
            files = index.studyFilePaths(uid);
            files.sort();
            for (const QString& path : files)
                QVERIFY(age(path, 2 * 3600));
            QVERIFY(index.deleteStudies({uid}, nullptr, [](const db::IndexedFile&) { return true; }));
            if (kind == "earlier" || kind == "in place") { // listed by the files' names alone
                QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                QVERIFY(q.exec(QStringLiteral("DELETE FROM pending_removals")));
                QVERIFY(q.prepare(QStringLiteral("INSERT INTO pending_removals (path) VALUES (:path)")));
                for (const QString& path : std::as_const(files)) {
                    q.bindValue(QStringLiteral(":path"), path);
                    QVERIFY(q.exec());
                }
                QCOMPARE(index.unrecordedRemovals().size(), 2);
            } else {
                QCOMPARE(index.pendingRemovals().size(), 2);
            }
            if (kind.startsWith("previous")) {
                QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                QVERIFY(q.exec(kind == "previous"
                                   ? "UPDATE pending_removals SET content_digest = NULL"
                                   : "UPDATE pending_removals SET content_digest = NULL, file_size = NULL"));
            }
            if (kind.endsWith("sha256")) {
                QSqlQuery q(QSqlDatabase::database(index.connectionName(), false));
                QVERIFY(q.prepare("UPDATE pending_removals SET content_digest = :digest WHERE path = :path"));
                for (const QString& path : std::as_const(files)) {
                    q.bindValue(":digest", QCryptographicHash::hash(fixtures::readFile(path),
                                                                    QCryptographicHash::Sha256));
                    q.bindValue(":path", path);
                    QVERIFY(q.exec() && q.numRowsAffected() == 1);
                }
            }
            if (kind == "imported again")
                QVERIFY(fixtures::indexFiles(index, {files.first()}));
        }
        if (kind == "link gone") {
            QVERIFY(QFile::remove(work.filePath("data")) && data.reach("absolute"));
            for (QString& path : files)
                path.replace(work.filePath("data"), data.home());
            QVERIFY(allExist(files));
        }
        if (kind == "replaced") {
            QVERIFY(QFile::remove(files.first()));
            writeOldFiles({files.first()}, "a user's own file");
        }
        if (kind.startsWith("replaced, same size")) {
            QByteArray bytes = fixtures::readFile(files.first());
            bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
            QVERIFY(QFile::remove(files.first()));
            writeOldFiles({files.first()}, bytes);
        }
        if (kind == "previous, replaced") {
            for (const QString& path : std::as_const(files)) {
                QVERIFY(writeUsersCopy(path, work.filePath("mine.dcm")));
                QVERIFY(QFileInfo(work.filePath("mine.dcm")).size() != QFileInfo(path).size());
                writeOldFiles({path}, fixtures::readFile(work.filePath("mine.dcm")));
            }
        }
        QList<QByteArray> bytesBefore;
        for (const QString& path : std::as_const(files))
            bytesBefore << fixtures::readFile(path);
        leaveSessionMark();
        // Written by a session that began after the mark was laid, as a running copy's would be.
        const QString temporary = QFileInfo(files.first()).path() + "/." + QFileInfo(files.first()).fileName() + ".Ab12Cd.tmp";
        if (kind == "changed") {
            fixtures::writeFile(files.first(), fixtures::readFile(files.first()));
            fixtures::writeFile(temporary, "DICM");
        }
        {
            MainWindow w;
            int present = 0;
            for (const QString& path : files)
                present += QFileInfo::exists(path) ? 1 : 0;
            QCOMPARE(present, left);
            if (kind == "imported again" || kind == "changed" || kind.startsWith("replaced"))
                QVERIFY(QFileInfo::exists(files.first()));
            if (kind.startsWith("replaced"))
                QVERIFY2(
                    w.statusText().contains(QStringLiteral("заменённые другими после записи программой: 1")),
                    qPrintable(w.statusText()));
            // What stays stays as it was, and the start says how many it left for want of a record.
            for (qsizetype i = 0; i < files.size(); ++i)
                if (QFileInfo::exists(files[i]))
                    QCOMPARE(fixtures::readFile(files[i]), bytesBefore[i]);
            if (kind == "earlier" || kind == "previous, replaced")
                QVERIFY2(w.statusText().contains(QStringLiteral("намеченные к удалению: 2 (нет записи")),
                         qPrintable(w.statusText()));
            QCOMPARE(QFileInfo::exists(temporary), kind == "changed");
            QCOMPARE(w.database()->pendingRemovals().size(), pending);
        }
        QCOMPARE(QFileInfo::exists(markPath()), pending > 0);
    }

    // A tag edit that was cut short is named at the next start while its study is listed; the mark
    // of a study that is gone goes.
    void unfinishedEditIsNamedAtStart()
    {
        QTemporaryDir outside;
        QString edited, untouched;
        {
            db::Database index;
            QVERIFY(openProgramIndex(index));
            fixtures::SeriesLayout layout = apptest::small();
            layout.patientName = QStringLiteral("Правка^Прервана");
            edited = addStudy(&index, outside.filePath("a"), layout);
            untouched = addStudy(&index, outside.filePath("b"));
            QVERIFY(index.markEditUnfinished(edited));
            QVERIFY(index.markEditUnfinished(QStringLiteral("1.2.3.999")));
        }
        MainWindow w;
        QVERIFY2(w.statusText().startsWith(QStringLiteral("Изменение тегов прервано: Правка^Прервана (15.01.2024)")),
                 qPrintable(w.statusText()));
        QVERIFY(!w.statusText().contains(QStringLiteral("Test^Patient")));
        QCOMPARE(w.database()->unfinishedEdits(), QStringList{edited});
    }
};

int main(int argc, char** argv)
{
    // The other copy of startSweepSparesWhatIsNotProvablyLeftOver: it holds the data folder's lock
    // the way the program does until it is killed.
    if (argc > 1 && std::strcmp(argv[1], kHoldStoreLock) == 0) {
        QCoreApplication app(argc, argv);
        fixtures::useProgramNames();
        platform::SingleInstanceLock lock(QString::fromLatin1(ManagedStore::kSessionLockName),
                                          ManagedStore::defaultDataFolder());
        std::printf("%s\n", lock.anotherInstanceRunning() || !lock.isHeld() ? "NOT HELD" : "HELD");
        std::fflush(stdout);
        for (;;)
            QThread::sleep(1);
    }
    fixtures::enterOwnMountNamespace();
    QApplication app(argc, argv);
    TestStudyMenu test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_studymenu.moc"

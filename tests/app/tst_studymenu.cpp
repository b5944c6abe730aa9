// Study context menu, protection, removal and the start-up clean-up on a real index with managed
// ("imported_from_zip", "pacs_downloads") and unmanaged files.

#include "TestBench.h"
#include "DicomFixtures.h"
#include "IndexFixtures.h"
#include "ModalAnswer.h"
#include "StudyTableRow.h"

#include "app/MainWindow.h"
#include "db/CleanupSettings.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Writes a small study into `folder` and indexes it; returns its study UID.
QString addStudy(db::Database* index, const QString& folder, const QString& date, int slices = 2)
{
    fixtures::SeriesLayout layout;
    layout.studyDate = date;
    layout.slices = slices;
    layout.rows = layout.columns = 16;
    if (!fixtures::writeAndIndexSeries(*index, folder, layout))
        return {};
    return layout.studyUid;
}

QPoint cellPos(QTableWidget* t, int row)
{
    return t->visualItemRect(t->item(row, 0)).center();
}

QAction* actionNamed(QMenu* menu, const QString& name)
{
    return menu->findChild<QAction*>(name);
}

QStringList studyUids(db::Database* index)
{
    QStringList out;
    for (const auto& s : index->allStudies())
        out << s.studyInstanceUid;
    return out;
}

QSet<QString> uidSet(db::Database* index)
{
    const QStringList uids = studyUids(index);
    return QSet<QString>(uids.begin(), uids.end());
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

    void managedFolderTestNeedsTheSeparator()
    {
        const QString zip = QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("imported_from_zip"));
        QVERIFY(MainWindow::isManagedStudyFile(zip + QStringLiteral("/abc/x.dcm")));
        QVERIFY(MainWindow::isManagedStudyFile(fixtures::TestBench::dataPath() + QStringLiteral("/pacs_downloads/1.2/x.dcm")));
        QVERIFY(MainWindow::isManagedStudyFile(fixtures::TestBench::dataPath() + QStringLiteral("//pacs_downloads/./a/../x.dcm")));
        QVERIFY(!MainWindow::isManagedStudyFile(zip + QStringLiteral("_backup/x.dcm")));
        QVERIFY(!MainWindow::isManagedStudyFile(fixtures::TestBench::dataPath() + QStringLiteral("/pacs_downloads2/x.dcm")));
        QVERIFY(!MainWindow::isManagedStudyFile(fixtures::TestBench::dataPath() + QStringLiteral("/pacs_downloads/../elsewhere/x.dcm")));
        QVERIFY(!MainWindow::isManagedStudyFile(QStringLiteral("/home/user/x.dcm")));
    }

    void menuFollowsTheSelection()
    {
        QTemporaryDir outside;
        MainWindow w;
        w.resize(1000, 600);
        const QString a = addStudy(w.database(), outside.filePath("a"), "20240101");
        const QString b = addStudy(w.database(), outside.filePath("b"), "20240102");
        const QString c = addStudy(w.database(), outside.filePath("c"), "20240103");
        QVERIFY(w.database()->setStudyProtected(c, true));
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();

        // Two rows selected, right-click on a third: only that row, with the single-study entries.
        t->selectRow(fixtures::studyRow(t, a));
        t->selectionModel()->select(t->model()->index(fixtures::studyRow(t, b), 0),
                                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
        std::unique_ptr<QMenu> menu(w.buildStudyContextMenu(cellPos(t, fixtures::studyRow(t, c))));
        QVERIFY(menu);
        QCOMPARE(t->selectionModel()->selectedRows().size(), 1);
        QVERIFY(actionNamed(menu.get(), "protectAction"));
        QCOMPARE(actionNamed(menu.get(), "protectAction")->text(), QStringLiteral("Снять защиту от удаления"));
        QVERIFY(!actionNamed(menu.get(), "deleteCompletelyAction")->isEnabled());
        QCOMPARE(actionNamed(menu.get(), "removeFromListAction")->toolTip(),
                 QStringLiteral("В выделении есть защищённые от удаления исследования"));

        // A right-click inside a selection keeps it; the counts go into the texts.
        t->selectAll();
        menu.reset(w.buildStudyContextMenu(cellPos(t, fixtures::studyRow(t, a))));
        QVERIFY(menu);
        QVERIFY(!actionNamed(menu.get(), "protectAction"));
        QCOMPARE(actionNamed(menu.get(), "removeFromListAction")->text(),
                 QStringLiteral("Удалить только запись из списка (3 шт.)"));
        QVERIFY(!actionNamed(menu.get(), "removeFromListAction")->isEnabled());

        // With the name column hidden the menu still appears.
        t->setColumnHidden(0, true);
        t->clearSelection();
        const QRect idCell = t->visualItemRect(t->item(fixtures::studyRow(t, b), 1));
        menu.reset(w.buildStudyContextMenu(idCell.center()));
        QVERIFY(menu);
        QVERIFY(actionNamed(menu.get(), "deleteCompletelyAction")->isEnabled());
    }

    void protectionAndRemoval()
    {
        QTemporaryDir outside;
        MainWindow w;
        const QString a = addStudy(w.database(), outside.filePath("a"), "20240101");
        const QString b = addStudy(w.database(), outside.filePath("b"), "20240102");
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
            QCOMPARE(no.texts().value(0).left(33), QStringLiteral("Удалить 2 исследований из списка?"));
        }
        QCOMPARE(studyUids(w.database()).size(), 2);
        {
            fixtures::ModalAnswer yes(QMessageBox::Yes);
            w.removeStudiesFromList({b});
            QCOMPARE(yes.titles(), QStringList({QStringLiteral("Удалить запись")}));
        }
        QCOMPARE(studyUids(w.database()), QStringList({a}));
        QCOMPARE(w.seriesTable()->rowCount(), 0);
        QVERIFY(w.selectedStudyUid().isEmpty());
        // Files of a folder import stay on disk after removal from the list.
        QCOMPARE(QDir(outside.filePath("b")).entryList(QDir::Files).size(), 2);
    }

    void completeDeletionTouchesOnlyManagedFiles()
    {
        QTemporaryDir outside;
        const QString zipRoot = QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("imported_from_zip"));
        MainWindow w;
        const QString folderStudy = addStudy(w.database(), outside.filePath("f"), "20240101");
        const QString zipStudy = addStudy(w.database(), zipRoot + QStringLiteral("/s1"), "20240102");
        const QString other = addStudy(w.database(), zipRoot + QStringLiteral("/s2"), "20240103");
        // A look-alike sibling folder is not managed.
        const QString sibling = addStudy(w.database(), zipRoot + QStringLiteral("_backup/s3"), "20240104");
        w.refreshStudyTable();

        fixtures::ModalAnswer yes(QMessageBox::Yes);
        w.deleteStudiesCompletely({folderStudy, zipStudy, sibling});
        QCOMPARE(yes.titles(), QStringList({QStringLiteral("Удалить полностью")}));
        QCOMPARE(studyUids(w.database()), QStringList({other}));
        QCOMPARE(QDir(outside.filePath("f")).entryList(QDir::Files).size(), 2);
        QVERIFY(!QDir(zipRoot + QStringLiteral("/s1")).exists());
        QVERIFY(QDir(zipRoot + QStringLiteral("/s2")).exists());
        QCOMPARE(QDir(zipRoot + QStringLiteral("_backup/s3")).entryList(QDir::Files).size(), 2);
        QCOMPARE(w.studyTable()->rowCount(), 1);
    }

    void autoCleanupByAge()
    {
        QString keep, drop, undated, protectedOld;
        {
            QTemporaryDir outside;
            db::Database index;
            QDir().mkpath(fixtures::TestBench::dataPath());
            QVERIFY(index.open(QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("index.sqlite3"))));
            const QString zipRoot = QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("imported_from_zip"));
            keep = addStudy(&index, zipRoot + "/keep", QDate(2024, 6, 30).addDays(-90).toString("yyyyMMdd"));
            drop = addStudy(&index, zipRoot + "/drop", QDate(2024, 6, 30).addDays(-91).toString("yyyyMMdd"));
            undated = addStudy(&index, zipRoot + "/undated", "");
            protectedOld = addStudy(&index, zipRoot + "/prot", "20000101");
            QVERIFY(index.setStudyProtected(protectedOld, true));
        }
        CleanupSettings rules;
        rules.byAgeEnabled = true;
        rules.maxAgeDays = 90;
        saveCleanupSettings(rules);

        MainWindow w;
        QCOMPARE(uidSet(w.database()),
                 QSet<QString>({keep, undated, protectedOld}));
        QVERIFY(!QDir(QDir(fixtures::TestBench::dataPath()).filePath("imported_from_zip/drop")).exists());
        QCOMPARE(w.statusText(), QStringLiteral("Автоочистка при запуске: удалено исследований — 1"));
    }

    void autoCleanupBySize()
    {
        // Each study is 2 slices of 16x16x2 bytes plus headers; count sizes from disk.
        QTemporaryDir outside;
        QString oldest, middle, newest, unmanaged;
        qint64 studyBytes = 0;
        {
            db::Database index;
            QDir().mkpath(fixtures::TestBench::dataPath());
            QVERIFY(index.open(QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("index.sqlite3"))));
            const QString dl = QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("pacs_downloads"));
            unmanaged = addStudy(&index, outside.filePath("u"), "20230101", 20);
            oldest = addStudy(&index, dl + "/1", "20240101");
            middle = addStudy(&index, dl + "/2", "20240201");
            newest = addStudy(&index, dl + "/3", "20240301");
            for (const QString& p : index.studyFilePaths(newest))
                studyBytes += QFileInfo(p).size();
        }
        CleanupSettings rules;
        rules.bySizeEnabled = true;
        rules.maxSizeBytes = studyBytes * 2; // one managed study too many
        saveCleanupSettings(rules);
        {
            MainWindow w;
            // The unmanaged (older) study frees nothing and is not chosen; the oldest managed one goes.
            QCOMPARE(uidSet(w.database()),
                     QSet<QString>({unmanaged, middle, newest}));
            QVERIFY(w.database()->setStudyProtected(middle, true));
            QVERIFY(w.database()->setStudyProtected(newest, true));
        }
        rules.maxSizeBytes = 1; // everything left is protected: nothing goes, no status text
        saveCleanupSettings(rules);
        MainWindow again;
        QCOMPARE(studyUids(again.database()).size(), 3);
        QVERIFY(!again.statusText().startsWith(QStringLiteral("Автоочистка")));
    }

    void autoCleanupBothRules()
    {
        QString old1, old2, recent;
        qint64 studyBytes = 0;
        {
            db::Database index;
            QDir().mkpath(fixtures::TestBench::dataPath());
            QVERIFY(index.open(QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("index.sqlite3"))));
            const QString dl = QDir(fixtures::TestBench::dataPath()).filePath(QStringLiteral("pacs_downloads"));
            old1 = addStudy(&index, dl + "/o1", "20200101");
            old2 = addStudy(&index, dl + "/o2", "20200102");
            recent = addStudy(&index, dl + "/r", "20240601");
            for (const QString& p : index.studyFilePaths(recent))
                studyBytes += QFileInfo(p).size();
        }
        CleanupSettings rules;
        rules.byAgeEnabled = true;
        rules.maxAgeDays = 365;
        rules.bySizeEnabled = true;
        rules.maxSizeBytes = studyBytes; // what the age rule leaves is already small enough
        saveCleanupSettings(rules);
        MainWindow w;
        QCOMPARE(studyUids(w.database()), QStringList({recent}));
        QCOMPARE(w.statusText(), QStringLiteral("Автоочистка при запуске: удалено исследований — 2"));
    }
};

QTEST_MAIN(TestStudyMenu)
#include "tst_studymenu.moc"

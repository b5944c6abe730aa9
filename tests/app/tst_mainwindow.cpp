// The study list window on a real index file: rows and their texts, the filters, the series table,
// kept column widths, the CD/DVD entry and a folder import from click to rows.

#include "DicomFixtures.h"
#include "ModalAnswer.h"
#include "TestBench.h"
#include "StudyTableRow.h"

#include "app/MainWindow.h"
#include "app/ModalityFilterButton.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "platform/OpticalDrives.h"

#include <QAction>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

dicom::DicomFileSummary study(const QString& uid, const QString& name, const QString& id, const QString& date,
                              const QString& time, const QString& modality, const QString& description = {})
{
    dicom::DicomFileSummary s;
    s.patientName = name;
    s.patientId = id;
    s.studyInstanceUid = uid;
    s.studyDate = date;
    s.studyTime = time;
    s.studyDescription = description;
    s.seriesInstanceUid = uid + QStringLiteral(".1");
    s.seriesNumber = QStringLiteral("1");
    s.modality = modality;
    s.sopInstanceUid = uid + QStringLiteral(".1.1");
    s.filePath = QStringLiteral("/nonexistent/%1.dcm").arg(uid);
    return s;
}

QStringList visibleColumn(QTableWidget* t, int column)
{
    QStringList out;
    for (int r = 0; r < t->rowCount(); ++r)
        if (!t->isRowHidden(r))
            out << t->item(r, column)->text();
    return out;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init()
    {
        // Every case starts from an empty index and empty settings.
        m_bench.reset();
        platform::setSystemRoot(m_emptyRoot.path());
    }

    void rowsShowTheIndex()
    {
        MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Kalvenor — исследования"));
        db::Database* index = w.database();
        QVERIFY(index->indexFile(study("1.1", "IVANOV^IVAN", "P1", "20240315", "101502.123", "CT", "Грудь")));
        QVERIFY(index->indexFile(study("1.2", "", "", "20240101", "1015", "MR")));
        QVERIFY(index->indexFile(study("1.3", "", "", "2024031", "", "US")));
        QVERIFY(index->indexFile(study("1.4", "OLD^STYLE", "P4", "1997.04.24", "14:04:38", "CT")));
        QVERIFY(index->setStudyProtected("1.1", true));
        w.refreshStudyTable();

        QTableWidget* t = w.studyTable();
        QCOMPARE(t->rowCount(), 4);
        const int r1 = fixtures::studyRow(t, "1.1");
        QCOMPARE(t->item(r1, 0)->text(), QStringLiteral("🔒 IVANOV^IVAN"));
        QCOMPARE(t->item(r1, 0)->data(StudyProtectedRole).toBool(), true);
        QCOMPARE(t->item(r1, 2)->text(), QStringLiteral("2024-03-15 10:15:02"));
        QCOMPARE(t->item(r1, 3)->text(), QStringLiteral("Грудь"));
        QCOMPARE(t->item(r1, 5)->text(), QStringLiteral("1 / 1"));
        // Nameless studies are numbered in index order (oldest first), whatever the sort shows.
        const int r2 = fixtures::studyRow(t, "1.2");
        const int r3 = fixtures::studyRow(t, "1.3");
        QCOMPARE(t->item(r2, 0)->text(), QStringLiteral("No Name"));
        QCOMPARE(t->item(r2, 2)->text(), QStringLiteral("2024-01-01"));
        QCOMPARE(t->item(r3, 2)->text(), QStringLiteral("2024031"));
        QCOMPARE(t->item(fixtures::studyRow(t, "1.4"), 2)->text(), QStringLiteral("1997-04-24 14:04:38"));
        QCOMPARE(QSet<QString>({t->item(r2, 1)->text(), t->item(r3, 1)->text()}),
                 QSet<QString>({QStringLiteral("0001"), QStringLiteral("0002")}));

        // The series table follows the clicked study.
        w.onStudySelected(r1, 3);
        QCOMPARE(w.selectedStudyUid(), QStringLiteral("1.1"));
        QCOMPARE(w.seriesTable()->rowCount(), 1);
        QCOMPARE(w.seriesTable()->item(0, 1)->text(), QStringLiteral("CT"));
        QCOMPARE(w.seriesTable()->item(0, 0)->data(Qt::UserRole).toString(), QStringLiteral("1.1.1"));
    }

    // Studies of one date and time are listed by patient name, then UID, whatever order they came in.
    void equalDatesKeepOneOrder()
    {
        MainWindow w;
        for (const char* uid : {"5.3", "5.2", "5.1"})
            QVERIFY(w.database()->indexFile(
                study(uid, uid == QLatin1String("5.3") ? "AAA" : "BBB", uid, "20240315", "101500", "CT")));
        w.refreshStudyTable();
        QCOMPARE(visibleColumn(w.studyTable(), 1), QStringList({"5.3", "5.1", "5.2"}));
    }

    void filters()
    {
        MainWindow::setCurrentDateOverride(QDate(2024, 3, 15));
        MainWindow w;
        db::Database* index = w.database();
        QVERIFY(index->indexFile(study("2.1", "IVANOV^IVAN", "P1", "20240315", "", "CT", "ivan in description")));
        QVERIFY(index->indexFile(study("2.2", "PETROV", "XIVAN1", "20240305", "", "OCT")));
        QVERIFY(index->indexFile(study("2.3", "SIDOROV", "P3", "2024.03.04", "", "IVUS"))); // old form
        QVERIFY(index->indexFile(study("2.4", "KUZNETSOV", "P4", "2024031", "", "US", "ivan")));
        QVERIFY(index->setStudyProtected("2.1", true));
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        auto* text = w.findChild<QLineEdit*>();
        auto* preset = w.findChild<QComboBox*>();
        auto* modality = w.findChild<ModalityFilterButton*>();
        QVERIFY(text && preset && modality);

        text->setText(QStringLiteral("  ivan "));
        QCOMPARE(visibleColumn(t, 1), QStringList({"XIVAN1", "P1"}));
        text->setText(QStringLiteral("🔒 IVA"));
        QCOMPARE(visibleColumn(t, 1), QStringList({"P1"}));
        text->clear();

        // Whole modality codes: CT finds neither OCT nor IVUS, US does not find IVUS.
        modality->setSelectedModalities({QStringLiteral("CT")});
        w.applyStudyFilter();
        QCOMPARE(visibleColumn(t, 1), QStringList({"P1"}));
        modality->setSelectedModalities({QStringLiteral("US")});
        w.applyStudyFilter();
        QCOMPARE(visibleColumn(t, 1), QStringList({"P4"}));
        modality->setSelectedModalities({});
        w.applyStudyFilter();

        // "Последние 10 дней" on 15 March: 5 to 15 March inclusive; a 7-character date never passes.
        preset->setCurrentIndex(3);
        QCOMPARE(visibleColumn(t, 1), QStringList({"XIVAN1", "P1"}));
        preset->setCurrentIndex(1);
        QCOMPARE(visibleColumn(t, 1), QStringList({"P1"}));
        auto edits = w.findChildren<QDateEdit*>();
        QCOMPARE(edits.size(), 2);
        QVERIFY(!edits[0]->isEnabled() && !edits[1]->isEnabled());
        preset->setCurrentIndex(5);
        QVERIFY(edits[0]->isEnabled() && !edits[1]->isEnabled());
        edits[0]->setDate(QDate(2024, 3, 4));
        QCOMPARE(visibleColumn(t, 1), QStringList({"P3"}));
        preset->setCurrentIndex(6);
        edits[1]->setDate(QDate(2024, 3, 5));
        QCOMPARE(visibleColumn(t, 1), QStringList({"P3", "XIVAN1"}));
        edits[0]->setDate(QDate(2024, 3, 20)); // from after to hides everything
        QVERIFY(visibleColumn(t, 1).isEmpty());
        preset->setCurrentIndex(0);
        QCOMPARE(visibleColumn(t, 1).size(), 4);
    }

    void columnWidthsPersist()
    {
        {
            MainWindow w;
            w.studyTable()->setColumnWidth(3, 321);
            w.seriesTable()->setColumnWidth(2, 123);
        }
        MainWindow again;
        QCOMPARE(again.studyTable()->columnWidth(3), 321);
        QCOMPARE(again.seriesTable()->columnWidth(2), 123);
    }

    void opticalDriveEntryFollowsTheSystem()
    {
        QTemporaryDir root;
        platform::setSystemRoot(root.path());
        MainWindow w;
        auto* action = w.findChild<QAction*>(QStringLiteral("opticalAction"));
        QVERIFY(action);
        QVERIFY(!action->isEnabled());
        QCOMPARE(action->toolTip(), QStringLiteral("Привод CD/DVD не обнаружен"));

        // A drive appears: SCSI type 5 under sys/block; the window notices within its 3 s poll.
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("sys/block/sr0/device")));
        QFile type(root.filePath(QStringLiteral("sys/block/sr0/device/type")));
        QVERIFY(type.open(QIODevice::WriteOnly));
        type.write("5\n");
        type.close();
        QCOMPARE(platform::opticalDriveNames(root.path()), QStringList({"sr0"}));
        QTRY_VERIFY_WITH_TIMEOUT(action->isEnabled(), 15000);
        QVERIFY(action->toolTip() != QStringLiteral("Привод CD/DVD не обнаружен"));
    }

    void folderImportFillsTheList()
    {
        QTemporaryDir dir;
        fixtures::SeriesLayout ct;
        ct.patientName = QStringLiteral("Смирнов^Пётр");
        ct.slices = 5;
        fixtures::writeSeries(dir.filePath(QStringLiteral("a/ct")), ct);
        fixtures::SeriesLayout mr;
        mr.modality = QStringLiteral("MR");
        mr.patientId = QStringLiteral("P0002");
        mr.slices = 3;
        fixtures::writeSeries(dir.filePath(QStringLiteral("b/вложенная")), mr);
        fixtures::writeBytes(dir.filePath(QStringLiteral("notes.txt")), "not dicom");

        MainWindow w;
        w.startFolderImport(dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 60000);
        QCOMPARE(w.statusText(), QStringLiteral("Импорт завершён: добавлено 8, пропущено 1"));
        QCOMPARE(w.studyTable()->rowCount(), 2);
        QVERIFY(!visibleColumn(w.studyTable(), 0).filter(QStringLiteral("Смирнов^Пётр")).isEmpty());

        // A second import while one runs is refused with a box; the first one still completes.
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w.startFolderImport(dir.path());
        w.startFolderImport(dir.path());
        QCOMPARE(answer.titles(), QStringList({QStringLiteral("Импорт уже выполняется")}));
        QTRY_VERIFY_WITH_TIMEOUT(w.statusText().startsWith(QStringLiteral("Импорт завершён")), 60000);
        QCOMPARE(w.studyTable()->rowCount(), 2); // the same files again change nothing

        w.resize(1200, 600);
    }

private:
    QTemporaryDir m_emptyRoot;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

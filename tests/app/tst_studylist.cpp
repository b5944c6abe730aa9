// The study list on a real index file: row texts, order and filters, kept column widths and hidden
// columns, the modality filter, the themes, the CD/DVD entry, the settings menu, and the hand-over to
// viewer windows with the start-up action.

#include "AppTestSupport.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"
#include "support/VisibleViewer.h"

#include "app/ModalityFilterButton.h"
#include "app/TableColumnVisibility.h"
#include "app/Theme.h"
#include "dialogs/PacsSettingsDialog.h"
#include "dicom/DicomFileSummary.h"
#include "pacs/PacsConfig.h"
#include "platform/OpticalDrives.h"
#include "viewer/ViewerWindow.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QStyle>
#include <QTimer>
#include <QToolTip>

using apptest::addStudy;

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

QList<int> hiddenColumns(const QTableWidget& table)
{
    QList<int> hidden;
    for (int c = 0; c < table.columnCount(); ++c)
        if (table.isColumnHidden(c))
            hidden << c;
    return hidden;
}

// Opens the header menu as a right-click would and runs `act` on it while it is shown.
void withHeaderMenu(QTableWidget& table, const std::function<void(QMenu*)>& act)
{
    bool ran = false;
    QTimer::singleShot(0, &table, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        act(menu);
        ran = true;
        menu->close();
    });
    emit table.horizontalHeader()->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(ran);
}

QListWidgetItem* modalityEntry(ModalityFilterButton& button, int row)
{
    return button.menu()->findChild<QListWidget*>()->item(row);
}

void closeAllViewers()
{
    for (ViewerWindow* v : fixtures::visibleViewers())
        v->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

const QString kColumns = QStringLiteral("mainWindow/studyColumnVisibility");

// The tooltip an open menu shows for the entry the pointer rests on; empty when it shows none.
QString hoveredToolTip(QAction* action)
{
    auto* menu = qobject_cast<QMenu*>(action->parent());
    if (!menu)
        return QStringLiteral("(no menu)");
    QToolTip::hideText();
    // A tip that is hidden goes after a short delay; a stale one must not pass for the next.
    if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 30000))
        return QStringLiteral("(stale tooltip)");
    menu->popup(QPoint(0, 0));
    const QPoint at = menu->actionGeometry(action).center();
    QHelpEvent hover(QEvent::ToolTip, at, menu->mapToGlobal(at));
    QApplication::sendEvent(menu, &hover);
    const QString shown = QToolTip::isVisible() ? QToolTip::text() : QString();
    menu->hide();
    return shown;
}

} // namespace

class TestStudyList : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;
    QTemporaryDir m_emptyRoot;

private slots:
    void init()
    {
        m_bench.reset();
        platform::setSystemRoot(m_emptyRoot.path());
    }
    void cleanup() { closeAllViewers(); }

    void rowsShowTheIndex()
    {
        MainWindow w;
        db::Database* index = w.database();
        QVERIFY(index->indexFile(study("1.1", "IVANOV^IVAN", "P1", "20240315", "101502.123", "CT", "Грудь")));
        QVERIFY(index->indexFile(study("1.2", "", "", "20240101", "1015", "MR")));
        QVERIFY(index->indexFile(study("1.3", "", "", "2024031", "", "US")));
        QVERIFY(index->indexFile(study("1.4", "OLD^STYLE", "P4", "1997.04.24", "14:04:38", "CT")));
        for (const char* uid : {"5.3", "5.2", "5.1"})
            QVERIFY(index->indexFile(study(uid, uid == QLatin1String("5.3") ? "AAA" : "BBB", uid, "20000315", "101500", "CT")));
        QVERIFY(index->setStudyProtected("1.1", true));
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        auto cell = [t](const char* uid, int column) { return t->item(fixtures::studyRow(t, uid), column)->text(); };
        QCOMPARE(cell("1.1", 0), QStringLiteral("🔒 IVANOV^IVAN"));
        QVERIFY(t->item(fixtures::studyRow(t, "1.1"), 0)->data(StudyProtectedRole).toBool());
        QCOMPARE(cell("1.1", 2), QStringLiteral("2024-03-15 10:15:02"));
        QCOMPARE(cell("1.1", 5), QStringLiteral("1 / 1"));
        QCOMPARE(cell("1.2", 2), QStringLiteral("2024-01-01"));
        QCOMPARE(cell("1.3", 2), QStringLiteral("2024031"));
        QCOMPARE(cell("1.4", 2), QStringLiteral("1997-04-24 14:04:38"));
        // Nameless studies are numbered in index order (oldest first), whatever the sort shows.
        QCOMPARE(QSet<QString>({cell("1.2", 1), cell("1.3", 1)}), QSet<QString>({"0001", "0002"}));
        // Studies of one date and time are listed by patient name, then UID, whatever order they came in.
        QCOMPARE(visibleColumn(t, 1).filter(QStringLiteral("5.")), QStringList({"5.3", "5.1", "5.2"}));

        // The series table follows the clicked study.
        w.onStudySelected(fixtures::studyRow(t, "1.1"), 3);
        QCOMPARE(w.selectedStudyUid(), QStringLiteral("1.1"));
        QCOMPARE(w.seriesTable()->rowCount(), 1);
        QCOMPARE(w.seriesTable()->item(0, 0)->data(Qt::UserRole).toString(), QStringLiteral("1.1.1"));
    }

    // The series table lists a study only while its row is shown and selected, so that a double click
    // there never opens a study the list no longer points at.
    void seriesTableFollowsTheShownSelection_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("kept");
        QTest::newRow("filter hides its study") << "filter" << false;
        QTest::newRow("right-click on another row") << "right-click" << false;
        QTest::newRow("Ctrl-click takes it out") << "ctrl-click" << false;
        QTest::newRow("its study gone from the index") << "deleted" << false;
        QTest::newRow("list read again, sorted otherwise") << "reload" << true;
    }
    void seriesTableFollowsTheShownSelection()
    {
        QFETCH(QString, change);
        QFETCH(bool, kept);
        QTemporaryDir dir;
        MainWindow w;
        fixtures::SeriesLayout petrov = apptest::small(2, "20240116");
        petrov.patientName = QStringLiteral("PETROV");
        const QString a = addStudy(w.database(), dir.filePath("a"));
        const QString b = addStudy(w.database(), dir.filePath("b"), petrov);
        w.refreshStudyTable();
        w.show();
        QTableWidget* t = w.studyTable();
        const auto at = [t](const QString& uid) {
            return t->visualItemRect(t->item(fixtures::studyRow(t, uid), 0)).center();
        };
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, at(a));
        QCOMPARE(w.seriesTable()->rowCount(), 1);
        db::Database other; // a write through another connection makes the list be read again
        if (change == u"filter")
            w.findChild<QLineEdit*>()->setText(QStringLiteral("PETROV"));
        else if (change == u"right-click")
            delete w.buildStudyContextMenu(at(b));
        else if (change == u"ctrl-click")
            QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::ControlModifier, at(a));
        else if (change == u"deleted")
            QVERIFY(w.database()->deleteStudy(a));
        else if (change == u"reload") {
            t->sortByColumn(0, Qt::AscendingOrder); // PETROV first
            QVERIFY(other.open(w.database()->filePath()) && other.markEditUnfinished(b) &&
                    other.clearEditUnfinished(b));
        }
        if (change == u"deleted" || change == u"reload")
            w.refreshStudyTable();
        QCOMPARE(w.selectedStudyUid(), kept ? a : QString());
        QCOMPARE(w.seriesTable()->rowCount(), int(kept));
        const QModelIndexList onlyA{t->model()->index(fixtures::studyRow(t, a), 0)};
        QVERIFY(!kept || t->selectionModel()->selectedRows() == onlyA);
        w.onSeriesDoubleClicked(0, 0);
        QCOMPARE(fixtures::visibleViewers().size(), int(kept));
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
        const auto edits = w.findChildren<QDateEdit*>();
        QVERIFY(text && preset && modality && edits.size() == 2);
        const auto shown = [&] { return visibleColumn(t, 1); };

        text->setText(QStringLiteral("  ivan "));
        QCOMPARE(shown(), QStringList({"XIVAN1", "P1"}));
        text->setText(QStringLiteral("🔒 IVA"));
        QCOMPARE(shown(), QStringList({"P1"}));
        text->clear();
        // Whole modality codes: CT finds neither OCT nor IVUS, US does not find IVUS.
        for (const char* code : {"CT", "US"}) {
            modality->setSelectedModalities({QString::fromLatin1(code)});
            w.applyStudyFilter();
            QCOMPARE(shown(), QStringList({code == QLatin1String("CT") ? "P1" : "P4"}));
        }
        modality->setSelectedModalities({});
        w.applyStudyFilter();
        // The last 10 days on 15 March: 5 to 15 March inclusive; a 7-character date never passes.
        preset->setCurrentIndex(3);
        QCOMPARE(shown(), QStringList({"XIVAN1", "P1"}));
        preset->setCurrentIndex(1);
        QCOMPARE(shown(), QStringList({"P1"}));
        preset->setCurrentIndex(5);
        edits[0]->setDate(QDate(2024, 3, 4));
        QCOMPARE(shown(), QStringList({"P3"}));
        preset->setCurrentIndex(6);
        edits[1]->setDate(QDate(2024, 3, 5));
        QCOMPARE(shown(), QStringList({"P3", "XIVAN1"}));
        edits[0]->setDate(QDate(2024, 3, 20)); // from after to hides everything
        QVERIFY(shown().isEmpty());
        preset->setCurrentIndex(0);
        QCOMPARE(shown().size(), 4);
    }

    // A table of some hundreds of rows through a run of filters, each applied over the one before:
    // exactly the rows that pass are shown, and the table's rows are laid out for what it shows.
    void filtersOnALargerTable()
    {
        MainWindow::setCurrentDateOverride(QDate(2024, 3, 15));
        MainWindow w;
        db::Database* index = w.database();
        const QStringList names{"IVANOV^IVAN", "PETROV^PAVEL", "IVANOVA^OLGA", "SIDOROV^IVAN", "KUZNETSOV"};
        const QStringList modalities{"CT", "MR", "OCT", "US", "IVUS", "PT"};
        struct Row
        {
            QString shownName, id, modality;
            QDate date;
        };
        QHash<QString, Row> rows;
        for (int i = 0; i < 300; ++i) {
            const QString uid = QStringLiteral("3.%1").arg(i);
            const QDate date = QDate(2024, 3, 15).addDays(-(i * 7) % 120);
            Row row{names[i % names.size()], QStringLiteral("ID%1").arg(i),
                    modalities[(i / 2) % modalities.size()], date};
            QVERIFY(index->indexFile(
                study(uid, row.shownName, row.id, date.toString("yyyyMMdd"), "101500", row.modality)));
            if (i % 11 == 0) {
                QVERIFY(index->setStudyProtected(uid, true));
                row.shownName = QStringLiteral("🔒 ") + row.shownName;
            }
            rows.insert(uid, row);
        }
        w.show();
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        QCOMPARE(t->rowCount(), 300);
        auto* text = w.findChild<QLineEdit*>();
        auto* preset = w.findChild<QComboBox*>();
        auto* modality = w.findChild<ModalityFilterButton*>();
        const auto edits = w.findChildren<QDateEdit*>();
        QVERIFY(text && preset && modality && edits.size() == 2);

        struct Step
        {
            QString text;
            QStringList modalities;
            int preset; // 0 any date, 6 the range below
            QDate from, to;
        };
        const QDate jan(2024, 1, 20), feb(2024, 2, 20);
        const QList<Step> steps{
            {"ivan", {}, 0, {}, {}}, {"ivanov", {}, 0, {}, {}},     {"iv", {}, 0, {}, {}},
            {"", {"CT"}, 0, {}, {}}, {"", {"MR", "US"}, 0, {}, {}}, {"ivan", {"CT"}, 6, jan, feb},
            {"🔒", {}, 0, {}, {}},    {"id1", {}, 6, feb, jan},      {"", {}, 6, jan, feb},
            {"", {}, 0, {}, {}},     {"ID29", {"PT"}, 0, {}, {}},   {"", {}, 0, {}, {}},
        };
        for (const Step& step : steps) {
            edits[0]->setDate(step.from.isValid() ? step.from : QDate(2024, 1, 1));
            edits[1]->setDate(step.to.isValid() ? step.to : QDate(2024, 1, 1));
            preset->setCurrentIndex(step.preset);
            modality->setSelectedModalities(step.modalities);
            QCOMPARE(modality->selectedModalities(), step.modalities);
            text->setText(step.text);
            w.applyStudyFilter();

            QSet<QString> expected, shown;
            for (auto it = rows.cbegin(); it != rows.cend(); ++it) {
                const Row& r = *it;
                const bool textPasses = r.shownName.contains(step.text, Qt::CaseInsensitive) ||
                                        r.id.contains(step.text, Qt::CaseInsensitive);
                const bool modalityPasses = step.modalities.isEmpty() || step.modalities.contains(r.modality);
                const bool datePasses = step.preset == 0 || (step.from <= r.date && r.date <= step.to);
                if (textPasses && modalityPasses && datePasses)
                    expected.insert(it.key());
            }
            for (int r = 0; r < t->rowCount(); ++r)
                if (!t->isRowHidden(r))
                    shown.insert(t->item(r, 0)->data(StudyUidRole).toString());
            const QByteArray where = step.text.toUtf8() + ' ' + step.modalities.join(',').toUtf8();
            QVERIFY2(shown == expected, where.constData());
            // The table goes on drawing, and places its rows for what it shows.
            QVERIFY(t->updatesEnabled());
            QCOMPARE(t->verticalHeader()->length(),
                     int(expected.size()) * t->verticalHeader()->defaultSectionSize());
            int lastShown = -1;
            for (int r = 0; r < t->rowCount(); ++r)
                if (!t->isRowHidden(r))
                    lastShown = r;
            // Scrolled to its end, the list shows its last shown row.
            const auto lastRowInView = [&] {
                t->scrollToBottom();
                return t->viewport()->rect().intersects(t->visualRect(t->model()->index(lastShown, 0)));
            };
            QVERIFY(lastShown < 0 || QTest::qWaitFor(lastRowInView, 30000));
        }
    }

    // The list brought up to date after each change through the index shows what reading it whole
    // shows: rows, texts, order and which rows the filter hides. A change through another connection
    // is shown too.
    void refreshShowsWhatAReloadShows()
    {
        MainWindow w;
        db::Database* index = w.database();
        QVERIFY(index->indexFile(study("4.1", "IVANOV^IVAN", "P1", "20240315", "101500", "CT")));
        QVERIFY(index->indexFile(study("4.2", "PETROV", "P2", "20240110", "", "MR")));
        QVERIFY(index->indexFile(study("4.3", "IVANOVA", "P3", "20240315", "101500", "US")));
        w.refreshStudyTable();
        w.findChild<QLineEdit*>()->setText(QStringLiteral("ivan"));
        QTableWidget* t = w.studyTable();
        const auto rows = [t] {
            QStringList out;
            for (int r = 0; r < t->rowCount(); ++r) {
                QStringList cells{t->isRowHidden(r) ? "hidden" : "shown"};
                for (int c = 0; c < t->columnCount(); ++c)
                    cells << t->item(r, c)->text();
                cells << t->item(r, 0)->data(StudyUidRole).toString() << t->item(r, 0)->data(StudyModalitiesRole).toString()
                      << QString::number(t->item(r, 0)->data(StudyProtectedRole).toBool());
                out << cells.join('|');
            }
            return out;
        };
        const auto reloaded = [&] {
            // A write through another connection makes the next refresh read the whole list.
            db::Database other;
            if (!other.open(index->filePath()) || !other.markEditUnfinished("x") || !other.clearEditUnfinished("x"))
                return QStringList{"no write"};
            w.refreshStudyTable();
            return rows();
        };
        const QList<std::function<bool()>> changes{
            [&] { return index->indexFile(study("4.4", "SIDOROV^IVAN", "P4", "20231201", "090000", "CT")); },
            [&] { return index->indexFile(study("4.5", "KUZNETSOV", "P5", "20240315", "101500", "PT")); },
            [&] {
                dicom::DicomFileSummary more = study("4.2", "PETROV", "P2", "20240110", "", "SR");
                more.seriesInstanceUid = QStringLiteral("4.2.2");
                more.sopInstanceUid = QStringLiteral("4.2.2.1");
                more.filePath = QStringLiteral("/nonexistent/4.2.2.1.dcm");
                return index->indexFile(more);
            },
            [&] { return index->setStudyProtected("4.3", true); },
            [&] {
                // A corrected name and date move the study in the list and out of the filter.
                const dicom::DicomFileSummary before = study("4.1", "IVANOV^IVAN", "P1", "20240315", "101500", "CT");
                dicom::DicomFileSummary after = study("4.1", "ORLOV", "P1", "20220101", "080000", "CT");
                return index->reindexEditedFile(before, after);
            },
            [&] { return index->deleteStudy("4.5"); },
            [&] { return index->deleteStudies({"4.3", "4.4"}); },
        };
        for (int i = 0; i < changes.size(); ++i) {
            QVERIFY2(changes[i](), qPrintable(QString::number(i)));
            w.refreshStudyTable();
            const QStringList refreshed = rows();
            QCOMPARE(refreshed, reloaded());
            QCOMPARE(refreshed.size(), int(index->allStudies().size()));
        }
        // Rows written by another program's connection.
        {
            db::Database other;
            QVERIFY(other.open(index->filePath()));
            QVERIFY(other.indexFile(study("4.6", "IVANENKO", "P6", "20240101", "", "MR")));
        }
        w.refreshStudyTable();
        QCOMPARE(fixtures::studyRow(t, "4.6") >= 0, true);
        QVERIFY(!t->isRowHidden(fixtures::studyRow(t, "4.6")));
    }

    // Sorting by any column orders the rows by that column's text, either way; rows of one date and
    // time stay in the index's order, by name and then UID.
    void sortingFollowsTheTexts_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("ascending");
        for (int column = 0; column < 6; ++column)
            for (const bool ascending : {true, false})
                QTest::addRow("column %d %s", column, ascending ? "up" : "down") << column << ascending;
    }
    void sortingFollowsTheTexts()
    {
        QFETCH(int, column);
        QFETCH(bool, ascending);
        MainWindow w;
        db::Database* index = w.database();
        const QStringList names{"Яковлев", "ivanov", "Иванов", "IVANOV", "Abel", "🔒x"};
        for (int i = 0; i < 40; ++i) {
            dicom::DicomFileSummary s =
                study(QStringLiteral("6.%1").arg(i), names[i % names.size()], QStringLiteral("ID%1").arg(i * 7 % 40),
                      QStringLiteral("202403%1").arg(10 + i % 3), i % 4 ? QStringLiteral("1015%1").arg(i % 2 * 30) : "",
                      QStringList{"CT", "MR", "US", "SR"}[i % 4], QStringLiteral("Desc %1").arg(i % 5));
            s.numberOfFrames = 1 + i % 12;
            QVERIFY(index->indexFile(s));
            if (i % 9 == 0)
                QVERIFY(index->setStudyProtected(s.studyInstanceUid, true));
        }
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        t->sortByColumn(column, ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
        QCOMPARE(t->rowCount(), 40);
        for (int r = 1; r < t->rowCount(); ++r) {
            const QString before = t->item(r - 1, column)->text(), after = t->item(r, column)->text();
            QVERIFY2(ascending ? before <= after : before >= after, qPrintable(before + " / " + after));
            if (column != 2 || before != after)
                continue;
            const auto key = [t](int row) {
                return t->item(row, 0)->text().remove(QStringLiteral("🔒 ")) + '|'
                       + t->item(row, 0)->data(StudyUidRole).toString();
            };
            QVERIFY2(ascending ? key(r - 1) < key(r) : key(r - 1) > key(r), qPrintable(key(r - 1) + " / " + key(r)));
        }
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

    void storedHiddenColumnsAreChecked_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QList<int>>("hidden");
        QTest::newRow("valid") << QVariant(QVariantList{2, 4}) << QList<int>{2, 4};
        QTest::newRow("out of range") << QVariant(QVariantList{-1, 5, 17, 3}) << QList<int>{3};
        QTest::newRow("not numbers") << QVariant(QVariantList{QStringLiteral("abc"), QStringLiteral("")}) << QList<int>{};
        QTest::newRow("single garbage string") << QVariant(QStringLiteral("x1")) << QList<int>{};
        QTest::newRow("garbage beside valid") << QVariant(QVariantList{QStringLiteral("?"), 2}) << QList<int>{2};
        QTest::newRow("every column") << QVariant(QVariantList{0, 1, 2, 3, 4}) << QList<int>{1, 2, 3, 4};
        QTest::newRow("duplicates") << QVariant(QVariantList{4, 4, 0}) << QList<int>{0, 4};
    }
    void storedHiddenColumnsAreChecked()
    {
        QFETCH(QVariant, stored);
        QFETCH(QList<int>, hidden);
        QSettings().setValue(kColumns + QStringLiteral("/hiddenColumns"), stored);
        QTableWidget table(2, 5);
        installColumnVisibilityMenu(&table, kColumns);
        QCOMPARE(hiddenColumns(table), hidden);
    }

    // Columns hidden from the header menu stay hidden in the next table of the same group, never all
    // of them, and columns added later are listed too.
    void hiddenColumnsFromTheMenu()
    {
        {
            QTableWidget table(2, 3);
            installColumnVisibilityMenu(&table, kColumns);
            QVERIFY(QSettings().allKeys().isEmpty()); // installation writes nothing
            withHeaderMenu(table, [](QMenu* menu) {
                QCOMPARE(menu->actions().size(), 3);
                menu->actions().at(0)->setChecked(false);
                menu->actions().at(2)->setChecked(false);
                menu->actions().at(1)->setChecked(false);
                QVERIFY(menu->actions().at(1)->isChecked());
            });
            QCOMPARE(hiddenColumns(table), (QList<int>{0, 2}));
            table.setColumnCount(4);
            withHeaderMenu(table, [](QMenu* menu) {
                QCOMPARE(menu->actions().size(), 4);
                menu->actions().at(0)->setChecked(true);
            });
        }
        QTableWidget again(2, 4);
        installColumnVisibilityMenu(&again, kColumns);
        QCOMPARE(hiddenColumns(again), QList<int>{2});
        withHeaderMenu(again, [](QMenu* menu) { menu->actions().at(2)->setChecked(true); });
        QCOMPARE(QSettings().value(kColumns + QStringLiteral("/hiddenColumns")), QVariant(QVariantList{}));
        QTableWidget other(2, 4);
        installColumnVisibilityMenu(&other, QStringLiteral("pacsDownloadDialog/resultsColumnVisibility"));
        QVERIFY(hiddenColumns(other).isEmpty());
    }

    // Entry 0 is "any modality"; a step checks (+) or unchecks (-) an entry by row.
    void modalityFilter_data()
    {
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<bool>("any");
        QTest::addColumn<QString>("text"); // empty: the "any" entry's own text
        QTest::addColumn<int>("emitted");
        QTest::newRow("two codes, table order") << QList<int>{2, 1} << QStringList{"CT", "MR"} << false << "CT, MR" << 2;
        QTest::newRow("any wipes the codes") << QList<int>{2, 1, 8, 0} << QStringList{} << true << "" << 4;
        QTest::newRow("last code unchecked") << QList<int>{3, -3} << QStringList{} << true << "" << 2;
        QTest::newRow("any unchecked by hand") << QList<int>{-100} << QStringList{} << false << "" << 1;
        QTest::newRow("many codes are counted") << QList<int>{1, 2, 3, 4, 10} << QStringList{"CT", "MR", "US", "CR", "SC"} << false
                                                << "Модальностей: 5" << 5;
    }
    void modalityFilter()
    {
        QFETCH(QList<int>, steps);
        QFETCH(QStringList, selected);
        QFETCH(bool, any);
        QFETCH(QString, text);
        QFETCH(int, emitted);
        ModalityFilterButton button;
        QSignalSpy changed(&button, &ModalityFilterButton::selectionChanged);
        for (int step : steps)
            modalityEntry(button, step == -100 ? 0 : std::abs(step))->setCheckState(step < 0 ? Qt::Unchecked : Qt::Checked);
        QCOMPARE(button.selectedModalities(), selected);
        QCOMPARE(modalityEntry(button, 0)->checkState() == Qt::Checked, any);
        QCOMPARE(button.text(), text.isEmpty() ? modalityEntry(button, 0)->text() : text);
        QCOMPARE(changed.size(), emitted);
        // Codes set from outside: known ones only, in table order, and no signal.
        button.setSelectedModalities({"SC", "ct", "XX", "MR"});
        QCOMPARE(button.selectedModalities(), (QStringList{"MR", "SC"}));
        QCOMPARE(changed.size(), emitted);
        button.setSelectedModalities({});
        QCOMPARE(modalityEntry(button, 0)->checkState(), Qt::Checked);
    }

    // Both themes draw with Fusion, text readable on its ground, and the choice is kept.
    void themes()
    {
        saveDarkThemeSetting(false);
        QVERIFY(!loadDarkThemeSetting());
        saveDarkThemeSetting(true);
        QVERIFY(loadDarkThemeSetting());
        for (const bool dark : {true, false}) {
            applyTheme(qApp, dark);
            const QString sheet = qApp->styleSheet();
            qApp->setStyleSheet(QString()); // the sheet wraps the style in a proxy without a name
            QCOMPARE(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
            qApp->setStyleSheet(sheet);
            const QPalette p = QApplication::palette();
            const std::pair<QPalette::ColorRole, QPalette::ColorRole> roles[] = {
                {QPalette::Window, QPalette::WindowText}, {QPalette::Base, QPalette::Text}, {QPalette::Button, QPalette::ButtonText}};
            for (auto [ground, text] : roles) {
                QCOMPARE(p.color(ground).lightness() < 128, dark);
                QVERIFY(std::abs(p.color(ground).lightness() - p.color(text).lightness()) > 150);
                QVERIFY(p.color(QPalette::Disabled, text) != p.color(QPalette::Active, text));
            }
        }
    }

    void opticalDriveEntryFollowsTheSystem()
    {
        QTemporaryDir root;
        platform::setSystemRoot(root.path());
        MainWindow w;
        auto* action = w.findChild<QAction*>(QStringLiteral("opticalAction"));
        QVERIFY(action && !action->isEnabled());
        // A drive appears: SCSI type 5 under sys/block; the window notices within its 3 s poll.
        fixtures::writeFile(root.filePath(QStringLiteral("sys/block/sr0/device/type")), "5\n");
        QCOMPARE(platform::opticalDriveNames(root.path()), QStringList({"sr0"}));
        QTRY_VERIFY_WITH_TIMEOUT(action->isEnabled(), 15000);
    }

    // Both menus of the toolbar show their entries' tooltips: the disc entry's only while no drive is
    // found, the viewer toolbar entry's always.
    void menuEntriesShowTheirTooltips_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("drive");
        QTest::addColumn<QString>("tip");
        QTest::newRow("disc, no drive") << "Загрузить с CD/DVD" << false << "Привод CD/DVD не обнаружен";
        QTest::newRow("disc, drive found") << "Загрузить с CD/DVD" << true << QString();
        QTest::newRow("viewer toolbar") << "Панель инструментов окна просмотра…" << false
                                        << "при следующем открытии окна просмотра";
    }

    void menuEntriesShowTheirTooltips()
    {
        QFETCH(QString, entry);
        QFETCH(bool, drive);
        QFETCH(QString, tip);
        QTemporaryDir root;
        platform::setSystemRoot(root.path());
        if (drive)
            fixtures::writeFile(root.filePath(QStringLiteral("sys/block/sr0/device/type")), "5\n");
        MainWindow w;
        w.show();
        QAction* action = nullptr;
        for (QAction* a : w.findChildren<QAction*>())
            if (a->text() == entry && qobject_cast<QMenu*>(a->parent()))
                action = a;
        QVERIFY(action);
        QCOMPARE(action->isEnabled(), entry != u"Загрузить с CD/DVD" || drive);
        const QString shown = hoveredToolTip(action);
        if (tip.isEmpty())
            QCOMPARE(shown, QString());
        else
            QVERIFY2(shown.contains(tip), qPrintable(shown));
    }

    void settingsMenuSavesThePacsDialog()
    {
        MainWindow window;
        QAction* entry = nullptr;
        for (QAction* a : window.findChild<QMenu*>(QStringLiteral("settingsMenu"))->actions())
            if (a->text().startsWith(QStringLiteral("Настройки PACS")))
                entry = a;
        QVERIFY(entry);
        bool rightDialog = false;
        fixtures::ModalAnswer answer;
        answer.setDialogHandler([&](QDialog* dialog) {
            rightDialog = qobject_cast<PacsSettingsDialog*>(dialog) && dialog->parentWidget() == &window && dialog->isModal();
            dialog->findChild<QLineEdit*>(QStringLiteral("localAeEdit"))->setText(QStringLiteral("FROMMENU"));
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->click();
            return false; // already closed by its own Save button
        });
        entry->trigger();
        QVERIFY(rightDialog);
        QVERIFY(window.findChildren<PacsSettingsDialog*>().isEmpty());
        QCOMPARE(pacs::loadPacsConfig().localAeTitle, QStringLiteral("FROMMENU"));
    }

    void viewerHandOver()
    {
        QTemporaryDir dir;
        MainWindow w;
        w.show();
        const QString a = addStudy(w.database(), dir.filePath("a"));
        const QString b = addStudy(w.database(), dir.filePath("b"));
        w.refreshStudyTable();
        const auto viewers = [] { return fixtures::visibleViewers(); };

        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), a), 2);
        QCOMPARE(QSettings().value("startup/lastStudyUid").toString(), a);
        QCOMPARE(viewers().size(), 1);
        QPointer<ViewerWindow> viewerA = viewers().first();
        QVERIFY(viewerA->studyUid() == a && viewerA->isMaximized());
        // Back to the list through the viewer's own action; the viewer stays open and is remembered.
        viewerA->findChild<QAction*>(QStringLiteral("backToList"))->trigger();
        QCOMPARE(w.rememberedViewer(), viewerA.data());
        QVERIFY(viewerA->isVisible());
        // The next study replaces the remembered viewer, taking its geometry.
        viewerA->showNormal();
        viewerA->setGeometry(100, 120, 640, 480);
        const QRect geometry = viewerA->geometry();
        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), b), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!viewerA, 30000);
        QCOMPARE(viewers().size(), 1);
        QVERIFY(viewers().first()->studyUid() == b && !viewers().first()->isMaximized());
        QCOMPARE(viewers().first()->geometry(), geometry);
        QVERIFY(!w.rememberedViewer());
        // Without going back to the list, both viewers stay open.
        w.onStudyDoubleClicked(fixtures::studyRow(w.studyTable(), a), 0);
        QCOMPARE(viewers().size(), 2);
        closeAllViewers();

        // A series double-click opens its study at that series and records the study.
        fixtures::SeriesLayout second = apptest::small();
        second.studyUid = b;
        second.seriesNumber = QStringLiteral("2");
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), dir.filePath("b2"), second));
        MainWindow list;
        list.onSeriesDoubleClicked(0, 0); // no study selected: nothing
        QVERIFY(viewers().isEmpty());
        list.onStudySelected(fixtures::studyRow(list.studyTable(), b), 0);
        QCOMPARE(list.seriesTable()->rowCount(), 2);
        const QString seriesUid = list.seriesTable()->item(1, 0)->data(Qt::UserRole).toString();
        list.onSeriesDoubleClicked(1, 0);
        QCOMPARE(QSettings().value("startup/lastStudyUid").toString(), b);
        QTRY_COMPARE_WITH_TIMEOUT(viewers().value(0)->panelSeriesUid(viewers().value(0)->activePanelIndex()), seriesUid, 30000);
    }

    void startupActionLastViewer()
    {
        QTemporaryDir dir;
        QString a;
        {
            MainWindow w;
            a = addStudy(w.database(), dir.filePath("a"));
        }
        QSettings().setValue("startup/action", "lastViewer");
        QSettings().setValue("startup/lastStudyUid", a);
        {
            MainWindow w;
            QTRY_COMPARE_WITH_TIMEOUT(fixtures::visibleViewers().size(), 1, 30000);
            QVERIFY(fixtures::visibleViewers().first()->isMaximized() && !w.rememberedViewer());
            closeAllViewers();
            QVERIFY(w.database()->deleteStudy(a));
        }
        // A study that has gone from the index opens nothing; nor does an unknown action.
        for (const char* action : {"lastViewer", "somethingElse"}) {
            QSettings().setValue("startup/action", action);
            MainWindow again;
            QCoreApplication::processEvents(); // the start-up action runs from the event loop
            QVERIFY(fixtures::visibleViewers().isEmpty());
            for (QAction* act : again.findChild<QMenu*>(QStringLiteral("startupMenu"))->actions())
                QVERIFY(!act->isChecked() || action == QLatin1String("lastViewer"));
        }
    }
};

QTEST_MAIN(TestStudyList)
#include "tst_studylist.moc"

// The study picker on a real index file filled from fixture series: what it lists, how the filter
// narrows the list, and how a choice is accepted or refused.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "db/Database.h"
#include "dialogs/StudyPickerDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QPushButton* button(const StudyPickerDialog& dialog, const QString& text)
{
    for (QPushButton* b : dialog.findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

QStringList columnTexts(const QTableWidget* table, int column)
{
    QStringList out;
    for (int r = 0; r < table->rowCount(); ++r)
        out << (table->item(r, column) ? table->item(r, column)->text() : QStringLiteral("<none>"));
    return out;
}

} // namespace

class TestStudyPicker : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    db::Database m_db;
    QString m_own;    // the viewer's study: 2024-01-15, Иванов
    QString m_head;   // 2023-03-01, Петров, MR "Head MR"
    QString m_noName; // date "2024", no name, no description, CT + PT
    QString m_abdomen;

    QString addSeries(fixtures::SeriesLayout& layout, const QString& folder)
    {
        layout.rows = layout.columns = 4;
        layout.slices = 1;
        if (!fixtures::writeAndIndexSeries(m_db, m_dir.filePath(folder), layout))
            return {};
        return layout.studyUid;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));

        fixtures::SeriesLayout own;
        own.patientId = QStringLiteral("P100");
        own.patientName = QStringLiteral("Иванов^Иван");
        own.studyDescription = QStringLiteral("Грудная клетка");
        own.studyDate = QStringLiteral("20240115");
        m_own = addSeries(own, QStringLiteral("own"));

        fixtures::SeriesLayout head;
        head.patientId = QStringLiteral("AB-77");
        head.patientName = QStringLiteral("Петров^Пётр");
        head.studyDescription = QStringLiteral("Head MR");
        head.studyDate = QStringLiteral("20230301");
        head.modality = QStringLiteral("MR");
        m_head = addSeries(head, QStringLiteral("head"));

        fixtures::SeriesLayout noName;
        noName.patientId = QStringLiteral("X9");
        noName.patientName.clear();
        noName.studyDescription.clear();
        noName.studyDate = QStringLiteral("2024");
        m_noName = addSeries(noName, QStringLiteral("noname1"));
        fixtures::SeriesLayout pet = noName;
        pet.seriesUid.clear();
        pet.seriesNumber = QStringLiteral("2");
        pet.modality = QStringLiteral("PT");
        QCOMPARE(addSeries(pet, QStringLiteral("noname2")), m_noName);

        fixtures::SeriesLayout abdomen;
        abdomen.patientId = QStringLiteral("P101");
        abdomen.patientName = QStringLiteral("Сидоров^Олег");
        abdomen.studyDescription = QStringLiteral("Abdomen");
        abdomen.studyDate = QStringLiteral("20220510");
        m_abdomen = addSeries(abdomen, QStringLiteral("abdomen"));

        for (const QString& uid : {m_own, m_head, m_noName, m_abdomen})
            QVERIFY(!uid.isEmpty());
    }

    void listsEveryOtherStudyOldestFirst()
    {
        StudyPickerDialog dialog(&m_db, m_own, nullptr);
        QTableWidget* table = dialog.table();
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);

        // The viewer's own study never appears; the rest keep the index's date order.
        QCOMPARE(table->rowCount(), 3);
        QStringList uids;
        for (int r = 0; r < table->rowCount(); ++r)
            uids << table->item(r, 0)->data(Qt::UserRole).toString();
        QCOMPARE(uids, (QStringList{m_abdomen, m_head, m_noName})); // "20220510" < "20230301" < "2024"
        QCOMPARE(columnTexts(table, 0), (QStringList{QStringLiteral("Сидоров^Олег"), QStringLiteral("Петров^Пётр"),
                                                     QStringLiteral("(без имени)")}));
        QCOMPARE(columnTexts(table, 1),
                 (QStringList{QStringLiteral("P101"), QStringLiteral("AB-77"), QStringLiteral("X9")}));
        QCOMPARE(columnTexts(table, 2), (QStringList{QStringLiteral("10.05.2022"), QStringLiteral("01.03.2023"),
                                                     QStringLiteral("2024")}));
        QCOMPARE(columnTexts(table, 3), (QStringList{QStringLiteral("Abdomen"), QStringLiteral("Head MR"),
                                                     QStringLiteral("(без описания)")}));
        QStringList noNameModalities = table->item(2, 4)->text().split(QLatin1Char(','));
        noNameModalities.sort();
        QCOMPARE(noNameModalities, (QStringList{QStringLiteral("CT"), QStringLiteral("PT")}));
        QCOMPARE(table->item(1, 4)->text(), QStringLiteral("MR"));
    }

    void filterNarrowsTheList_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("ids");
        QTest::newRow("spaces list everything") << QStringLiteral("   ")
                                                << QStringList{"P101", "AB-77", "X9"};
        QTest::newRow("name, other case") << QStringLiteral("ПЕТР") << QStringList{"AB-77"};
        QTest::newRow("inside the ID") << QStringLiteral(" b-7 ") << QStringList{"AB-77"};
        QTest::newRow("description") << QStringLiteral("domen") << QStringList{"P101"};
        QTest::newRow("date does not match") << QStringLiteral("2023") << QStringList{};
        QTest::newRow("shown date does not match") << QStringLiteral("10.05") << QStringList{};
        QTest::newRow("modality does not match") << QStringLiteral("PT") << QStringList{};
        QTest::newRow("own study stays out") << QStringLiteral("иванов") << QStringList{};
        QTest::newRow("common to several") << QStringLiteral("p1") << QStringList{"P101"};
    }

    void filterNarrowsTheList()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, ids);
        StudyPickerDialog dialog(&m_db, m_own, nullptr);
        for (const QChar ch : filter) // as typed: every keystroke rebuilds the rows
            dialog.filterEdit()->insert(QString(ch));
        QCOMPARE(columnTexts(dialog.table(), 1), ids);
        dialog.filterEdit()->clear();
        QCOMPARE(dialog.table()->rowCount(), 3);
    }

    void acceptsOnlyAChosenRow()
    {
        StudyPickerDialog dialog(&m_db, m_own, nullptr);
        dialog.show();
        QTableWidget* table = dialog.table();
        table->clearSelection();
        button(dialog, QStringLiteral("Открыть рядом"))->click();
        QVERIFY(dialog.isVisible()); // nothing chosen: stays open
        QVERIFY(dialog.selectedStudyUid().isEmpty());

        table->selectRow(1);
        button(dialog, QStringLiteral("Открыть рядом"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedStudyUid(), m_head);
    }

    void doubleClickAcceptsThatRow()
    {
        StudyPickerDialog dialog(&m_db, m_own, nullptr);
        dialog.show();
        QTableWidget* table = dialog.table();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QRect cell = table->visualItemRect(table->item(2, 1));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.selectedStudyUid(), m_noName);
    }

    void cancelLeavesNoChoice()
    {
        StudyPickerDialog dialog(&m_db, m_own, nullptr);
        dialog.show();
        dialog.table()->selectRow(0);
        button(dialog, QStringLiteral("Отмена"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(dialog.selectedStudyUid().isEmpty());
    }

    void emptyOrMissingIndexGivesAnEmptyTable()
    {
        StudyPickerDialog none(nullptr, m_own, nullptr);
        QCOMPARE(none.table()->rowCount(), 0);
        none.filterEdit()->setText(QStringLiteral("a"));
        QCOMPARE(none.table()->rowCount(), 0);

        db::Database empty;
        QVERIFY(empty.open(m_dir.filePath(QStringLiteral("empty.sqlite3"))));
        StudyPickerDialog dialog(&empty, QString(), nullptr);
        QCOMPARE(dialog.table()->rowCount(), 0);
        dialog.show();
        button(dialog, QStringLiteral("Открыть рядом"))->click();
        QVERIFY(dialog.isVisible());
    }

};

QTEST_MAIN(TestStudyPicker)
#include "tst_studypicker.moc"

// The date presets and modality matching that the study list, the PACS dialog and the remote browser share.
#include "app/StudyFilters.h"

#include <QtTest>

class TestStudyFilters : public QObject
{
    Q_OBJECT

private slots:
    void periodDates_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("exactIndex");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        const QDate today(2024, 3, 1);
        QTest::newRow("any") << 0 << 5 << QDate() << QDate();
        QTest::newRow("yesterday across a month") << 2 << 5 << QDate(2024, 2, 29) << QDate(2024, 2, 29);
        QTest::newRow("last 10 days") << 3 << 6 << QDate(2024, 2, 20) << today;
        QTest::newRow("last month") << 4 << 6 << QDate(2024, 2, 1) << today;
        QTest::newRow("exact first") << 5 << 5 << QDate(2023, 5, 5) << QDate(2023, 5, 5);
        QTest::newRow("range second") << 6 << 5 << QDate(2023, 5, 5) << QDate(2023, 6, 6);
        QTest::newRow("range first") << 5 << 6 << QDate(2023, 5, 5) << QDate(2023, 6, 6);
        QTest::newRow("unknown") << 9 << 5 << QDate() << QDate();
    }
    void periodDates()
    {
        QFETCH(int, index);
        QFETCH(int, exactIndex);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        const auto range = studyfilters::periodDates(index, exactIndex, QDate(2024, 3, 1), QDate(2023, 5, 5), QDate(2023, 6, 6));
        QCOMPARE(range.first, from);
        QCOMPARE(range.second, to);
    }

    void modalitiesMatchWholeCodes()
    {
        QVERIFY(studyfilters::modalitiesMatch(QStringLiteral("OCT"), {}));
        QVERIFY(studyfilters::modalitiesMatch(QStringLiteral("CT\\SR"), {QStringLiteral("ct")}));
        QVERIFY(studyfilters::modalitiesMatch(QStringLiteral("MR, PT"), {QStringLiteral("CT"), QStringLiteral("PT")}));
        QVERIFY(!studyfilters::modalitiesMatch(QStringLiteral("OCT"), {QStringLiteral("CT")}));
        QVERIFY(!studyfilters::modalitiesMatch(QStringLiteral("IVUS/XA"), {QStringLiteral("US")}));
        QVERIFY(!studyfilters::modalitiesMatch(QString(), {QStringLiteral("CT")}));
    }
};

QTEST_GUILESS_MAIN(TestStudyFilters)
#include "tst_studyfilters.moc"

// What the program reads from its arguments and its filters: launch URLs (the first valid one wins),
// the date presets and the whole-code modality match shared by the study list, the PACS dialog and the
// remote browser.
#include "app/LaunchUrl.h"
#include "app/StudyFilters.h"

#include <QTest>

class TestParsing : public QObject
{
    Q_OBJECT

private slots:
    void launchUrl_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected"); // study|host|port|aet, empty when nothing is requested
        auto row = [](const char* name, const QStringList& arguments, const char* expected) {
            QTest::newRow(name) << arguments << QString::fromUtf8(expected);
        };
        row("full", {"kalvenor://open?study=1.2.840.1&host=pacs.local&port=11112&aet=ARCHIVE"}, "1.2.840.1|pacs.local|11112|ARCHIVE");
        row("upper case scheme and host", {"KALVENOR://OPEN?study=1.2.3"}, "1.2.3||104|");
        row("mixed case", {"KalVenor://Open?study=9"}, "9||104|");
        row("no study", {"kalvenor://open?host=pacs&port=4242"}, "");
        row("empty study", {"kalvenor://open?study=&host=pacs"}, "");
        row("other host", {"kalvenor://view?study=1.2.3"}, "");
        row("other scheme", {"https://open?study=1.2.3"}, "");
        row("path ignored", {"kalvenor://open/x?study=1.2.3"}, "1.2.3||104|");
        row("port letters", {"kalvenor://open?study=1&port=abc"}, "1||104|");
        row("port empty", {"kalvenor://open?study=1&port="}, "1||104|");
        row("port 1", {"kalvenor://open?study=1&port=1"}, "1||1|");
        row("port 65535", {"kalvenor://open?study=1&port=65535"}, "1||65535|");
        // Ports no server can have fall back to the DICOM default instead of failing later.
        row("port 0", {"kalvenor://open?study=1&port=0"}, "1||104|");
        row("port negative", {"kalvenor://open?study=1&port=-5"}, "1||104|");
        row("port 65536", {"kalvenor://open?study=1&port=65536"}, "1||104|");
        row("port beyond int", {"kalvenor://open?study=1&port=99999999999"}, "1||104|");
        row("port hex", {"kalvenor://open?study=1&port=0x68"}, "1||104|");
        row("aet percent space", {"kalvenor://open?study=1&aet=MY%20AE"}, "1||104|MY AE");
        row("aet plus stays", {"kalvenor://open?study=1&aet=MY+AE"}, "1||104|MY+AE");
        row("encoded ampersand", {"kalvenor://open?study=1.2%263&host=a%3Db"}, "1.2&3|a=b|104|");
        row("cyrillic host", {"kalvenor://open?study=1&host=%D1%81%D0%B5%D1%80%D0%B2%D0%B5%D1%80"}, "1|сервер|104|");
        row("first occurrence", {"kalvenor://open?study=1&study=2&port=11112&port=4242"}, "1||11112|");
        row("not a url", {"--some-flag"}, "");
        row("file path", {"/home/user/study.dcm"}, "");
        row("empty", {""}, "");
        row("no query", {"kalvenor://open"}, "");
        row("no arguments", {}, "");
        row("first valid of several", {"kalvenor://open?host=x", "garbage", "kalvenor://open?study=B&port=4242", "kalvenor://open?study=C"}, "B||4242|");
    }
    void launchUrl()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const auto request = firstLaunchRequest(arguments);
        QCOMPARE(request.has_value(), !expected.isEmpty());
        if (arguments.size() == 1)
            QCOMPARE(parseLaunchUrl(arguments.first()).has_value(), !expected.isEmpty());
        if (request)
            QCOMPARE(QStringList({request->studyInstanceUid, request->serverHost, QString::number(request->serverPort),
                                  request->serverAeTitle}).join(u'|'), expected);
    }

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
        QCOMPARE(range, qMakePair(from, to));
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

QTEST_GUILESS_MAIN(TestParsing)
#include "tst_parsing.moc"

#include "LaunchUrl.h"

#include <QTest>

class TestLaunchUrl : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("study");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("aet");

        QTest::newRow("full") << "kalvenor://open?study=1.2.840.1&host=pacs.local&port=11112&aet=ARCHIVE" << true
                              << "1.2.840.1" << "pacs.local" << 11112 << "ARCHIVE";
        QTest::newRow("upper case scheme and host") << "KALVENOR://OPEN?study=1.2.3" << true << "1.2.3" << "" << 104 << "";
        QTest::newRow("mixed case") << "KalVenor://Open?study=9" << true << "9" << "" << 104 << "";
        QTest::newRow("no study") << "kalvenor://open?host=pacs&port=4242" << false << "" << "" << 0 << "";
        QTest::newRow("empty study") << "kalvenor://open?study=&host=pacs" << false << "" << "" << 0 << "";
        QTest::newRow("other host") << "kalvenor://view?study=1.2.3" << false << "" << "" << 0 << "";
        QTest::newRow("other scheme") << "https://open?study=1.2.3" << false << "" << "" << 0 << "";
        QTest::newRow("path ignored") << "kalvenor://open/x?study=1.2.3" << true << "1.2.3" << "" << 104 << "";
        QTest::newRow("port letters") << "kalvenor://open?study=1&port=abc" << true << "1" << "" << 104 << "";
        QTest::newRow("port empty") << "kalvenor://open?study=1&port=" << true << "1" << "" << 104 << "";
        QTest::newRow("port 11112") << "kalvenor://open?study=1&port=11112" << true << "1" << "" << 11112 << "";
        QTest::newRow("port 1") << "kalvenor://open?study=1&port=1" << true << "1" << "" << 1 << "";
        QTest::newRow("port 65535") << "kalvenor://open?study=1&port=65535" << true << "1" << "" << 65535 << "";
        // Ports no server can have fall back to the DICOM default instead of failing later.
        QTest::newRow("port 0") << "kalvenor://open?study=1&port=0" << true << "1" << "" << 104 << "";
        QTest::newRow("port negative") << "kalvenor://open?study=1&port=-5" << true << "1" << "" << 104 << "";
        QTest::newRow("port 65536") << "kalvenor://open?study=1&port=65536" << true << "1" << "" << 104 << "";
        QTest::newRow("port beyond int") << "kalvenor://open?study=1&port=99999999999" << true << "1" << "" << 104 << "";
        QTest::newRow("port hex") << "kalvenor://open?study=1&port=0x68" << true << "1" << "" << 104 << "";
        QTest::newRow("aet percent space") << "kalvenor://open?study=1&aet=MY%20AE" << true << "1" << "" << 104 << "MY AE";
        QTest::newRow("aet plus stays") << "kalvenor://open?study=1&aet=MY+AE" << true << "1" << "" << 104 << "MY+AE";
        QTest::newRow("encoded ampersand") << "kalvenor://open?study=1.2%263&host=a%3Db" << true << "1.2&3" << "a=b" << 104 << "";
        QTest::newRow("cyrillic host") << "kalvenor://open?study=1&host=%D1%81%D0%B5%D1%80%D0%B2%D0%B5%D1%80" << true << "1"
                                       << QString::fromUtf8("сервер") << 104 << "";
        QTest::newRow("first occurrence") << "kalvenor://open?study=1&study=2&port=11112&port=4242" << true << "1" << "" << 11112 << "";
        QTest::newRow("not a url") << "--some-flag" << false << "" << "" << 0 << "";
        QTest::newRow("file path") << "/home/user/study.dcm" << false << "" << "" << 0 << "";
        QTest::newRow("empty") << "" << false << "" << "" << 0 << "";
        QTest::newRow("no query") << "kalvenor://open" << false << "" << "" << 0 << "";
    }
    void parse()
    {
        QFETCH(QString, argument);
        QFETCH(bool, valid);
        const auto request = parseLaunchUrl(argument);
        QCOMPARE(request.has_value(), valid);
        if (!valid)
            return;
        QFETCH(QString, study);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, aet);
        QCOMPARE(request->studyInstanceUid, study);
        QCOMPARE(request->serverHost, host);
        QCOMPARE(request->serverPort, port);
        QCOMPARE(request->serverAeTitle, aet);
    }

    void firstValidArgumentWins()
    {
        QVERIFY(!firstLaunchRequest({}).has_value());
        QVERIFY(!firstLaunchRequest({"-x", "kalvenor://view?study=1"}).has_value());
        auto r = firstLaunchRequest({"kalvenor://open?study=A", "kalvenor://open?study=B"});
        QVERIFY(r);
        QCOMPARE(r->studyInstanceUid, QStringLiteral("A"));
        r = firstLaunchRequest({"kalvenor://open?host=x", "garbage", "kalvenor://open?study=B&port=4242"});
        QVERIFY(r);
        QCOMPARE(r->studyInstanceUid, QStringLiteral("B"));
        QCOMPARE(r->serverPort, 4242);
    }
};

QTEST_GUILESS_MAIN(TestLaunchUrl)
#include "tst_launchurl.moc"

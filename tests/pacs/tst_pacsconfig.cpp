#include "pacs/NetworkTuning.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTcpServer>
#include <QTest>

using namespace pacs;

class TestPacsConfig : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QSettings settings;
        settings.clear();
        settings.sync();
    }

    void roundTripKeepsOrderAndFields()
    {
        PacsConfig config;
        config.localPort = 4006;
        config.localAeTitle = QStringLiteral("WS1");
        config.moveDestinationAeTitle = QStringLiteral("WS1_MOVE");
        config.servers = {{QStringLiteral("10.0.0.5"), 11112, QStringLiteral("ORTHANC"), QStringLiteral("Главный архив"), 1},
                          {QStringLiteral("pacs.local"), 104, QStringLiteral("PACS2"), QString(), 0},
                          {QStringLiteral("third"), 4242, QStringLiteral("T"), QStringLiteral("x"), 1}};
        savePacsConfig(config);
        QCOMPARE(loadPacsConfig(), config);

        // A shorter list replaces the longer one entirely.
        config.servers.removeLast();
        config.servers.removeFirst();
        savePacsConfig(config);
        QCOMPARE(loadPacsConfig(), config);
    }

    void storedValues_data()
    {
        QTest::addColumn<QVariant>("host");
        QTest::addColumn<QVariant>("port");
        QTest::addColumn<QVariant>("mode");
        QTest::addColumn<int>("servers");
        QTest::addColumn<int>("expectedPort");
        QTest::addColumn<int>("expectedMode");
        QTest::newRow("mode 1 is C-GET") << QVariant("h") << QVariant(11112) << QVariant(1) << 1 << 11112 << 1;
        QTest::newRow("mode 2 reads as C-MOVE") << QVariant("h") << QVariant(104) << QVariant(2) << 1 << 104 << 0;
        QTest::newRow("mode absent") << QVariant("h") << QVariant(104) << QVariant() << 1 << 104 << 0;
        QTest::newRow("port absent") << QVariant("h") << QVariant() << QVariant(0) << 1 << 104 << 0;
        QTest::newRow("port not a number") << QVariant("h") << QVariant("abc") << QVariant(0) << 1 << 0 << 0;
        QTest::newRow("empty host dropped") << QVariant("") << QVariant(104) << QVariant(1) << 0 << 0 << 0;
    }

    void storedValues()
    {
        QFETCH(QVariant, host);
        QFETCH(QVariant, port);
        QFETCH(QVariant, mode);
        QFETCH(int, servers);
        QFETCH(int, expectedPort);
        QFETCH(int, expectedMode);
        {
            QSettings settings;
            settings.beginGroup(QStringLiteral("pacs"));
            settings.beginWriteArray(QStringLiteral("servers"));
            settings.setArrayIndex(0);
            settings.setValue(QStringLiteral("host"), host);
            if (port.isValid())
                settings.setValue(QStringLiteral("port"), port);
            settings.setValue(QStringLiteral("aeTitle"), QStringLiteral("AE"));
            if (mode.isValid())
                settings.setValue(QStringLiteral("retrieveMode"), mode);
            settings.endArray();
            settings.endGroup();
        }
        PacsConfig config = loadPacsConfig();
        QCOMPARE(config.servers.size(), servers);
        if (servers == 0)
            return;
        QCOMPARE(config.servers.first().port, expectedPort);
        QCOMPARE(config.servers.first().retrieveMode, expectedMode);
        savePacsConfig(config);
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("pacs/servers/1/retrieveMode")).toInt(), expectedMode);
    }

    // Titles an earlier version saved that no peer accepts never reach the wire: the own title falls
    // back to the default, the C-MOVE destination to the own title, each with a notice naming it.
    void storedTitlesThatCannotBeUsed_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("notices");
        QTest::newRow("own title empty") << "localAeTitle" << QVariant("") << "VAVOVIVIRUR" << 1;
        QTest::newRow("own title blanks") << "localAeTitle" << QVariant("    ") << "VAVOVIVIRUR" << 1;
        QTest::newRow("own title Cyrillic") << "localAeTitle" << QVariant("УЗЕЛ") << "VAVOVIVIRUR" << 1;
        QTest::newRow("own title 17 characters") << "localAeTitle" << QVariant("ABCDEFGHIJKLMNOPQ") << "VAVOVIVIRUR"
                                                 << 1;
        QTest::newRow("own title absent") << "localAeTitle" << QVariant() << "VAVOVIVIRUR" << 0;
        QTest::newRow("own title good") << "localAeTitle" << QVariant("NODE1") << "NODE1" << 0;
        QTest::newRow("move title Cyrillic") << "moveDestinationAeTitle" << QVariant("ПРИЁМ") << "" << 1;
        QTest::newRow("move title blanks") << "moveDestinationAeTitle" << QVariant("  ") << "" << 1;
        QTest::newRow("move title empty") << "moveDestinationAeTitle" << QVariant("") << "" << 0;
    }

    void storedTitlesThatCannotBeUsed()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QString, expected);
        QFETCH(int, notices);
        if (stored.isValid())
            QSettings().setValue(QStringLiteral("pacs/") + key, stored);
        QStringList said;
        const PacsConfig config = loadPacsConfig(&said);
        QCOMPARE(key == QLatin1String("localAeTitle") ? config.localAeTitle : config.moveDestinationAeTitle, expected);
        QCOMPARE(said.size(), notices);
        if (notices != 0)
            QVERIFY2(said.first().contains(key == QLatin1String("localAeTitle") ? QStringLiteral("«Мой AE-заголовок»")
                                                                               : QStringLiteral("C-MOVE")),
                     qPrintable(said.first()));
    }

    // A server has no default title: it stays listed for the settings to correct, and nothing is sent
    // to it until then.
    void serverWithUnusableTitleIsNotContacted_data()
    {
        QTest::addColumn<QString>("title");
        QTest::newRow("empty") << QString();
        QTest::newRow("blanks") << QStringLiteral("   ");
        QTest::newRow("Cyrillic") << QStringLiteral("АРХИВ");
    }

    void serverWithUnusableTitleIsNotContacted()
    {
        QFETCH(QString, title);
        pacs::setNetworkTimeouts({2, 2, 2}); // should a request go out after all, it fails in seconds
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        {
            QSettings settings;
            settings.beginGroup(QStringLiteral("pacs"));
            settings.beginWriteArray(QStringLiteral("servers"));
            settings.setArrayIndex(0);
            settings.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
            settings.setValue(QStringLiteral("port"), int(listener.serverPort()));
            settings.setValue(QStringLiteral("aeTitle"), title);
            settings.endArray();
            settings.endGroup();
        }
        QStringList said;
        const PacsConfig config = loadPacsConfig(&said);
        QCOMPARE(config.servers.size(), 1);
        QCOMPARE(config.servers.first().aeTitle, title);
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.first().contains(QStringLiteral("127.0.0.1")), qPrintable(said.first()));

        QString error;
        QVERIFY(!echoServer(config.servers.first(), config, &error));
        QVERIFY2(error.contains(QStringLiteral("AE-заголовок")), qPrintable(error));
        QVERIFY(!sendFiles(config.servers.first(), config, {QStringLiteral("/nonexistent.dcm")}, &error, {}));
        QVERIFY2(error.contains(QStringLiteral("AE-заголовок")), qPrintable(error));
        QVERIFY(!listener.waitForNewConnection(0));

        // The own title is checked the same way when a caller brings one of its own.
        PacsServer good = config.servers.first();
        good.aeTitle = QStringLiteral("ARCHIVE");
        PacsConfig blankOwn = config;
        blankOwn.localAeTitle = QStringLiteral(" ");
        QVERIFY(!echoServer(good, blankOwn, &error));
        QVERIFY2(error.contains(QStringLiteral("Мой AE-заголовок")), qPrintable(error));
        QVERIFY(!listener.waitForNewConnection(0));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    TestPacsConfig test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_pacsconfig.moc"

#include "pacs/PacsConfig.h"

#include <QCoreApplication>
#include <QSettings>
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

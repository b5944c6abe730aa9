// Values from outside before they become folder names, peers or question text, and the guard of
// recursive removals.

#include "pacs/PacsRequestChecks.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace pacs;

class TestRequestChecks : public QObject
{
    Q_OBJECT

private slots:
    void uids_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << QStringLiteral("1.2.840.10008.1.2") << true;
        QTest::newRow("single") << QStringLiteral("7") << true;
        QTest::newRow("64") << QStringLiteral("1.") + QString(62, QLatin1Char('9')) << true;
        QTest::newRow("65") << QStringLiteral("1.") + QString(63, QLatin1Char('9')) << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("dotdot") << QStringLiteral("..") << false;
        QTest::newRow("dot") << QStringLiteral(".") << false;
        QTest::newRow("leading dot") << QStringLiteral(".1.2") << false;
        QTest::newRow("trailing dot") << QStringLiteral("1.2.") << false;
        QTest::newRow("double dot") << QStringLiteral("1..2") << false;
        QTest::newRow("slash") << QStringLiteral("1.2/../x") << false;
        QTest::newRow("backslash") << QStringLiteral("1.2\\3") << false;
        QTest::newRow("space") << QStringLiteral("1.2 ") << false;
        QTest::newRow("arabic digits") << QString::fromUtf8("1.\u0663") << false;
    }
    void uids()
    {
        QFETCH(QString, uid);
        QFETCH(bool, valid);
        QCOMPARE(isValidDicomUid(uid), valid);
    }

    void peers_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("ae");
        QTest::addColumn<bool>("valid");
        QTest::newRow("ipv4") << QStringLiteral("192.168.0.10") << 104 << QStringLiteral("PACS") << true;
        QTest::newRow("name") << QStringLiteral("pacs-1.clinic.local") << 11112 << QStringLiteral("MAIN AE") << true;
        QTest::newRow("ipv6") << QStringLiteral("[::1]") << 65535 << QStringLiteral("A") << true;
        QTest::newRow("ae 16") << QStringLiteral("h") << 1 << QStringLiteral("ABCDEFGHIJKLMNOP") << true;
        QTest::newRow("host newline") << QStringLiteral("pacs\nYes") << 104 << QStringLiteral("A") << false;
        QTest::newRow("host space") << QStringLiteral("pacs x") << 104 << QStringLiteral("A") << false;
        QTest::newRow("host slash") << QStringLiteral("pacs/x") << 104 << QStringLiteral("A") << false;
        QTest::newRow("host long") << QString(254, QLatin1Char('a')) << 104 << QStringLiteral("A") << false;
        QTest::newRow("port 0") << QStringLiteral("h") << 0 << QStringLiteral("A") << false;
        QTest::newRow("port big") << QStringLiteral("h") << 65536 << QStringLiteral("A") << false;
        QTest::newRow("ae empty") << QStringLiteral("h") << 104 << QString() << false;
        QTest::newRow("ae spaces") << QStringLiteral("h") << 104 << QStringLiteral("   ") << false;
        QTest::newRow("ae 17") << QStringLiteral("h") << 104 << QStringLiteral("ABCDEFGHIJKLMNOPQ") << false;
        QTest::newRow("ae backslash") << QStringLiteral("h") << 104 << QStringLiteral("A\\B") << false;
        QTest::newRow("ae control") << QStringLiteral("h") << 104 << QStringLiteral("A\tB") << false;
        QTest::newRow("ae Cyrillic") << QStringLiteral("h") << 104 << QStringLiteral("ПАКС") << false;
        QTest::newRow("ae Latin-1") << QStringLiteral("h") << 104 << QStringLiteral("M\u00dcNCHEN") << false;
        QTest::newRow("ae 16 printable")
            << QStringLiteral("h") << 104 << QStringLiteral("A-1 b_2.~!@#$%^&") << true;
    }
    void peers()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, ae);
        QFETCH(bool, valid);
        QCOMPARE(isValidHost(host) && isValidPort(port) && isValidAeTitle(ae), valid);
    }

    void removalStaysInsideItsRoot()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString root = dir.filePath(QStringLiteral("root"));
        const QString outside = dir.filePath(QStringLiteral("outside"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/1.2.3/sub")));
        QVERIFY(QDir().mkpath(outside));
        QFile keep(outside + QStringLiteral("/keep.dcm"));
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.close();
        // A link inside the root that points out of it, and a path that climbs out.
        QVERIFY(QFile::link(outside, root + QStringLiteral("/link")));

        QVERIFY(!isInsideRoot(root, root));
        QVERIFY(!removeTreeInside(root, root));
        QVERIFY(!removeTreeInside(root + QStringLiteral("/link"), root));
        QVERIFY(!removeTreeInside(root + QStringLiteral("/1.2.3/../../outside"), root));
        QVERIFY(!removeTreeInside(root + QStringLiteral("/missing"), root));
        QVERIFY(QFile::exists(outside + QStringLiteral("/keep.dcm")));
        // A root that is itself reached through a link still holds its own folders.
        QVERIFY(QFile::link(root, dir.filePath(QStringLiteral("rootlink"))));
        QVERIFY(isInsideRoot(root + QStringLiteral("/1.2.3"), dir.filePath(QStringLiteral("rootlink"))));

        QVERIFY(removeTreeInside(root + QStringLiteral("/1.2.3"), root));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/1.2.3")));
        QVERIFY(QFileInfo::exists(root));
    }
};

QTEST_GUILESS_MAIN(TestRequestChecks)
#include "tst_requestchecks.moc"

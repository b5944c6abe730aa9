// The encrypted relay connection end to end through a stand-in relay on 127.0.0.1: pairing, hello,
// order of frames, tampered, replayed and oversized frames, wrong keys and certificates, lost relays.

#include "RelayContract.h"
#include "RemoteTunnelSocket.h"
#include "LoopbackPort.h"
#include "StandInRelay.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using fixtures::StandInRelay;

namespace {

struct Ends
{
    RemoteTunnelSocket* host;
    RemoteTunnelSocket* client;
    std::unique_ptr<QSignalSpy> hostFrames, clientFrames, hostLost, clientLost;
};

} // namespace

class TunnelTest : public QObject
{
    Q_OBJECT

private:
    fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    std::unique_ptr<StandInRelay> relay;
    QObject* owner = nullptr;

    Ends pairUp(const QString& hostToken = QStringLiteral("s3cret"), const QString& clientToken = QStringLiteral("s3cret"))
    {
        Ends e;
        e.host = new RemoteTunnelSocket(owner);
        e.client = new RemoteTunnelSocket(owner);
        e.hostFrames = std::make_unique<QSignalSpy>(e.host, &RemoteTunnelSocket::frameReceived);
        e.clientFrames = std::make_unique<QSignalSpy>(e.client, &RemoteTunnelSocket::frameReceived);
        e.hostLost = std::make_unique<QSignalSpy>(e.host, &RemoteTunnelSocket::disconnectedFromRelay);
        e.clientLost = std::make_unique<QSignalSpy>(e.client, &RemoteTunnelSocket::disconnectedFromRelay);
        e.host->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), hostToken,
                               cert.fingerprint());
        if (!QTest::qWaitFor([&] { return relay->waitingCount(QStringLiteral("primary")) == 1; }, 10000))
            return e;
        e.client->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), clientToken,
                                 cert.fingerprint());
        return e;
    }

    static bool bothReady(const Ends& e)
    {
        return QTest::qWaitFor([&] { return e.host->isPeerReady() && e.client->isPeerReady(); }, 15000);
    }

private slots:
    void init()
    {
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY(!cert.certificate.isNull());
        relay = std::make_unique<StandInRelay>();
        QVERIFY(relay->start(cert));
        owner = new QObject;
    }
    void cleanup()
    {
        delete owner;
        relay.reset();
    }

    void frameCrypto()
    {
        const QByteArray key = deriveTunnelKey(QStringLiteral("токен"));
        QCOMPARE(key.size(), 32);
        const QByteArray empty = encryptFrame(key, {});
        QCOMPARE(empty.size(), 28);
        QByteArray out("untouched");
        QVERIFY(decryptFrame(key, empty, &out));
        QVERIFY(out.isEmpty());
        out = "untouched";
        QVERIFY(!decryptFrame(key, empty.left(27), &out));
        QCOMPARE(out, QByteArray("untouched"));

        const QByteArray plain("{\"type\":\"listStudies\"}");
        const QByteArray frame = encryptFrame(key, plain);
        QCOMPARE(frame.size(), plain.size() + 28);
        QVERIFY(frame != encryptFrame(key, plain)); // a fresh nonce every time
        for (int bit = 0; bit < frame.size() * 8; ++bit) {
            QByteArray bad = frame;
            bad[bit / 8] = char(bad[bit / 8] ^ (1 << (bit % 8)));
            QVERIFY2(!decryptFrame(key, bad, &out), qPrintable(QString::number(bit)));
        }
        QVERIFY(!decryptFrame(deriveTunnelKey(QStringLiteral("другой")), frame, &out));
        QVERIFY(encryptFrame(key.left(31), plain).isEmpty());
        QVERIFY(!decryptFrame(key.left(31), frame, &out));
        QVERIFY(decryptFrame(key, frame, &out));
        QCOMPARE(out, plain);
        QCOMPARE(normalizeFingerprint(QStringLiteral("ab:0c: 9f")), QStringLiteral("AB0C9F"));
    }

    void installerContract_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("port");
        QTest::newRow("complete") << "x\n  TOKEN=abc  \nCERT_FINGERPRINT_SHA256=AA:BB\nPORT=8443\n" << true << "abc" << 8443;
        QTest::newRow("last line wins") << "TOKEN=old\nCERT_FINGERPRINT_SHA256=F\nPORT=1\nTOKEN=new" << true << "new" << 1;
        QTest::newRow("port zero") << "TOKEN=t\nCERT_FINGERPRINT_SHA256=F\nPORT=0" << true << "t" << 0;
        QTest::newRow("port not a number") << "TOKEN=t\nCERT_FINGERPRINT_SHA256=F\nPORT=abc" << false << "t" << 0;
        QTest::newRow("no fingerprint") << "TOKEN=t\nPORT=9" << false << "t" << 9;
    }
    void installerContract()
    {
        QFETCH(QString, output);
        const relay::InstallerResult r = relay::parseInstallerOutput(output);
        QTEST(r.ok, "ok");
        QTEST(r.token, "token");
        QTEST(r.port, "port");
        QCOMPARE(relay::installerCommand(QStringLiteral("root"), 8443),
                 QStringLiteral("bash /tmp/kalvenor-relay-install/install.sh 8443"));
        QCOMPARE(relay::installerCommand(QStringLiteral("Root"), 443),
                 QStringLiteral("sudo -S -p '' bash /tmp/kalvenor-relay-install/install.sh 443"));
        QCOMPARE(relay::architectureFromUname(QStringLiteral("aarch64\n")), QStringLiteral("arm64"));
        QCOMPARE(relay::architectureFromUname(QStringLiteral("armv7l")), QString());
    }

    void pairedEndsExchangeFramesInOrder()
    {
        // A token with URL specials reaches the relay intact; frames queued before the socket is open
        // leave ahead of the hello and still make the peer ready.
        const QString token = QStringLiteral("a+b&c=d /é");
        auto* host = new RemoteTunnelSocket(owner);
        QSignalSpy hostFrames(host, &RemoteTunnelSocket::frameReceived);
        host->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                             cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return relay->waitingCount(QStringLiteral("primary")) == 1; }, 10000));
        auto* client = new RemoteTunnelSocket(owner);
        QSignalSpy clientReady(client, &RemoteTunnelSocket::connectedToPeer);
        client->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                               cert.fingerprint().toUpper().replace(QRegularExpression("(..)"), "\\1:"));
        client->sendFrame("early-1");
        client->sendFrame("early-2");
        QTRY_COMPARE_WITH_TIMEOUT(hostFrames.size(), 2, 15000);
        QCOMPARE(hostFrames.at(0).at(0).toByteArray(), QByteArray("early-1"));
        QCOMPARE(hostFrames.at(1).at(0).toByteArray(), QByteArray("early-2"));
        QCOMPARE(relay->tokensSeen().value(1), token);
        QTRY_COMPARE_WITH_TIMEOUT(clientReady.size(), 1, 15000);

        // Non-hello JSON, arrays, raw bytes and big chunks pass unchanged and in order.
        QList<QByteArray> sent{"{\"type\":\"other\"}", "[1,2]", QByteArray("\x00\x01raw", 5), {}};
        for (int i = 0; i < 5; ++i)
            sent.append(QByteArray(1048576, char('a' + i)));
        for (const QByteArray& s : sent)
            client->sendFrame(s);
        QTRY_COMPARE_WITH_TIMEOUT(hostFrames.size(), 2 + sent.size(), 20000);
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(hostFrames.at(2 + i).at(0).toByteArray(), sent.at(i));
    }

    void damagedFramesAreDroppedAndConnectionStays_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("bit flipped") << "flip";
        QTest::newRow("truncated") << "truncate";
        QTest::newRow("too short") << "short";
        QTest::newRow("replayed") << "replay";
    }
    void damagedFramesAreDroppedAndConnectionStays()
    {
        QFETCH(QString, damage);
        relay->filter = [damage](const QString&, bool fromFirst, const QByteArray& m) -> QList<QByteArray> {
            if (fromFirst || m.size() != 28 + 6)
                return {m};
            if (damage == "flip") {
                QByteArray bad = m;
                bad[15] = char(bad[15] ^ 0x10);
                return {bad, m};
            }
            if (damage == "truncate")
                return {m.left(m.size() - 1), m};
            if (damage == "short")
                return {m.left(27), m};
            return {m, m, m};
        };
        Ends e = pairUp();
        QVERIFY(bothReady(e));
        e.client->sendFrame("first!");
        e.client->sendFrame("second");
        QTRY_COMPARE_WITH_TIMEOUT(e.hostFrames->size(), 2, 15000);
        QTest::qWait(200);
        QCOMPARE(e.hostFrames->size(), 2);
        QCOMPARE(e.hostFrames->at(0).at(0).toByteArray(), QByteArray("first!"));
        QCOMPARE(e.hostFrames->at(1).at(0).toByteArray(), QByteArray("second"));
        QVERIFY(e.host->isPeerReady());
        QCOMPARE(e.hostLost->size(), 0);
    }

    void differentTokensNeverReachEachOther()
    {
        Ends e = pairUp(QStringLiteral("host-token"), QStringLiteral("client-token"));
        QTRY_COMPARE_WITH_TIMEOUT(relay->pairedCount(), 1, 15000);
        e.client->sendFrame("{\"type\":\"listStudies\"}");
        QTest::qWait(800);
        QVERIFY(!e.host->isPeerReady());
        QVERIFY(!e.client->isPeerReady());
        QCOMPARE(e.hostFrames->size(), 0);
    }

    void refusedConnections_data()
    {
        QTest::addColumn<bool>("relayRunning");
        QTest::addColumn<QString>("fingerprint");
        QTest::addColumn<QString>("expected");
        const QString pinText = QStringLiteral("Отпечаток сертификата сервера не совпадает с ожидаемым — возможна подмена "
                                               "канала. Проверьте адрес сервера и код подключения.");
        QTest::newRow("wrong fingerprint") << true << QString(64, QLatin1Char('A')) << pinText;
        QTest::newRow("empty fingerprint") << true << QString() << pinText;
        QTest::newRow("unreachable relay") << false << QString() << QString();
    }
    void refusedConnections()
    {
        QFETCH(bool, relayRunning);
        QFETCH(QString, fingerprint);
        QFETCH(QString, expected);
        const int port = relayRunning ? relay->port() : fixtures::freeLoopbackPort();
        auto* socket = new RemoteTunnelSocket(owner);
        QSignalSpy failed(socket, &RemoteTunnelSocket::connectionFailed);
        QSignalSpy ready(socket, &RemoteTunnelSocket::connectedToPeer);
        socket->connectToRelay(QStringLiteral("127.0.0.1"), port, QStringLiteral("x"), QStringLiteral("t"), fingerprint);
        QTRY_VERIFY_WITH_TIMEOUT(failed.size() >= 1, 15000);
        const QString reason = failed.first().at(0).toString();
        QVERIFY(!reason.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(reason, expected);
        QTest::qWait(100);
        QCOMPARE(ready.size(), 0);
        QCOMPARE(relay->pairedCount(), 0);
    }

    void endsOfAConnection()
    {
        // The partner leaving and the relay going down are reported as losses; a close of one's own is
        // reported as a failure before readiness; an oversized message cuts the link.
        Ends a = pairUp();
        QVERIFY(bothReady(a));
        QSignalSpy hostFailed(a.host, &RemoteTunnelSocket::connectionFailed);
        a.host->close();
        QTRY_COMPARE_WITH_TIMEOUT(hostFailed.size(), 1, 10000);
        QCOMPARE(hostFailed.first().at(0).toString(), QStringLiteral("Соединение закрыто до готовности собеседника"));
        QCOMPARE(a.hostLost->size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(a.clientLost->size(), 1, 10000);

        Ends b = pairUp();
        QVERIFY(bothReady(b));
        relay->dropAll();
        QTRY_COMPARE_WITH_TIMEOUT(b.clientLost->size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(b.hostLost->size(), 1, 10000);

        Ends c = pairUp();
        QVERIFY(bothReady(c));
        relay->filter = [](const QString&, bool fromFirst, const QByteArray& m) -> QList<QByteArray> {
            if (fromFirst)
                return {QByteArray(int(RemoteTunnelSocket::maxIncomingMessageBytes) + 1, 'x')};
            return {m};
        };
        c.host->sendFrame("anything");
        QTRY_COMPARE_WITH_TIMEOUT(c.clientLost->size(), 1, 20000);
        QCOMPARE(c.clientFrames->size(), 0);
    }
};

QTEST_GUILESS_MAIN(TunnelTest)
#include "tst_tunnel.moc"

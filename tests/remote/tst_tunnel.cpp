// The encrypted relay connection end to end through a stand-in relay on 127.0.0.1: pairing, hello,
// order of frames, tampered, replayed and oversized frames, wrong keys, closes and lost relays.

#include "RemoteTunnelSocket.h"
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

    Ends pairUp()
    {
        const QString token = QStringLiteral("s3cret");
        Ends e;
        e.host = new RemoteTunnelSocket(owner);
        e.client = new RemoteTunnelSocket(owner);
        e.hostFrames = std::make_unique<QSignalSpy>(e.host, &RemoteTunnelSocket::frameReceived);
        e.clientFrames = std::make_unique<QSignalSpy>(e.client, &RemoteTunnelSocket::frameReceived);
        e.hostLost = std::make_unique<QSignalSpy>(e.host, &RemoteTunnelSocket::disconnectedFromRelay);
        e.clientLost = std::make_unique<QSignalSpy>(e.client, &RemoteTunnelSocket::disconnectedFromRelay);
        e.host->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                               cert.fingerprint());
        if (!QTest::qWaitFor([&] { return relay->waitingCount(QStringLiteral("primary")) == 1; }, 10000))
            return e;
        e.client->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
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

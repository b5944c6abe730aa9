// The encrypted relay connection end to end through a stand-in relay on 127.0.0.1: pairing, hellos,
// order of frames, what the relay can see, frames it forges, replays, reorders or sends back, the
// certificate pin, oversized frames, closes and lost relays.

#include "support/LoopbackPort.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/StandInRelay.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTest>

#include <utility>

using fixtures::StandInRelay;

namespace {

const QString kToken = QStringLiteral("s3cret");
const QString kSecret = QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF");

struct Ends
{
    RemoteTunnelSocket* host;
    RemoteTunnelSocket* client;
    std::unique_ptr<QSignalSpy> hostFrames, clientFrames, hostLost, clientLost;
};

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const auto& args : spy)
        out << QString::fromUtf8(args.at(0).toByteArray());
    return out;
}

} // namespace

class TunnelTest : public QObject
{
    Q_OBJECT

private:
    fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    std::unique_ptr<StandInRelay> relay;
    QObject* owner = nullptr;

    Ends pairUp(const QString& token = kToken)
    {
        Ends e;
        e.host = new RemoteTunnelSocket(TunnelRole::Host, owner);
        e.client = new RemoteTunnelSocket(TunnelRole::Client, owner);
        e.hostFrames = std::make_unique<QSignalSpy>(e.host, &RemoteTunnelSocket::frameReceived);
        e.clientFrames = std::make_unique<QSignalSpy>(e.client, &RemoteTunnelSocket::frameReceived);
        e.hostLost = std::make_unique<QSignalSpy>(e.host, &RemoteTunnelSocket::disconnectedFromRelay);
        e.clientLost = std::make_unique<QSignalSpy>(e.client, &RemoteTunnelSocket::disconnectedFromRelay);
        e.host->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                               cert.fingerprint(), kSecret);
        if (!QTest::qWaitFor([&] { return relay->waitingCount(QStringLiteral("primary")) == 1; }, 10000))
            return e;
        e.client->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                                 cert.fingerprint(), kSecret);
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
        relay->filter = {}; // it may refer to the finished test's locals
        delete owner;
        relay.reset();
    }

    void frameCrypto()
    {
        const QByteArray secret = parseTunnelSecret(kSecret);
        QCOMPARE(secret.size(), 32);
        QCOMPARE(parseTunnelSecret(" " + kSecret.left(32) + "\n" + kSecret.mid(32)), secret);
        QVERIFY(parseTunnelSecret(kSecret.left(63)).isEmpty());
        QVERIFY(parseTunnelSecret(kSecret.left(63) + "g").isEmpty());
        // RFC 5869, test case 1.
        QCOMPARE(hkdfSha256(QByteArray(22, '\x0b'), QByteArray::fromHex("000102030405060708090a0b0c"),
                            QByteArray::fromHex("f0f1f2f3f4f5f6f7f8f9"), 42)
                     .toHex(),
                 QByteArray("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));

        const QByteArray key = helloKey(secret);
        const QByteArray empty = encryptFrame(key, {});
        QCOMPARE(empty.size(), 28);
        QByteArray out("untouched");
        QVERIFY(decryptFrame(key, empty, &out));
        QVERIFY(out.isEmpty());
        out = "untouched";
        QVERIFY(!decryptFrame(key, empty.left(27), &out));
        QCOMPARE(out, QByteArray("untouched"));

        const QByteArray plain("{\"type\":\"listStudies\"}");
        const QByteArray frame = encryptFrame(key, plain, counterNonce(7));
        QCOMPARE(frame.size(), plain.size() + 28);
        QVERIFY(encryptFrame(key, plain) != encryptFrame(key, plain)); // a fresh random nonce every time
        for (int bit = 0; bit < frame.size() * 8; ++bit) {
            QByteArray bad = frame;
            bad[bit / 8] = char(bad[bit / 8] ^ (1 << (bit % 8)));
            QVERIFY2(!decryptFrame(key, bad, &out), qPrintable(QString::number(bit)));
        }
        QVERIFY(!decryptFrame(helloKey(QByteArray(32, 'a')), frame, &out));
        QVERIFY(encryptFrame(key.left(31), plain).isEmpty());
        QVERIFY(!decryptFrame(key.left(31), frame, &out));
        QVERIFY(decryptFrame(key, frame, &out));
        QCOMPARE(out, plain);
        QCOMPARE(normalizeFingerprint(QStringLiteral("ab:0c: 9f")), QStringLiteral("AB0C9F"));
    }

    void pairedEndsExchangeFramesInOrder()
    {
        // A token with URL specials reaches the relay intact. Frames sent before the peer is reached leave
        // in order once it is; frames of an attempt that failed never leave on the next connection.
        const QString token = QStringLiteral("a+b&c=d /é");
        auto* host = new RemoteTunnelSocket(TunnelRole::Host, owner);
        QSignalSpy hostFrames(host, &RemoteTunnelSocket::frameReceived);
        host->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                             cert.fingerprint(), kSecret);
        QVERIFY(QTest::qWaitFor([&] { return relay->waitingCount(QStringLiteral("primary")) == 1; }, 10000));
        auto* client = new RemoteTunnelSocket(TunnelRole::Client, owner);
        QSignalSpy clientReady(client, &RemoteTunnelSocket::connectedToPeer);
        QSignalSpy clientFailed(client, &RemoteTunnelSocket::connectionFailed);
        client->sendFrame("stale");
        client->connectToRelay(QStringLiteral("127.0.0.1"), fixtures::freeLoopbackPort(), QStringLiteral("primary"),
                               token, cert.fingerprint(), kSecret);
        QVERIFY(clientFailed.wait(10000));
        client->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), token,
                               cert.fingerprint().toUpper().replace(QRegularExpression("(..)"), "\\1:"), kSecret);
        client->sendFrame("early-1");
        client->sendFrame("early-2");
        QTRY_COMPARE_WITH_TIMEOUT(hostFrames.size(), 2, 15000);
        QCOMPARE(texts(hostFrames), (QStringList{"early-1", "early-2"}));
        QCOMPARE(relay->tokensSeen().value(1), token);
        QTRY_COMPARE_WITH_TIMEOUT(clientReady.size(), 1, 15000);

        // JSON of any type, arrays, raw bytes and big chunks pass unchanged and in order.
        QList<QByteArray> sent{"{\"type\":\"hello\"}", "[1,2]", QByteArray("\x00\x01raw", 5), {}};
        for (int i = 0; i < 5; ++i)
            sent.append(QByteArray(1048576, char('a' + i)));
        for (const QByteArray& s : sent)
            client->sendFrame(s);
        QTRY_COMPARE_WITH_TIMEOUT(hostFrames.size(), 2 + sent.size(), 20000);
        for (int i = 0; i < sent.size(); ++i)
            QCOMPARE(hostFrames.at(2 + i).at(0).toByteArray(), sent.at(i));
    }

    void relayLearnsNothing()
    {
        // Everything the relay passes on, the hellos included, is opaque to it, and no key it can derive
        // from the token it is given opens any of it.
        QList<QByteArray> seen;
        relay->filter = [&](const QString&, bool, const QByteArray& m) {
            seen << m;
            return QList<QByteArray>{m};
        };
        Ends e = pairUp();
        QVERIFY(bothReady(e));
        const QByteArray secretText("{\"patientName\":\"Иванов^Пётр\"}");
        e.client->sendFrame(secretText);
        e.host->sendFrame(secretText);
        QTRY_COMPARE_WITH_TIMEOUT(e.clientFrames->size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(e.hostFrames->size(), 1, 10000);
        QCOMPARE(seen.size(), 6); // two hellos, two confirmations, two messages
        const QByteArray tokenBytes = kToken.toUtf8();
        const QByteArray tokenKeys[] = {QCryptographicHash::hash(tokenBytes, QCryptographicHash::Sha256),
                                        helloKey(tokenBytes), hkdfSha256(tokenBytes, {}, {})};
        for (const QByteArray& m : seen) {
            QVERIFY(!m.contains("Иванов") && !m.contains("type") && !m.contains("host"));
            QByteArray out;
            for (const QByteArray& k : tokenKeys)
                QVERIFY(!decryptFrame(k, m, &out));
        }
    }

    void forgedFramesDeliverNothing_data()
    {
        QTest::addColumn<QString>("forgery");
        QTest::addColumn<QStringList>("delivered"); // what the host takes from the client
        QTest::addColumn<bool>("closes");
        const QStringList first{"first!"};
        QTest::newRow("bit flipped") << "flip" << first << true;
        QTest::newRow("truncated") << "truncate" << first << true;
        QTest::newRow("too short") << "short" << first << true;
        QTest::newRow("duplicated") << "duplicate" << first << true;
        QTest::newRow("reordered") << "reorder" << QStringList() << true;
        QTest::newRow("sent back to its sender") << "reflect" << first << true;
        QTest::newRow("replayed from an earlier connection") << "earlier" << QStringList() << true;
        // Before the peer is reached nothing is closed: the host's own hello sent back is ignored, and
        // so is everything after it; neither end counts the other as reached.
        QTest::newRow("hello sent back to its sender") << "reflectHello" << QStringList() << false;
    }
    void forgedFramesDeliverNothing()
    {
        QFETCH(QString, forgery);
        QFETCH(QStringList, delivered);
        QFETCH(bool, closes);
        constexpr int dataFrame = 28 + 6; // "first!" and "second"
        QList<QByteArray> fromHost, fromClient, earlier;
        if (forgery == "earlier") {
            relay->filter = [&](const QString&, bool fromFirst, const QByteArray& m) {
                if (!fromFirst && m.size() == dataFrame)
                    earlier << m;
                return QList<QByteArray>{m};
            };
            Ends old = pairUp();
            QVERIFY(bothReady(old));
            old.client->sendFrame("first!");
            QTRY_COMPARE_WITH_TIMEOUT(old.hostFrames->size(), 1, 10000);
            old.client->close();
            QTRY_COMPARE_WITH_TIMEOUT(relay->connectionCount(), 0, 10000);
        }
        relay->filter = [&](const QString&, bool fromFirst, const QByteArray& m) -> QList<QByteArray> {
            if (fromFirst) {
                fromHost << m;
                return {m};
            }
            if (forgery == "reflectHello" && fromClient.isEmpty()) {
                fromClient << m;
                return {fromHost.value(0)};
            }
            if (m.size() != dataFrame)
                return {m};
            fromClient << m;
            const bool second = fromClient.size() == 2;
            QByteArray bad = m;
            if (forgery == "flip" && second)
                bad[15] = char(bad[15] ^ 0x10);
            else if (forgery == "truncate" && second)
                bad.chop(1);
            else if (forgery == "short" && second)
                bad = m.left(27);
            else if (forgery == "duplicate" && !second)
                return {m, m};
            else if (forgery == "reorder")
                return second ? QList<QByteArray>{m, fromClient.first()} : QList<QByteArray>{};
            else if (forgery == "reflect" && second)
                bad = fromHost.value(3); // the host's own data frame of the same number, 2
            else if (forgery == "earlier" && !second)
                bad = earlier.value(0);
            return {bad};
        };
        Ends e = pairUp();
        if (closes)
            QVERIFY(QTest::qWaitFor([&] { return e.client->isPeerReady(); }, 15000));
        if (forgery == "reflect") {
            e.host->sendFrame("h0");
            e.host->sendFrame("h1");
            QTRY_COMPARE_WITH_TIMEOUT(e.clientFrames->size(), 2, 10000);
        }
        e.client->sendFrame("first!");
        e.client->sendFrame("second");
        if (closes)
            QTRY_COMPARE_WITH_TIMEOUT(e.hostLost->size(), 1, 10000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(fromClient.size(), 3, 10000);
        QCOMPARE(e.hostLost->size(), closes ? 1 : 0);
        QVERIFY(!e.host->isPeerReady());
        if (!closes) {
            QVERIFY(!e.client->isPeerReady());
            // The relay's close follows everything it passed on, so once the host has seen it, it has
            // read every forged frame.
            QSignalSpy hostFailed(e.host, &RemoteTunnelSocket::connectionFailed);
            relay->dropAll();
            QTRY_VERIFY_WITH_TIMEOUT(e.hostLost->size() + hostFailed.size() > 0, 10000);
        }
        QCOMPARE(texts(*e.hostFrames), delivered);
    }

    // Hellos shorter than a nonce and a tag, passed on by the relay ahead of the client's real one, are
    // dropped before any of them is read as a frame; the real hello then pairs the two ends.
    void shortHellosAreDroppedUnread_data()
    {
        QTest::addColumn<int>("bytes");
        for (int bytes : {0, 12, 27})
            QTest::addRow("%d bytes", bytes) << bytes;
    }
    void shortHellosAreDroppedUnread()
    {
        QFETCH(int, bytes);
        bool forged = false;
        relay->filter = [&](const QString&, bool fromFirst, const QByteArray& m) -> QList<QByteArray> {
            if (fromFirst || std::exchange(forged, true))
                return {m};
            return {QByteArray(bytes, '\x5a'), m};
        };
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("кадр короче 28 байт: %1 байт$").arg(bytes)));
        Ends e = pairUp();
        QVERIFY(bothReady(e));
        QVERIFY(forged);
    }

    void pinIsCheckedBeforeTheUpgrade_data()
    {
        QTest::addColumn<QString>("fingerprint"); // "other": another certificate's
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("systemTrustsRelay");
        QTest::addColumn<QString>("error");
        const QString pinText = QStringLiteral("Отпечаток сертификата сервера не совпадает с ожидаемым");
        QTest::newRow("trusted by a system authority, other fingerprint") << "other" << kSecret << true << pinText;
        QTest::newRow("empty fingerprint") << "" << kSecret << false << pinText;
        QTest::newRow("secret not 64 hexadecimal digits") << "own" << "abc" << false
                                                          << QStringLiteral("Неверный ключ шифрования");
    }
    void pinIsCheckedBeforeTheUpgrade()
    {
        QFETCH(QString, fingerprint);
        QFETCH(QString, secret);
        QFETCH(bool, systemTrustsRelay);
        QFETCH(QString, error);
        const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
        if (systemTrustsRelay) {
            QSslConfiguration trusting = before;
            trusting.addCaCertificate(cert.certificate);
            QSslConfiguration::setDefaultConfiguration(trusting);
        }
        if (fingerprint == "other")
            fingerprint = fixtures::makeTestCertificate().fingerprint();
        else if (fingerprint == "own")
            fingerprint = cert.fingerprint();
        auto* client = new RemoteTunnelSocket(TunnelRole::Client, owner);
        QSignalSpy failed(client, &RemoteTunnelSocket::connectionFailed);
        client->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("primary"), kToken,
                               fingerprint, secret);
        const bool reported = failed.wait(10000);
        QSslConfiguration::setDefaultConfiguration(before);
        QVERIFY(reported);
        QVERIFY2(failed.first().at(0).toString().startsWith(error), qPrintable(failed.first().at(0).toString()));
        // A connection made afterwards is accepted after anything the refused one could have sent.
        auto* probe = new RemoteTunnelSocket(TunnelRole::Client, owner);
        probe->connectToRelay(QStringLiteral("127.0.0.1"), relay->port(), QStringLiteral("probe"),
                              QStringLiteral("probe"), cert.fingerprint(), kSecret);
        QTRY_VERIFY_WITH_TIMEOUT(!relay->tokensSeen().isEmpty(), 10000);
        // The upgrade request, token and all, never left the refused connection.
        QCOMPARE(relay->tokensSeen(), QList<QString>{QStringLiteral("probe")});
    }

    void endsOfAConnection()
    {
        // The partner leaving and the relay going down are reported as losses; a close of one's own is
        // reported as a failure before readiness; an oversized message or a raw chunk over 1 MiB cuts the
        // link.
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

        relay->filter = {};
        Ends d = pairUp();
        QVERIFY(bothReady(d));
        d.host->sendFrame(QByteArray("{\"type\":\"studies\"}") + QByteArray(1048576, ' '));
        d.host->sendFrame(QByteArray(1048577, 'r'));
        d.host->sendFrame("after");
        QTRY_COMPARE_WITH_TIMEOUT(d.clientLost->size(), 1, 20000);
        QCOMPARE(d.clientFrames->size(), 1); // the long JSON message only
    }
};

QTEST_GUILESS_MAIN(TunnelTest)
#include "tst_tunnel.moc"

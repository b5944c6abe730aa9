// The loopback server under seeded random requests: valid requests with flipped bytes, cut short,
// split into pieces, with lying lengths, repeated or absurd headers and bodies nested thousands deep.
// Every answer must be one well-formed HTTP response, no connection may stay with the server once
// its client is gone, and the server must still answer normally afterwards.
#include "LoopbackPort.h"

#include "LocalApiServer.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using kalvenor::LocalApiServer;

namespace {

QByteArray request(const QByteArray& method, const QByteArray& path, const QByteArray& origin, const QByteArray& body)
{
    QByteArray head = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!origin.isEmpty())
        head += "Origin: " + origin + "\r\n";
    if (!body.isEmpty())
        head += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    return head + "\r\n" + body;
}

QList<QByteArray> seeds()
{
    const QByteArray origin = "http://localhost:5173";
    const QByteArray open = R"({"studyInstanceUID":"1.2.3","serverHost":"127.0.0.1","serverPort":11112,"serverAeTitle":"PACS"})";
    return {request("GET", "/health", QByteArray(), QByteArray()),
            request("GET", "/health", origin, QByteArray()),
            request("OPTIONS", "/pacs/open", origin, QByteArray()),
            request("POST", "/pacs/open", origin, open),
            request("POST", "/pacs/open", QByteArray(), open),
            request("POST", "/focus", origin, "{}")};
}

QByteArray mutate(QByteArray bytes, QRandomGenerator& random)
{
    auto at = [&] { return bytes.isEmpty() ? qsizetype(0) : qsizetype(random.bounded(quint64(bytes.size()))); };
    switch (random.bounded(9)) {
    case 0: // flipped bytes, NULs and line breaks included
        for (int i = 0, n = 1 + int(random.bounded(8)); i < n && !bytes.isEmpty(); ++i) {
            const qsizetype p = at();
            bytes[p] = char(random.bounded(4) == 0 ? "\0\r\n:"[random.bounded(4)] : char(random.bounded(256)));
        }
        return bytes;
    case 1: // cut short
        bytes.truncate(at());
        return bytes;
    case 2: { // a lying or malformed length
        static const char* const kLengths[] = {"-1", "99999999999999999999999", "0", "1", "65537", "12abc", " 5", "+5",
                                               "5 5", "0x10", "18446744073709551616", "65536"};
        const QByteArray line = QByteArray("Content-Length: ") + kLengths[random.bounded(int(std::size(kLengths)))];
        const qsizetype head = bytes.indexOf("\r\n");
        bytes.insert(head < 0 ? 0 : head + 2, line + "\r\n");
        return bytes;
    }
    case 3: { // the same header many times, or one endless header
        const qsizetype head = bytes.indexOf("\r\n");
        const QByteArray line = random.bounded(2) == 0 ? QByteArray("X-A: b\r\n").repeated(1 + random.bounded(2000))
                                                       : "X-Long: " + QByteArray(int(random.bounded(20000)), 'a') + "\r\n";
        bytes.insert(head < 0 ? 0 : head + 2, line);
        return bytes;
    }
    case 4: { // a body nested far beyond any real request, declared honestly
        const int depth = 1 + int(random.bounded(30000));
        const QByteArray body = QByteArray(depth, '[') + QByteArray(depth, ']');
        return request("POST", "/pacs/open", "http://localhost:5173", body.left(LocalApiServer::kMaxBodyBytes));
    }
    case 5: // a request line of one word, of many, or none
        return QByteArray(random.bounded(3) == 0 ? "GET\r\n\r\n" : random.bounded(2) == 0 ? "\r\n\r\n" : "A B C D E F\r\n\r\n");
    case 6: // a second request glued to the first
        return bytes + bytes;
    case 7: { // a body whose fields have the wrong types
        static const char* const kBodies[] = {R"({"studyInstanceUID":5,"serverPort":"x"})", R"({"serverPort":1e308})",
                                              R"([1,2,3])", R"({"studyInstanceUID":null})", "\"\\ud800\"", "{\"a\":"};
        return request("POST", "/pacs/open", QByteArray(), kBodies[random.bounded(int(std::size(kBodies)))]);
    }
    default: // random bytes altogether
        bytes.resize(qsizetype(random.bounded(4096)));
        for (char& c : bytes)
            c = char(random.bounded(256));
        return bytes;
    }
}

// Checks that `bytes` is one whole response of the server's shape; empty is an acceptable answer too.
QString responseProblem(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    if (!bytes.startsWith("HTTP/1.1 "))
        return QStringLiteral("no status line");
    const qsizetype headEnd = bytes.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return QStringLiteral("no end of head");
    const QByteArray head = bytes.left(headEnd);
    const qsizetype lengthAt = head.indexOf("Content-Length: ");
    if (lengthAt < 0)
        return QStringLiteral("no length");
    const qsizetype lengthEnd = head.indexOf("\r\n", lengthAt);
    const int length = head.mid(lengthAt + 16, (lengthEnd < 0 ? head.size() : lengthEnd) - lengthAt - 16).toInt();
    if (bytes.size() - headEnd - 4 != length)
        return QStringLiteral("body of %1 bytes, %2 declared").arg(bytes.size() - headEnd - 4).arg(length);
    return {};
}

} // namespace

class LocalApiMutationsTest : public QObject
{
    Q_OBJECT

private slots:
    void randomRequestsGetCleanAnswers();
};

void LocalApiMutationsTest::randomRequestsGetCleanAnswers()
{
    const quint16 port = fixtures::freeLoopbackPort();
    QVERIFY(port != 0);
    LocalApiServer server(port);
    QVERIFY(server.listen());
    QSignalSpy opens(&server, &LocalApiServer::openStudyRequested);

    QRandomGenerator random(20261206);
    const QList<QByteArray> bases = seeds();
    QElapsedTimer budget;
    budget.start();
    int rounds = 0;
    int answered = 0;
    int leftOpen = 0;
    while (rounds < 400 && budget.elapsed() < 8000) {
        QByteArray bytes = bases.at(random.bounded(int(bases.size())));
        for (int i = 0, n = 1 + int(random.bounded(2)); i < n; ++i)
            bytes = mutate(bytes, random);

        QTcpSocket client;
        QByteArray received;
        bool closed = false;
        connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
        connect(&client, &QTcpSocket::disconnected, [&] { closed = true; });
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, 30000));
        // Sent whole or in pieces, so that the server sees a request grow across reads.
        const int pieces = random.bounded(3) == 0 ? 1 + int(random.bounded(6)) : 1;
        const qsizetype step = qMax<qsizetype>(1, bytes.size() / pieces);
        for (qsizetype from = 0; from < bytes.size(); from += step) {
            client.write(bytes.mid(from, step));
            client.flush();
            if (pieces > 1)
                QTest::qWait(2);
        }
        // A request the server still waits on is left by its client, as a browser would.
        if (!QTest::qWaitFor([&] { return closed; }, 150)) {
            ++leftOpen;
            client.abort();
        } else {
            ++answered;
        }
        const QString problem = responseProblem(received);
        QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("round %1: %2\n%3").arg(rounds).arg(problem,
                                                                     QString::fromLatin1(received.left(300)))));
        ++rounds;
    }
    qInfo("%d random requests: %d answered or closed, %d left waiting, %lld open requests",
          rounds, answered, leftOpen, qlonglong(opens.size()));
    QVERIFY(rounds >= 50);

    // Every connection is gone from the server once its client is.
    QTRY_COMPARE_WITH_TIMEOUT(server.findChildren<QTcpSocket*>().size(), 0, 30000);

    // And the server still answers as before.
    QTcpSocket client;
    QByteArray received;
    connect(&client, &QTcpSocket::readyRead, [&] { received += client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(30000));
    client.write(request("GET", "/health", QByteArray(), QByteArray()));
    QTRY_VERIFY_WITH_TIMEOUT(received.endsWith("\r\n\r\nok"), 30000);
    QVERIFY(received.startsWith("HTTP/1.1 200 OK\r\n"));
}

QTEST_GUILESS_MAIN(LocalApiMutationsTest)
#include "tst_localapimutations.moc"

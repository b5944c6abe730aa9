// The loopback server seen from a raw TCP client: every answer is compared byte for byte.
#include "LoopbackPort.h"

#include "LocalApiServer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using kalvenor::LocalApiServer;

namespace {

QByteArray plain(const QByteArray& statusLine, const QByteArray& body, const QByteArray& origin = QByteArray())
{
    QByteArray bytes = "HTTP/1.1 " + statusLine + "\r\n"
                       "Content-Type: text/plain; charset=utf-8\r\n"
                       "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
                       "Connection: close\r\n";
    if (!origin.isEmpty())
        bytes += "Access-Control-Allow-Origin: " + origin + "\r\n";
    return bytes + "\r\n" + body;
}

QByteArray preflight(const QByteArray& origin)
{
    return "HTTP/1.1 204 No Content\r\n"
           "Access-Control-Allow-Origin: " + origin + "\r\n"
           "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
           "Access-Control-Allow-Headers: Content-Type\r\n"
           "Content-Length: 0\r\n"
           "Connection: close\r\n"
           "\r\n";
}

QByteArray post(const QByteArray& path, const QByteArray& origin, const QByteArray& body)
{
    QByteArray head = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!origin.isNull())
        head += "Origin: " + origin + "\r\n";
    return head + "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray get(const QByteArray& path, const QByteArray& origin)
{
    QByteArray head = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!origin.isNull())
        head += "Origin: " + origin + "\r\n";
    return head + "\r\n";
}

// A raw client driven from the test's own event loop, which the server shares.
class Client
{
public:
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool waitConnected() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 30000); }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitClosed(int ms = 3000) { return QTest::qWaitFor([this] { return closed; }, ms); }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
};

const QByteArray kLocal5173 = "http://localhost:5173";
const QByteArray kLoop4173 = "http://127.0.0.1:4173";

} // namespace

class TestLocalApiServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<LocalApiServer> server;
    quint16 port = 0;

    QByteArray vendorOrigin() const
    {
        for (const QByteArray& origin : LocalApiServer::allowedOrigins()) {
            if (origin.startsWith("https://"))
                return origin;
        }
        return QByteArray();
    }

private slots:
    void init()
    {
        port = fixtures::freeLoopbackPort();
        QVERIFY(port != 0);
        server = std::make_unique<LocalApiServer>(port);
        QString error;
        QVERIFY2(server->listen(&error), qPrintable(error));
    }
    void cleanup() { server.reset(); }

    void allowList()
    {
        const QSet<QByteArray>& origins = LocalApiServer::allowedOrigins();
        QCOMPARE(origins.size(), 5);
        for (const char* o : {"http://localhost:5173", "http://localhost:4173", "http://127.0.0.1:5173", "http://127.0.0.1:4173"})
            QVERIFY(origins.contains(o));
        const QByteArray vendor = vendorOrigin();
        QVERIFY(vendor.startsWith("https://"));
        QVERIFY(!vendor.endsWith('/'));
        QCOMPARE(vendor.count('/'), 2);
    }

    // The program's port is 53214; only a valid test override moves it.
    void configuredPort_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<int>("expected");
        QTest::newRow("unset") << QByteArray() << 53214;
        QTest::newRow("override") << QByteArray("40123") << 40123;
        QTest::newRow("zero") << QByteArray("0") << 53214;
        QTest::newRow("too large") << QByteArray("70000") << 53214;
        QTest::newRow("text") << QByteArray("port") << 53214;
    }
    void configuredPort()
    {
        QFETCH(QByteArray, environment);
        QFETCH(int, expected);
        const QByteArray saved = qgetenv("KALVENOR_LOCAL_API_PORT");
        if (environment.isNull())
            qunsetenv("KALVENOR_LOCAL_API_PORT");
        else
            qputenv("KALVENOR_LOCAL_API_PORT", environment);
        const int port = LocalApiServer::configuredPort();
        if (saved.isNull())
            qunsetenv("KALVENOR_LOCAL_API_PORT");
        else
            qputenv("KALVENOR_LOCAL_API_PORT", saved);
        QCOMPARE(port, expected);
    }

    void busyPortFailsWithText()
    {
        LocalApiServer second(port);
        QString error;
        QVERIFY(!second.listen(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!second.listen()); // no text wanted: still just false
    }

    void routing_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QStringList>("open"); // uid, host, port, aet of the one expected signal
        QTest::addColumn<int>("focus");

        const QByteArray study = R"({"studyInstanceUID":"1.2.3","serverHost":"pacs.local","serverPort":11112,"serverAeTitle":"ARCH"})";
        const QStringList none;

        QTest::newRow("preflight allowed, unknown path")
            << QByteArray("OPTIONS /nowhere HTTP/1.1\r\nOrigin: http://localhost:5173\r\nAccess-Control-Request-Method: POST\r\n\r\n")
            << preflight(kLocal5173) << none << 0;
        QTest::newRow("preflight refused")
            << QByteArray("OPTIONS /pacs/open HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n")
            << plain("403 Forbidden", "") << none << 0;
        QTest::newRow("preflight without origin") << QByteArray("OPTIONS /pacs/open HTTP/1.1\r\n\r\n")
                                                  << plain("403 Forbidden", "") << none << 0;
        QTest::newRow("health allowed") << get("/health", kLoop4173) << plain("200 OK", "ok", kLoop4173) << none << 0;
        QTest::newRow("health refused") << get("/health", "http://127.0.0.1:8080") << plain("403 Forbidden", "forbidden") << none << 0;
        // A local program (the second copy) sends no Origin at all.
        QTest::newRow("health without origin") << get("/health", QByteArray()) << plain("200 OK", "ok") << none << 0;
        QTest::newRow("empty origin header") << get("/health", "") << plain("403 Forbidden", "forbidden") << none << 0;
        QTest::newRow("origin null") << get("/health", "null") << plain("403 Forbidden", "forbidden") << none << 0;
        QTest::newRow("origin trailing slash") << get("/health", "http://localhost:5173/") << plain("403 Forbidden", "forbidden") << none << 0;
        QTest::newRow("origin upper case") << get("/health", "HTTP://LOCALHOST:5173") << plain("403 Forbidden", "forbidden") << none << 0;
        QTest::newRow("open allowed") << post("/pacs/open", kLocal5173, study) << plain("202 Accepted", "accepted", kLocal5173)
                                      << QStringList{"1.2.3", "pacs.local", "11112", "ARCH"} << 0;
        QTest::newRow("open refused") << post("/pacs/open", "http://127.0.0.1:5174", study) << plain("403 Forbidden", "forbidden")
                                      << none << 0;
        QTest::newRow("open without origin") << post("/pacs/open", QByteArray(), study) << plain("202 Accepted", "accepted")
                                             << QStringList{"1.2.3", "pacs.local", "11112", "ARCH"} << 0;
        QTest::newRow("open port as text") << post("/pacs/open", kLocal5173, R"({"studyInstanceUID":"9","serverPort":"4242"})")
                                           << plain("202 Accepted", "accepted", kLocal5173) << QStringList{"9", "", "104", ""} << 0;
        QTest::newRow("open port fraction") << post("/pacs/open", kLocal5173, R"({"studyInstanceUID":"9","serverPort":12.5})")
                                            << plain("202 Accepted", "accepted", kLocal5173) << QStringList{"9", "", "104", ""} << 0;
        QTest::newRow("open empty object") << post("/pacs/open", kLocal5173, "{}") << plain("202 Accepted", "accepted", kLocal5173)
                                           << QStringList{"", "", "104", ""} << 0;
        QTest::newRow("open aet not text") << post("/pacs/open", kLocal5173, R"({"studyInstanceUID":"5","serverAeTitle":7})")
                                           << plain("202 Accepted", "accepted", kLocal5173) << QStringList{"5", "", "104", ""} << 0;
        QTest::newRow("open broken json") << post("/pacs/open", kLocal5173, R"({"studyInstanceUID":)")
                                          << plain("400 Bad Request", "invalid json", kLocal5173) << none << 0;
        QTest::newRow("open array") << post("/pacs/open", kLocal5173, "[1,2]") << plain("400 Bad Request", "invalid json", kLocal5173)
                                    << none << 0;
        QTest::newRow("open bare value") << post("/pacs/open", kLocal5173, "42") << plain("400 Bad Request", "invalid json", kLocal5173)
                                         << none << 0;
        static const char kNulInside[] = "{\"studyInstanceUID\":\"1.2\0.3\"}";
        QTest::newRow("open NUL inside a value")
            << post("/pacs/open", kLocal5173, QByteArray(kNulInside, sizeof kNulInside - 1))
            << plain("400 Bad Request", "invalid json", kLocal5173) << none << 0;
        QTest::newRow("open raw control character inside a value")
            << post("/pacs/open", kLocal5173, "{\"studyInstanceUID\":\"1.2\x01.3\"}")
            << plain("400 Bad Request", "invalid json", kLocal5173) << none << 0;
        QTest::newRow("open no body")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\n\r\n")
            << plain("400 Bad Request", "invalid json", kLocal5173) << none << 0;
        QTest::newRow("focus") << post("/focus", kLoop4173, "") << plain("202 Accepted", "accepted", kLoop4173) << none << 1;
        QTest::newRow("focus body ignored") << post("/focus", kLoop4173, "not json") << plain("202 Accepted", "accepted", kLoop4173)
                                            << none << 1;
        QTest::newRow("focus without origin") << post("/focus", QByteArray(), "{}") << plain("202 Accepted", "accepted") << none << 1;
        QTest::newRow("get on open") << get("/pacs/open", kLocal5173) << plain("404 Not Found", "not found", kLocal5173) << none << 0;
        QTest::newRow("post on health") << post("/health", kLocal5173, "") << plain("404 Not Found", "not found", kLocal5173) << none << 0;
        QTest::newRow("query string") << get("/health?x=1", kLocal5173) << plain("404 Not Found", "not found", kLocal5173) << none << 0;
        QTest::newRow("lower-case method") << get("/health", kLocal5173).replace("GET", "get")
                                           << plain("404 Not Found", "not found", kLocal5173) << none << 0;
        QTest::newRow("mixed-case header names")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nORIGIN: http://localhost:5173\r\nCONTENT-LENGTH: 22\r\n\r\n{\"studyInstanceUID\":1}")
            << plain("202 Accepted", "accepted", kLocal5173) << QStringList{"", "", "104", ""} << 0;
        QTest::newRow("last repeated header counts")
            << QByteArray("GET /health HTTP/1.1\r\nOrigin: https://evil.example\r\nOrigin: http://127.0.0.1:4173\r\n\r\n")
            << plain("200 OK", "ok", kLoop4173) << none << 0;
        QTest::newRow("body cut to content-length")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: 25\r\n\r\n{\"studyInstanceUID\":\"77\"}garbage")
            << plain("202 Accepted", "accepted", kLocal5173) << QStringList{"77", "", "104", ""} << 0;
        QTest::newRow("bare line ends in head")
            << QByteArray("GET /health HTTP/1.1\nOrigin: http://localhost:5173\r\n\r\n")
            << plain("200 OK", "ok", kLocal5173) << none << 0;
        // Answered at once, not at the idle close: the CRLF blank line never comes.
        QTest::newRow("head ends in bare line feeds")
            << QByteArray("GET /health HTTP/1.1\nOrigin: http://localhost:5173\n\n")
            << plain("400 Bad Request", "bare line feed") << none << 0;
        QTest::newRow("bare line feed before a CRLF blank line")
            << QByteArray("POST /focus HTTP/1.1\r\nOrigin: http://localhost:5173\n\r\n")
            << plain("400 Bad Request", "bare line feed") << none << 0;
        // Lengths that are not a plain decimal number are refused, not read as 0.
        for (const char* length : {"-5", "abc", "1e3", "+7", "", "12 3", "0x10"}) {
            QTest::addRow("content-length '%s'", length)
                << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: ") + length + "\r\n\r\n{}"
                << plain("400 Bad Request", "invalid content-length", kLocal5173) << none << 0;
        }
        QTest::newRow("body above limit answered at once")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: 65537\r\n\r\n{")
            << plain("413 Payload Too Large", "request body too large", kLocal5173) << none << 0;
        QTest::newRow("absurd length")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n")
            << plain("413 Payload Too Large", "request body too large") << none << 0;
        QTest::newRow("malformed request line") << QByteArray("GARBAGE\r\nOrigin: http://localhost:5173\r\n\r\n") << QByteArray() << none << 0;
        QTest::newRow("empty request line") << QByteArray("\r\n\r\n") << QByteArray() << none << 0;
    }
    void routing()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expected);
        QFETCH(QStringList, open);
        QFETCH(int, focus);
        QSignalSpy opens(server.get(), &LocalApiServer::openStudyRequested);
        QSignalSpy focuses(server.get(), &LocalApiServer::focusRequested);

        Client client(port);
        QVERIFY(client.waitConnected());
        client.send(request);
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, expected);
        QCOMPARE(focuses.size(), focus);
        QCOMPARE(opens.size(), open.isEmpty() ? 0 : 1);
        if (!open.isEmpty()) {
            const QList<QVariant> args = opens.first();
            QCOMPARE(args.at(0).toString(), open.at(0));
            QCOMPARE(args.at(1).toString(), open.at(1));
            QCOMPARE(args.at(2).toInt(), open.at(2).toInt());
            QCOMPARE(args.at(3).toString(), open.at(3));
        }
    }

    void vendorOriginAccepted()
    {
        Client client(port);
        QVERIFY(client.waitConnected());
        client.send(get("/health", vendorOrigin()));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("200 OK", "ok", vendorOrigin()));
    }

    void splitPackets_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        const QByteArray body = R"({"studyInstanceUID":"1.2.3"})";
        const QByteArray whole = post("/pacs/open", kLocal5173, body);
        const qsizetype blank = whole.indexOf("\r\n\r\n");
        QTest::newRow("inside blank line, 1") << QList<QByteArray>{whole.left(blank + 1), whole.mid(blank + 1)};
        QTest::newRow("inside blank line, 2") << QList<QByteArray>{whole.left(blank + 2), whole.mid(blank + 2)};
        QTest::newRow("inside blank line, 3") << QList<QByteArray>{whole.left(blank + 3), whole.mid(blank + 3)};
        QTest::newRow("head then body in pieces")
            << QList<QByteArray>{whole.left(blank + 4), body.left(5), body.mid(5, 10), body.mid(15)};
        QTest::newRow("inside a header name") << QList<QByteArray>{whole.left(30), whole.mid(30)};
        QList<QByteArray> bytes;
        for (char c : whole)
            bytes.append(QByteArray(1, c));
        QTest::newRow("byte by byte") << bytes;
    }
    void splitPackets()
    {
        QFETCH(QList<QByteArray>, chunks);
        QSignalSpy opens(server.get(), &LocalApiServer::openStudyRequested);
        Client client(port);
        QVERIFY(client.waitConnected());
        for (qsizetype i = 0; i + 1 < chunks.size(); ++i) {
            client.send(chunks.at(i));
            QTest::qWait(chunks.size() > 10 ? 1 : 40);
        }
        QVERIFY(client.received.isEmpty()); // nothing before the last byte of the body
        QCOMPARE(opens.size(), 0);
        client.send(chunks.last());
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("202 Accepted", "accepted", kLocal5173));
        QCOMPARE(opens.size(), 1);
        QCOMPARE(opens.first().at(0).toString(), QStringLiteral("1.2.3"));
    }

    void pipelinedRequestIgnored()
    {
        QSignalSpy opens(server.get(), &LocalApiServer::openStudyRequested);
        QSignalSpy focuses(server.get(), &LocalApiServer::focusRequested);
        Client client(port);
        QVERIFY(client.waitConnected());
        client.send(post("/focus", kLocal5173, "") + post("/pacs/open", kLocal5173, R"({"studyInstanceUID":"2"})") +
                    get("/health", kLocal5173));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("202 Accepted", "accepted", kLocal5173));
        QCOMPARE(focuses.size(), 1);
        QCOMPARE(opens.size(), 0);
    }

    void oversizedHead_data()
    {
        QTest::addColumn<QByteArray>("request");
        const QByteArray filler = "X-Filler: " + QByteArray(9000, 'a') + "\r\n";
        QTest::newRow("never ends") << QByteArray("GET /health HTTP/1.1\r\n") + filler;
        QTest::newRow("ends too late") << QByteArray("GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\n") + filler + "\r\n";
        QTest::newRow("no line breaks at all") << QByteArray(20000, 'G');
    }
    void oversizedHead()
    {
        QFETCH(QByteArray, request);
        QSignalSpy focuses(server.get(), &LocalApiServer::focusRequested);
        Client client(port);
        QVERIFY(client.waitConnected());
        client.send(request);
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("431 Request Header Fields Too Large", "request header too large"));
    }

    void headAtTheLimitIsServed()
    {
        QByteArray head = "GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\nX-Filler: ";
        head += QByteArray(LocalApiServer::kMaxHeadBytes - head.size() - 4, 'b') + "\r\n\r\n";
        QCOMPARE(head.size(), LocalApiServer::kMaxHeadBytes);
        Client client(port);
        QVERIFY(client.waitConnected());
        client.send(head);
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("200 OK", "ok", kLocal5173));
    }

    void bodyAtTheLimitIsServed()
    {
        QByteArray body = "{\"studyInstanceUID\":\"4\",\"pad\":\"";
        body += QByteArray(LocalApiServer::kMaxBodyBytes - body.size() - 2, 'p') + "\"}";
        QCOMPARE(body.size(), LocalApiServer::kMaxBodyBytes);
        QSignalSpy opens(server.get(), &LocalApiServer::openStudyRequested);
        Client client(port);
        QVERIFY(client.waitConnected());
        client.send(post("/pacs/open", kLocal5173, body));
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("202 Accepted", "accepted", kLocal5173));
        QCOMPARE(opens.size(), 1);
    }

    // A client that stops sending is dropped after about ten seconds of silence, a slow but steady
    // one is served, and both leave other connections served meanwhile.
    void idleAndSlowClients()
    {
        QSignalSpy opens(server.get(), &LocalApiServer::openStudyRequested);
        QElapsedTimer clock;
        clock.start();

        Client idle(port); // head without its blank line, then silence
        QVERIFY(idle.waitConnected());
        idle.send("GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\n");

        Client slow(port);
        QVERIFY(slow.waitConnected());
        const QByteArray request = post("/pacs/open", kLocal5173, R"({"studyInstanceUID":"slow"})");
        // Pieces far apart: together they take longer than the idle limit, each gap is shorter.
        const int pieces = 6;
        const qsizetype step = request.size() / pieces + 1;
        qsizetype sent = 0;
        bool idleClosedEarly = false;
        while (sent < request.size()) {
            slow.send(request.mid(sent, step));
            sent += step;
            if (sent < request.size()) {
                QTest::qWait(LocalApiServer::kIdleTimeoutMs / 4);
                if (idle.closed && clock.elapsed() < LocalApiServer::kIdleTimeoutMs - 1000)
                    idleClosedEarly = true;
                QVERIFY(slow.received.isEmpty());
                QVERIFY(!slow.closed);
            }
        }
        QVERIFY(clock.elapsed() > LocalApiServer::kIdleTimeoutMs);
        QVERIFY(slow.waitClosed());
        QCOMPARE(slow.received, plain("202 Accepted", "accepted", kLocal5173));
        QCOMPARE(opens.size(), 1);

        QVERIFY(!idleClosedEarly);
        QVERIFY(idle.waitClosed(5000));
        QVERIFY(idle.received.isEmpty()); // a request without its blank line is never answered

        Client other(port);
        QVERIFY(other.waitConnected());
        other.send(get("/health", kLocal5173));
        QVERIFY(other.waitClosed());
        QCOMPARE(other.received, plain("200 OK", "ok", kLocal5173));
    }

    void clientLeavingEarlyIsForgotten()
    {
        {
            Client gone(port);
            QVERIFY(gone.waitConnected());
            gone.send("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: 100\r\n\r\n{\"stu");
            QTest::qWait(50);
        }
        QTRY_VERIFY_WITH_TIMEOUT(server->findChildren<QTcpSocket*>().isEmpty(), 10000);
        Client next(port);
        QVERIFY(next.waitConnected());
        next.send(get("/health", kLocal5173));
        QVERIFY(next.waitClosed());
        QCOMPARE(next.received, plain("200 OK", "ok", kLocal5173));
    }
};

QTEST_GUILESS_MAIN(TestLocalApiServer)
#include "tst_localapiserver.moc"

// The loopback server seen from a raw TCP client: every answer is compared byte for byte, requests
// arrive whole, in pieces, slowly, oversized or mutated at random, and no connection outlives its client.
#include "support/LoopbackPort.h"

#include "app/LocalApiServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

using kalvenor::LocalApiServer;

namespace {

const QByteArray k5173 = "http://localhost:5173";
const QByteArray k4173 = "http://127.0.0.1:4173";

QByteArray plain(const QByteArray& status, const QByteArray& body, const QByteArray& origin = {})
{
    QByteArray bytes = "HTTP/1.1 " + status + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
                       + QByteArray::number(body.size()) + "\r\nConnection: close\r\n";
    if (!origin.isEmpty())
        bytes += "Access-Control-Allow-Origin: " + origin + "\r\n";
    return bytes + "\r\n" + body;
}

QByteArray request(const QByteArray& method, const QByteArray& path, const QByteArray& origin, const QByteArray& body = {})
{
    QByteArray head = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!origin.isNull())
        head += "Origin: " + origin + "\r\n";
    if (method == "POST")
        head += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    return head + "\r\n" + body;
}
QByteArray get(const QByteArray& path, const QByteArray& origin) { return request("GET", path, origin); }
QByteArray post(const QByteArray& path, const QByteArray& origin, const QByteArray& body) { return request("POST", path, origin, body); }

QByteArray vendorOrigin()
{
    for (const QByteArray& origin : LocalApiServer::allowedOrigins())
        if (origin.startsWith("https://"))
            return origin;
    return {};
}

// A raw client driven from the test's own event loop, which the server shares.
struct Client
{
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool connected() { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 30000); }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    bool waitClosed(int ms = 3000) { return QTest::qWaitFor([this] { return closed; }, ms); }
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
    bool sent = false;
};

// One random change of a valid request: flipped bytes, cut short, lying lengths, repeated or endless
// headers, bodies nested far beyond any real request, glued requests, wrong types, random bytes.
QByteArray mutate(QByteArray bytes, QRandomGenerator& random)
{
    auto at = [&] { return bytes.isEmpty() ? qsizetype(0) : qsizetype(random.bounded(quint64(bytes.size()))); };
    const qsizetype head = bytes.indexOf("\r\n") < 0 ? 0 : bytes.indexOf("\r\n") + 2;
    switch (random.bounded(9)) {
    case 0:
        for (int i = 0, n = 1 + int(random.bounded(8)); i < n && !bytes.isEmpty(); ++i) {
            const qsizetype p = at();
            bytes[p] = random.bounded(4) == 0 ? "\0\r\n:"[random.bounded(4)] : char(random.bounded(256));
        }
        return bytes;
    case 1:
        return bytes.left(at());
    case 2: {
        static const char* const kLengths[] = {"-1", "99999999999999999999999", "0", "1", "65537", "12abc", " 5", "+5",
                                               "5 5", "0x10", "18446744073709551616", "65536"};
        return bytes.insert(head, QByteArray("Content-Length: ") + kLengths[random.bounded(int(std::size(kLengths)))] + "\r\n");
    }
    case 3:
        return bytes.insert(head, random.bounded(2) == 0 ? QByteArray("X-A: b\r\n").repeated(1 + random.bounded(2000))
                                                         : "X-Long: " + QByteArray(int(random.bounded(20000)), 'a') + "\r\n");
    case 4: {
        const int depth = 1 + int(random.bounded(30000));
        return post("/pacs/open", k5173, (QByteArray(depth, '[') + QByteArray(depth, ']')).left(LocalApiServer::kMaxBodyBytes));
    }
    case 5:
        return QByteArray(random.bounded(3) == 0 ? "GET\r\n\r\n" : random.bounded(2) == 0 ? "\r\n\r\n" : "A B C D E F\r\n\r\n");
    case 6:
        return bytes + bytes;
    case 7: {
        static const char* const kBodies[] = {R"({"studyInstanceUID":5,"serverPort":"x"})", R"({"serverPort":1e308})",
                                              R"([1,2,3])", R"({"studyInstanceUID":null})", "\"\\ud800\"", "{\"a\":"};
        return post("/pacs/open", QByteArray(), kBodies[random.bounded(int(std::size(kBodies)))]);
    }
    default:
        bytes.resize(qsizetype(random.bounded(4096)));
        for (char& c : bytes)
            c = char(random.bounded(256));
        return bytes;
    }
}

// Empty when `bytes` is nothing or one whole response: status line, head, and exactly the declared body.
QString responseProblem(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return {};
    const qsizetype headEnd = bytes.indexOf("\r\n\r\n");
    const qsizetype lengthAt = bytes.left(headEnd).indexOf("Content-Length: ");
    if (!bytes.startsWith("HTTP/1.1 ") || headEnd < 0 || lengthAt < 0)
        return QStringLiteral("malformed head");
    const int length = bytes.mid(lengthAt + 16, bytes.indexOf("\r\n", lengthAt) - lengthAt - 16).toInt();
    return bytes.size() - headEnd - 4 == length ? QString() : QStringLiteral("body of %1 bytes, %2 declared").arg(bytes.size() - headEnd - 4).arg(length);
}

// User and system CPU time a process has used so far, in milliseconds; -1 when it cannot be read.
qint64 cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the command name, which may hold blanks: state is the 3rd, utime the 14th.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
}

} // namespace

class TestLocalApi : public QObject
{
    Q_OBJECT

    std::unique_ptr<LocalApiServer> server;
    quint16 port = 0;

private slots:
    void init()
    {
        port = fixtures::freeLoopbackPort();
        server = std::make_unique<LocalApiServer>(port);
        QString error;
        QVERIFY2(port && server->listen(&error), qPrintable(error));
    }
    void cleanup() { server.reset(); }

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
        environment.isNull() ? qunsetenv("KALVENOR_LOCAL_API_PORT") : qputenv("KALVENOR_LOCAL_API_PORT", environment);
        const int configured = LocalApiServer::configuredPort();
        saved.isNull() ? qunsetenv("KALVENOR_LOCAL_API_PORT") : qputenv("KALVENOR_LOCAL_API_PORT", saved);
        QCOMPARE(configured, expected);
    }

    void busyPortFailsWithText()
    {
        LocalApiServer second(port);
        QString error;
        QVERIFY(!second.listen(&error) && !error.isEmpty());
        QVERIFY(!second.listen());
    }

    void routing_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QStringList>("open"); // uid, host, port, aet of the one expected signal
        QTest::addColumn<int>("focus");
        const QByteArray study = R"({"studyInstanceUID":"1.2.3","serverHost":"pacs.local","serverPort":11112,"serverAeTitle":"ARCH"})";
        const QStringList none, full{"1.2.3", "pacs.local", "11112", "ARCH"};
        const QByteArray accepted = plain("202 Accepted", "accepted", k5173), forbidden = plain("403 Forbidden", "forbidden");
        const QByteArray invalid = plain("400 Bad Request", "invalid json", k5173), notFound = plain("404 Not Found", "not found", k5173);
        auto row = [](const char* name) -> QTestData& { return QTest::newRow(name); };

        row("preflight allowed, unknown path")
            << QByteArray("OPTIONS /nowhere HTTP/1.1\r\nOrigin: http://localhost:5173\r\nAccess-Control-Request-Method: POST\r\n\r\n")
            << QByteArray("HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: http://localhost:5173\r\n"
                          "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\nAccess-Control-Allow-Headers: Content-Type\r\n"
                          "Content-Length: 0\r\nConnection: close\r\n\r\n") << none << 0;
        row("preflight refused") << QByteArray("OPTIONS /pacs/open HTTP/1.1\r\nOrigin: https://evil.example\r\n\r\n") << plain("403 Forbidden", "") << none << 0;
        row("preflight without origin") << QByteArray("OPTIONS /pacs/open HTTP/1.1\r\n\r\n") << plain("403 Forbidden", "") << none << 0;
        row("health allowed") << get("/health", k4173) << plain("200 OK", "ok", k4173) << none << 0;
        row("health, vendor origin") << get("/health", vendorOrigin()) << plain("200 OK", "ok", vendorOrigin()) << none << 0;
        row("health refused") << get("/health", "http://127.0.0.1:8080") << forbidden << none << 0;
        // A local program (the second copy) sends no Origin at all.
        row("health without origin") << get("/health", QByteArray()) << plain("200 OK", "ok") << none << 0;
        row("empty origin header") << get("/health", "") << forbidden << none << 0;
        row("origin null") << get("/health", "null") << forbidden << none << 0;
        row("origin trailing slash") << get("/health", "http://localhost:5173/") << forbidden << none << 0;
        row("origin upper case") << get("/health", "HTTP://LOCALHOST:5173") << forbidden << none << 0;
        row("open allowed") << post("/pacs/open", k5173, study) << accepted << full << 0;
        row("open refused") << post("/pacs/open", "http://127.0.0.1:5174", study) << forbidden << none << 0;
        row("open without origin") << post("/pacs/open", QByteArray(), study) << plain("202 Accepted", "accepted") << full << 0;
        row("open port as text") << post("/pacs/open", k5173, R"({"studyInstanceUID":"9","serverPort":"4242"})") << accepted << QStringList{"9", "", "104", ""} << 0;
        row("open port fraction") << post("/pacs/open", k5173, R"({"studyInstanceUID":"9","serverPort":12.5})") << accepted << QStringList{"9", "", "104", ""} << 0;
        row("open empty object") << post("/pacs/open", k5173, "{}") << accepted << QStringList{"", "", "104", ""} << 0;
        row("open aet not text") << post("/pacs/open", k5173, R"({"studyInstanceUID":"5","serverAeTitle":7})") << accepted << QStringList{"5", "", "104", ""} << 0;
        row("open broken json") << post("/pacs/open", k5173, R"({"studyInstanceUID":)") << invalid << none << 0;
        row("open array") << post("/pacs/open", k5173, "[1,2]") << invalid << none << 0;
        row("open bare value") << post("/pacs/open", k5173, "42") << invalid << none << 0;
        static const char kNulInside[] = "{\"studyInstanceUID\":\"1.2\0.3\"}";
        row("open NUL inside a value") << post("/pacs/open", k5173, QByteArray(kNulInside, sizeof kNulInside - 1)) << invalid << none << 0;
        row("open raw control character") << post("/pacs/open", k5173, "{\"studyInstanceUID\":\"1.2\x01.3\"}") << invalid << none << 0;
        row("open no body") << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\n\r\n") << invalid << none << 0;
        row("focus") << post("/focus", k4173, "") << plain("202 Accepted", "accepted", k4173) << none << 1;
        row("focus body ignored") << post("/focus", k4173, "not json") << plain("202 Accepted", "accepted", k4173) << none << 1;
        row("focus without origin") << post("/focus", QByteArray(), "{}") << plain("202 Accepted", "accepted") << none << 1;
        // Only the first of several requests sent at once is served.
        row("pipelined") << post("/focus", k5173, "") + post("/pacs/open", k5173, R"({"studyInstanceUID":"2"})") + get("/health", k5173)
                         << accepted << none << 1;
        row("get on open") << get("/pacs/open", k5173) << notFound << none << 0;
        row("post on health") << post("/health", k5173, "") << notFound << none << 0;
        row("query string") << get("/health?x=1", k5173) << notFound << none << 0;
        row("lower-case method") << get("/health", k5173).replace("GET", "get") << notFound << none << 0;
        row("mixed-case header names")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nORIGIN: http://localhost:5173\r\nCONTENT-LENGTH: 22\r\n\r\n{\"studyInstanceUID\":1}")
            << accepted << QStringList{"", "", "104", ""} << 0;
        row("last repeated header counts")
            << QByteArray("GET /health HTTP/1.1\r\nOrigin: https://evil.example\r\nOrigin: http://127.0.0.1:4173\r\n\r\n")
            << plain("200 OK", "ok", k4173) << none << 0;
        row("body cut to content-length")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: 25\r\n\r\n{\"studyInstanceUID\":\"77\"}garbage")
            << accepted << QStringList{"77", "", "104", ""} << 0;
        row("bare line ends in head") << QByteArray("GET /health HTTP/1.1\nOrigin: http://localhost:5173\r\n\r\n") << plain("200 OK", "ok", k5173) << none << 0;
        // Answered at once, not at the idle close: the CRLF blank line never comes.
        row("head ends in bare line feeds") << QByteArray("GET /health HTTP/1.1\nOrigin: http://localhost:5173\n\n")
                                            << plain("400 Bad Request", "bare line feed") << none << 0;
        row("bare line feed before a CRLF blank line") << QByteArray("POST /focus HTTP/1.1\r\nOrigin: http://localhost:5173\n\r\n")
                                                       << plain("400 Bad Request", "bare line feed") << none << 0;
        // Lengths that are not a plain decimal number are refused, not read as 0.
        for (const char* length : {"-5", "abc", "1e3", "+7", "", "12 3", "0x10"})
            QTest::addRow("content-length '%s'", length)
                << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: ") + length + "\r\n\r\n{}"
                << plain("400 Bad Request", "invalid content-length", k5173) << none << 0;
        row("body above limit answered at once")
            << QByteArray("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: 65537\r\n\r\n{")
            << plain("413 Payload Too Large", "request body too large", k5173) << none << 0;
        row("absurd length") << QByteArray("POST /pacs/open HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n")
                             << plain("413 Payload Too Large", "request body too large") << none << 0;
        QByteArray body = "{\"studyInstanceUID\":\"4\",\"pad\":\"";
        body += QByteArray(LocalApiServer::kMaxBodyBytes - body.size() - 2, 'p') + "\"}";
        row("body at the limit") << post("/pacs/open", k5173, body) << accepted << QStringList{"4", "", "104", ""} << 0;
        QByteArray head = "GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\nX-Filler: ";
        head += QByteArray(LocalApiServer::kMaxHeadBytes - head.size() - 4, 'b') + "\r\n\r\n";
        row("head at the limit") << head << plain("200 OK", "ok", k5173) << none << 0;
        const QByteArray tooLarge = plain("431 Request Header Fields Too Large", "request header too large");
        const QByteArray filler = "X-Filler: " + QByteArray(9000, 'a') + "\r\n";
        row("head never ends") << QByteArray("GET /health HTTP/1.1\r\n") + filler << tooLarge << none << 0;
        row("head ends too late") << QByteArray("GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\n") + filler + "\r\n" << tooLarge << none << 0;
        row("no line breaks at all") << QByteArray(20000, 'G') << tooLarge << none << 0;
        row("malformed request line") << QByteArray("GARBAGE\r\nOrigin: http://localhost:5173\r\n\r\n") << QByteArray() << none << 0;
        row("empty request line") << QByteArray("\r\n\r\n") << QByteArray() << none << 0;
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
        QVERIFY(client.connected());
        client.send(request);
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, expected);
        QCOMPARE(focuses.size(), focus);
        QCOMPARE(opens.size(), open.isEmpty() ? 0 : 1);
        if (!open.isEmpty())
            QCOMPARE((QStringList{opens[0][0].toString(), opens[0][1].toString(), opens[0][2].toString(), opens[0][3].toString()}), open);
    }

    // The parser is given bytes with more of the same request right beside them in memory, as when a
    // request arrives in pieces: it waits or refuses exactly as if nothing followed (and nothing
    // preceded) them.
    void parsingReadsOnlyTheBytesReceived_data()
    {
        using State = LocalApiServer::Parsed::State;
        QTest::addColumn<QByteArray>("memory");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to"); // the bytes received are memory[from, to)
        QTest::addColumn<int>("state");
        const QByteArray head = "GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\n";
        QTest::newRow("a line feed last, another next") << head + "\n" << 0 << int(head.size()) << int(State::Incomplete);
        QTest::newRow("line feed and return last, line feed next")
            << head + "\r\n" << 0 << int(head.size() + 1) << int(State::Incomplete);
        QTest::newRow("a bare line feed first, a return before it")
            << "\r\n\r\n" + head << 1 << int(head.size() + 4) << int(State::Refused);
        const QByteArray open = post("/pacs/open", k5173, R"({"studyInstanceUID":"1.2"})");
        QTest::newRow("body one byte short, its last byte next")
            << open << 0 << int(open.size() - 1) << int(State::Incomplete);
    }
    void parsingReadsOnlyTheBytesReceived()
    {
        QFETCH(QByteArray, memory);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(int, state);
        const QByteArrayView received(memory.constData() + from, to - from);
        QCOMPARE(int(LocalApiServer::parseRequest(received).state), state);
        QCOMPARE(int(LocalApiServer::parseRequest(received.toByteArray()).state), state);
    }

    void splitPackets_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        const QByteArray body = R"({"studyInstanceUID":"1.2.3"})";
        const QByteArray whole = post("/pacs/open", k5173, body);
        const qsizetype blank = whole.indexOf("\r\n\r\n");
        for (int i = 1; i <= 3; ++i)
            QTest::addRow("inside blank line, %d", i) << QList<QByteArray>{whole.left(blank + i), whole.mid(blank + i)};
        QTest::newRow("head then body in pieces") << QList<QByteArray>{whole.left(blank + 4), body.left(5), body.mid(5, 10), body.mid(15)};
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
        QVERIFY(client.connected());
        for (qsizetype i = 0; i + 1 < chunks.size(); ++i) {
            client.send(chunks.at(i));
            QTest::qWait(chunks.size() > 10 ? 1 : 40);
        }
        QVERIFY(client.received.isEmpty()); // nothing before the last byte of the body
        QCOMPARE(opens.size(), 0);
        client.send(chunks.last());
        QVERIFY(client.waitClosed());
        QCOMPARE(client.received, plain("202 Accepted", "accepted", k5173));
        QCOMPARE(opens.size(), 1);
        QCOMPARE(opens.first().at(0).toString(), QStringLiteral("1.2.3"));
    }

    // A client that stops sending is dropped after about ten seconds of silence, a slow but steady
    // one is served, and both leave other connections served meanwhile.
    void idleAndSlowClients()
    {
        QSignalSpy opens(server.get(), &LocalApiServer::openStudyRequested);
        QElapsedTimer clock;
        clock.start();
        Client idle(port); // head without its blank line, then silence
        QVERIFY(idle.connected());
        idle.send("GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\n");
        Client slow(port);
        QVERIFY(slow.connected());
        const QByteArray bytes = post("/pacs/open", k5173, R"({"studyInstanceUID":"slow"})");
        // Pieces far apart: together they take longer than the idle limit, each gap is shorter.
        const qsizetype step = bytes.size() / 6 + 1;
        bool idleClosedEarly = false;
        for (qsizetype sent = 0; sent < bytes.size(); sent += step) {
            slow.send(bytes.mid(sent, step));
            if (sent + step >= bytes.size())
                break;
            QTest::qWait(LocalApiServer::kIdleTimeoutMs / 4);
            idleClosedEarly |= idle.closed && clock.elapsed() < LocalApiServer::kIdleTimeoutMs - 1000;
            QVERIFY(slow.received.isEmpty() && !slow.closed);
        }
        QVERIFY(clock.elapsed() > LocalApiServer::kIdleTimeoutMs);
        QVERIFY(slow.waitClosed());
        QCOMPARE(slow.received, plain("202 Accepted", "accepted", k5173));
        QCOMPARE(opens.size(), 1);
        QVERIFY(!idleClosedEarly);
        QVERIFY(idle.waitClosed(5000));
        QVERIFY(idle.received.isEmpty()); // a request without its blank line is never answered
        Client other(port);
        QVERIFY(other.connected());
        other.send(get("/health", k5173));
        QVERIFY(other.waitClosed());
        QCOMPARE(other.received, plain("200 OK", "ok", k5173));
    }

    // Connections that each send a byte a second and never end their head, opened again as soon as
    // the server closes them: the server holds no more than its cap, closes each one by the deadline
    // counted from its first byte, and answers /health meanwhile, even long before any deadline.
    void trickledConnections_data()
    {
        QTest::addColumn<int>("clients");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<int>("probeAfterMs");
        QTest::newRow("one head trickled past the deadline") << 1 << 8 << 2000 << 4000;
        QTest::newRow("200 connections a byte a second") << 200 << 15 << 2000 << 4000;
        QTest::newRow("cap held, the deadline far off") << 200 << 8 << LocalApiServer::kRequestDeadlineMs << 2000;
    }
    void trickledConnections()
    {
        QFETCH(int, clients);
        QFETCH(int, seconds);
        QFETCH(int, deadlineMs);
        QFETCH(int, probeAfterMs);
        const int kDeadlineMs = deadlineMs;
        constexpr int kCap = 64;
        const QList<QPair<const char*, int>> bounds{{"KALVENOR_LOCAL_API_DEADLINE_MS", kDeadlineMs},
                                                    {"KALVENOR_LOCAL_API_MAX_CONNECTIONS", kCap}};
        for (const auto& [name, value] : bounds)
            qputenv(name, QByteArray::number(value));
        server = std::make_unique<LocalApiServer>(port);
        for (const auto& [name, value] : bounds)
            qunsetenv(name);
        QVERIFY(server->listen());

        struct Trickler
        {
            std::unique_ptr<QTcpSocket> socket;
            qint64 lastByteAt = -1;
        };
        QElapsedTimer clock;
        clock.start();
        std::vector<Trickler> tricklers(clients);
        auto open = [&](Trickler& t) {
            t = Trickler{std::make_unique<QTcpSocket>()};
            t.socket->connectToHost(QHostAddress::LocalHost, port);
        };
        for (Trickler& t : tricklers)
            open(t);
        std::unique_ptr<Client> probe;
        // Told from the server's side: a connection may wait in the system's queue before it is taken.
        qint64 longestHeld = 0;
        qsizetype mostHeld = 0;
        int closedByServer = 0;
        while (clock.elapsed() < seconds * 1000) {
            QTest::qWait(50);
            const qint64 now = clock.elapsed();
            const QList<QTcpSocket*> held = server->findChildren<QTcpSocket*>();
            mostHeld = qMax(mostHeld, held.size());
            for (QTcpSocket* socket : held) {
                const QVariant seenAt = socket->property("testSeenAt");
                if (seenAt.isValid())
                    longestHeld = qMax(longestHeld, now - seenAt.toLongLong());
                else
                    socket->setProperty("testSeenAt", now);
            }
            for (Trickler& t : tricklers) {
                if (t.socket->state() == QAbstractSocket::UnconnectedState) {
                    closedByServer += t.lastByteAt >= 0;
                    open(t);
                } else if (t.socket->state() == QAbstractSocket::ConnectedState && t.lastByteAt < 0) {
                    t.socket->write("GET /health HTTP/1.1\r\nOrigin: http://localhost:5173\r\nX-Slow: ");
                    t.lastByteAt = now;
                } else if (t.lastByteAt >= 0 && now - t.lastByteAt >= 1000) {
                    t.socket->write("a");
                    t.lastByteAt = now;
                }
            }
            if (!probe && now > probeAfterMs)
                probe = std::make_unique<Client>(port);
            if (probe && probe->socket.state() == QAbstractSocket::ConnectedState && !probe->sent) {
                probe->send(get("/health", k5173));
                probe->sent = true;
            }
        }
        QVERIFY(probe && probe->closed);
        QCOMPARE(probe->received, plain("200 OK", "ok", k5173));
        QVERIFY2(mostHeld <= kCap, qPrintable(QString::number(mostHeld)));
        // Generous: the deadline, then the time the client takes to notice on a loaded machine.
        QVERIFY2(longestHeld < kDeadlineMs + 3000, qPrintable(QString::number(longestHeld)));
        QVERIFY(closedByServer >= clients);
    }

    // Out of descriptors (a process whose limit is lowered), the server rests between attempts to
    // accept instead of retrying at full speed, and serves again once descriptors are free.
    void acceptRestsWhenOutOfDescriptors()
    {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        const quint16 childPort = fixtures::freeLoopbackPort();
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        environment.insert(QStringLiteral("KALVENOR_LOCAL_API_PORT"), QString::number(childPort));
        environment.insert(QStringLiteral("KALVENOR_LOCAL_API_MAX_CONNECTIONS"), QStringLiteral("1000"));
        // Under the sanitizers, the runtime tests whether memory is readable through a pipe of its own,
        // which this child, out of descriptors on purpose, cannot open: its check of virtual calls then
        // calls every object's type unreadable. Such reports are printed here but do not end the child.
        if (const QString ubsan = environment.value(QStringLiteral("UBSAN_OPTIONS")); !ubsan.isEmpty())
            environment.insert(QStringLiteral("UBSAN_OPTIONS"), ubsan + QStringLiteral(":halt_on_error=0"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.setChildProcessModifier([] {
            const rlimit limit{48, 48};
            setrlimit(RLIMIT_NOFILE, &limit);
        });
        child.start(QStringLiteral(FORWARD_PROBE_PATH), QStringList{});
        QVERIFY(QTest::qWaitFor([&] { return child.canReadLine() || child.state() == QProcess::NotRunning; }, 30000));
        QCOMPARE(child.readLine(), QByteArray("READY\n"));

        // More connections than the child has descriptors left, and fewer than the server's cap.
        std::vector<std::unique_ptr<Client>> holders;
        for (int i = 0; i < 60; ++i)
            holders.push_back(std::make_unique<Client>(childPort));
        for (const auto& holder : holders)
            QVERIFY(holder->connected());
        QTest::qWait(500);
        const qint64 before = cpuMs(child.processId());
        QTest::qWait(3000);
        const qint64 used = cpuMs(child.processId()) - before;
        QVERIFY(before >= 0);
        QVERIFY2(used < 1000, qPrintable(QStringLiteral("%1 ms of CPU in 3 s").arg(used)));

        holders.clear();
        Client after(childPort);
        QVERIFY(after.connected());
        after.send(get("/health", k5173));
        QVERIFY(after.waitClosed(20000));
        QCOMPARE(after.received, plain("200 OK", "ok", k5173));
        child.kill();
        child.waitForFinished(5000);
    }

    void clientLeavingEarlyIsForgotten()
    {
        {
            Client gone(port);
            QVERIFY(gone.connected());
            gone.send("POST /pacs/open HTTP/1.1\r\nOrigin: http://localhost:5173\r\nContent-Length: 100\r\n\r\n{\"stu");
            QTest::qWait(50);
        }
        QTRY_VERIFY_WITH_TIMEOUT(server->findChildren<QTcpSocket*>().isEmpty(), 10000);
        Client next(port);
        QVERIFY(next.connected());
        next.send(get("/health", k5173));
        QVERIFY(next.waitClosed());
        QCOMPARE(next.received, plain("200 OK", "ok", k5173));
    }

    // Seeded random requests, sent whole or in pieces: every answer is one well-formed response, no
    // connection stays with the server once its client is gone, and the server still answers after.
    void randomRequestsGetCleanAnswers()
    {
        QRandomGenerator random(20261206);
        const QList<QByteArray> seeds{get("/health", QByteArray()), get("/health", k5173), request("OPTIONS", "/pacs/open", k5173),
                                      post("/pacs/open", k5173, R"({"studyInstanceUID":"1.2.3","serverHost":"127.0.0.1","serverPort":11112})"),
                                      post("/pacs/open", QByteArray(), R"({"studyInstanceUID":"1.2.3"})"), post("/focus", k5173, "{}")};
        QElapsedTimer budget;
        budget.start();
        int rounds = 0;
        for (; rounds < 400 && budget.elapsed() < 8000; ++rounds) {
            QByteArray bytes = seeds.at(random.bounded(int(seeds.size())));
            for (int i = 0, n = 1 + int(random.bounded(2)); i < n; ++i)
                bytes = mutate(bytes, random);
            Client client(port);
            QVERIFY(client.connected());
            const int pieces = random.bounded(3) == 0 ? 1 + int(random.bounded(6)) : 1;
            const qsizetype step = qMax<qsizetype>(1, bytes.size() / pieces);
            for (qsizetype from = 0; from < bytes.size(); from += step) {
                client.send(bytes.mid(from, step));
                if (pieces > 1)
                    QTest::qWait(2);
            }
            // A request the server still waits on is left by its client, as a browser would.
            if (!client.waitClosed(150))
                client.socket.abort();
            const QString problem = responseProblem(client.received);
            QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("round %1: %2\n%3").arg(rounds).arg(problem, QString::fromLatin1(client.received.left(300)))));
        }
        QVERIFY(rounds >= 50);
        QTRY_COMPARE_WITH_TIMEOUT(server->findChildren<QTcpSocket*>().size(), 0, 30000);
        Client after(port);
        QVERIFY(after.connected());
        after.send(get("/health", QByteArray()));
        QVERIFY(after.waitClosed(30000));
        QCOMPARE(after.received, plain("200 OK", "ok"));
    }
};

QTEST_GUILESS_MAIN(TestLocalApi)
#include "tst_localapi.moc"

#include "app/LocalApiServer.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <limits>

#include <sys/socket.h>
#include <unistd.h>

#ifndef KALVENOR_VENDOR_ORIGIN
#define KALVENOR_VENDOR_ORIGIN "https://kalvenor.example"
#endif

namespace kalvenor {

namespace {

const char kIdleTimerName[] = "kalvenorIdleTimer";
const char kDeadlineTimerName[] = "kalvenorDeadlineTimer";

// Connections the system holds for the server while it is at its cap. They are taken in the order they
// came; past the queue the system drops them and the clients retry after ever longer pauses, so a
// request could wait behind every connection made after it.
constexpr int kListenBacklog = 1024;

// Only digits are a length; signs, inner blanks and exponents are refused rather than guessed.
bool parseContentLength(const QByteArray& text, qint64* length)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    // More digits than any body accepted here: too large rather than malformed.
    *length = text.size() > 18 ? std::numeric_limits<qint64>::max() : text.toLongLong();
    return true;
}

// A test may tighten a bound, never loosen it.
int boundFromEnvironment(const char* name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? qMin(value, fallback) : fallback;
}

quint16 portFromEnvironment(const char* name, quint16 fallback)
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue(name, &ok);
    return ok && port > 0 && port <= 65535 ? quint16(port) : fallback;
}

// JSON allows no raw control characters but white space; Qt's parser takes them inside strings.
bool hasRawControlCharacters(const QByteArray& body)
{
    return std::any_of(body.begin(), body.end(),
                       [](char c) { return uchar(c) < 0x20 && c != '\t' && c != '\n' && c != '\r'; });
}

// True when the head ends in a blank line made of a bare "\n" before any "\r\n\r\n": lines that end in
// a bare line feed are taken within a head, a head that ends that way is not.
bool endsHeadWithBareLineFeeds(QByteArrayView buffer, qsizetype crlfHeadEnd)
{
    const qsizetype limit = crlfHeadEnd < 0 ? buffer.size() : crlfHeadEnd;
    for (qsizetype at = buffer.indexOf('\n'); at >= 0 && at < limit; at = buffer.indexOf('\n', at + 1)) {
        if (at + 1 < buffer.size() && buffer.at(at + 1) == '\n')
            return true;
        if (at + 2 < buffer.size() && buffer.at(at + 1) == '\r' && buffer.at(at + 2) == '\n'
            && (at == 0 || buffer.at(at - 1) != '\r'))
            return true;
    }
    return false;
}

// Connections taken in one turn of the event loop: a share of the cap, so that one taken in a turn has
// its bytes read in the next before later ones could make it the oldest and close it.
int acceptsPerTurn(int maxConnections)
{
    return qMax(1, maxConnections / 4);
}

QTimer* socketTimer(QTcpSocket* socket, const char* name)
{
    return socket->findChild<QTimer*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

} // namespace

LocalApiServer::LocalApiServer(quint16 port_, QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this))
    , port(port_)
    , requestDeadlineMs(configuredRequestDeadlineMs())
    , maxConnections(configuredMaxConnections())
    , acceptRetry(new QTimer(this))
{
    acceptRetry->setSingleShot(true);
    acceptRetry->setInterval(kAcceptRetryMs);
    connect(acceptRetry, &QTimer::timeout, this, &LocalApiServer::updateAccepting);
}

LocalApiServer::~LocalApiServer()
{
    // Not left watching a descriptor that the server's closing frees for reuse.
    delete acceptNotifier;
    acceptNotifier = nullptr;
    buffers.clear();
    arrivals.clear();
}

bool LocalApiServer::listen(QString* errorText)
{
    server->setListenBacklogSize(kListenBacklog);
    if (!server->listen(QHostAddress::LocalHost, port)) {
        if (errorText)
            *errorText = server->errorString();
        return false;
    }
    // The server accepts by itself: refused a descriptor, Qt's own accepting either tries again at
    // full speed for as long as the refusal lasts or stops for good, depending on the moment.
    server->pauseAccepting();
    delete acceptNotifier;
    acceptNotifier = new QSocketNotifier(server->socketDescriptor(), QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &LocalApiServer::onNewConnection);
    updateAccepting();
    return true;
}

quint16 LocalApiServer::configuredPort()
{
    return portFromEnvironment("KALVENOR_LOCAL_API_PORT", kDefaultPort);
}

quint16 LocalApiServer::configuredPagePort()
{
    return portFromEnvironment("KALVENOR_LOCAL_PAGE_PORT", kDefaultPagePort);
}

int LocalApiServer::configuredRequestDeadlineMs()
{
    return boundFromEnvironment("KALVENOR_LOCAL_API_DEADLINE_MS", kRequestDeadlineMs);
}

int LocalApiServer::configuredMaxConnections()
{
    return boundFromEnvironment("KALVENOR_LOCAL_API_MAX_CONNECTIONS", kMaxConnections);
}

const QSet<QByteArray>& LocalApiServer::allowedOrigins()
{
    static const QSet<QByteArray> origins = [] {
        QSet<QByteArray> set{QByteArray(KALVENOR_VENDOR_ORIGIN)};
        for (quint16 port : {configuredPagePort(), quint16(4173)}) {
            for (const char* host : {"localhost", "127.0.0.1"})
                set.insert(QByteArray("http://") + host + ':' + QByteArray::number(port));
        }
        return set;
    }();
    return origins;
}

void LocalApiServer::onNewConnection()
{
    const int listening = int(server->socketDescriptor());
    for (int taken = 0; listening >= 0 && taken < acceptsPerTurn(maxConnections); ++taken) {
        if (openConnections >= maxConnections && !closeOldestUnfinished())
            break;
        const int descriptor = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or memory: the listening socket stays readable, so trying again at
            // once would only spin. Connections wait in the system's queue meanwhile.
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                acceptRetry->start();
            break;
        }
        auto* socket = new QTcpSocket(server);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket; // a refused descriptor stays the caller's
            ::close(descriptor);
            continue;
        }
        adopt(socket);
    }
    updateAccepting();
}

void LocalApiServer::adopt(QTcpSocket* socket)
{
    ++openConnections;
    // Counted until the socket object goes rather than until it closes: the bound holds either way,
    // and no path of closing can be missed.
    connect(socket, &QObject::destroyed, this, [this] {
        --openConnections;
        updateAccepting();
    });
    buffers.insert(socket, QByteArray());
    arrivals.append(socket);
    connect(socket, &QTcpSocket::readyRead, this, &LocalApiServer::onSocketReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &LocalApiServer::onSocketDisconnected);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);

    // A connection that stops sending would otherwise hold its socket and buffer for ever.
    auto* timer = new QTimer(socket);
    timer->setObjectName(QString::fromLatin1(kIdleTimerName));
    timer->setSingleShot(true);
    timer->setInterval(kIdleTimeoutMs);
    connect(timer, &QTimer::timeout, this, [this, socket] { onIdleTimeout(socket); });
    timer->start();

    // One that never stops sending, a byte now and then, is bounded by the deadline instead; it is
    // for receiving the request only (every answer is a few hundred bytes, sent at once).
    auto* deadline = new QTimer(socket);
    deadline->setObjectName(QString::fromLatin1(kDeadlineTimerName));
    deadline->setSingleShot(true);
    deadline->setInterval(requestDeadlineMs);
    connect(deadline, &QTimer::timeout, this, [this, socket] {
        if (buffers.contains(socket))
            onIdleTimeout(socket);
    });
}

void LocalApiServer::forget(QTcpSocket* socket)
{
    if (buffers.remove(socket))
        arrivals.removeOne(socket);
}

bool LocalApiServer::closeOldestUnfinished()
{
    if (arrivals.isEmpty())
        return false;
    QTcpSocket* oldest = arrivals.constFirst();
    forget(oldest);
    oldest->abort();
    // At once, so that its place is free now: it is no sender of anything running here, which is
    // only ever the accepting below.
    delete oldest;
    return true;
}

void LocalApiServer::updateAccepting()
{
    // At the cap with every connection answered and closing, new ones wait for one of those to go.
    if (acceptNotifier)
        acceptNotifier->setEnabled((openConnections < maxConnections || !arrivals.isEmpty())
                                   && !acceptRetry->isActive());
}

void LocalApiServer::onSocketDisconnected()
{
    forget(qobject_cast<QTcpSocket*>(sender()));
}

void LocalApiServer::onIdleTimeout(QTcpSocket* socket)
{
    forget(socket);
    socket->abort();
    // abort() emits disconnected only from a connected state; make sure the socket goes either way.
    socket->deleteLater();
}

void LocalApiServer::onSocketReadyRead()
{
    auto* socket = qobject_cast<QTcpSocket*>(sender());
    if (!socket)
        return;
    auto it = buffers.find(socket);
    if (it == buffers.end()) {
        socket->readAll(); // already answered: what follows is ignored
        return;
    }
    it->append(socket->readAll());
    if (QTimer* timer = socketTimer(socket, kIdleTimerName))
        timer->start();
    if (QTimer* deadline = socketTimer(socket, kDeadlineTimerName); deadline && !deadline->isActive())
        deadline->start();
    processBuffer(socket);
}

LocalApiServer::Parsed LocalApiServer::parseRequest(QByteArrayView received)
{
    Parsed parsed;
    const auto refuse = [&parsed](int status, const char* reason, const char* body, const QByteArray& echo = {}) {
        parsed.state = Parsed::State::Refused;
        parsed.status = status;
        parsed.reason = reason;
        parsed.body = body;
        parsed.echoOrigin = echo;
        return parsed;
    };
    const qsizetype headEnd = received.indexOf("\r\n\r\n");
    // Such a client would wait for a blank line that never comes until the idle close.
    if (endsHeadWithBareLineFeeds(received, headEnd))
        return refuse(400, "Bad Request", "bare line feed");
    if (headEnd < 0) {
        if (received.size() > kMaxHeadBytes)
            return refuse(431, "Request Header Fields Too Large", "request header too large");
        return parsed;
    }
    if (headEnd + 4 > kMaxHeadBytes)
        return refuse(431, "Request Header Fields Too Large", "request header too large");

    const QList<QByteArray> lines = received.first(headEnd).toByteArray().split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() < 2) {
        parsed.state = Parsed::State::Dropped;
        return parsed;
    }

    Request& request = parsed.request;
    request.method = requestLine.at(0);
    request.path = requestLine.at(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }

    const QByteArray origin = request.headers.value("origin");
    const QByteArray echo = allowedOrigins().contains(origin) ? origin : QByteArray();

    qint64 contentLength = 0;
    if (request.headers.contains("content-length")
        && !parseContentLength(request.headers.value("content-length"), &contentLength))
        return refuse(400, "Bad Request", "invalid content-length", echo);
    if (contentLength > kMaxBodyBytes)
        return refuse(413, "Payload Too Large", "request body too large", echo);

    const qsizetype bodyStart = headEnd + 4;
    if (received.size() < bodyStart + contentLength)
        return parsed; // wait for the rest of the body
    request.body = received.sliced(bodyStart, contentLength).toByteArray();
    parsed.state = Parsed::State::Complete;
    return parsed;
}

void LocalApiServer::processBuffer(QTcpSocket* socket)
{
    const Parsed parsed = parseRequest(buffers.value(socket));
    switch (parsed.state) {
    case Parsed::State::Incomplete:
        return;
    case Parsed::State::Refused:
        answer(socket, parsed.status, parsed.reason, parsed.body, parsed.echoOrigin);
        return;
    case Parsed::State::Dropped:
        forget(socket);
        socket->disconnectFromHost();
        return;
    case Parsed::State::Complete:
        forget(socket); // anything sent after this request is ignored
        route(socket, parsed.request);
        return;
    }
}

void LocalApiServer::route(QTcpSocket* socket, const Request& request)
{
    const QByteArray origin = request.headers.value("origin");

    if (request.method == "OPTIONS") {
        if (allowedOrigins().contains(origin))
            answerPreflight(socket, origin);
        else
            answer(socket, 403, "Forbidden", QByteArray(), QByteArray());
        return;
    }

    // A request without Origin comes from a program, not from a web page: browsers always send the
    // header on cross-origin POSTs. Only a peer on this machine may do that (the second copy of the
    // program forwards this way).
    const bool originAllowed = request.headers.contains("origin")
                                   ? allowedOrigins().contains(origin)
                                   : socket->peerAddress().isLoopback();
    if (!originAllowed) {
        answer(socket, 403, "Forbidden", "forbidden", QByteArray());
        return;
    }

    if (request.method == "GET" && request.path == "/health") {
        answer(socket, 200, "OK", "ok", origin);
    } else if (request.method == "POST" && request.path == "/pacs/open") {
        const QJsonDocument document =
            hasRawControlCharacters(request.body) ? QJsonDocument() : QJsonDocument::fromJson(request.body);
        if (!document.isObject()) {
            answer(socket, 400, "Bad Request", "invalid json", origin);
            return;
        }
        const QJsonObject object = document.object();
        const QString uid = object.value(QStringLiteral("studyInstanceUID")).toString();
        const QString host = object.value(QStringLiteral("serverHost")).toString();
        const int serverPort = object.value(QStringLiteral("serverPort")).toInt(104);
        const QString ae = object.value(QStringLiteral("serverAeTitle")).toString();
        switch (openRequestGate ? openRequestGate(uid, host, serverPort, ae) : GateAnswer::Accept) {
        case GateAnswer::Accept:
            break;
        case GateAnswer::UserAnswering:
            answer(socket, 429, "Too Many Requests",
                   R"({"error":"busy","reason":"the user is answering an earlier request"})", origin,
                   "application/json");
            return;
        case GateAnswer::RetrievesWaiting:
            answer(socket, 429, "Too Many Requests",
                   R"({"error":"busy","reason":"too many studies wait to be retrieved"})", origin,
                   "application/json");
            return;
        }
        emit openStudyRequested(uid, host, serverPort, ae);
        answer(socket, 202, "Accepted", "accepted", origin);
    } else if (request.method == "POST" && request.path == "/focus") {
        emit focusRequested();
        answer(socket, 202, "Accepted", "accepted", origin);
    } else {
        answer(socket, 404, "Not Found", "not found", origin);
    }
}

void LocalApiServer::answer(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& body,
                            const QByteArray& origin, const QByteArray& contentType)
{
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    bytes += "Content-Type: " + contentType + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    bytes += "Connection: close\r\n";
    if (!origin.isEmpty())
        bytes += "Access-Control-Allow-Origin: " + origin + "\r\n";
    bytes += "\r\n";
    bytes += body;
    finish(socket, bytes);
}

void LocalApiServer::answerPreflight(QTcpSocket* socket, const QByteArray& origin)
{
    QByteArray bytes = "HTTP/1.1 204 No Content\r\n";
    bytes += "Access-Control-Allow-Origin: " + origin + "\r\n";
    bytes += "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n";
    bytes += "Access-Control-Allow-Headers: Content-Type\r\n";
    bytes += "Content-Length: 0\r\n";
    bytes += "Connection: close\r\n";
    bytes += "\r\n";
    finish(socket, bytes);
}

void LocalApiServer::finish(QTcpSocket* socket, const QByteArray& bytes)
{
    forget(socket);
    socket->write(bytes);
    socket->flush();
    socket->disconnectFromHost();
}

} // namespace kalvenor

#pragma once
// The loopback HTTP/1.1 server through which a web page in the user's browser (or a second copy of
// the program) asks the running program to open a study or to come to the front.

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTimer;

namespace kalvenor {

class LocalApiServer : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 53214;
    // The local page origins' usual port (a development server; 4173 is its preview).
    static constexpr quint16 kDefaultPagePort = 5173;
    // Bounds on what one connection may make the server hold.
    static constexpr int kMaxHeadBytes = 8 * 1024;
    static constexpr int kMaxBodyBytes = 64 * 1024;
    static constexpr int kIdleTimeoutMs = 10000;
    // From its first byte a request has this long to arrive whole, however steadily it trickles in.
    static constexpr int kRequestDeadlineMs = 20000;
    // Connections held at once: a page or a second copy needs a few, and the descriptors of the
    // whole process (usually 1,024) are left for the index, the files, the PACS associations and
    // remote access.
    static constexpr int kMaxConnections = 256;
    // The rest after the system refused a connection a descriptor.
    static constexpr int kAcceptRetryMs = 1000;

    explicit LocalApiServer(quint16 port, QObject* parent = nullptr);
    ~LocalApiServer() override;

    // Listens on 127.0.0.1 at the port given to the constructor.
    bool listen(QString* errorText = nullptr);

    // The port this copy listens on and a second copy forwards to: kDefaultPort, unless the test-only
    // environment variable KALVENOR_LOCAL_API_PORT names another, so that a test never meets a copy
    // of the program that the user is running.
    static quint16 configuredPort();
    // The port of the local page origins in place of kDefaultPagePort: KALVENOR_LOCAL_PAGE_PORT, for
    // the same reason.
    static quint16 configuredPagePort();
    // kRequestDeadlineMs and kMaxConnections, unless the test-only KALVENOR_LOCAL_API_DEADLINE_MS
    // and KALVENOR_LOCAL_API_MAX_CONNECTIONS name lower ones, read when a server is made: a test of
    // the bounds need not wait for the real deadline nor open hundreds of connections, and nothing
    // can loosen them.
    static int configuredRequestDeadlineMs();
    static int configuredMaxConnections();

    // The web origins whose pages may use the server, compared byte for byte.
    static const QSet<QByteArray>& allowedOrigins();

    // Asked before an open request is accepted, while the connection waits for its answer. Anything but
    // Accept answers 429 and drops the request: the user is still answering an earlier one, or so many
    // studies already wait to be retrieved that this one would not be (the user is told so).
    enum class GateAnswer { Accept, UserAnswering, RetrievesWaiting };
    using OpenRequestGate =
        std::function<GateAnswer(const QString& studyInstanceUID, const QString& serverHost, int serverPort,
                                 const QString& serverAeTitle)>;
    void setOpenRequestGate(OpenRequestGate gate) { openRequestGate = std::move(gate); }

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers;
        QByteArray body;
    };
    // What the bytes received so far on a connection amount to.
    struct Parsed
    {
        enum class State { Incomplete, Complete, Dropped, Refused } state = State::Incomplete;
        Request request;       // Complete
        int status = 0;        // Refused: the answer
        QByteArray reason;
        QByteArray body;
        QByteArray echoOrigin; // Refused: the allowed origin to echo, if any
    };
    // Reads no byte outside `received`, whatever follows it in memory.
    static Parsed parseRequest(QByteArrayView received);

signals:
    void openStudyRequested(const QString& studyInstanceUID, const QString& serverHost, int serverPort,
                            const QString& serverAeTitle);
    void focusRequested();

private slots:
    void onNewConnection();
    void onSocketReadyRead();
    void onSocketDisconnected();

private:
    void processBuffer(QTcpSocket* socket);
    void route(QTcpSocket* socket, const Request& request);
    void answer(QTcpSocket* socket, int status, const QByteArray& reason, const QByteArray& body,
                const QByteArray& origin, const QByteArray& contentType = "text/plain; charset=utf-8");
    void answerPreflight(QTcpSocket* socket, const QByteArray& origin);
    void finish(QTcpSocket* socket, const QByteArray& bytes);
    void onIdleTimeout(QTcpSocket* socket);
    void adopt(QTcpSocket* socket);
    // Removes the connection from the unanswered ones.
    void forget(QTcpSocket* socket);
    // At the cap, the connection that has waited longest without a whole request makes room for a new
    // one: a local process that opens connections faster than they time out cannot keep every other
    // client (a page's /health, a second copy's /pacs/open) out for as long as it goes on.
    bool closeOldestUnfinished();
    void updateAccepting();

    QTcpServer* server = nullptr;
    quint16 port = 0;
    int requestDeadlineMs = kRequestDeadlineMs;
    int maxConnections = kMaxConnections;
    QSocketNotifier* acceptNotifier = nullptr;
    QTimer* acceptRetry = nullptr;
    int openConnections = 0;
    QHash<QTcpSocket*, QByteArray> buffers;
    // The unanswered connections of `buffers`, oldest first.
    QList<QTcpSocket*> arrivals;
    OpenRequestGate openRequestGate;
};

} // namespace kalvenor

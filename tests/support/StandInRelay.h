#pragma once
// A small relay for tests of the remote-access tunnel: a secure WebSocket server on 127.0.0.1 with a
// certificate made on the spot, which pairs connections to "/tunnel" that give the same "id", keeps
// what the first one sends until its partner arrives, and passes binary messages on unchanged and in
// order. A pair's second connection gets everything the first sent while it waited (the host's hello).
// When one side of a pair leaves, the other is closed. Tests can look at and alter the traffic through
// `filter`, and cut every connection with `dropAll`.
// Header-only and without moc: the support library links neither Qt WebSockets nor OpenSSL; the
// remote-access tests that include it do.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketServer>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <utility>

namespace fixtures {

// A self-signed certificate for "127.0.0.1" with a fresh P-256 key; null members on failure.
struct TestCertificate
{
    QSslCertificate certificate;
    QSslKey key;
    // SHA-256 of the certificate as lower-case hexadecimal without separators.
    QString fingerprint() const
    {
        return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
    }
};

inline TestCertificate makeTestCertificate()
{
    TestCertificate result;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x509(X509_new(), &X509_free);
    if (!pkey || !x509)
        return result;
    X509_set_version(x509.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), long(QDateTime::currentMSecsSinceEpoch() % 1000000007));
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), 7L * 24 * 3600);
    X509_set_pubkey(x509.get(), pkey.get());
    X509_NAME* name = X509_get_subject_name(x509.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(x509.get(), name);
    if (X509_sign(x509.get(), pkey.get(), EVP_sha256()) == 0)
        return result;

    auto toPem = [](auto writer) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        writer(bio.get());
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio.get(), &data);
        return QByteArray(data, int(size));
    };
    const QByteArray certPem = toPem([&](BIO* bio) { PEM_write_bio_X509(bio, x509.get()); });
    const QByteArray keyPem = toPem(
        [&](BIO* bio) { PEM_write_bio_PrivateKey(bio, pkey.get(), nullptr, nullptr, 0, nullptr, nullptr); });
    result.certificate = QSslCertificate(certPem, QSsl::Pem);
    result.key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    return result;
}

class StandInRelay : public QObject
{
public:
    struct Link
    {
        QPointer<QWebSocket> socket;
        QString id;
        QString token;
        Link* partner = nullptr;
        bool waiting = true;
        bool first = false; // waited under the id before its partner came
        QList<QByteArray> held; // sent before the partner came
    };

    // What to send on for one message (empty: drop it). `fromFirst` is true for the connection that
    // waited under the id first (the hosting side's listener).
    std::function<QList<QByteArray>(const QString& id, bool fromFirst, const QByteArray& message)> filter;

    explicit StandInRelay(QObject* parent = nullptr)
        : QObject(parent)
        , server(QStringLiteral("stand-in relay"), QWebSocketServer::SecureMode)
    {
        server.setMaxPendingConnections(64);
        QObject::connect(&server, &QWebSocketServer::newConnection, this, [this] { acceptPending(); });
    }
    ~StandInRelay() override { dropAll(); }

    // Listens on a port the system picks on 127.0.0.1.
    bool start(const TestCertificate& cert)
    {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(cert.certificate);
        config.setPrivateKey(cert.key);
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        server.setSslConfiguration(config);
        return server.listen(QHostAddress::LocalHost, 0);
    }
    int port() const { return server.serverPort(); }

    int connectionCount() const { return int(links.size()); }
    int waitingCount(const QString& id) const
    {
        int n = 0;
        for (const auto& link : links)
            n += (link->waiting && link->id == id) ? 1 : 0;
        return n;
    }
    int pairedCount() const
    {
        int n = 0;
        for (const auto& link : links)
            n += link->partner ? 1 : 0;
        return n / 2;
    }
    QList<QString> tokensSeen() const { return tokens; }

    // Cuts every connection at once, as a relay that goes down would.
    void dropAll()
    {
        const auto copy = links;
        for (const auto& link : copy) {
            if (link->socket)
                link->socket->abort();
        }
    }

    // Closes the pairs under one id (both sides), leaving other ids alone.
    void dropId(const QString& id)
    {
        const auto copy = links;
        for (const auto& link : copy) {
            if (link->id == id && link->partner && link->socket)
                link->socket->abort();
        }
    }

private:
    void acceptPending()
    {
        while (QWebSocket* ws = server.nextPendingConnection()) {
            const QUrl url = ws->requestUrl();
            const QUrlQuery query(url);
            auto link = std::make_shared<Link>();
            link->socket = ws;
            link->id = query.queryItemValue(QStringLiteral("id"), QUrl::FullyDecoded);
            link->token = query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
            tokens.append(link->token);
            ws->setParent(this);
            ws->setMaxAllowedIncomingMessageSize(512ULL * 1024 * 1024);
            if (url.path() != QLatin1String("/tunnel") || link->id.isEmpty()) {
                ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown tunnel"));
                ws->deleteLater();
                continue;
            }
            links.append(link);
            Link* raw = link.get();
            QObject::connect(ws, &QWebSocket::binaryMessageReceived, this,
                             [this, raw](const QByteArray& message) { forward(raw, message); });
            QObject::connect(ws, &QWebSocket::disconnected, this, [this, raw] { leave(raw); });
            pair(raw);
        }
    }

    void pair(Link* link)
    {
        for (const auto& other : links) {
            if (other.get() != link && other->waiting && other->id == link->id && other->socket
                && other->socket->state() == QAbstractSocket::ConnectedState) {
                other->waiting = false;
                other->first = true;
                link->waiting = false;
                other->partner = link;
                link->partner = other.get();
                const auto heldByOther = std::exchange(other->held, {});
                for (const QByteArray& message : heldByOther)
                    forward(other.get(), message);
                return;
            }
        }
    }

    void forward(Link* from, const QByteArray& message)
    {
        if (!from->partner) {
            from->held.append(message);
            return;
        }
        QList<QByteArray> out{message};
        if (filter)
            out = filter(from->id, from->first, message);
        QWebSocket* to = from->partner->socket;
        if (!to)
            return;
        for (const QByteArray& m : out)
            to->sendBinaryMessage(m);
    }

    void leave(Link* link)
    {
        if (Link* partner = link->partner) {
            partner->partner = nullptr;
            link->partner = nullptr;
            if (partner->socket)
                partner->socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("partner left"));
        }
        if (link->socket)
            link->socket->deleteLater();
        for (qsizetype i = 0; i < links.size(); ++i) {
            if (links[i].get() == link) {
                links.removeAt(i);
                break;
            }
        }
    }

    QWebSocketServer server;
    QList<std::shared_ptr<Link>> links;
    QList<QString> tokens;
};

} // namespace fixtures

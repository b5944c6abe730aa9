#include "RemoteTunnelSocket.h"

#include "RelayContract.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QWebSocket>
#include <QtDebug>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace {

constexpr int keyBytes = 32;
constexpr int nonceBytes = 12;
constexpr int tagBytes = 16;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newContext()
{
    return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
}

QByteArray helloPlaintext()
{
    return QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("hello")}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray deriveTunnelKey(const QString& token)
{
    return QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256);
}

QByteArray encryptFrame(const QByteArray& key, const QByteArray& plaintext)
{
    if (key.size() != keyBytes)
        return {};
    QByteArray frame(nonceBytes + plaintext.size() + tagBytes, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(frame.data());
    if (RAND_bytes(out, nonceBytes) != 1)
        return {};

    CipherContext ctx = newContext();
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceBytes, nullptr) != 1
        || EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                              out) != 1)
        return {};

    int written = 0;
    if (!plaintext.isEmpty()
        && EVP_EncryptUpdate(ctx.get(), out + nonceBytes, &written,
                             reinterpret_cast<const unsigned char*>(plaintext.constData()), int(plaintext.size()))
               != 1)
        return {};
    int finalBytes = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), out + nonceBytes + written, &finalBytes) != 1
        || written + finalBytes != plaintext.size())
        return {};
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, tagBytes, out + nonceBytes + plaintext.size()) != 1)
        return {};
    return frame;
}

bool decryptFrame(const QByteArray& key, const QByteArray& frame, QByteArray* plaintext)
{
    if (key.size() != keyBytes || frame.size() < nonceBytes + tagBytes)
        return false;
    const auto* in = reinterpret_cast<const unsigned char*>(frame.constData());
    const int cipherBytes = int(frame.size()) - nonceBytes - tagBytes;

    CipherContext ctx = newContext();
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceBytes, nullptr) != 1
        || EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                              in) != 1)
        return false;

    QByteArray out(cipherBytes, Qt::Uninitialized);
    auto* outData = reinterpret_cast<unsigned char*>(out.data());
    int written = 0;
    if (cipherBytes > 0
        && EVP_DecryptUpdate(ctx.get(), outData, &written, in + nonceBytes, cipherBytes) != 1)
        return false;
    // The tag is only read by OpenSSL, but the control call takes a non-const pointer.
    QByteArray tag = frame.right(tagBytes);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, tagBytes, tag.data()) != 1)
        return false;
    int finalBytes = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), outData + written, &finalBytes) != 1 || written + finalBytes != cipherBytes)
        return false;
    if (plaintext)
        *plaintext = std::move(out);
    return true;
}

QString normalizeFingerprint(const QString& fingerprint)
{
    QString result;
    result.reserve(fingerprint.size());
    for (const QChar c : fingerprint) {
        if (c.isLetterOrNumber())
            result.append(c.toUpper());
    }
    return result;
}

RemoteTunnelSocket::RemoteTunnelSocket(QObject* parent)
    : QObject(parent)
{
    keepaliveTimer.setSingleShot(false);
    socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    socket->setMaxAllowedIncomingMessageSize(quint64(maxIncomingMessageBytes));
    socket->setMaxAllowedIncomingFrameSize(quint64(maxIncomingMessageBytes));

    connect(socket, &QWebSocket::sslErrors, this, &RemoteTunnelSocket::onSslErrors);
    connect(socket, &QWebSocket::connected, this, &RemoteTunnelSocket::onConnected);
    connect(socket, &QWebSocket::binaryMessageReceived, this, &RemoteTunnelSocket::onBinaryMessageReceived);
    connect(socket, &QWebSocket::disconnected, this, &RemoteTunnelSocket::onDisconnected);
    connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &RemoteTunnelSocket::onErrorOccurred);
    connect(socket, &QWebSocket::bytesWritten, this, &RemoteTunnelSocket::onBytesWritten);
    connect(socket, &QWebSocket::pong, this, &RemoteTunnelSocket::onPong);
    connect(&keepaliveTimer, &QTimer::timeout, this, &RemoteTunnelSocket::onKeepaliveTick);
}

void RemoteTunnelSocket::connectToRelay(const QString& host, int port, const QString& id, const QString& token,
                                        const QString& certFingerprint)
{
    peerReady = false;
    seenNonces.clear();
    abortReason.clear();
    key = deriveTunnelKey(token);
    expectedFingerprint = normalizeFingerprint(certFingerprint);
    socket->open(relay::tunnelUrl(host, port, id, token));
}

void RemoteTunnelSocket::close()
{
    peerReady = false;
    keepaliveTimer.stop();
    socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void RemoteTunnelSocket::sendFrame(const QByteArray& plaintext)
{
    QByteArray frame = encryptFrame(key, plaintext);
    if (frame.isEmpty())
        return;
    writeQueue.append(std::move(frame));
    flushWriteQueue();
}

void RemoteTunnelSocket::flushWriteQueue()
{
    while (!writing && !writeQueue.isEmpty() && socket->state() == QAbstractSocket::ConnectedState) {
        writing = true;
        const QByteArray frame = writeQueue.takeFirst();
        const qint64 sent = socket->sendBinaryMessage(frame);
        if (sent < frame.size()) {
            qWarning() << "RemoteTunnelSocket: sendBinaryMessage вернул" << sent << "вместо ожидаемых" << frame.size()
                       << "байт, состояние сокета:" << socket->state() << socket->errorString();
        }
        if (socket->bytesToWrite() > 0)
            return; // onBytesWritten goes on once the socket has written it all
        writing = false;
    }
}

void RemoteTunnelSocket::onSslErrors(const QList<QSslError>& errors)
{
    const QSslCertificate certificate = socket->sslConfiguration().peerCertificate();
    if (certificate.isNull()) {
        abortReason = QStringLiteral("Сервер не предоставил сертификат");
        socket->abort();
        emit connectionFailed(abortReason);
        return;
    }
    const QString actual =
        normalizeFingerprint(QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex()));
    if (!expectedFingerprint.isEmpty() && actual == expectedFingerprint) {
        socket->ignoreSslErrors(errors);
        return;
    }
    abortReason = QStringLiteral("Отпечаток сертификата сервера не совпадает с ожидаемым — возможна подмена канала. "
                                 "Проверьте адрес сервера и код подключения.");
    socket->abort();
    emit connectionFailed(abortReason);
}

void RemoteTunnelSocket::onConnected()
{
    sendFrame(helloPlaintext());
}

void RemoteTunnelSocket::onBinaryMessageReceived(const QByteArray& message)
{
    QByteArray plaintext;
    if (!decryptFrame(key, message, &plaintext))
        return;
    const QByteArray nonce = message.left(nonceBytes);
    if (seenNonces.contains(nonce))
        return;
    seenNonces.insert(nonce);

    lastActivity.restart();
    if (!peerReady) {
        peerReady = true;
        keepaliveTimer.start(keepaliveIntervalMs);
        emit connectedToPeer();
    }
    // Raw file chunks are not JSON and pass on; the parser gives up on their first byte.
    const QJsonDocument doc = QJsonDocument::fromJson(plaintext);
    if (doc.isObject() && doc.object().value(QStringLiteral("type")).toString() == QLatin1String("hello"))
        return;
    emit frameReceived(plaintext);
}

void RemoteTunnelSocket::onDisconnected()
{
    const bool wasReady = peerReady;
    peerReady = false;
    keepaliveTimer.stop();
    writing = false;
    QString reason = abortReason.isEmpty() ? socket->closeReason() : abortReason;
    if (reason.isEmpty())
        reason = lastError;
    if (wasReady) {
        emit disconnectedFromRelay(reason);
        return;
    }
    emit connectionFailed(reason.isEmpty() ? QStringLiteral("Соединение закрыто до готовности собеседника") : reason);
}

void RemoteTunnelSocket::onErrorOccurred()
{
    lastError = abortReason.isEmpty() ? socket->errorString() : abortReason;
    if (!peerReady)
        emit connectionFailed(lastError);
}

void RemoteTunnelSocket::onBytesWritten()
{
    if (socket->bytesToWrite() > 0)
        return;
    writing = false;
    flushWriteQueue();
}

void RemoteTunnelSocket::onPong(quint64, const QByteArray&)
{
    lastActivity.restart();
}

void RemoteTunnelSocket::onKeepaliveTick()
{
    if (!peerReady)
        return;
    if (lastActivity.isValid() && lastActivity.elapsed() > silenceLimitMs) {
        keepaliveTimer.stop();
        socket->abort();
        return;
    }
    socket->ping(QByteArray());
}

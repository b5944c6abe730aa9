#include "remote/RemoteTunnelSocket.h"

#include "remote/RelayContract.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QWebSocket>
#include <QtDebug>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <utility>

namespace {

constexpr int keyBytes = 32;
constexpr int nonceBytes = 12;
constexpr int tagBytes = 16;
constexpr int randomBytes = 32;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext newContext()
{
    return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
}

QString roleName(TunnelRole role)
{
    return role == TunnelRole::Host ? QStringLiteral("host") : QStringLiteral("client");
}

QByteArray randomBytesOf(int count)
{
    QByteArray out(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), count) != 1)
        return {};
    return out;
}

// The plaintext of data frame 0 in each direction.
const QByteArray& confirmationText()
{
    static const QByteArray text("{\"type\":\"confirm\"}");
    return text;
}

QString closedBeforePeerText()
{
    return QStringLiteral("Соединение закрыто до готовности собеседника");
}

QString socketErrorText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        // Also a refused upgrade request: an unknown token or path.
        return QStringLiteral("Сервер-посредник не принял подключение — проверьте адрес, порт и токен");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("Сервер-посредник закрыл соединение");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("Адрес сервера-посредника не найден — проверьте адрес");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("Сервер-посредник не отвечает");
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::TemporaryError:
        return QStringLiteral("Сеть недоступна или соединение оборвалось");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("Системе запрещено открывать это соединение");
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("Не хватает системных ресурсов для соединения");
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return QStringLiteral("Не удалось установить защищённое соединение с сервером-посредником");
    case QAbstractSocket::ProxyAuthenticationRequiredError:
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyProtocolError:
        return QStringLiteral("Прокси-сервер не пропустил соединение с сервером-посредником");
    default:
        return QStringLiteral("Ошибка соединения с сервером-посредником (код %1)").arg(int(error));
    }
}

QString pinMismatchText()
{
    return QStringLiteral("Отпечаток сертификата сервера не совпадает с ожидаемым — возможна подмена канала. "
                          "Проверьте адрес сервера и код подключения.");
}

} // namespace

QString newTunnelSecret()
{
    return QString::fromLatin1(randomBytesOf(keyBytes).toHex());
}

QByteArray parseTunnelSecret(const QString& text)
{
    QString digits = text;
    digits.remove(QRegularExpression(QStringLiteral("\\s")));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!hex.match(digits).hasMatch())
        return {};
    return QByteArray::fromHex(digits.toLatin1());
}

QByteArray hkdfSha256(const QByteArray& secret, const QByteArray& salt, const QByteArray& info, int length)
{
    std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr), &EVP_KDF_free);
    if (!kdf || secret.isEmpty())
        return {};
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(EVP_KDF_CTX_new(kdf.get()), &EVP_KDF_CTX_free);
    if (!ctx)
        return {};
    // OpenSSL takes non-const pointers but only reads them.
    QByteArray key = secret, saltBytes = salt, infoBytes = info;
    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    int n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key.data(), size_t(key.size()));
    if (!saltBytes.isEmpty())
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, saltBytes.data(), size_t(saltBytes.size()));
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, infoBytes.data(), size_t(infoBytes.size()));
    params[n] = OSSL_PARAM_construct_end();
    QByteArray out(length, Qt::Uninitialized);
    if (EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), size_t(length), params) != 1)
        return {};
    return out;
}

QByteArray helloKey(const QByteArray& secret)
{
    return hkdfSha256(secret, {}, QByteArrayLiteral("kalvenor tunnel hello v1"));
}

QByteArray directionKey(const QByteArray& secret, const QByteArray& hostRandom, const QByteArray& clientRandom,
                        TunnelRole sender)
{
    const QByteArray label = sender == TunnelRole::Host ? QByteArrayLiteral("kalvenor tunnel host to client v1")
                                                        : QByteArrayLiteral("kalvenor tunnel client to host v1");
    return hkdfSha256(secret, hostRandom + clientRandom, label);
}

QByteArray counterNonce(quint64 counter)
{
    QByteArray nonce(nonceBytes, '\0');
    for (int i = 0; i < 8; ++i)
        nonce[nonceBytes - 1 - i] = char((counter >> (8 * i)) & 0xff);
    return nonce;
}

QByteArray encryptFrame(const QByteArray& key, const QByteArray& plaintext, const QByteArray& nonce)
{
    if (key.size() != keyBytes || (!nonce.isEmpty() && nonce.size() != nonceBytes))
        return {};
    QByteArray frame(nonceBytes + plaintext.size() + tagBytes, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(frame.data());
    if (!nonce.isEmpty())
        std::memcpy(out, nonce.constData(), nonceBytes);
    else if (RAND_bytes(out, nonceBytes) != 1)
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

bool decryptFrame(const QByteArray& key, const QByteArray& frame, QByteArray* plaintext, FrameFault* fault)
{
    FrameFault ignored = FrameFault::None;
    FrameFault& why = fault ? *fault : ignored;
    why = FrameFault::NotAuthentic;
    if (frame.size() < nonceBytes + tagBytes) {
        why = FrameFault::TooShort;
        return false;
    }
    if (key.size() != keyBytes)
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
    why = FrameFault::None;
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

RemoteTunnelSocket::RemoteTunnelSocket(TunnelRole role, QObject* parent)
    : QObject(parent)
    , role(role)
{
    keepaliveTimer.setSingleShot(false);
    confirmTimer.setSingleShot(true);
    socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    socket->setMaxAllowedIncomingMessageSize(quint64(maxIncomingMessageBytes));
    socket->setMaxAllowedIncomingFrameSize(quint64(maxIncomingMessageBytes));
    // No authority is trusted: every certificate, one that a system authority vouches for too, reaches
    // the pin check before the upgrade request (which carries the token) is sent.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates({});
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    socket->setSslConfiguration(tls);

    connect(socket, &QWebSocket::sslErrors, this, &RemoteTunnelSocket::onSslErrors);
    connect(socket, &QWebSocket::connected, this, &RemoteTunnelSocket::onConnected);
    connect(socket, &QWebSocket::binaryMessageReceived, this, &RemoteTunnelSocket::onBinaryMessageReceived);
    connect(socket, &QWebSocket::disconnected, this, &RemoteTunnelSocket::onDisconnected);
    connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, &RemoteTunnelSocket::onErrorOccurred);
    connect(socket, &QWebSocket::bytesWritten, this, &RemoteTunnelSocket::onBytesWritten);
    connect(socket, &QWebSocket::pong, this, &RemoteTunnelSocket::onPong);
    connect(&keepaliveTimer, &QTimer::timeout, this, &RemoteTunnelSocket::onKeepaliveTick);
    connect(&confirmTimer, &QTimer::timeout, this, [this] {
        if (!peerReady)
            failConnection(QStringLiteral("собеседник не подтвердил ключ шифрования вовремя"));
    });
}

void RemoteTunnelSocket::connectToRelay(const QString& host, int port, const QString& id, const QString& token,
                                        const QString& certFingerprint, const QString& secretText)
{
    keyed = false;
    peerReady = false;
    relayOpened = false;
    closedHere = false;
    cutWhilePairing = false;
    broken = false;
    writing = false;
    confirmTimer.stop();
    writeQueue.clear();
    waitingForKeys.clear();
    queued = 0;
    sendKey.clear();
    receiveKey.clear();
    sendCounter = 0;
    receiveCounter = 0;
    lastError.clear();
    abortReason.clear();
    expectedFingerprint = normalizeFingerprint(certFingerprint);
    secret = parseTunnelSecret(secretText);
    helloFrameKey = helloKey(secret);
    ownRandom = randomBytesOf(randomBytes);
    if (helloFrameKey.isEmpty() || ownRandom.isEmpty()) {
        failBeforeOpening(QStringLiteral("Неверный ключ шифрования: нужны 64 шестнадцатеричные цифры."));
        return;
    }
    // Without a pin any certificate would do, and the token would go to whoever answers.
    if (expectedFingerprint.isEmpty()) {
        failBeforeOpening(pinMismatchText());
        return;
    }
    socket->open(relay::tunnelUrl(host, port, id, token));
}

void RemoteTunnelSocket::failBeforeOpening(const QString& reason)
{
    lastError = reason;
    // Reported from the event loop, as every other failure is: callers start waiting after this returns.
    QMetaObject::invokeMethod(this, [this, reason] { emit connectionFailed(reason); }, Qt::QueuedConnection);
}

void RemoteTunnelSocket::close()
{
    // Whatever still arrives on this connection is taken for nothing.
    keyed = false;
    peerReady = false;
    closedHere = true;
    keepaliveTimer.stop();
    confirmTimer.stop();
    socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void RemoteTunnelSocket::sendFrame(const QByteArray& plaintext)
{
    if (broken)
        return; // the connection is ending and has been reported
    if (!keyed) {
        waitingForKeys.append(plaintext);
        queued += plaintext.size();
        return;
    }
    queueDataFrame(plaintext);
    flushWriteQueue();
}

void RemoteTunnelSocket::queueDataFrame(const QByteArray& plaintext)
{
    QByteArray frame = encryptFrame(sendKey, plaintext, counterNonce(sendCounter));
    if (frame.isEmpty()) {
        failConnection(QStringLiteral("не удалось зашифровать кадр"));
        return;
    }
    ++sendCounter;
    queued += frame.size();
    writeQueue.append(std::move(frame));
}

void RemoteTunnelSocket::flushWriteQueue()
{
    while (!broken && !writing && !writeQueue.isEmpty() && socket->state() == QAbstractSocket::ConnectedState) {
        writing = true;
        const QByteArray frame = writeQueue.takeFirst();
        queued -= frame.size();
        const qint64 sent = socket->sendBinaryMessage(frame);
        if (sent < frame.size()) {
            qWarning() << "RemoteTunnelSocket: sendBinaryMessage вернул" << sent << "вместо ожидаемых" << frame.size()
                       << "байт, состояние сокета:" << socket->state() << socket->errorString();
            // The peer would take the next frame for this one's successor: the order is lost for good.
            failConnection(QStringLiteral("кадр не удалось отправить целиком"));
            return;
        }
        if (socket->bytesToWrite() > 0)
            return; // onBytesWritten goes on once the socket has written it all
        writing = false;
    }
}

void RemoteTunnelSocket::failConnection(const QString& reason)
{
    if (broken)
        return;
    broken = true;
    qWarning() << "RemoteTunnelSocket: соединение закрыто:" << reason;
    abortReason = reason;
    writeQueue.clear();
    waitingForKeys.clear();
    queued = 0;
    keepaliveTimer.stop();
    confirmTimer.stop();
    // Not from inside the socket's own signal: its frame reader may still be running.
    QMetaObject::invokeMethod(this, [this] { socket->abort(); }, Qt::QueuedConnection);
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
    abortReason = pinMismatchText();
    socket->abort();
    emit connectionFailed(abortReason);
}

void RemoteTunnelSocket::onConnected()
{
    relayOpened = true;
    QJsonObject hello{{QStringLiteral("type"), QStringLiteral("hello")},
                      {QStringLiteral("role"), roleName(role)},
                      {QStringLiteral("random"), QString::fromLatin1(ownRandom.toBase64())}};
    QByteArray frame = encryptFrame(helloFrameKey, QJsonDocument(hello).toJson(QJsonDocument::Compact));
    if (frame.isEmpty()) {
        failConnection(QStringLiteral("не удалось зашифровать приветствие"));
        return;
    }
    queued += frame.size();
    writeQueue.prepend(std::move(frame));
    flushWriteQueue();
}

bool RemoteTunnelSocket::acceptHello(const QByteArray& message)
{
    QByteArray plaintext;
    FrameFault fault = FrameFault::None;
    if (!decryptFrame(helloFrameKey, message, &plaintext, &fault)) {
        // No end of this program sends such a frame, stale or not: the relay in between mangles them.
        if (fault == FrameFault::TooShort && !std::exchange(shortFrameLogged, true))
            qWarning() << "RemoteTunnelSocket: отброшен кадр короче" << frameOverhead << "байт:" << message.size()
                       << "байт";
        return false;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(plaintext);
    const QJsonObject hello = doc.object();
    const TunnelRole peerRole = role == TunnelRole::Host ? TunnelRole::Client : TunnelRole::Host;
    const QByteArray peerRandom =
        QByteArray::fromBase64(hello.value(QStringLiteral("random")).toString().toLatin1());
    // Our own hello sent back by the relay has our role and our value.
    if (hello.value(QStringLiteral("type")).toString() != QLatin1String("hello")
        || hello.value(QStringLiteral("role")).toString() != roleName(peerRole) || peerRandom.size() != randomBytes
        || peerRandom == ownRandom)
        return false;
    const QByteArray& hostRandom = role == TunnelRole::Host ? ownRandom : peerRandom;
    const QByteArray& clientRandom = role == TunnelRole::Host ? peerRandom : ownRandom;
    sendKey = directionKey(secret, hostRandom, clientRandom, role);
    receiveKey = directionKey(secret, hostRandom, clientRandom, peerRole);
    return !sendKey.isEmpty() && !receiveKey.isEmpty();
}

void RemoteTunnelSocket::startConfirming()
{
    keyed = true;
    queueDataFrame(confirmationText());
    const QList<QByteArray> early = std::exchange(waitingForKeys, {});
    for (const QByteArray& plaintext : early) {
        queued -= plaintext.size();
        queueDataFrame(plaintext);
    }
    flushWriteQueue();
    confirmTimer.start(confirmTimeoutMs);
}

void RemoteTunnelSocket::onBinaryMessageReceived(const QByteArray& message)
{
    if (broken)
        return;
    if (!keyed) {
        // Anything but the peer's hello before it (a stale or foreign frame) is ignored.
        if (acceptHello(message))
            startConfirming();
        return;
    }

    const QByteArray expectedNonce = counterNonce(receiveCounter);
    const bool inOrder = message.size() >= frameOverhead
                         && std::memcmp(message.constData(), expectedNonce.constData(), nonceBytes) == 0;
    QByteArray plaintext;
    if (!inOrder || !decryptFrame(receiveKey, message, &plaintext)) {
        // Until the peer has confirmed the keys, a frame that fails is somebody else's: it is dropped.
        if (peerReady && inOrder)
            failConnection(QStringLiteral("кадр не прошёл проверку подлинности"));
        else if (peerReady)
            failConnection(QStringLiteral("кадр пришёл не по порядку (повтор, перестановка или подмена)"));
        return;
    }
    ++receiveCounter;
    if (!peerReady) {
        if (plaintext != confirmationText()) {
            failConnection(QStringLiteral("собеседник не подтвердил ключ шифрования"));
            return;
        }
        peerReady = true;
        confirmTimer.stop();
        lastActivity.restart();
        keepaliveTimer.start(keepaliveIntervalMs);
        emit connectedToPeer();
        return;
    }
    // Messages are compact JSON objects; parsing one of many MiB here only to tell it from a chunk would
    // cost as much again as its reader's own parse.
    if (plaintext.size() > maxRawPlaintextBytes
        && !(plaintext.startsWith('{') && plaintext.trimmed().endsWith('}'))) {
        failConnection(QStringLiteral("фрагмент файла больше 1 МиБ"));
        return;
    }
    lastActivity.restart();
    emit frameReceived(plaintext);
}

void RemoteTunnelSocket::onDisconnected()
{
    const bool wasReady = peerReady;
    peerReady = false;
    keepaliveTimer.stop();
    confirmTimer.stop();
    writing = false;
    // The relay's own words (or the toolkit's, for a broken frame) are for the log; the user reads
    // what they amount to.
    const auto closeCode = socket->closeCode();
    if (!socket->closeReason().isEmpty() || closeCode != QWebSocketProtocol::CloseCodeNormal)
        qWarning() << "RemoteTunnelSocket: соединение закрыто с кодом" << int(closeCode) << socket->closeReason();
    if (abortReason.isEmpty() && !wasReady && relayOpened && !closedHere)
        cutWhilePairing = true;
    QString reason = abortReason.isEmpty() ? lastError : abortReason;
    if (reason.isEmpty() && closeCode != QWebSocketProtocol::CloseCodeNormal && wasReady)
        reason = QStringLiteral("Соединение с сервером-посредником закрыто (код %1)").arg(int(closeCode));
    if (wasReady) {
        emit disconnectedFromRelay(reason);
        return;
    }
    emit connectionFailed(reason.isEmpty() ? closedBeforePeerText() : reason);
}

void RemoteTunnelSocket::onErrorOccurred()
{
    const QAbstractSocket::SocketError error = socket->error();
    if (abortReason.isEmpty())
        qWarning() << "RemoteTunnelSocket: ошибка соединения:" << error << socket->errorString();
    if (!abortReason.isEmpty()) {
        lastError = abortReason;
    } else if (error == QAbstractSocket::RemoteHostClosedError && relayOpened && !peerReady && !closedHere) {
        cutWhilePairing = true;
        lastError = closedBeforePeerText();
    } else {
        lastError = socketErrorText(error);
    }
    if (!peerReady)
        emit connectionFailed(lastError);
}

void RemoteTunnelSocket::onBytesWritten()
{
    if (socket->bytesToWrite() > 0)
        return;
    writing = false;
    flushWriteQueue();
    emit framesWritten();
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

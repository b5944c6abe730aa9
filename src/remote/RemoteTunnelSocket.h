#pragma once
// One encrypted connection through the relay. Both workstations dial out to the relay over a secure
// WebSocket; the relay pairs the two connections that give the same id and passes their binary
// messages on unchanged. Every message is one frame: a 12-byte random nonce, the AES-256-GCM
// ciphertext and the 16-byte tag, under a key derived from the shared token, so the relay carries
// frames it cannot read. The relay's self-made TLS certificate is pinned by its SHA-256 fingerprint.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSslError>
#include <QString>
#include <QTimer>

class QWebSocket;

// The 32-byte SHA-256 digest of the token's UTF-8 bytes; both ends derive the same key.
QByteArray deriveTunnelKey(const QString& token);
// nonce + ciphertext + tag; empty when the key is not 32 bytes long or a step fails.
QByteArray encryptFrame(const QByteArray& key, const QByteArray& plaintext);
// True and the plaintext, or false with the plaintext untouched (wrong key, tampering, truncation).
bool decryptFrame(const QByteArray& key, const QByteArray& frame, QByteArray* plaintext);
// Letters and digits only, upper-cased: "aa:bb cc" and "AABBCC" are one fingerprint.
QString normalizeFingerprint(const QString& fingerprint);

class RemoteTunnelSocket : public QObject
{
    Q_OBJECT

public:
    // Frames shorter than this cannot hold a nonce and a tag.
    static constexpr int frameOverhead = 28;
    // A relay message larger than this closes the connection instead of filling the memory.
    static constexpr qint64 maxIncomingMessageBytes = 64LL * 1024 * 1024;
    static constexpr int keepaliveIntervalMs = 20000;
    static constexpr qint64 silenceLimitMs = 65000;

    explicit RemoteTunnelSocket(QObject* parent);

    void connectToRelay(const QString& host, int port, const QString& id, const QString& token,
                        const QString& certFingerprint);
    void close();
    void sendFrame(const QByteArray& plaintext);
    bool isPeerReady() const { return peerReady; }

signals:
    void connectedToPeer();
    void frameReceived(const QByteArray& plaintext);
    void disconnectedFromRelay(const QString& reason);
    void connectionFailed(const QString& reason);

private slots:
    void onSslErrors(const QList<QSslError>& errors);
    void onConnected();
    void onBinaryMessageReceived(const QByteArray& message);
    void onDisconnected();
    void onErrorOccurred();
    void onBytesWritten();
    void onPong(quint64 elapsedTime, const QByteArray& payload);
    void onKeepaliveTick();

private:
    void flushWriteQueue();

    QTimer keepaliveTimer;
    QElapsedTimer lastActivity;
    QWebSocket* socket = nullptr;
    QByteArray key;
    QString expectedFingerprint;
    bool peerReady = false;
    QList<QByteArray> writeQueue;
    bool writing = false;
    QString lastError;
    // Set when this side aborts the TLS handshake itself: the socket's own follow-up errors then
    // report this reason instead of a toolkit text.
    QString abortReason;
    // Nonces already accepted on this connection: a frame the relay sends twice is dropped the second
    // time, so a replayed request or file chunk is never acted on again.
    QSet<QByteArray> seenNonces;
};

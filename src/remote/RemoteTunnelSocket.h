#pragma once
// One encrypted connection through the relay. Both workstations dial out to the relay over a secure
// WebSocket; the relay pairs the two connections that give the same id and passes their binary
// messages on unchanged. Every message is one frame: a 12-byte nonce, the AES-256-GCM ciphertext and
// the 16-byte tag. The keys come from a secret the two workstations share and the relay never sees
// (the relay's token only opens the door), so the relay carries frames it can neither read nor forge.
// The relay's self-made TLS certificate is pinned by its SHA-256 fingerprint.
//
// Each end opens with a hello under a key derived from the secret, carrying its role and a fresh
// random value. Once both values are known, each direction gets its own key derived from the secret
// and both values, and data frames are numbered from 0 in their nonce: the receiver takes only the
// next number, so a frame that is replayed, reordered, duplicated or sent back to its sender, or that
// comes from an earlier connection, never decrypts to anything. Frame 0 of each direction is a
// confirmation: the peer counts as reached only once it has proved with it that it holds this
// connection's keys. A hello alone proves nothing, as anyone who recorded one can send it again.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

class QWebSocket;

enum class TunnelRole { Host, Client };

// A fresh end-to-end secret: 32 random bytes as 64 lower-case hexadecimal digits; empty when the
// random generator fails.
QString newTunnelSecret();
// The 32 bytes of a secret written as 64 hexadecimal digits (either case, white space ignored);
// empty for anything else.
QByteArray parseTunnelSecret(const QString& text);
// HKDF-SHA256 (RFC 5869) of `length` bytes; empty on failure.
QByteArray hkdfSha256(const QByteArray& secret, const QByteArray& salt, const QByteArray& info, int length = 32);
// The key of both ends' hellos.
QByteArray helloKey(const QByteArray& secret);
// The key of one direction of one connection, from the secret and both ends' hello values.
QByteArray directionKey(const QByteArray& secret, const QByteArray& hostRandom, const QByteArray& clientRandom,
                        TunnelRole sender);
// The nonce of data frame number `counter`: four zero bytes and the counter, big-endian.
QByteArray counterNonce(quint64 counter);
// nonce + ciphertext + tag under a random nonce, or under `nonce` when given; empty when the key is not
// 32 bytes long or a step fails.
QByteArray encryptFrame(const QByteArray& key, const QByteArray& plaintext, const QByteArray& nonce = {});
// Why a frame was not taken.
enum class FrameFault { None, TooShort, NotAuthentic };
// True and the plaintext, or false with the plaintext untouched (wrong key, tampering, truncation).
// A frame too short to hold a nonce and a tag is refused before any of it is read.
bool decryptFrame(const QByteArray& key, const QByteArray& frame, QByteArray* plaintext,
                  FrameFault* fault = nullptr);
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
    // Raw file chunks are never larger; only JSON messages (a long study list) may be.
    static constexpr qint64 maxRawPlaintextBytes = 1048576;
    static constexpr int keepaliveIntervalMs = 20000;
    static constexpr qint64 silenceLimitMs = 65000;
    // How long after the peer's hello its confirmation may take before the connection is given up.
    static constexpr int confirmTimeoutMs = 5000;

    RemoteTunnelSocket(TunnelRole role, QObject* parent);

    // `secret` is the shared end-to-end secret as text (see parseTunnelSecret); the token goes to the
    // relay only. A new connection starts with nothing queued.
    void connectToRelay(const QString& host, int port, const QString& id, const QString& token,
                        const QString& certFingerprint, const QString& secret);
    void close();
    // Frames sent before the keys exist wait for them and then leave in order, behind the confirmation.
    void sendFrame(const QByteArray& plaintext);
    bool isPeerReady() const { return peerReady && !broken; }
    // A hello under the secret has come: the peer holds the secret or replays a recorded hello, which
    // the confirmation tells apart.
    bool hasPeerHello() const { return keyed && !broken; }
    // Bytes given to sendFrame and not yet handed to the relay connection.
    qint64 queuedBytes() const { return queued; }
    // The relay ended the connection after it had opened and before the peer confirmed the keys, with
    // no check of this side failing: a pairing cut short (as by a host that renews its listener at that
    // moment), which a fresh connection may well get through.
    bool wasCutWhilePairing() const { return cutWhilePairing; }

signals:
    void connectedToPeer();
    void frameReceived(const QByteArray& plaintext);
    void disconnectedFromRelay(const QString& reason);
    void connectionFailed(const QString& reason);
    // A frame has left: there is room for more (queuedBytes went down).
    void framesWritten();

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
    bool acceptHello(const QByteArray& message);
    // Sends the confirmation and what waited for the keys; the peer's confirmation is due within
    // confirmTimeoutMs.
    void startConfirming();
    void queueDataFrame(const QByteArray& plaintext);
    // Logs the reason and ends the connection; it is reported as a loss once the peer was reached.
    void failConnection(const QString& reason);
    void failBeforeOpening(const QString& reason);

    TunnelRole role;
    QTimer keepaliveTimer;
    QTimer confirmTimer;
    QElapsedTimer lastActivity;
    QWebSocket* socket = nullptr;
    QByteArray secret;
    QByteArray helloFrameKey;
    QByteArray ownRandom;
    QByteArray sendKey;
    QByteArray receiveKey;
    quint64 sendCounter = 0;
    quint64 receiveCounter = 0;
    QString expectedFingerprint;
    // The peer's hello has been taken and the direction keys exist.
    bool keyed = false;
    // The peer has confirmed the keys.
    bool peerReady = false;
    // The relay's WebSocket has opened (the pin and the token were accepted).
    bool relayOpened = false;
    // close() was called: the end that follows is this side's own.
    bool closedHere = false;
    bool cutWhilePairing = false;
    // A frame too short for any peer has been logged: a relay that mangles frames is named once.
    bool shortFrameLogged = false;
    // Set by a failure of this side: nothing is sent or taken any more on this connection.
    bool broken = false;
    QList<QByteArray> writeQueue;     // encrypted frames, oldest first
    QList<QByteArray> waitingForKeys; // plaintexts given before the keys exist
    qint64 queued = 0;
    bool writing = false;
    // Always a text for the user: the toolkit's own error texts are English and only logged.
    QString lastError;
    // Set when this side ends the connection itself: the socket's own follow-up errors then report
    // this reason instead.
    QString abortReason;
};

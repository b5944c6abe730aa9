#pragma once
// A hosting side scripted by the test, on a real tunnel through the stand-in relay: it answers each
// request with the frames the test gives, so a client can meet replies of every kind, an older host's
// among them. Header-only and without moc, like the relay: the remote-access tests that include it link
// the remote library.

#include "remote/RemoteProtocol.h"
#include "remote/RemoteTunnelSocket.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <utility>

namespace fixtures {

// Answers each request with the frames `answer` gives; keeps one listener waiting under each id, as
// the hosting side does, so a client can reconnect.
class ScriptedHost : public QObject
{
public:
    std::function<QList<QByteArray>(const QJsonObject& request, const QByteArray& raw)> answer;
    QList<QJsonObject> requests;
    // The host's end of the connection whose request is being answered.
    QPointer<RemoteTunnelSocket> asking;

    ScriptedHost(int port, QString fingerprint, QString token, QString secret)
        : port(port)
        , fingerprint(std::move(fingerprint))
        , token(std::move(token))
        , secret(std::move(secret))
    {
    }
    void listen(const QString& id)
    {
        auto* s = new RemoteTunnelSocket(TunnelRole::Host, this);
        waiting = s;
        connect(s, &RemoteTunnelSocket::connectedToPeer, this, [this, id] { listen(id); });
        connect(s, &RemoteTunnelSocket::frameReceived, this, [this, s](const QByteArray& raw) {
            QJsonObject request;
            remoteproto::parseMessage(raw, &request);
            requests.append(request);
            asking = s;
            for (const QByteArray& frame : answer(request, raw))
                s->sendFrame(frame);
        });
        s->connectToRelay(QStringLiteral("127.0.0.1"), port, id, token, fingerprint, secret);
    }
    // Closes the listener that waits, or pairs, now and opens a new one, as the hosting side renews a
    // listener that has waited long.
    void renew(const QString& id)
    {
        if (waiting) {
            waiting->disconnect(this);
            waiting->close();
        }
        listen(id);
    }

    // getFile over in-memory files, honouring the offset as a host does and naming the object asked for;
    // `sent` replaces the bytes that travel (a corruption the checksum of `content` must reveal).
    static QList<QByteArray> serveFile(const QJsonObject& request, const QByteArray& content,
                                       QByteArray sent = {})
    {
        if (sent.isNull())
            sent = content;
        qint64 offset = remoteproto::readInt64(request, QStringLiteral("offset"));
        if (offset < 0 || offset > content.size())
            offset = 0;
        QJsonObject header{{QStringLiteral("studyUid"), request.value(QStringLiteral("studyUid"))},
                           {QStringLiteral("index"), request.value(QStringLiteral("index"))},
                           {QStringLiteral("sizeBytes"), double(content.size())},
                           {QStringLiteral("offset"), double(offset)},
                           {QStringLiteral("sha256"), QString::fromLatin1(QCryptographicHash::hash(
                                                          content, QCryptographicHash::Sha256).toHex())}};
        if (request.contains(QStringLiteral("sopInstanceUid")))
            header.insert(QStringLiteral("sopInstanceUid"), request.value(QStringLiteral("sopInstanceUid")));
        QList<QByteArray> out{
            remoteproto::toFrame(remoteproto::message(QStringLiteral("fileHeader"), header))};
        for (qint64 at = offset; at < sent.size(); at += remoteproto::fileChunkBytes)
            out.append(sent.mid(at, remoteproto::fileChunkBytes));
        return out;
    }

private:
    int port;
    QString fingerprint;
    QString token;
    QString secret;
    QPointer<RemoteTunnelSocket> waiting;
};

} // namespace fixtures

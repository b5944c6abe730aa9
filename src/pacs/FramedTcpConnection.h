#pragma once
// A peer's TCP connection whose every byte DCMTK reads passes the framing watch first, and reaches
// DCMTK re-framed, one PDV per PDU (see PduFramingWatch). Once the watch refuses what the peer sent,
// DCMTK gets what came before the refused fragment and then each read fails as a closed connection
// would, and DCMTK ends the association.

#include "pacs/PduFramingWatch.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <atomic>
#include <functional>
#include <memory>

namespace pacs {

using FramingVerdict = std::atomic<PduFramingWatch::Verdict>;

class FramedTcpConnection : public DcmTCPConnection
{
public:
    // `verdict` receives the watch's refusal, for whoever reports the failed exchange. While
    // `stopWaiting` says so, a wait for the peer between two messages ends at once when nothing has
    // come. `requestDueMs` above 0: the peer has that long from now to send its first PDU whole (an
    // acceptor's connection, whose peer is to ask for an association at once). Every message after it
    // is held to messageBound(): one that is not whole in time is refused as TooSlow, whether its
    // bytes stop coming between two fragments or inside one.
    FramedTcpConnection(DcmNativeSocketType openSocket, std::shared_ptr<FramingVerdict> verdict,
                        std::function<bool()> stopWaiting = {},
                        qint64 maxCommandBytes = PduFramingWatch::kMaxCommandBytes, qint64 requestDueMs = 0);

    // The watch's verdict on this connection, which outlives it.
    std::shared_ptr<const FramingVerdict> verdictHandle() const { return m_verdict; }

    // A connection of the program's listener, whose places are few: while `placeWanted` says another
    // sender waits for one, a peer that is not getting on gives its place up. It has kAcceptorAcseSeconds
    // (and one second more for each 64 KB a message brings) for each message, and until it has brought
    // something that was kept (see keptSomething) as long to begin each message; otherwise the bounds
    // of every connection apply.
    void yieldPlaceWhen(std::function<bool()> placeWanted) { m_placeWanted = std::move(placeWanted); }
    // The peer brought an object that was kept: between its messages it may wait as long as DCMTK
    // waits, whoever else wants its place.
    void keptSomething() { m_keptSomething = true; }
    // What the peer still sends of the message under way is refused anyway (past a size the receiver
    // keeps, past the room of the store): it earns the message no more time, and the message is to be
    // whole within the base bound from now at the latest.
    void refuseMoreTime();

    ssize_t read(void* buf, size_t nbyte) override;
    // True once there is something re-framed to read, or the connection is refused or closed. Bytes
    // that give DCMTK nothing to read yet (a PDU's header) are taken within the time-out.
    OFBool networkDataAvailable(int timeout) override;
    // What DCMTK reads comes from a buffer of its own, not straight from the socket.
    OFBool isTransparentConnection() override { return OFFalse; }

private:
    // One read from the socket through the watch; false when the connection gave nothing (closed, or
    // failed: m_readResult and m_readErrno say how).
    bool takeFromSocket();
    // A read from the socket that waits for bytes no longer than the message under way may take; -1
    // with errno ECONNABORTED once it may take no longer.
    ssize_t receive(void* buf, size_t nbyte);
    bool haveSomethingToHand() const;
    // After bytes went through the watch: starts the clock of a message begun, stops it once whole.
    void noteFed(qint64 bytes);
    // Milliseconds left to the message under way (or to the first PDU); -1 when none is under way.
    // At 0 the connection is refused.
    qint64 msLeftForMessage();
    // Between two messages: whether the peer has had longer to begin the next one than it may while
    // another sender wants its place.
    bool restOverstayed();
    qint64 cutOff(PduFramingWatch::Verdict verdict);

    PduFramingWatch m_watch;
    std::shared_ptr<FramingVerdict> m_verdict;
    std::function<bool()> m_stopWaiting;
    std::function<bool()> m_placeWanted;
    QByteArray m_incoming;
    QByteArray m_reframed;
    qsizetype m_handedOn = 0; // bytes of m_reframed DCMTK has read
    ssize_t m_readResult = 1; // of the socket's last read: 0 closed, -1 failed
    int m_readErrno = 0;
    QElapsedTimer m_clock;
    qint64 m_messageStartMs = -1; // on m_clock; -1 between messages
    qint64 m_creditedBytes = 0;   // of the message under way, those that earn it time
    bool m_creditRefused = false;
    qint64 m_messageCapMs = -1;   // on m_clock: the message is to be whole by then at the latest
    qint64 m_requestDueMs = 0;    // while the first PDU is awaited
    qint64 m_restSinceMs = -1;    // on m_clock: since when the peer has been awaited between messages
    bool m_keptSomething = false;
};

} // namespace pacs

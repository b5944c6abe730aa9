#pragma once
// A peer's TCP connection whose every byte DCMTK reads passes the framing watch first, and reaches
// DCMTK re-framed, one PDV per PDU (see PduFramingWatch). Once the watch refuses what the peer sent,
// DCMTK gets what came before the refused fragment and then each read fails as a closed connection
// would, and DCMTK ends the association.

#include "pacs/PduFramingWatch.h"

#include <QByteArray>

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
    // `stopWaiting` says so, a wait for the peer ends at once when nothing has come.
    FramedTcpConnection(DcmNativeSocketType openSocket, std::shared_ptr<FramingVerdict> verdict,
                        std::function<bool()> stopWaiting = {},
                        qint64 maxCommandBytes = PduFramingWatch::kMaxCommandBytes);

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
    bool haveSomethingToHand() const;

    PduFramingWatch m_watch;
    std::shared_ptr<FramingVerdict> m_verdict;
    std::function<bool()> m_stopWaiting;
    QByteArray m_incoming;
    QByteArray m_reframed;
    qsizetype m_handedOn = 0; // bytes of m_reframed DCMTK has read
    ssize_t m_readResult = 1; // of the socket's last read: 0 closed, -1 failed
    int m_readErrno = 0;
};

} // namespace pacs

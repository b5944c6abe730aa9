#pragma once
// A peer's TCP connection whose every byte DCMTK reads passes the framing watch first. Once the watch
// refuses what the peer sent, each read fails as a closed connection would, before DCMTK has seen the
// PDU that broke the framing, and DCMTK ends the association.

#include "pacs/PduFramingWatch.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dcmtrans.h>

#include <atomic>
#include <memory>

namespace pacs {

using FramingVerdict = std::atomic<PduFramingWatch::Verdict>;

class FramedTcpConnection : public DcmTCPConnection
{
public:
    // `verdict` receives the watch's refusal, for whoever reports the failed exchange.
    FramedTcpConnection(DcmNativeSocketType openSocket, std::shared_ptr<FramingVerdict> verdict,
                        qint64 maxCommandBytes = PduFramingWatch::kMaxCommandBytes);

    ssize_t read(void* buf, size_t nbyte) override;
    // A refused connection has "data" at once, so that the read that fails is not first waited for.
    OFBool networkDataAvailable(int timeout) override;

private:
    PduFramingWatch m_watch;
    std::shared_ptr<FramingVerdict> m_verdict;
};

} // namespace pacs

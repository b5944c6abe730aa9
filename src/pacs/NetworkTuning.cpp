#include "pacs/NetworkTuning.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scu.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace pacs {

namespace {
std::atomic<int> g_connectSeconds{15};
std::atomic<int> g_acseSeconds{30};
std::atomic<int> g_dimseSeconds{60};
std::once_flag g_prepared;
constexpr qint64 kMessageBaseMs = 60 * 1000;
constexpr qint64 kSlowestLinkBytesPerSecond = 64 * 1024;
std::atomic<qint64> g_messageBaseMs{kMessageBaseMs};

Uint32 positive(int seconds)
{
    return static_cast<Uint32>(qMax(1, seconds));
}
} // namespace

NetworkTimeouts networkTimeouts()
{
    return {g_connectSeconds.load(), g_acseSeconds.load(), g_dimseSeconds.load()};
}

void setNetworkTimeouts(const NetworkTimeouts& timeouts)
{
    g_connectSeconds = timeouts.connectSeconds;
    g_acseSeconds = timeouts.acseSeconds;
    g_dimseSeconds = timeouts.dimseSeconds;
}

MessageBound messageBound()
{
    return {g_messageBaseMs.load(), kSlowestLinkBytesPerSecond};
}

void tightenMessageBound(qint64 baseMs)
{
    g_messageBaseMs = baseMs > 0 && baseMs < kMessageBaseMs ? baseMs : kMessageBaseMs;
}

qint64 acceptorPlaceBoundMs()
{
    return qMin<qint64>(messageBound().baseMs, qint64(kAcceptorAcseSeconds) * 1000);
}

// With Nagle on, each small PDU (command sets, responses) waits for the peer's delayed ACK: a
// 300-image transfer then takes seconds instead of a fraction of one. The toolkit reads the switch
// from the environment at every connection. It is set while the process starts, before any thread
// exists, because changing the environment while another thread reads it can crash the process.
const bool g_nagleDisabled = [] {
    ::setenv("TCP_NODELAY", "1", 1);
    return true;
}();

void prepareDicomNetwork()
{
    std::call_once(g_prepared, [] {
        (void)g_nagleDisabled;
        // A peer's name is never needed, and a slow resolver would stall every association.
        dcmDisableGethostbyaddr.set(OFTrue);
    });
}

void configureRequester(DcmSCU& scu)
{
    prepareDicomNetwork();
    const NetworkTimeouts t = networkTimeouts();
    // The connect time-out is a global of the toolkit; every requester sets the same value.
    scu.setConnectionTimeout(static_cast<Sint32>(positive(t.connectSeconds)));
    scu.setACSETimeout(positive(t.acseSeconds));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(positive(t.dimseSeconds));
    // Larger PDUs mean fewer reads and writes per image when the objects come to us (C-GET).
    scu.setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
}

void configureAcceptor(DcmSCP& scp)
{
    prepareDicomNetwork();
    const NetworkTimeouts t = networkTimeouts();
    scp.setHostLookupEnabled(OFFalse);
    scp.setACSETimeout(positive(qMin(t.acseSeconds, kAcceptorAcseSeconds)));
    scp.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scp.setDIMSETimeout(positive(t.dimseSeconds));
    scp.setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
}

} // namespace pacs

#pragma once
// Process-wide set-up shared by every DICOM association the program makes or accepts, and the
// time-outs that keep a silent peer from hanging a caller.

#include <QtGlobal>

class DcmSCU;
class DcmSCP;

namespace pacs {

struct NetworkTimeouts
{
    int connectSeconds = 15; // TCP connect
    int acseSeconds = 30;    // association request, accept and release
    int dimseSeconds = 60;   // each DIMSE message, also between the objects of a retrieve
};

// The time-outs every new requester or acceptor receives. Settable so that tests do not wait a
// minute for a peer that never answers.
NetworkTimeouts networkTimeouts();
void setNetworkTimeouts(const NetworkTimeouts& timeouts);

// How long one message of a peer (a DIMSE command with its data set, or any PDU) may take from its
// first byte to its last: the time-outs above restart with every fragment, so a peer trickling
// fragments would otherwise hold the association for as long as it likes. The bound grows only with
// the bytes the message brings at a pace no working link falls below, so empty or tiny fragments do
// not renew it, and only with bytes the receiver keeps (see FramedTcpConnection::refuseMoreTime).
struct MessageBound
{
    qint64 baseMs = 0;          // what any message may take
    qint64 bytesPerSecond = 0;  // and one second more for each this many bytes of it
};
MessageBound messageBound();
// Tests only: a shorter base bound, so that a peer that trickles is cut off quickly. It never
// lengthens the bound: zero, or more than the built-in one, gives the built-in one back.
void tightenMessageBound(qint64 baseMs);

// A sender that connects to the program's listener has this long to send its association request,
// and to close its connection after a refusal or a release.
constexpr int kAcceptorAcseSeconds = 5;

// How long a sender of the program's listener may keep its place without getting on while another
// sender waits for one: to begin each message, until it has brought something that was kept, and for
// each message, plus one second for each 64 KB the message brings. Never more than messageBound()'s
// base, so that the tests' shorter bound shortens it too.
qint64 acceptorPlaceBoundMs();

// Turns Nagle's algorithm off for all DICOM sockets (DCMTK reads TCP_NODELAY when it opens one)
// and stops the reverse DNS look-up of peers. Done once per process; cheap to call again.
void prepareDicomNetwork();

// prepareDicomNetwork() plus the time-outs, in non-blocking DIMSE mode so that they apply.
void configureRequester(DcmSCU& scu);
void configureAcceptor(DcmSCP& scp);

} // namespace pacs

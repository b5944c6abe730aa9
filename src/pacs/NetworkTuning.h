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

// Turns Nagle's algorithm off for all DICOM sockets (DCMTK reads TCP_NODELAY when it opens one)
// and stops the reverse DNS look-up of peers. Done once per process; cheap to call again.
void prepareDicomNetwork();

// prepareDicomNetwork() plus the time-outs, in non-blocking DIMSE mode so that they apply.
void configureRequester(DcmSCU& scu);
void configureAcceptor(DcmSCP& scp);

} // namespace pacs

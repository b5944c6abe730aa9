#pragma once
// A loopback port nobody listens on right now, for servers and peers a test starts itself.
// Header-only: the support library does not link Qt Network, the tests that open sockets do.

#include <QHostAddress>
#include <QTcpServer>

namespace fixtures {

// 0 when the system gives no port.
inline quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace fixtures

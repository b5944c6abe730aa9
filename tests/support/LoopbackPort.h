#pragma once
// A loopback port nobody listens on right now, for servers and peers a test starts itself.
// Header-only: the support library does not link Qt Network, the tests that open sockets do.

#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>

namespace fixtures {

// 0 when the system gives no port. Taken below the system's range of automatic ports where it can
// be: a port a test binds only later (a C-MOVE destination, a peer started for one case) is then
// never given meanwhile to another program's outgoing connection or to its listen on port 0, as
// one from that range can be while a loaded machine runs many suites at once.
inline quint16 freeLoopbackPort()
{
    int automaticFrom = 32768;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly))
        automaticFrom = range.readAll().simplified().split(' ').value(0).toInt();
    constexpr int kLowest = 10000;
    for (int attempt = 0; automaticFrom > kLowest + 1000 && attempt < 200; ++attempt) {
        const auto port = quint16(QRandomGenerator::system()->bounded(kLowest, automaticFrom));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            return port;
    }
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace fixtures

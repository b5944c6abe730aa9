#pragma once
// A loopback port nobody listens on right now, for servers and peers a test starts itself.
// Header-only: the support library does not link Qt Network, the tests that open sockets do.

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace fixtures {

// The port a socket is bound to; 0 when it cannot be told.
inline quint16 boundPort(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (socket < 0 || ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// Binds a socket to `port` (0: one the system gives) on every address without sharing it, so only a
// port no socket is bound to is taken; then lets it be shared. Returns the descriptor, or -1.
inline int reservedSocket(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int share = 1;
    if (socket >= 0
        && (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &share, sizeof share) != 0))
        ::close(std::exchange(socket, -1));
    return socket;
}

// 0 when the system gives no port. Taken below the system's range of automatic ports where it can
// be, so that another program's outgoing connection or listen on port 0 is never given it. The port
// stays bound here, not listened on, until the test ends: a server that asks to share its port (every
// one a test starts, and the program's own listeners, do) listens there and lets go again as often as
// the test has it, while no other test's choice, nor any program that does not ask to share, can take
// it in between, as one could a port chosen free and let go of.
inline quint16 freeLoopbackPort()
{
    int automaticFrom = 32768;
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly))
        automaticFrom = range.readAll().simplified().split(' ').value(0).toInt();
    constexpr int kLowest = 10000;
    int socket = -1;
    for (int attempt = 0; socket < 0 && automaticFrom > kLowest + 1000 && attempt < 200; ++attempt)
        socket = reservedSocket(quint16(QRandomGenerator::system()->bounded(kLowest, automaticFrom)));
    if (socket < 0)
        socket = reservedSocket(0);
    // Not closed: the process's end lets the ports go.
    return boundPort(socket);
}

// Whether process `pid` listens on the port: one of its descriptors is the listening socket the system
// lists for it (IPv4 or IPv6). A peer given a port chosen earlier may have found it taken by another
// program, whose listening there a connection alone would not tell from the peer's.
inline bool listensOn(qint64 pid, quint16 port)
{
    QSet<QByteArray> sockets;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        file.readLine(); // the heading
        while (!file.atEnd()) {
            // slot, local address:port, remote address:port, state (0A: listening), ..., inode (the tenth)
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            bool ok = false;
            if (fields.size() > 9 && fields[3] == "0A"
                && fields[1].mid(fields[1].lastIndexOf(':') + 1).toUInt(&ok, 16) == port && ok)
                sockets.insert("socket:[" + fields[9] + ']');
        }
    }
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& name : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        const ssize_t length = ::readlink(QFile::encodeName(descriptors.filePath(name)).constData(), target,
                                          sizeof target - 1);
        if (length > 0 && sockets.contains(QByteArray(target, int(length))))
            return true;
    }
    return false;
}

// A loopback port taken from the system and held from then on, for a server of the test that is to
// listen there only later (or never): bound, a connection to it is refused until listenWith, and no
// other program can take it meanwhile, as one can a port chosen free and let go of.
class HeldPort
{
public:
    HeldPort()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_socket >= 0 && ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ::close(std::exchange(m_socket, -1));
        m_port = boundPort(m_socket);
    }
    ~HeldPort()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    // 0 when the system gave none.
    quint16 port() const { return m_port; }

    // Listens on the port and has `server` take the connections; the port stays held here, listened on,
    // after the server has closed, so that the next server of the test listens there again.
    bool listenWith(QTcpServer& server)
    {
        if (m_port == 0 || ::listen(m_socket, SOMAXCONN) != 0)
            return false;
        const int copy = ::fcntl(m_socket, F_DUPFD_CLOEXEC, 0);
        if (copy >= 0 && server.setSocketDescriptor(copy))
            return true;
        if (copy >= 0)
            ::close(copy);
        return false;
    }

private:
    int m_socket = -1;
    quint16 m_port = 0;
};

// A connection made from `port` to a server of the test, as an outgoing connection the system gave that
// port would be: not sharing the port, it keeps every listener from binding it while it lasts, and
// nothing listens there. Ended from the far side first, so that the socket left waiting out its time
// is not the one on the port. Without a port, the system gives one as the connection's socket is bound.
class ConnectionFromPort
{
public:
    explicit ConnectionFromPort(quint16 port = 0)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // The port first: the far end's own port, taken from the system, may otherwise be this one.
        if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || !m_far.listen(QHostAddress::LocalHost, 0))
            return;
        address.sin_port = htons(m_far.serverPort());
        if (::connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && m_far.waitForNewConnection(30000))
            m_farEnd = m_far.nextPendingConnection();
    }
    ~ConnectionFromPort() { release(); }
    ConnectionFromPort(const ConnectionFromPort&) = delete;
    ConnectionFromPort& operator=(const ConnectionFromPort&) = delete;

    bool holds() const { return m_farEnd != nullptr; }
    // The port the connection is made from.
    quint16 port() const { return boundPort(m_socket); }

    void release()
    {
        if (m_farEnd) {
            m_farEnd->close();
            const timeval patience{30, 0};
            ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            char byte = 0;
            while (::recv(m_socket, &byte, 1, 0) > 0) {
            }
            m_farEnd = nullptr;
        }
        if (m_socket >= 0)
            ::close(std::exchange(m_socket, -1));
        m_far.close();
    }

private:
    QTcpServer m_far;
    QTcpSocket* m_farEnd = nullptr;
    int m_socket = -1;
};

} // namespace fixtures

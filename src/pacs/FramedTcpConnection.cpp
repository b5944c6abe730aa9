#include "pacs/FramedTcpConnection.h"

#include <cerrno>

namespace pacs {

FramedTcpConnection::FramedTcpConnection(DcmNativeSocketType openSocket, std::shared_ptr<FramingVerdict> verdict,
                                         qint64 maxCommandBytes)
    : DcmTCPConnection(openSocket)
    , m_watch(maxCommandBytes)
    , m_verdict(std::move(verdict))
{
}

ssize_t FramedTcpConnection::read(void* buf, size_t nbyte)
{
    if (m_watch.verdict() == PduFramingWatch::Verdict::Passing) {
        const ssize_t got = DcmTCPConnection::read(buf, nbyte);
        if (got <= 0 || m_watch.feed(static_cast<const char*>(buf), got))
            return got;
        m_verdict->store(m_watch.verdict());
    }
    // Not EINTR, which DCMTK would read again after.
    errno = ECONNABORTED;
    return -1;
}

OFBool FramedTcpConnection::networkDataAvailable(int timeout)
{
    return m_watch.verdict() != PduFramingWatch::Verdict::Passing || DcmTCPConnection::networkDataAvailable(timeout);
}

} // namespace pacs

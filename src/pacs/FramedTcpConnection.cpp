#include "pacs/FramedTcpConnection.h"

#include "pacs/NetworkTuning.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <cstring>

#include <poll.h>

namespace pacs {

namespace {
// One socket read takes up to a whole PDU of the largest size the program accepts.
constexpr qsizetype kReadBytes = 128 * 1024 + 6;
constexpr qint64 kStopWaitingCheckMs = 200;
} // namespace

FramedTcpConnection::FramedTcpConnection(DcmNativeSocketType openSocket, std::shared_ptr<FramingVerdict> verdict,
                                         std::function<bool()> stopWaiting, qint64 maxCommandBytes,
                                         qint64 requestDueMs)
    : DcmTCPConnection(openSocket)
    , m_watch(maxCommandBytes)
    , m_verdict(std::move(verdict))
    , m_stopWaiting(std::move(stopWaiting))
    , m_incoming(kReadBytes, Qt::Uninitialized)
    , m_requestDueMs(requestDueMs)
{
    m_clock.start();
    if (m_requestDueMs > 0)
        m_messageStartMs = 0;
}

void FramedTcpConnection::noteFed(qint64 bytes)
{
    if (m_watch.atRest()) {
        m_messageStartMs = -1;
        m_requestDueMs = 0;
        return;
    }
    if (m_messageStartMs < 0) {
        m_messageStartMs = m_clock.elapsed();
        m_messageBytes = 0;
    }
    m_messageBytes += bytes;
}

qint64 FramedTcpConnection::msLeftForMessage()
{
    if (m_messageStartMs < 0 || m_watch.verdict() != PduFramingWatch::Verdict::Passing)
        return -1;
    const MessageBound bound = messageBound();
    const qint64 allowed = m_requestDueMs > 0 ? m_requestDueMs + m_messageBytes * 1000 / bound.bytesPerSecond
                                              : bound.allowedMs(m_messageBytes);
    const qint64 left = m_messageStartMs + allowed - m_clock.elapsed();
    if (left > 0)
        return left;
    m_watch.cutOff(PduFramingWatch::Verdict::TooSlow);
    m_verdict->store(m_watch.verdict());
    return 0;
}

bool FramedTcpConnection::haveSomethingToHand() const
{
    return m_handedOn < m_reframed.size() || m_watch.verdict() != PduFramingWatch::Verdict::Passing
        || m_readResult <= 0;
}

bool FramedTcpConnection::takeFromSocket()
{
    const ssize_t got = DcmTCPConnection::read(m_incoming.data(), size_t(m_incoming.size()));
    if (got <= 0) {
        m_readErrno = errno;
        // Interrupted: nothing is lost, the next read tries again.
        m_readResult = got < 0 && m_readErrno == EINTR ? 1 : got;
        return false;
    }
    if (m_handedOn == m_reframed.size()) {
        m_reframed.resize(0); // keeps its room
        m_handedOn = 0;
    }
    if (!m_watch.feed(m_incoming.constData(), got, &m_reframed))
        m_verdict->store(m_watch.verdict());
    noteFed(got);
    return true;
}

ssize_t FramedTcpConnection::read(void* buf, size_t nbyte)
{
    // Inside a data fragment, whose bytes go on unchanged, they are read straight into DCMTK's buffer:
    // an image is copied no more often than without the watch.
    const qint64 ahead = m_watch.dataBytesAhead();
    if (ahead > 0 && m_handedOn == m_reframed.size() && m_readResult > 0) {
        const ssize_t got = DcmTCPConnection::read(buf, size_t(qMin<qint64>(ahead, qint64(nbyte))));
        if (got > 0) {
            m_watch.feed(static_cast<const char*>(buf), got);
            noteFed(got);
        }
        return got;
    }
    while (!haveSomethingToHand()) {
        if (!takeFromSocket() && m_readResult > 0) {
            errno = EINTR; // DCMTK reads again
            return -1;
        }
    }
    const qsizetype ready = m_reframed.size() - m_handedOn;
    if (ready > 0) {
        const qsizetype n = qMin(ready, qsizetype(nbyte));
        std::memcpy(buf, m_reframed.constData() + m_handedOn, size_t(n));
        m_handedOn += n;
        return ssize_t(n);
    }
    if (m_watch.verdict() != PduFramingWatch::Verdict::Passing) {
        // Not EINTR, which DCMTK would read again after.
        errno = ECONNABORTED;
        return -1;
    }
    errno = m_readErrno;
    return m_readResult;
}

OFBool FramedTcpConnection::networkDataAvailable(int timeout)
{
    const QDeadlineTimer deadline(qint64(qMax(timeout, 0)) * 1000);
    // DCMTK asks before each read, so a message that overstays its bound is refused here even while
    // its fragments keep coming: the refusal is what the next read hands on.
    if (msLeftForMessage() == 0)
        return OFTrue;
    // A data fragment's bytes are there as soon as the socket has them; read then, straight.
    const bool straight = m_watch.dataBytesAhead() > 0 && m_handedOn == m_reframed.size() && m_readResult > 0;
    while (!haveSomethingToHand()) {
        if (m_stopWaiting && m_stopWaiting())
            return OFFalse;
        // Looked at again every so often while it may stop the wait, and when the message's bound ends.
        qint64 slice = m_stopWaiting ? qMin<qint64>(deadline.remainingTime(), kStopWaitingCheckMs)
                                     : deadline.remainingTime();
        const qint64 messageLeft = msLeftForMessage();
        if (messageLeft == 0)
            return OFTrue;
        if (messageLeft > 0)
            slice = slice < 0 ? messageLeft : qMin(slice, messageLeft);
        pollfd socket{getSocket(), POLLIN, 0};
        const int ready = ::poll(&socket, 1, int(slice));
        if (ready < 0 && errno != EINTR)
            return OFFalse;
        if (ready > 0 && straight)
            return OFTrue;
        if (ready > 0)
            takeFromSocket();
        if (!haveSomethingToHand() && deadline.hasExpired())
            return OFFalse;
    }
    return OFTrue;
}

} // namespace pacs

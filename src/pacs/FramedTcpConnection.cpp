#include "pacs/FramedTcpConnection.h"

#include "pacs/NetworkTuning.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <climits>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>

namespace pacs {

namespace {
// One socket read takes up to a whole PDU of the largest size the program accepts.
constexpr qsizetype kReadBytes = 128 * 1024 + 6;
// How often a wait looks again whether it is to end for a reason outside the connection (a stop,
// another sender waiting for a place).
constexpr qint64 kLookAgainMs = 200;

int pollMs(qint64 ms)
{
    return ms < 0 ? -1 : int(qMin<qint64>(ms, INT_MAX));
}
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
        m_creditRefused = false;
        m_messageCapMs = -1;
        m_restSinceMs = -1;
        return;
    }
    if (m_messageStartMs < 0) {
        m_messageStartMs = m_clock.elapsed();
        m_creditedBytes = 0;
        m_restSinceMs = -1;
    }
    if (!m_creditRefused)
        m_creditedBytes += bytes;
}

void FramedTcpConnection::refuseMoreTime()
{
    if (m_messageStartMs < 0)
        return;
    m_creditRefused = true;
    const qint64 cap = m_clock.elapsed() + messageBound().baseMs;
    m_messageCapMs = m_messageCapMs < 0 ? cap : qMin(m_messageCapMs, cap);
}

qint64 FramedTcpConnection::cutOff(PduFramingWatch::Verdict verdict)
{
    m_watch.cutOff(verdict);
    m_verdict->store(m_watch.verdict());
    return 0;
}

qint64 FramedTcpConnection::msLeftForMessage()
{
    if (m_messageStartMs < 0 || m_watch.verdict() != PduFramingWatch::Verdict::Passing)
        return -1;
    const MessageBound bound = messageBound();
    const qint64 credit = m_creditedBytes * 1000 / bound.bytesPerSecond;
    const qint64 now = m_clock.elapsed();
    const auto due = [&](qint64 baseMs) {
        const qint64 at = m_messageStartMs + baseMs + credit;
        return m_messageCapMs < 0 ? at : qMin(at, m_messageCapMs);
    };
    const qint64 left = due(m_requestDueMs > 0 ? m_requestDueMs : bound.baseMs) - now;
    if (left <= 0)
        return cutOff(PduFramingWatch::Verdict::TooSlow);
    if (!m_placeWanted || m_requestDueMs > 0)
        return left;
    const qint64 placeLeft = due(acceptorPlaceBoundMs()) - now;
    if (placeLeft > 0)
        return qMin(left, placeLeft);
    if (m_placeWanted())
        return cutOff(PduFramingWatch::Verdict::HeldPlace);
    return qMin(left, kLookAgainMs);
}

bool FramedTcpConnection::restOverstayed()
{
    if (!m_placeWanted || m_keptSomething || m_messageStartMs >= 0)
        return false;
    const qint64 now = m_clock.elapsed();
    if (m_restSinceMs < 0)
        m_restSinceMs = now;
    return now - m_restSinceMs >= acceptorPlaceBoundMs() && m_placeWanted();
}

bool FramedTcpConnection::haveSomethingToHand() const
{
    return m_handedOn < m_reframed.size() || m_watch.verdict() != PduFramingWatch::Verdict::Passing
        || m_readResult <= 0;
}

ssize_t FramedTcpConnection::receive(void* buf, size_t nbyte)
{
    for (;;) {
        // Without waiting: a wait for the bytes of a message is held to the message's bound, also
        // inside a fragment, where DCMTK reads on until the fragment is whole.
        const ssize_t got = ::recv(getSocket(), buf, nbyte, MSG_DONTWAIT);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return got;
        for (;;) {
            const qint64 left = msLeftForMessage();
            if (left == 0) {
                errno = ECONNABORTED;
                return -1;
            }
            pollfd socket{getSocket(), POLLIN, 0};
            if (::poll(&socket, 1, pollMs(left)) != 0)
                break; // something came, or the read tells what went wrong
        }
    }
}

bool FramedTcpConnection::takeFromSocket()
{
    const ssize_t got = receive(m_incoming.data(), size_t(m_incoming.size()));
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
        const ssize_t got = receive(buf, size_t(qMin<qint64>(ahead, qint64(nbyte))));
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
        // Told as a wait that ended with nothing: DCMTK then ends the association.
        if (restOverstayed())
            return OFFalse;
        // Looked at again every so often while something outside may end the wait, and when the
        // message's bound ends.
        qint64 slice = m_stopWaiting || m_placeWanted ? qMin<qint64>(deadline.remainingTime(), kLookAgainMs)
                                                      : deadline.remainingTime();
        const qint64 messageLeft = msLeftForMessage();
        if (messageLeft == 0)
            return OFTrue;
        if (messageLeft > 0)
            slice = slice < 0 ? messageLeft : qMin(slice, messageLeft);
        pollfd socket{getSocket(), POLLIN, 0};
        const int ready = ::poll(&socket, 1, pollMs(slice));
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

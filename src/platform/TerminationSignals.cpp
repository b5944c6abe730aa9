#include "platform/TerminationSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// A handler may do almost nothing: it writes the signal's number into a pipe that the event loop
// watches.
int s_pipe[2] = {-1, -1};
struct sigaction s_previous[std::size(kSignals)];
// Set by the handler: a lock-free atomic may be written there.
std::atomic_bool s_requested{false};
static_assert(std::atomic_bool::is_always_lock_free);

void onSignal(int number)
{
    const int saved = errno;
    s_requested.store(true);
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    if (s_pipe[0] >= 0 || ::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    s_requested.store(false);
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &action, &s_previous[i]);
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        ::sigaction(kSignals[i], &s_previous[i], nullptr);
    delete m_notifier;
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
    s_requested.store(false);
}

bool TerminationSignals::requested()
{
    return s_requested.load();
}

void TerminationSignals::readPending()
{
    char byte = 0;
    while (::read(s_pipe[0], &byte, 1) == 1)
        emit terminationRequested(int(byte));
}

} // namespace platform

#include "pacs/RetrieveStallClock.h"

namespace pacs {

void RetrieveStallClock::start(int timeoutSeconds)
{
    m_timeoutSeconds = timeoutSeconds;
    m_sinceProgress.start();
}

void RetrieveStallClock::progressed()
{
    m_sinceProgress.start();
}

bool RetrieveStallClock::stalled() const
{
    return m_timeoutSeconds > 0 && m_sinceProgress.isValid() &&
           m_sinceProgress.elapsed() >= qint64(m_timeoutSeconds) * 1000;
}

bool RetrieveStallClock::endsSession(const std::atomic_bool* cancel, bool* stalledNow) const
{
    if (cancel && cancel->load())
        return true;
    *stalledNow = stalled();
    return *stalledNow;
}

} // namespace pacs

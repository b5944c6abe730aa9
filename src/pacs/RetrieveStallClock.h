#pragma once
// A server that answers a retrieve with "pending" again and again while no object comes would hold
// the retrieve for ever: every answer starts the DIMSE time-out anew. The clock runs from the request
// and from each sign of progress; a retrieve ends once it has run for the DIMSE time-out.

#include <QElapsedTimer>

#include <atomic>

namespace pacs {

class RetrieveStallClock
{
  public:
    // No time-out (0 seconds): never stalled.
    void start(int timeoutSeconds);
    void progressed();
    bool stalled() const;
    // Whether a session ends at a "pending" answer: on a cancel (set from another thread), or once
    // stalled, which `stalledNow` then tells.
    bool endsSession(const std::atomic_bool* cancel, bool* stalledNow) const;
    int timeoutSeconds() const { return m_timeoutSeconds; }

  private:
    QElapsedTimer m_sinceProgress;
    int m_timeoutSeconds = 0;
};

} // namespace pacs

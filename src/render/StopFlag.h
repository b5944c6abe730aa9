#pragma once
// Long builds look at a flag that their owner may raise to have them end early, for instance when the
// window that waits for the result is closed. A build that stops returns its empty result.

#include <atomic>

namespace render {

inline bool stopRequested(const std::atomic_bool* stop)
{
    return stop && stop->load(std::memory_order_relaxed);
}

} // namespace render

#include "render/ParallelFor.h"

#include <atomic>

namespace render {

namespace {
std::atomic<int> g_threadOverride{0};
}

int workerThreadCountFor(unsigned reported)
{
    const unsigned count = reported == 0 ? 4u : reported;
    return static_cast<int>(std::clamp(count, 1u, 16u));
}

int workerThreadCount()
{
    const int forced = g_threadOverride.load(std::memory_order_relaxed);
    if (forced > 0)
        return workerThreadCountFor(static_cast<unsigned>(forced));
    return workerThreadCountFor(std::thread::hardware_concurrency());
}

void setWorkerThreadCountOverride(int threads)
{
    g_threadOverride.store(threads > 0 ? threads : 0, std::memory_order_relaxed);
}

ScopedWorkerThreadCount::ScopedWorkerThreadCount(int threads)
    : m_previous(g_threadOverride.load(std::memory_order_relaxed))
{
    setWorkerThreadCountOverride(threads);
}

ScopedWorkerThreadCount::~ScopedWorkerThreadCount()
{
    setWorkerThreadCountOverride(m_previous);
}

} // namespace render

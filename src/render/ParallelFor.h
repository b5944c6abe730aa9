#pragma once

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace render {

// Number of worker threads the imaging core uses for a platform that reports `reported` hardware
// threads: 0 (unknown) counts as 4, and the result is clamped to 1..16.
int workerThreadCountFor(unsigned reported);

// The thread count used by every parallel kernel of the imaging core: the override when one is set,
// otherwise workerThreadCountFor(std::thread::hardware_concurrency()).
int workerThreadCount();

// Replaces the hardware thread count for the whole process (tests and benchmarks compare one thread
// with many). 0 removes the override. Values above 16 are clamped like a reported count.
void setWorkerThreadCountOverride(int threads);

// Keeps an override for the lifetime of the object and restores the previous one afterwards.
class ScopedWorkerThreadCount
{
public:
    explicit ScopedWorkerThreadCount(int threads);
    ~ScopedWorkerThreadCount();
    ScopedWorkerThreadCount(const ScopedWorkerThreadCount&) = delete;
    ScopedWorkerThreadCount& operator=(const ScopedWorkerThreadCount&) = delete;

private:
    int m_previous;
};

// Runs kernel(begin, end) over [0, rows) on `threads` threads (already clamped by the caller).
// Small jobs stay on the calling thread so that thread start-up does not dominate interactive work.
// Each thread gets its own copy of the kernel, so shared state must be captured by reference.
template<typename Kernel>
void parallelForThreads(int threads, int rows, const Kernel& kernel)
{
    if (threads < 2 || rows < 2 * threads) {
        Kernel local = kernel;
        local(0, rows);
        return;
    }
    const int chunk = (rows - 1 + threads) / threads;
    std::vector<std::thread> started;
    started.reserve(static_cast<size_t>(threads));
    int inlineFrom = -1;
    for (int i = 0; i < threads; ++i) {
        const int begin = i * chunk;
        const int end = std::min(begin + chunk, rows);
        if (begin >= end)
            break;
        try {
            started.emplace_back([kernel, begin, end]() mutable { kernel(begin, end); });
        } catch (const std::system_error&) {
            // The platform refused another thread: the rest runs here, after the started ones join.
            inlineFrom = begin;
            break;
        }
    }
    if (inlineFrom >= 0) {
        for (int begin = inlineFrom; begin < rows; begin += chunk) {
            Kernel local = kernel;
            local(begin, std::min(begin + chunk, rows));
        }
    }
    for (std::thread& t : started)
        t.join();
}

// The imaging core's one rule for splitting row work over threads (see workerThreadCount()).
template<typename Kernel>
void parallelFor(int rows, const Kernel& kernel)
{
    parallelForThreads(workerThreadCount(), rows, kernel);
}

} // namespace render

// Threads for the parallel stages, without a runtime that spins between
// them: each stage starts its threads and joins them, and no thread ever
// waits at a barrier while another process holds its core.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace fastlic {

// The cores this process may run on.
int availableCores();

// How many threads the parallel stages use: set by the run (--threads),
// every available core by default.
int threadCount();
void setThreadCount(int threads);  // 0: every available core

// Runs work(t) for t = 0..threads-1, on the calling thread and threads - 1
// others; returns when all are done and rethrows the first exception.
template <typename Work>
void onThreads(int threads, Work work) {
    if (threads <= 1) {
        work(0);
        return;
    }
    std::exception_ptr fault;
    std::mutex faultLock;
    const auto guarded = [&](int t) {
        try {
            work(t);
        } catch (...) {
            std::lock_guard lock(faultLock);
            if (!fault) fault = std::current_exception();
        }
    };
    std::vector<std::thread> others;
    others.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) others.emplace_back(guarded, t);
    guarded(0);
    for (auto& th : others) th.join();
    if (fault) std::rethrow_exception(fault);
}

// body(begin, end) over [0, n) in chunks of `chunk`, shared out on threads.
template <typename Body>
void parallelFor(std::int64_t n, std::int64_t chunk, int threads, Body body) {
    const std::int64_t chunks = (n + chunk - 1) / chunk;
    std::atomic<std::int64_t> next{0};
    onThreads(static_cast<int>(std::min<std::int64_t>(threads, chunks)), [&](int) {
        for (std::int64_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < chunks;)
            body(c * chunk, std::min(n, (c + 1) * chunk));
    });
}

}  // namespace fastlic

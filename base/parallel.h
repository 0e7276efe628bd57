// Threads for the parallel stages. The workers are kept for the whole
// process: on this kind of machine a thread started or woken on an idle core
// can take milliseconds to run, as long as a whole stage of a small grid.
// Between stages a worker spins for a moment and then sleeps, so it never
// holds a core for long that another process wants.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fastlic {

// The cores this process may run on.
int availableCores();

// Physical memory, or the control group's limit when that is lower. Linux
// lends memory it does not have, so an allocation beyond this succeeds and
// the process is then killed while filling it.
std::uint64_t memoryLimit();
// bytes for messages: "2.3 GB".
std::string gigabytes(std::uint64_t bytes);

// The threads a stage asked for `requested` runs on: that many, or every
// available core for 0. Every caller passes its count down; there is no
// process-wide setting.
int threadCount(int requested = 0);

namespace detail {
// Runs work(t) for t = 0..threads-1: t = 0 on the calling thread, the others
// on the process's workers, or on threads of their own while the workers
// are taken (a stage started from within a stage, or from two threads).
// work must not throw.
void runOnThreads(int threads, const std::function<void(int)>& work);
}  // namespace detail

// Starts the workers for `threads` ahead of the first stage, so that they
// are running by the time it begins.
void prepareThreads(int threads);

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
    detail::runOnThreads(threads, guarded);
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

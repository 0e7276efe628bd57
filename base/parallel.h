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

// Where threads wait for each other inside a stage. A waiter spins for a
// moment, since what it waits for usually comes within microseconds, then
// sleeps, so that it never holds a core for long that a thread with work,
// or another process, wants. Whoever changes what a waiter looks at calls
// notify() afterwards; it costs a system call only while someone sleeps.
class Doorbell {
public:
    void notify();
    // Returns once done() holds; done() is looked at again after each
    // notify(). Without `spin` (more threads than cores, where spinning
    // keeps the thread with work from running) it goes to sleep at once.
    template <typename Done>
    void waitUntil(Done done, bool spin = true) {
        if (done()) return;
        const std::int64_t start = spin ? spinClock() : 0;
        for (unsigned n = 1; spin; ++n) {
            spinPause();
            if (done()) return;
            if (n % 64 == 0 && spinClock() - start > spinNanos) break;
        }
        for (;;) {
            const std::uint32_t seen = rings_.load(std::memory_order_seq_cst);
            sleepers_.fetch_add(1, std::memory_order_seq_cst);
            const bool ready = done();
            if (!ready) sleep(seen);
            sleepers_.fetch_sub(1, std::memory_order_relaxed);
            if (ready || done()) return;
        }
    }

    // How long a waiter spins before it sleeps: about what waking a
    // sleeping thread costs, so that spinning never wastes much more than
    // sleeping would.
    static constexpr std::int64_t spinNanos = 100'000;

private:
    static std::int64_t spinClock();
    static void spinPause();
    void sleep(std::uint32_t seen);

    std::atomic<std::uint32_t> rings_{0};
    std::atomic<std::uint32_t> sleepers_{0};
};

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

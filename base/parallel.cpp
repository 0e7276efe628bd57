#include "base/parallel.h"

#include <cstdio>

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include <chrono>
#include <fstream>
#include <cstdint>
#include <memory>
#include <system_error>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace fastlic {

namespace {

void pause() {
#if defined(__SSE2__)
    _mm_pause();
#endif
}

// Futexes on the words themselves (std::atomic's own wait is not used: in
// this library version it can miss a wake-up).
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void sleepWhile(const std::atomic<std::uint32_t>& word, std::uint32_t old) {
    syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, old, nullptr, nullptr, 0);
}

void wakeAll(std::atomic<std::uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Waits until word differs from `old`: when `spin`, spinning for a while
// first, since the next stage usually follows within microseconds, then
// asleep. Threads beyond the cores never spin: they would keep the threads
// that have work from running.
std::uint32_t awaitChange(const std::atomic<std::uint32_t>& word, std::uint32_t old, bool spin) {
    using Clock = std::chrono::steady_clock;
    constexpr auto spinFor = std::chrono::nanoseconds(Doorbell::spinNanos);
    const auto start = Clock::now();
    for (unsigned n = 1; spin; ++n) {
        const std::uint32_t now = word.load(std::memory_order_acquire);
        if (now != old) return now;
        pause();
        if (n % 64 == 0 && Clock::now() - start > spinFor) break;
    }
    for (;;) {
        sleepWhile(word, old);
        const std::uint32_t now = word.load(std::memory_order_acquire);
        if (now != old) return now;
    }
}

class Pool {
public:
    static Pool& instance() {
        // Never destroyed: the workers live as long as the process. A child
        // made by fork has none of them and starts afresh.
        static const bool made = [] {
            current = new Pool;
            pthread_atfork(nullptr, nullptr, [] { current = new Pool; });
            return true;
        }();
        (void)made;
        return *current;
    }

    // Workers 1..threads-1 exist and wait for work.
    void reserve(int threads) {
        std::lock_guard lock(growing_);
        while (static_cast<int>(workers_) + 1 < threads) start(static_cast<int>(++workers_));
    }

    // False when the workers are taken.
    bool run(int threads, const std::function<void(int)>& work) {
        std::unique_lock lock(running_, std::try_to_lock);
        if (!lock || threads > 0xffff) return false;
        reserve(threads);
        job_ = &work;
        pending_.store(static_cast<std::uint32_t>(threads - 1), std::memory_order_relaxed);
        const std::uint32_t generation = (state_.load(std::memory_order_relaxed) >> 16) + 1;
        state_.store(generation << 16 | static_cast<std::uint32_t>(threads), std::memory_order_release);
        wakeAll(state_);
        work(0);
        for (std::uint32_t left; (left = pending_.load(std::memory_order_acquire)) != 0;) awaitChange(pending_, left, threads <= availableCores());
        return true;
    }

private:
    Pool() = default;

    struct Start {
        Pool* pool;
        int index;
        std::uint32_t seen;
    };

    // A new worker starts on another core than the caller's (the scheduler
    // would first queue it behind the caller), then may run anywhere.
    void start(int index) {
        cpu_set_t allowed;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1) {
            const int here = sched_getcpu();
            int candidates = 0;
            for (int c = 0; c < CPU_SETSIZE; ++c) candidates += CPU_ISSET(c, &allowed) && c != here;
            int pick = (index - 1) % candidates;
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &allowed) && c != here && pick-- == 0) {
                    cpu_set_t one;
                    CPU_ZERO(&one);
                    CPU_SET(c, &one);
                    pthread_attr_setaffinity_np(&attr, sizeof one, &one);
                    break;
                }
        }
        // The job it first waits for comes after the state now: it may
        // begin to run only once that job is published.
        auto* args = new Start{this, index, state_.load(std::memory_order_acquire)};
        pthread_t thread;
        if (pthread_create(&thread, &attr, &Pool::main, args) != 0) {
            pthread_attr_destroy(&attr);
            delete args;
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "cannot start a thread");
        }
        pthread_attr_destroy(&attr);
        pthread_detach(thread);
    }

    static void* main(void* raw) {
        const std::unique_ptr<Start> args(static_cast<Start*>(raw));
        Pool& pool = *args->pool;
        const int index = args->index;
        cpu_set_t allowed;
        if (sched_getaffinity(getpid(), sizeof allowed, &allowed) == 0)
            pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
        std::uint32_t seen = args->seen;
        const int cores = availableCores();
        // Spin only while the worker takes part in stages that fit the cores.
        bool spin = index < cores;
        for (;;) {
            seen = awaitChange(pool.state_, seen, spin);
            const int threads = static_cast<int>(seen & 0xffff);
            spin = index < threads && threads <= cores;
            // job_ stays until every worker with a part in it is done.
            if (index >= threads) continue;
            (*pool.job_)(index);
            if (pool.pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) wakeAll(pool.pending_);
        }
        return nullptr;
    }

    static inline Pool* current = nullptr;

    std::mutex running_;  // one stage at a time on the workers
    std::mutex growing_;
    unsigned workers_ = 0;
    const std::function<void(int)>* job_ = nullptr;
    std::atomic<std::uint32_t> pending_{0};  // workers still at the current job
    // The job's number (high bits, wrapping) and its thread count (low 16
    // bits), in one word so that a worker never pairs one job's number with
    // another's count.
    std::atomic<std::uint32_t> state_{0};
};

}  // namespace

void Doorbell::notify() {
    rings_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0) wakeAll(rings_);
}

void Doorbell::sleep(std::uint32_t seen) { sleepWhile(rings_, seen); }

std::int64_t Doorbell::spinClock() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Doorbell::spinPause() { pause(); }

namespace detail {

void runOnThreads(int threads, const std::function<void(int)>& work) {
    if (Pool::instance().run(threads, work)) return;
    std::vector<std::thread> others;
    others.reserve(static_cast<std::size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) others.emplace_back(work, t);
    work(0);
    for (auto& th : others) th.join();
}

}  // namespace detail

void prepareThreads(int threads) { Pool::instance().reserve(threads); }

int availableCores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

std::string gigabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

std::uint64_t memoryLimit() {
    std::uint64_t limit = UINT64_MAX;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        limit = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    for (const char* file : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        std::ifstream in(file);
        std::uint64_t value = 0;
        if (in >> value && value > 0 && value < limit) limit = value;
    }
    return limit;
}

int threadCount(int requested) { return requested > 0 ? requested : availableCores(); }

}  // namespace fastlic

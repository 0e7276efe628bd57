// The schedule of the convolution. A seed's contributions depend only on
// the field, so bands of rows are worked out on every thread, ahead of one
// in-order pass that decides seeding (hit count below the limit) and adds
// the contributions in scan order; every pixel thus receives the same
// additions in the same order as in the step-by-step reference.
//
// Threads take bands from a counter and work them out into a ring of
// slots; whichever thread finds the oldest band done adds it in (one at a
// time, under a lock taken without waiting). No thread waits at a barrier
// in between, which matters when another process holds one of the cores.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "util/zeroed_buffer.h"
#include "lic/fast_lic.h"
#include "util/parallel.h"
#include "lic/seed_kernel.h"

namespace fastlic {

namespace {

using detail::SeedContributions;

// Work of one band: the seeds of rows [first, last) still below the hit
// limit when the band is begun. Hit counts only grow, so a pixel already
// at the limit then cannot be seeded later; its slot is marked empty.
void workOutBand(const detail::PreparedField& field, const std::int32_t* hits, std::int32_t first,
                 std::int32_t last, SeedContributions* slots, std::vector<std::int32_t>& pending) {
    const std::int32_t cols = field.cols;
    const std::int64_t base = static_cast<std::int64_t>(first) * cols;
    const auto seeds = static_cast<std::int32_t>(static_cast<std::int64_t>(last - first) * cols);
    pending.clear();
    for (std::int32_t s = 0; s < seeds; ++s) {
        // Read while the adding pass writes other cells of the grid.
        const std::int32_t h =
            std::atomic_ref<const std::int32_t>(hits[base + s]).load(std::memory_order_relaxed);
        if (h < hitLimit)
            pending.push_back(s);
        else
            slots[s].size = -1;
    }
    const int batch = detail::lockstepBatch();
    std::size_t n = 0;
    if (field.pad > 0) {
        // The last batch is filled up with its last seed, worked out into a
        // spare record.
        SeedContributions spare;
        for (; n < pending.size(); n += static_cast<std::size_t>(batch)) {
            std::int32_t r[detail::maxLockstepBatch], c[detail::maxLockstepBatch];
            SeedContributions* out[detail::maxLockstepBatch];
            for (int b = 0; b < batch; ++b) {
                const bool real = n + static_cast<std::size_t>(b) < pending.size();
                const std::int32_t s = pending[real ? n + static_cast<std::size_t>(b) : pending.size() - 1];
                r[b] = first + s / cols;
                c[b] = s % cols;
                out[b] = real ? &slots[s] : &spare;
            }
            detail::lockstepSeedContributions(field, r, c, out);
        }
    }
    for (; n < pending.size(); ++n) {
        const std::int32_t s = pending[n];
        detail::seedContributions(field, first + s / cols, s % cols, slots[s]);
    }
}

// The in-order pass over one band: seed where the count is still below
// the limit, then add the seed's contributions in their order.
void addBand(std::int32_t* hits, double* sums, std::int64_t base, std::int32_t seeds,
             const SeedContributions* slots) {
    for (std::int32_t s = 0; s < seeds; ++s) {
        if (hits[base + s] >= hitLimit) continue;
        const SeedContributions& c = slots[s];
#pragma GCC unroll 19
        for (std::int32_t n = 0; n < c.size; ++n) {
            sums[c.cells[n]] = sums[c.cells[n]] + c.values[n];
            std::atomic_ref<std::int32_t>(hits[c.cells[n]])
                .store(hits[c.cells[n]] + 1, std::memory_order_relaxed);
        }
    }
}

}  // namespace

void computeFastLic(RegGrid& grid, int threads, const std::function<void(double)>& progress) {
    if (grid.cellCount() > static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("grid too large: more than 2^31 - 1 cells");
    if (threads <= 0) threads = threadCount();

    detail::PreparedField field;
    detail::prepareField(grid, field, threads);

    const std::int32_t rows = grid.rows;
    const std::int32_t cols = grid.cols;
    std::int32_t* hits = grid.hitCounts.data();
    double* sums = grid.licSums.data();

    // About five hundred seeds a band; a few bands a thread in the ring.
    const std::int32_t bandRows = std::clamp<std::int32_t>(512 / cols, 1, rows);
    const std::int32_t bands = (rows + bandRows - 1) / bandRows;
    const std::int32_t ringSize = std::min(bands, 3 * threads);
    const std::size_t slotsPerBand = static_cast<std::size_t>(bandRows) * cols;
    // Mapped whole at once; every slot is written before it is read.
    ZeroedBuffer<SeedContributions> ring(slotsPerBand * static_cast<std::size_t>(ringSize));
    // ready[k]: the band whose contributions ring entry k holds, -1 before any.
    std::vector<std::atomic<std::int32_t>> ready(static_cast<std::size_t>(ringSize));
    for (auto& r : ready) r.store(-1, std::memory_order_relaxed);
    std::atomic<std::int32_t> nextBand{0};
    std::atomic<std::int32_t> added{0};  // bands added in, in order
    std::mutex adding;
    const std::int32_t progressEvery = std::max(1, bands / 100);

    const auto slotsOf = [&](std::int32_t band) {
        return ring.data() + slotsPerBand * static_cast<std::size_t>(band % ringSize);
    };
    // Adds in every band that is done and next in order; gives way at once
    // when another thread is at it.
    const auto addDoneBands = [&] {
        std::unique_lock lock(adding, std::try_to_lock);
        if (!lock) return;
        for (std::int32_t b = added.load(std::memory_order_relaxed);
             b < bands && ready[static_cast<std::size_t>(b % ringSize)].load(std::memory_order_acquire) == b;
             ++b) {
            const std::int32_t first = b * bandRows;
            const std::int32_t last = std::min(rows, first + bandRows);
            addBand(hits, sums, static_cast<std::int64_t>(first) * cols, (last - first) * cols,
                    slotsOf(b));
            added.store(b + 1, std::memory_order_release);
            if (progress && ((b + 1) % progressEvery == 0 || b + 1 == bands))
                progress(static_cast<double>(b + 1) / bands);
        }
    };

    onThreads(threads, [&](int) {
        std::vector<std::int32_t> pending;
        for (std::int32_t b; (b = nextBand.fetch_add(1, std::memory_order_relaxed)) < bands;) {
            // The ring entry is free once the band ringSize earlier is added.
            while (b - added.load(std::memory_order_acquire) >= ringSize) {
                addDoneBands();
                std::this_thread::yield();
            }
            const std::int32_t first = b * bandRows;
            workOutBand(field, hits, first, std::min(rows, first + bandRows), slotsOf(b), pending);
            ready[static_cast<std::size_t>(b % ringSize)].store(b, std::memory_order_release);
            addDoneBands();
        }
        while (added.load(std::memory_order_acquire) < bands) {
            addDoneBands();
            std::this_thread::yield();
        }
    });

    averageLicSums(grid);
}

// Each cell on its own, so the rows can be shared out among threads.
void averageLicSums(RegGrid& grid) {
    parallelFor(grid.rows, 64, threadCount(), [&](std::int64_t begin, std::int64_t end) {
        for (auto i = static_cast<std::int32_t>(begin); i < end; ++i)
            for (std::int32_t j = 0; j < grid.cols; ++j)
                grid.licSums[i][j] = grid.licSums[i][j] / static_cast<double>(grid.hitCounts[i][j]);
    });
}

}  // namespace fastlic

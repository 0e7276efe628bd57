// The schedule of the convolution. A seed's contributions depend only on
// the field, so bands of rows are worked out in parallel; only the decision
// to seed (hit count below the limit) and the adding of contributions are
// sequential, and they happen in one pass in scan order, so every pixel
// receives the same additions in the same order as in the reference.
#include <omp.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "lic/fast_lic.h"
#include "lic/seed_kernel.h"

namespace fastlic {

namespace {

using detail::SeedContributions;

// Rows per band: enough seeds to share out among the threads, few enough
// that the buffer stays small (a seed's contributions take 232 bytes).
std::int32_t bandRows(std::int32_t cols, int threads) {
    const std::int64_t seedsWanted = std::int64_t{8192} * threads;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(seedsWanted / cols, 1, 64));
}

}  // namespace

void computeFastLic(RegGrid& grid, int threads) {
    if (grid.cellCount() > static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("grid too large: more than 2^31 - 1 cells");
    if (threads <= 0) threads = omp_get_num_procs();

    detail::PreparedField field;
    detail::prepareField(grid, field, threads);

    const std::int32_t rows = grid.rows;
    const std::int32_t cols = grid.cols;
    std::int32_t* hits = grid.hitCounts.data();
    double* sums = grid.licSums.data();
    const std::int32_t band = bandRows(cols, threads);
    // A seed's slot stays empty (size -1) when its pixel was already covered
    // before the band began: hit counts only grow, so it cannot be seeded.
    std::vector<SeedContributions> slots(static_cast<std::size_t>(band) * cols);

    // The slots of the seeds to work out in this band, in scan order.
    std::vector<std::int32_t> pending;
    constexpr int batch = detail::lockstepBatch;
    const int perTask = field.pad > 0 ? batch : 1;
    for (std::int32_t first = 0; first < rows; first += band) {
        const std::int32_t last = std::min(rows, first + band);
        const std::int64_t base = static_cast<std::int64_t>(first) * cols;
        const auto seeds = static_cast<std::int32_t>(static_cast<std::int64_t>(last - first) * cols);
        pending.clear();
        for (std::int32_t s = 0; s < seeds; ++s) {
            if (hits[base + s] < hitLimit)
                pending.push_back(s);
            else
                slots[static_cast<std::size_t>(s)].size = -1;
        }
        const auto tasks = static_cast<std::int64_t>((pending.size() + perTask - 1) / perTask);
#pragma omp parallel for num_threads(threads) schedule(dynamic, 16)
        for (std::int64_t task = 0; task < tasks; ++task) {
            const std::size_t begin = static_cast<std::size_t>(task) * perTask;
            if (perTask == batch && begin + batch <= pending.size()) {
                std::int32_t r[batch], c[batch];
                SeedContributions out[batch];
                for (int b = 0; b < batch; ++b) {
                    r[b] = first + pending[begin + b] / cols;
                    c[b] = pending[begin + b] % cols;
                }
                detail::lockstepSeedContributions(field, r, c, out);
                for (int b = 0; b < batch; ++b)
                    slots[static_cast<std::size_t>(pending[begin + b])] = out[b];
            } else {
                for (std::size_t n = begin; n < std::min(begin + perTask, pending.size()); ++n) {
                    const std::int32_t s = pending[n];
                    detail::seedContributions(field, first + s / cols, s % cols,
                                              slots[static_cast<std::size_t>(s)]);
                }
            }
        }
        for (std::int64_t s = 0; s < seeds; ++s) {
            if (hits[base + s] >= hitLimit) continue;
            const SeedContributions& c = slots[static_cast<std::size_t>(s)];
            for (std::int32_t n = 0; n < c.size; ++n) {
                sums[c.cells[n]] = sums[c.cells[n]] + c.values[n];
                hits[c.cells[n]] = hits[c.cells[n]] + 1;
            }
        }
    }

    const auto cells = static_cast<std::int64_t>(grid.cellCount());
#pragma omp parallel for num_threads(threads) schedule(static)
    for (std::int64_t c = 0; c < cells; ++c) sums[c] = sums[c] / static_cast<double>(hits[c]);
}

void computeFastLic() { computeFastLic(*currentField); }

}  // namespace fastlic

// The schedule of the convolution. A seed's contributions depend only on
// the field, so bands of rows are worked out on every thread, ahead of one
// in-order pass that decides seeding (hit count below the limit) and adds
// the contributions in scan order; every pixel thus receives the same
// additions in the same order as in the step-by-step reference.
//
// Threads take bands from a counter and work them out into a ring of
// slots; a thread that finishes a band asks for the done bands to be added
// in, and adds them itself unless another thread is at it, which then
// looks again before it stops. No thread waits at a barrier in between,
// which matters when another process holds one of the cores; a thread
// waits only for a free ring entry, or at the end for the last additions.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/fast_lic.h"
#include "engine/field_lookups.h"
#include "engine/seed_kernel.h"
#include "base/parallel.h"
#include "base/zeroed_buffer.h"

namespace fastlic {

namespace {

using detail::KernelScratch;
using detail::PreparedField;
using detail::SeedOut;

// The contributions of one band's seeds: per seed its count, then room for
// 2M + 1 cells and values.
struct BandSlots {
    std::int32_t* sizes;
    std::int32_t* cells;
    double* values;
    std::int32_t capacity;
    double* cosValues = nullptr;  // animated runs only
    double* sinValues = nullptr;

    SeedOut of(std::int32_t s) const {
        const std::size_t at = static_cast<std::size_t>(s) * static_cast<std::size_t>(capacity);
        if (!cosValues) return {sizes + s, cells + at, values + at};
        return {sizes + s, cells + at, values + at, cosValues + at, sinValues + at};
    }
};

// Where an animated run adds its phase rows' means; none for a static run.
struct PhaseSums {
    double* cosine = nullptr;
    double* sine = nullptr;
};

// Work of one band: the seeds of rows [first, last) still below the hit
// limit when the band is begun. Hit counts only grow, so a pixel already
// at the limit then cannot be seeded later; its slot is marked empty.
template <typename T>
void workOutBand(const PreparedField<T>& field, const detail::LockstepKernel& kernel, const std::int32_t* hits,
                 std::int32_t first, std::int32_t last, const BandSlots& slots, std::vector<std::int32_t>& pending,
                 KernelScratch& scratch) {
    const std::int32_t cols = field.cols;
    const std::int32_t limit = field.shape.hitLimit;
    const std::int64_t base = static_cast<std::int64_t>(first) * cols;
    const auto seeds = static_cast<std::int32_t>(static_cast<std::int64_t>(last - first) * cols);
    // Seeds for the lockstep kernels, then those for the careful path.
    pending.clear();
    std::vector<std::int32_t>& careful = scratch.careful;
    careful.clear();
    const bool lockstep = field.pad > 0 && kernel.exists();
    for (std::int32_t s = 0; s < seeds; ++s) {
        // Read while the adding pass writes other cells of the grid.
        const std::int32_t h =
            std::atomic_ref<const std::int32_t>(hits[base + s]).load(std::memory_order_relaxed);
        const auto cell = static_cast<std::size_t>(base + s);
        if (h >= limit)
            slots.sizes[s] = -1;
        else if (!field.mask.empty() && field.mask[cell])
            slots.sizes[s] = 0;  // never seeded
        else if (lockstep && (field.careful.empty() || !field.careful[cell]))
            pending.push_back(s);
        else
            careful.push_back(s);
    }
    // Other threads add earlier bands meanwhile, and counts only grow: a
    // seed is looked at again as it is about to be worked out, and one at
    // the limit by then, which the adding pass would leave out, is not.
    const auto atLimit = [&](std::int32_t s) {
        if (std::atomic_ref<const std::int32_t>(hits[base + s]).load(std::memory_order_relaxed) < limit) return false;
        slots.sizes[s] = -1;
        return true;
    };
    if (lockstep) {
        const int batch = kernel.batch;
        // The last batch is filled up with its last seed, worked out into a
        // spare record.
        std::vector<std::int32_t>& spare = scratch.spare;
        const std::size_t capacity = static_cast<std::size_t>(slots.capacity);
        if (spare.size() < 1 + capacity) spare.resize(1 + capacity);
        if (scratch.spareValues.size() < 3 * capacity) scratch.spareValues.resize(3 * capacity);
        double* spareValues = scratch.spareValues.data();
        const SeedOut spareOut{spare.data(), spare.data() + 1, spareValues, spareValues + capacity,
                               spareValues + 2 * capacity};
        for (std::size_t next = 0; next < pending.size();) {
            std::int32_t r[detail::maxLockstepBatch], c[detail::maxLockstepBatch];
            SeedOut out[detail::maxLockstepBatch];
            int filled = 0;
            for (; filled < batch && next < pending.size(); ++next) {
                const std::int32_t s = pending[next];
                if (atLimit(s)) continue;
                r[filled] = first + s / cols;
                c[filled] = s % cols;
                out[filled++] = slots.of(s);
            }
            if (filled == 0) break;
            for (int b = filled; b < batch; ++b) r[b] = r[filled - 1], c[b] = c[filled - 1], out[b] = spareOut;
            kernel(field, r, c, out, scratch);
        }
    }
    for (const std::int32_t s : careful)
        if (!atLimit(s)) detail::seedContributions(field, first + s / cols, s % cols, slots.of(s), scratch);
}

// The in-order pass over one band: seed where the count is still below
// the limit, then add the seed's contributions in their order. Checked:
// stops, returning false, before a hit count would pass INT32_MAX.
// Animated: sums holds three per cell side by side (the kernel's, cos
// and sin rows), so that each contribution touches one cache line.
template <bool checked, bool animated>
bool addBand(std::int32_t* hits, double* __restrict sums, std::int64_t base, std::int32_t seeds,
             std::int32_t limit, const BandSlots& slots, std::int64_t& seeded) {
    for (std::int32_t s = 0; s < seeds; ++s) {
        if (hits[base + s] >= limit) continue;
        const SeedOut c = slots.of(s);
        const std::int32_t size = *c.size;
        seeded += size > 0;
        const std::int32_t* __restrict cells = c.cells;
        const double* __restrict values = c.values;
#pragma GCC unroll 4
        for (std::int32_t n = 0; n < size; ++n) {
            const std::int32_t cell = cells[n];
            if constexpr (checked)
                if (hits[cell] == std::numeric_limits<std::int32_t>::max()) return false;
            if constexpr (animated) {
                double* three = sums + 3 * static_cast<std::size_t>(cell);
                three[0] = three[0] + values[n];
                three[1] = three[1] + c.cosValues[n];
                three[2] = three[2] + c.sinValues[n];
            } else {
                sums[cell] = sums[cell] + values[n];
            }
            std::atomic_ref<std::int32_t>(hits[cell]).store(hits[cell] + 1, std::memory_order_relaxed);
        }
    }
    return true;
}

struct RingShape {
    std::int32_t bandRows, bands, size;
};

// About five hundred seeds a band; a few bands a thread in the ring.
RingShape ringShape(std::int32_t rows, std::int32_t cols, int threads) {
    const std::int32_t bandRows = std::clamp<std::int32_t>(512 / cols, 1, rows);
    const std::int32_t bands = (rows + bandRows - 1) / bandRows;
    return {bandRows, bands, std::min(bands, 3 * threads)};
}

// Sums and hits start zero; so do the phase sums of an animated run (of
// the wave, its length worked out). The field's steps from the view, or
// from steps where given.
template <typename T>
std::int64_t convolve(const FieldView& view, const Plane<T>& texture, const LicParams& params, double* sums,
              std::int32_t* hits, const RunOptions& options, PhaseSums phase = {}, Wave wave = {},
              const StepTable* steps = nullptr) {
    const int threads = options.threads > 0 ? options.threads : availableCores();
    PreparedField<T> field;
    if (steps)
        detail::prepareField(*steps, texture, field);
    else
        detail::prepareField(view, texture, params, field, threads);
    const bool animated = phase.cosine != nullptr;
    if (animated) detail::prepareAnimation(field, params, wave);
    const detail::LockstepKernel kernel = detail::lockstepKernel(field.mode, options.instructionSet);

    const std::int32_t rows = view.rows;
    const std::int32_t cols = view.cols;
    const std::int32_t capacity = field.shape.contributions();
    const std::int32_t limit = field.shape.hitLimit;

    const RingShape ring = ringShape(rows, cols, threads);
    const std::int32_t bandRows = ring.bandRows;
    const std::int32_t bands = ring.bands;
    const std::int32_t ringSize = ring.size;
    const std::size_t slotsPerBand = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(cols);
    const std::size_t ringSlots = slotsPerBand * static_cast<std::size_t>(ringSize);
    // Mapped whole at once; every slot is written before it is read.
    ZeroedBuffer<std::int32_t> ringSizes(ringSlots);
    ZeroedBuffer<std::int32_t> ringCells(ringSlots * static_cast<std::size_t>(capacity));
    ZeroedBuffer<double> ringValues(ringSlots * static_cast<std::size_t>(capacity));
    ZeroedBuffer<double> ringPhase(animated ? 2 * ringSlots * static_cast<std::size_t>(capacity) : 0);
    ZeroedBuffer<double> three(animated ? 3 * static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) : 0);
    // ready[k]: the band whose contributions ring entry k holds, -1 before any.
    std::vector<std::atomic<std::int32_t>> ready(static_cast<std::size_t>(ringSize));
    for (auto& r : ready) r.store(-1, std::memory_order_relaxed);
    std::atomic<std::int32_t> nextBand{0};
    std::atomic<std::int32_t> added{0};  // bands added in, in order
    std::int64_t seeded = 0;             // by whoever adds
    // Requests to add made since the adding thread last looked; the one
    // that raises it from 0 adds.
    std::atomic<std::uint32_t> requests{0};
    Doorbell progressed;  // rung when bands are added in, or the run stops
    const bool spin = threads <= availableCores();
    const std::int32_t progressEvery = std::max(1, bands / 100);
    // A pixel receives at most 2M + 1 hits from each seed, and every cell
    // is seeded at most once: below that bound no count can overflow, and
    // the adding pass need not look.
    const bool countsFit = static_cast<double>(rows) * cols * capacity <= std::numeric_limits<std::int32_t>::max();
    // Set once the run cannot finish: cancelled, or a count would overflow.
    std::atomic<bool> stopped{false};
    bool overflowed = false;  // by whoever adds
    const auto stop = [&] {
        stopped.store(true, std::memory_order_relaxed);
        progressed.notify();
    };
    const auto stopping = [&] {
        if (!stopped.load(std::memory_order_relaxed) && options.cancel &&
            options.cancel->load(std::memory_order_relaxed))
            stop();
        return stopped.load(std::memory_order_relaxed);
    };

    const auto slotsOf = [&](std::int32_t band) {
        const std::size_t first = slotsPerBand * static_cast<std::size_t>(band % ringSize);
        const std::size_t at = first * static_cast<std::size_t>(capacity);
        if (!animated)
            return BandSlots{ringSizes.data() + first, ringCells.data() + at, ringValues.data() + at, capacity};
        const std::size_t phaseAt = 2 * at;
        return BandSlots{ringSizes.data() + first, ringCells.data() + at, ringValues.data() + at, capacity,
                         ringPhase.data() + phaseAt, ringPhase.data() + phaseAt + slotsPerBand * capacity};
    };
    // Adds in every band that is done and next in order.
    const auto addReadyBands = [&] {
        for (std::int32_t b = added.load(std::memory_order_relaxed);
             b < bands && ready[static_cast<std::size_t>(b % ringSize)].load(std::memory_order_acquire) == b;
             ++b) {
            if (stopped.load(std::memory_order_relaxed)) return;
            const std::int32_t first = b * bandRows;
            const std::int32_t last = std::min(rows, first + bandRows);
            const std::int64_t base = static_cast<std::int64_t>(first) * cols;
            const std::int32_t seeds = (last - first) * cols;
            const BandSlots slots = slotsOf(b);
            const bool fits =
                animated ? (countsFit ? addBand<false, true>(hits, three.data(), base, seeds, limit, slots, seeded)
                                      : addBand<true, true>(hits, three.data(), base, seeds, limit, slots, seeded))
                         : (countsFit ? addBand<false, false>(hits, sums, base, seeds, limit, slots, seeded)
                                      : addBand<true, false>(hits, sums, base, seeds, limit, slots, seeded));
            if (!fits) {
                overflowed = true;
                stop();
                return;
            }
            added.store(b + 1, std::memory_order_release);
            progressed.notify();
            if (options.progress && ((b + 1) % progressEvery == 0 || b + 1 == bands))
                options.progress(static_cast<double>(b + 1) / bands);
        }
    };
    // Called after a band is marked ready. Bands are added one thread at a
    // time; a request that comes while another thread adds is handed to
    // it, which looks once more for every request before it stops.
    const auto addDoneBands = [&] {
        if (requests.fetch_add(1, std::memory_order_acq_rel) != 0) return;
        for (std::uint32_t asked = 1; asked != 0;) {
            addReadyBands();
            asked = requests.fetch_sub(asked, std::memory_order_acq_rel) - asked;
        }
    };

    onThreads(threads, [&](int) {
        std::vector<std::int32_t> pending;
        KernelScratch scratch;
        for (std::int32_t b; !stopping() && (b = nextBand.fetch_add(1, std::memory_order_relaxed)) < bands;) {
            // The ring entry is free once the band ringSize earlier is added.
            progressed.waitUntil(
                [&] { return b - added.load(std::memory_order_acquire) < ringSize || stopping(); }, spin);
            if (stopping()) return;
            const std::int32_t first = b * bandRows;
            workOutBand(field, kernel, hits, first, std::min(rows, first + bandRows), slotsOf(b), pending,
                        scratch);
            ready[static_cast<std::size_t>(b % ringSize)].store(b, std::memory_order_release);
            addDoneBands();
        }
        progressed.waitUntil([&] { return added.load(std::memory_order_acquire) == bands || stopping(); },
                             spin);
    });
    if (overflowed) throw CountOverflow();
    if (stopped.load()) throw Cancelled();

    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (!animated) {
        averageLicSums(sums, hits, cells, threads);
        return seeded;
    }
    const double* t = three.data();
    parallelFor(static_cast<std::int64_t>(cells), 1 << 15, threads, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t c = begin; c < end; ++c) {
            const auto h = static_cast<double>(hits[c]);
            sums[c] = t[3 * c] / h;
            phase.cosine[c] = t[3 * c + 1] / h;
            phase.sine[c] = t[3 * c + 2] / h;
        }
    });
    return seeded;
}

// Shared out: the caller's arrays may be fresh pages, each cleared by the
// kernel as it is first touched.
void zeroOutputs(double* lic, std::int32_t* hits, std::size_t cells, int threads) {
    const auto share = [&](std::int64_t begin, std::int64_t end) {
        const auto b = static_cast<std::size_t>(begin), n = static_cast<std::size_t>(end - begin);
        std::memset(lic + b, 0, n * sizeof(double));
        std::memset(hits + b, 0, n * sizeof(std::int32_t));
    };
    parallelFor(static_cast<std::int64_t>(cells), 1 << 16, threadCount(threads), share);
}

// Sums and hits start zero, and so do the phase sums of an animated run,
// whose last pass alone is animated.
std::int64_t convolveZeroed(const FieldView& field, const LicParams& params, double* sums,
                            std::int32_t* hits, const RunOptions& options, PhaseSums phase = {},
                            Wave wave = {}, const StepTable* steps = nullptr) {
    params.validateFor(field.rows, field.cols);
    if (!steps) detail::checkFieldShape(field);
    const PhaseSums first = params.iterations == 1 ? phase : PhaseSums{};
    std::int64_t seeds = std::visit(
        [&](const auto& texture) {
            return convolve(field, texture, params, sums, hits, options, first, wave, steps);
        },
        field.texture);
    const std::size_t cells = static_cast<std::size_t>(field.rows) * static_cast<std::size_t>(field.cols);
    if (params.iterations > 1) {
        // Each further pass convolves the values of the one before.
        std::vector<double> previous(cells);
        for (std::int32_t n = 1; n < params.iterations; ++n) {
            std::copy_n(sums, cells, previous.data());
            std::memset(sums, 0, cells * sizeof(double));
            std::memset(hits, 0, cells * sizeof(std::int32_t));
            const Plane<double> texture = contiguousPlane(previous.data(), field.cols);
            seeds = convolve(field, texture, params, sums, hits, options,
                             n + 1 == params.iterations ? phase : PhaseSums{}, wave, steps);
        }
    }
    if (field.mask.data)
        for (std::int32_t i = 0; i < field.rows; ++i)
            for (std::int32_t j = 0; j < field.cols; ++j)
                if (field.mask(i, j)) {
                    const std::size_t c = static_cast<std::size_t>(i) * field.cols + j;
                    sums[c] = std::numeric_limits<double>::quiet_NaN();
                    if (phase.cosine) phase.cosine[c] = phase.sine[c] = sums[c];
                }
    return seeds;
}

}  // namespace

std::uint64_t licWorkingBytes(const LicParams& params, std::int32_t rows, std::int32_t cols, int threads) {
    const auto n = static_cast<std::uint64_t>(threadCount(threads));
    const RingShape ring = ringShape(rows, cols, threadCount(threads));
    const std::uint64_t seeds = static_cast<std::uint64_t>(ring.bandRows) * static_cast<std::uint64_t>(cols);
    const std::uint64_t contributions = 2 * static_cast<std::uint64_t>(params.slideSteps) + 1;
    const std::uint64_t points = 2 * static_cast<std::uint64_t>(params.reach()) + 1;
    constexpr std::uint64_t cell = sizeof(std::int32_t), value = sizeof(double);
    const std::uint64_t ringBytes =
        static_cast<std::uint64_t>(ring.size) * seeds * (cell + contributions * (cell + value));
    // KernelScratch: cells, truncated (two a point), texture samples and
    // weighted windows for a batch; the spare record; a band's pending seeds.
    const std::uint64_t perThread = points * detail::maxLockstepBatch * (3 * cell + value) + points * value +
                                    contributions * detail::maxLockstepBatch * value +
                                    contributions * (cell + value) + seeds * 2 * cell;
    return ringBytes + n * perThread;
}

// Each cell on its own, so the rows can be shared out among threads.
void averageLicSums(double* sums, const std::int32_t* hits, std::size_t cells, int threads) {
    parallelFor(static_cast<std::int64_t>(cells), 1 << 16, threads, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t c = begin; c < end; ++c) sums[c] = sums[c] / static_cast<double>(hits[c]);
    });
}

void averageLicSums(RegGrid& grid) {
    averageLicSums(grid.licSums.data(), grid.hitCounts.data(), grid.cellCount(), threadCount());
}

std::int64_t computeLic(const FieldView& field, const LicParams& params, double* lic, std::int32_t* hits,
                        const RunOptions& options) {
    params.validateFor(field.rows, field.cols);
    detail::checkFieldShape(field);
    zeroOutputs(lic, hits, static_cast<std::size_t>(field.rows) * static_cast<std::size_t>(field.cols),
                options.threads);
    return convolveZeroed(field, params, lic, hits, options);
}

LicResult computeLic(const FieldView& field, const LicParams& params, const RunOptions& options) {
    params.validateFor(field.rows, field.cols);
    detail::checkFieldShape(field);
    LicResult r;
    r.rows = field.rows;
    r.cols = field.cols;
    const std::size_t cells = static_cast<std::size_t>(field.rows) * static_cast<std::size_t>(field.cols);
    r.lic.resize(cells);
    r.hits.resize(cells);
    r.seeds = convolveZeroed(field, params, r.lic.data(), r.hits.data(), options);
    return r;
}

double loopPhase(std::int64_t f, std::int64_t n) {
    constexpr double pi = 3.14159265358979323846;
    const std::int64_t k = ((f % n) + n) % n;
    return 2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
}

void AnimationSums::frame(double phase, double* out, int threads) const {
    const double c = std::cos(phase), s = std::sin(phase);
    parallelFor(static_cast<std::int64_t>(base.size()), 1 << 16, threadCount(threads),
                [&](std::int64_t begin, std::int64_t end) {
                    for (std::int64_t k = begin; k < end; ++k) out[k] = base[k] + c * cosine[k] - s * sine[k];
                });
}

AnimationSums computeLicAnimation(const FieldView& field, const LicParams& params, const Wave& wave,
                                  const RunOptions& options) {
    params.validateFor(field.rows, field.cols);
    detail::checkFieldShape(field);
    const Wave w{animationWavelength(params, wave.length), wave.steady};
    AnimationSums a;
    a.rows = field.rows;
    a.cols = field.cols;
    const std::size_t cells = static_cast<std::size_t>(field.rows) * static_cast<std::size_t>(field.cols);
    a.base.assign(cells, 0.0);
    a.cosine.assign(cells, 0.0);
    a.sine.assign(cells, 0.0);
    a.hits.assign(cells, 0);
    a.seeds = convolveZeroed(field, params, a.base.data(), a.hits.data(), options,
                             PhaseSums{a.cosine.data(), a.sine.data()}, w);
    return a;
}

void computeLic(const StepTable& table, const decltype(FieldView::texture)& texture, double* lic,
                std::int32_t* hits, const RunOptions& options) {
    const FieldView field{table.rows(), table.cols(), {}, {}, texture, {}};
    zeroOutputs(lic, hits, static_cast<std::size_t>(field.rows) * static_cast<std::size_t>(field.cols),
                options.threads);
    convolveZeroed(field, table.params(), lic, hits, options, {}, {}, &table);
}

void computeFastLic(RegGrid& grid, const LicParams& params, const RunOptions& options,
                    const std::uint8_t* mask) {
    FieldView view = viewOf(grid);
    if (mask) view.mask = contiguousPlane(mask, grid.cols);
    convolveZeroed(view, params, grid.licSums.data(), grid.hitCounts.data(), options);
}

}  // namespace fastlic

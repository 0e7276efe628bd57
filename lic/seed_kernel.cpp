#include "lic/seed_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "field/reg_grid.h"
#include "lic/field_lookups.h"
#include "lic/streamline.h"
#include "util/parallel.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace fastlic::detail {

namespace {

#if defined(__SSE2__)
constexpr bool packedKernel = true;
#else
constexpr bool packedKernel = false;
#endif

// Wraps a padded index back into 0..n-1 (the halo is no wider than n).
std::int32_t unpad(std::int32_t padded, std::int32_t pad, std::int32_t n) {
    const std::int32_t v = padded - pad;
    return v < 0 ? v + n : v >= n ? v - n : v;
}

template <typename T>
void resizeFor(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
}

// Whether any of flags[index(k)] is set for k in centre - d..centre + d on an
// axis of n cells, wrapped or cut at the ends; prefix[k] counts flags
// below k.
bool anyWithin(const std::vector<std::int32_t>& prefix, std::int32_t centre, std::int32_t d,
               std::int32_t n, bool periodic) {
    const auto count = [&](std::int32_t a, std::int32_t b) {  // [a, b]
        return prefix[static_cast<std::size_t>(b) + 1] - prefix[static_cast<std::size_t>(a)];
    };
    if (2 * static_cast<std::int64_t>(d) + 1 >= n) return count(0, n - 1) > 0;
    std::int32_t a = centre - d, b = centre + d;
    if (!periodic) return count(std::max(a, 0), std::min(b, n - 1)) > 0;
    if (a < 0) return count(0, b) + count(a + n, n - 1) > 0;
    if (b >= n) return count(a, n - 1) + count(0, b - n) > 0;
    return count(a, b) > 0;
}

// Per cell: whether a masked cell lies within d cells each way (the
// streamline of a seed there may reach it).
std::vector<std::uint8_t> nearMask(const std::vector<std::uint8_t>& mask, std::int32_t rows,
                                   std::int32_t cols, std::int32_t d, bool periodicRows,
                                   bool periodicCols) {
    std::vector<std::uint8_t> across(mask.size()), near(mask.size());
    std::vector<std::int32_t> prefix;
    for (std::int32_t i = 0; i < rows; ++i) {
        const std::uint8_t* line = mask.data() + static_cast<std::size_t>(i) * cols;
        prefix.assign(1, 0);
        for (std::int32_t j = 0; j < cols; ++j) prefix.push_back(prefix.back() + line[j]);
        for (std::int32_t j = 0; j < cols; ++j)
            across[static_cast<std::size_t>(i) * cols + j] = anyWithin(prefix, j, d, cols, periodicCols);
    }
    for (std::int32_t j = 0; j < cols; ++j) {
        prefix.assign(1, 0);
        for (std::int32_t i = 0; i < rows; ++i)
            prefix.push_back(prefix.back() + across[static_cast<std::size_t>(i) * cols + j]);
        for (std::int32_t i = 0; i < rows; ++i)
            near[static_cast<std::size_t>(i) * cols + j] = anyWithin(prefix, i, d, rows, periodicRows);
    }
    return near;
}

}  // namespace

template <typename T>
void prepareField(const FieldView& view, const Plane<T>& texture, const LicParams& params,
                  PreparedField<T>& f, int threads) {
    const std::int32_t rows = view.rows, cols = view.cols;
    f.shape = {params.filterHalfLength, params.slideSteps, params.reach(), params.hitLimit};
    // Each step moves a point by at most the step (up to rounding in the
    // last places), so every point lies less than reachCells from its seed.
    const double reach = static_cast<double>(params.reach()) * params.step;
    f.reachCells = static_cast<std::int32_t>(std::floor(reach * (1.0 + 1e-12) + 1e-9)) + 1;
    const std::int64_t pad = static_cast<std::int64_t>(f.reachCells) + 1;
    // The lockstep kernels form table offsets (twice the stride per row)
    // from 16-bit halves, and wrap a halo no wider than the grid.
    const bool lockstep = packedKernel && rows >= pad && cols >= pad && rows + 2 * pad <= 16383 &&
                          cols + 2 * pad <= 16383;
    f.rows = rows;
    f.cols = cols;
    f.pad = lockstep ? static_cast<std::int32_t>(pad) : 0;
    f.stride = cols + 2 * f.pad;

    if (texture.contiguous(cols)) {
        f.texture = texture.data;
    } else {
        f.textureCopy.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j)
                f.textureCopy[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) +
                              static_cast<std::size_t>(j)] = texture(i, j);
        f.texture = f.textureCopy.data();
    }

    const std::int32_t paddedRows = rows + 2 * f.pad;
    f.steps = ZeroedBuffer<Direction>(static_cast<std::size_t>(paddedRows) *
                                      static_cast<std::size_t>(f.stride));
    f.rowStart.resize(static_cast<std::size_t>(paddedRows));
    f.colOf.resize(static_cast<std::size_t>(f.stride));
    for (std::int32_t pr = 0; pr < paddedRows; ++pr)
        f.rowStart[static_cast<std::size_t>(pr)] = unpad(pr, f.pad, rows) * cols;
    for (std::int32_t pc = 0; pc < f.stride; ++pc)
        f.colOf[static_cast<std::size_t>(pc)] = unpad(pc, f.pad, cols);

    const double step = params.step;
    const std::int32_t stride = f.stride;
    Direction* out = f.steps.data();
    const bool sampling = f.pad > 0 && (params.orientation || params.interpolation == Interpolation::linear);
    const bool unitVectors = params.interpolation == Interpolation::nearest;
    if (sampling)
        f.vectors = ZeroedBuffer<Direction>(static_cast<std::size_t>(paddedRows) * static_cast<std::size_t>(stride));
    Direction* vectorsOut = sampling ? f.vectors.data() : nullptr;
    std::atomic<bool> notFinite{false};
    parallelFor(paddedRows, 64, threads, [&](std::int64_t begin, std::int64_t end) {
        bool bad = false;
        for (auto pr = static_cast<std::int32_t>(begin); pr < end; ++pr) {
            const std::int32_t row = unpad(pr, f.pad, rows);
            Direction* line = out + static_cast<std::size_t>(pr) * static_cast<std::size_t>(stride);
            for (std::int32_t pc = 0; pc < stride; ++pc) {
                const Vector v(view.x(row, f.colOf[static_cast<std::size_t>(pc)]),
                               view.y(row, f.colOf[static_cast<std::size_t>(pc)]), 0.0);
                bad = bad || !std::isfinite(v.x) || !std::isfinite(v.y);
                const Vector u = isNearZero(v) ? v : normalize(v);
                const Vector k = u * step;
                line[pc] = {k.x, k.y};
                if (vectorsOut)
                    vectorsOut[static_cast<std::size_t>(pr) * static_cast<std::size_t>(stride) + pc] =
                        unitVectors ? Direction{u.x, u.y} : Direction{v.x, v.y};
            }
        }
        if (bad) notFinite.store(true, std::memory_order_relaxed);
    });
    // Throws, naming the first such cell, unless all are masked.
    if (notFinite.load()) checkField(view);
    f.sampler = Sampler(view, params);
    f.orientation = params.orientation;
    f.stepSize = params.step;
    f.lockstepShape = !params.orientation && params.interpolation == Interpolation::nearest;
    f.linear = params.interpolation == Interpolation::linear;
    const bool closedRows = params.rowBoundary == Boundary::closed;
    const bool closedCols = params.colBoundary == Boundary::closed;
    f.rescale = closedRows || closedCols || view.mask.data;
    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (view.mask.data) {
        f.mask.resize(cells);
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j)
                f.mask[static_cast<std::size_t>(i) * cols + j] = view.mask(i, j) != 0;
    }
    if constexpr (std::is_same_v<T, double>)
        for (std::size_t c = 0; c < cells; ++c)
            if (!std::isfinite(f.texture[c]) && (f.mask.empty() || !f.mask[c])) checkField(view);
    // Linear sampling blends neighbours the halo does not wrap as the
    // boundary rule does: its lockstep seeds keep off every edge.
    const bool edgeRows = closedRows || f.linear, edgeCols = closedCols || f.linear;
    if (f.pad > 0 && (f.rescale || f.linear)) {
        const std::int32_t d = f.reachCells;
        f.careful = f.mask.empty() ? std::vector<std::uint8_t>(cells)
                                   : nearMask(f.mask, rows, cols, d, !closedRows, !closedCols);
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j)
                if ((edgeRows && (i < d || i >= rows - d)) || (edgeCols && (j < d || j >= cols - d)))
                    f.careful[static_cast<std::size_t>(i) * cols + j] = 1;
    }
}

namespace {

struct Position {
    double x, y;
};

// Cell index of (x, y), or -1 when the point maps outside the grid.
template <typename T>
inline std::int32_t cellIndex(const PreparedField<T>& f, double x, double y) {
    const std::int32_t r = axisCell(x, f.rows, f.sampler.rowBoundary);
    const std::int32_t c = axisCell(y, f.cols, f.sampler.colBoundary);
    if ((r | c) < 0) return -1;
    const std::int32_t cell = r * f.cols + c;
    return f.mask.empty() || !f.mask[static_cast<std::size_t>(cell)] ? cell : -1;
}

// The increment u x h at (x, y): the table's u x step, negated (exactly)
// for h = -step; zero outside the grid.
template <typename T>
inline Direction incrementAt(const PreparedField<T>& f, double x, double y, double sign) {
    const std::int32_t cell = cellIndex(f, x, y);
    const Direction k = cell < 0 ? Direction{0.0, 0.0} : f.stepOf(cell / f.cols, cell % f.cols);
    return {k.x * sign, k.y * sign};
}

// rk4Step on x and y alone: z stays 0 and w 1 on every traced point, and
// neither takes part in a lookup. sign is +1 forward, -1 backward.
template <typename T>
inline void step(const PreparedField<T>& f, Position& p, double sign) {
    constexpr double sixth = 1.0 / 6.0;
    constexpr double third = 1.0 / 3.0;
    const auto [k1x, k1y] = incrementAt(f, p.x, p.y, sign);
    const auto [k2x, k2y] = incrementAt(f, p.x + k1x * 0.5, p.y + k1y * 0.5, sign);
    const auto [k3x, k3y] = incrementAt(f, p.x + k2x * 0.5, p.y + k2y * 0.5, sign);
    const auto [k4x, k4y] = incrementAt(f, p.x + k3x, p.y + k3y, sign);
    const double sx = ((sixth * k1x + third * k2x) + third * k3x) + sixth * k4x;
    const double sy = ((sixth * k1y + third * k2y) + third * k3y) + sixth * k4y;
    p.x = sx + p.x;
    p.y = sy + p.y;
}

}  // namespace

template <typename T>
void seedContributions(const PreparedField<T>& f, std::int32_t row, std::int32_t col, SeedOut out,
                       KernelScratch& scratch) {
    const std::int32_t reach = f.shape.reach, L = f.shape.L, M = f.shape.M;
    const auto slots = static_cast<std::size_t>(f.shape.slots());
    resizeFor(scratch.cells, slots);
    resizeFor(scratch.texture, slots);
    // Index reach + k holds position k.
    std::int32_t* cells = scratch.cells.data();
    double* tex = scratch.texture.data();
    const auto mapPoint = [&](std::int32_t slot, double x, double y) {
        const std::int32_t cell = cellIndex(f, x, y);
        cells[slot] = cell;
        tex[slot] = cell < 0 ? 0.0 : static_cast<double>(f.texture[cell]);
    };

    const double seedX = static_cast<double>(row) + 0.5;
    const double seedY = static_cast<double>(col) + 0.5;
    mapPoint(reach, seedX, seedY);
    if (f.lockstepShape) {
        Position fwd{seedX, seedY};
        Position bwd{seedX, seedY};
        for (std::int32_t n = 1; n <= reach; ++n) {
            step(f, fwd, +1.0);
            mapPoint(reach + n, fwd.x, fwd.y);
            step(f, bwd, -1.0);
            mapPoint(reach - n, bwd.x, bwd.y);
        }
    } else {
        // Sampled between centres or oriented: the tracing of the reference.
        const Point seed = seedPoint(row, col);
        Point fwd = seed, bwd = seed;
        Vector forwardBefore, backwardBefore;
        if (f.orientation) forwardBefore = backwardBefore = directionAt(f.sampler, seed);
        Vector* fp = f.orientation ? &forwardBefore : nullptr;
        Vector* bp = f.orientation ? &backwardBefore : nullptr;
        const double h = f.stepSize;
        for (std::int32_t n = 1; n <= reach; ++n) {
            rk4Step(f.sampler, fwd, +h, fp);
            mapPoint(reach + n, fwd.x, fwd.y);
            rk4Step(f.sampler, bwd, -h, bp);
            mapPoint(reach - n, bwd.x, bwd.y);
        }
    }

    std::int32_t size = 0;
    std::int32_t centreCount = 0;
    double sum = 0.0;
    for (std::int32_t m = -L; m <= L; ++m) {
        if (cells[reach + m] >= 0) {
            sum = sum + tex[reach + m];
            ++centreCount;
        }
    }
    double centre = 0.0;
    if (cells[reach] >= 0) {
        centre = sum * (1.0 / centreCount);
        out.cells[size] = cells[reach];
        out.values[size] = centre;
        ++size;
    }

    // dir = +1: position k enters k + L and drops k - L - 1; dir = -1 mirrors.
    for (int dir = 1; dir >= -1; dir -= 2) {
        double average = centre;
        std::int32_t count = centreCount;
        for (std::int32_t n = 1; n <= M; ++n) {
            const std::int32_t k = reach + dir * n;
            if (cells[k] < 0) continue;
            const std::int32_t entering = k + dir * L;
            const std::int32_t leaving = k - dir * (L + 1);
            const std::int32_t updated =
                count + (cells[entering] >= 0 ? 1 : 0) - (cells[leaving] >= 0 ? 1 : 0);
            if (updated <= 0) continue;
            if (f.rescale && updated != count) {
                // The window's inside samples afresh, in ascending position order.
                double fresh = 0.0;
                for (std::int32_t m = std::min(k - L, k + L); m <= std::max(k - L, k + L); ++m)
                    if (cells[m] >= 0) fresh = fresh + tex[m];
                count = updated;
                average = fresh * (1.0 / count);
            } else {
                count = updated;
                const double reciprocal = 1.0 / count;
                average = (tex[entering] - tex[leaving]) * reciprocal + average;
            }
            out.cells[size] = cells[k];
            out.values[size] = average;
            ++size;
        }
    }
    *out.size = size;
}

#if defined(__SSE2__)

namespace {

// Seeds a batch: as many as the registers hold streamlines in flight.
constexpr int seeds = 8;       // SSE2 and AVX2: 16 registers
constexpr int wideSeeds = 12;  // AVX-512: 32 registers

// The shape of a kernel: fixed at compile time for the classic one, so
// that its loops unroll; read from the field for any other (FixedL = 0).
template <int FixedL, int FixedM>
struct KernelShape {
    std::int32_t L, M, reach;
    explicit KernelShape(const Shape& s)
        : L(FixedL ? FixedL : s.L), M(FixedL ? FixedM : s.M), reach(FixedL ? FixedL + FixedM : s.reach) {}
};

// The convolution of a batch whose points all lie inside: every window
// holds 2L + 1 samples, so every reciprocal is that of 2L + 1 and no step
// is skipped. cells[m * Seeds + s]: the cell of seed s's position m - reach.
//
// Every seed's sum and running averages are chains of dependent additions
// in the reference's order. A fixed shape unrolls whole, seed by seed;
// with loops of run-time length a seed's chains would run one after
// another, so there the seeds go side by side through every step and their
// chains overlap.
template <int Seeds, int FixedL, int FixedM, typename T>
void convolveFullWindows(const PreparedField<T>& f, const std::int32_t* __restrict cells,
                         const SeedOut* out, std::vector<double>& scratchTex) {
    const T* __restrict texture = f.texture;
    const KernelShape<FixedL, FixedM> shape(f.shape);
    const std::int32_t reach = shape.reach, L = shape.L, M = shape.M;
    const std::int32_t window = 2 * L + 1;
    const double reciprocal = 1.0 / window;
    if constexpr (FixedL != 0) {
        constexpr std::int32_t slots = 2 * (FixedL + FixedM) + 1;
        double tex[slots];
        for (int s = 0; s < Seeds; ++s) {
#pragma GCC unroll 40
            for (std::int32_t m = 0; m < slots; ++m) tex[m] = static_cast<double>(texture[cells[m * Seeds + s]]);
            double sum = 0.0;
#pragma GCC unroll 21
            for (std::int32_t m = -L; m <= L; ++m) sum = sum + tex[reach + m];
            const double centre = sum * (1.0 / window);
            std::int32_t* __restrict outCells = out[s].cells;
            double* __restrict outValues = out[s].values;
            outCells[0] = cells[reach * Seeds + s];
            outValues[0] = centre;
            double average = centre;
#pragma GCC unroll 9
            for (std::int32_t k = 1; k <= M; ++k) {
                average = (tex[reach + k + L] - tex[reach + k - L - 1]) * reciprocal + average;
                outCells[k] = cells[(reach + k) * Seeds + s];
                outValues[k] = average;
            }
            average = centre;
#pragma GCC unroll 9
            for (std::int32_t k = 1; k <= M; ++k) {
                average = (tex[reach - k - L] - tex[reach - k + L + 1]) * reciprocal + average;
                outCells[M + k] = cells[(reach - k) * Seeds + s];
                outValues[M + k] = average;
            }
            *out[s].size = 2 * M + 1;
        }
    } else {
        // tex[m * Seeds + s], as cells.
        const std::int32_t samples = (2 * reach + 1) * Seeds;
        resizeFor(scratchTex, static_cast<std::size_t>(samples));
        double* __restrict tex = scratchTex.data();
        for (std::int32_t i = 0; i < samples; ++i) tex[i] = static_cast<double>(texture[cells[i]]);
        std::int32_t* __restrict outCells[Seeds];
        double* __restrict outValues[Seeds];
        double sum[Seeds] = {}, centre[Seeds], average[Seeds];
        for (std::int32_t m = reach - L; m <= reach + L; ++m)
            for (int s = 0; s < Seeds; ++s) sum[s] = sum[s] + tex[m * Seeds + s];
        for (int s = 0; s < Seeds; ++s) {
            outCells[s] = out[s].cells;
            outValues[s] = out[s].values;
            centre[s] = average[s] = sum[s] * (1.0 / window);
            outCells[s][0] = cells[reach * Seeds + s];
            outValues[s][0] = centre[s];
            *out[s].size = 2 * M + 1;
        }
        for (std::int32_t k = 1; k <= M; ++k)
            for (int s = 0; s < Seeds; ++s) {
                average[s] = (tex[(reach + k + L) * Seeds + s] - tex[(reach + k - L - 1) * Seeds + s]) * reciprocal +
                             average[s];
                outCells[s][k] = cells[(reach + k) * Seeds + s];
                outValues[s][k] = average[s];
            }
        for (int s = 0; s < Seeds; ++s) average[s] = centre[s];
        for (std::int32_t k = 1; k <= M; ++k)
            for (int s = 0; s < Seeds; ++s) {
                average[s] = (tex[(reach - k - L) * Seeds + s] - tex[(reach - k + L + 1) * Seeds + s]) * reciprocal +
                             average[s];
                outCells[s][M + k] = cells[(reach - k) * Seeds + s];
                outValues[s][M + k] = average[s];
            }
    }
}

// The grid cell of a truncated point (row, column), wrapped.
template <typename T>
inline std::int32_t wrappedCell(const PreparedField<T>& f, std::int32_t row, std::int32_t col) {
    return f.rowStart[static_cast<std::size_t>(row + f.pad)] + f.colOf[static_cast<std::size_t>(col + f.pad)];
}

// Whether every point of these seeds' streamlines lies inside the grid
// itself, so that no cell needs wrapping.
template <typename T>
bool interiorBatch(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols, int batch) {
    const std::int32_t margin = f.pad - 1;
    for (int s = 0; s < batch; ++s)
        if (rows[s] < margin || rows[s] >= f.rows - f.pad || cols[s] < margin || cols[s] >= f.cols - f.pad)
            return false;
    return true;
}

// cells[m * batch + s] from the truncated (row, column) pairs of every
// point, wrapped into the grid.
template <typename T>
void wrapCells(const PreparedField<T>& f, const std::int32_t* truncated, std::int32_t slots, int batch,
               std::int32_t* cells) {
    for (std::int32_t m = 0; m < slots; ++m)
        for (int s = 0; s < batch; ++s) {
            const std::int32_t* t = truncated + (m * batch + s) * 2;
            cells[m * batch + s] = wrappedCell(f, t[0], t[1]);
        }
}

// The cells of a batch's points, recorded as they are traced: computed at
// once where every point lies inside the grid itself, otherwise kept as
// truncated coordinates and wrapped when the trace is done.
template <int Seeds, typename T>
class PointCells {
public:
    PointCells(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
               std::int32_t slots, KernelScratch& scratch)
        : f_(f),
          slots_(slots),
          interior_(interiorBatch(f, rows, cols, Seeds)),
          weights_(_mm_set_epi16(0, 0, 0, 0, 1, static_cast<short>(f.cols), 1, static_cast<short>(f.cols))) {
        resizeFor(scratch.cells, static_cast<std::size_t>(slots) * Seeds);
        resizeFor(scratch.truncated, static_cast<std::size_t>(slots) * Seeds * 2);
        resizeFor(scratch.texture, static_cast<std::size_t>(slots));
        cells_ = scratch.cells.data();
        truncated_ = scratch.truncated.data();
    }
    // Two lanes' truncated (row, column, row, column) at slot, and the same
    // packed to words.
    void record(std::int32_t slot, int pair, __m128i t, __m128i words) {
        if (interior_)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(cells_ + slot * Seeds + 2 * pair),
                             _mm_madd_epi16(words, weights_));
        else
            _mm_storeu_si128(reinterpret_cast<__m128i*>(truncated_ + (slot * Seeds + 2 * pair) * 2), t);
    }
    // cells()[m * Seeds + s]: the cell of seed s's position m - reach.
    const std::int32_t* cells() {
        if (!interior_) wrapCells(f_, truncated_, slots_, Seeds, cells_);
        return cells_;
    }

private:
    const PreparedField<T>& f_;
    std::int32_t slots_;
    bool interior_;
    __m128i weights_;
    std::int32_t* cells_;
    std::int32_t* truncated_;
};

// Helpers of the AVX2 kernel (a lambda would not take on its target).
#define FASTLIC_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Table offsets of two lanes' points (truncated, packed to words), from the
// table's start: never negative, so they widen to addresses for free.
FASTLIC_AVX2 __m128i avx2Offsets(__m128i words, __m128i weights, __m128i origin) {
    return _mm_add_epi32(_mm_madd_epi16(words, weights), origin);
}

FASTLIC_AVX2 __m256d avx2Load(const double* table, __m128i offset) {
    return _mm256_loadu2_m128d(table + static_cast<std::uint32_t>(_mm_extract_epi32(offset, 1)),
                               table + static_cast<std::uint32_t>(_mm_cvtsi128_si32(offset)));
}

FASTLIC_AVX2 __m256d avx2StepAt(const double* table, __m128i weights, __m128i origin, __m256d p) {
    const __m128i t = _mm256_cvttpd_epi32(p);
    return avx2Load(table, avx2Offsets(_mm_packs_epi32(t, t), weights, origin));
}

// p + k forward; p - k backward, whose increments u x -step are exactly
// -(u x step), the table's forward ones negated.
FASTLIC_AVX2 __m256d along(bool forward, __m256d p, __m256d k) {
    return forward ? _mm256_add_pd(p, k) : _mm256_sub_pd(p, k);
}

// Two lanes, (x, y) of two streamlines, in one 256-bit register; the
// forward and the backward trace of every pair are separate chains of
// samples. The chains advance stage by stage together, not step by step
// one after another, so that the processor finds independent work near in
// the instruction stream while each chain waits for its samples.
template <int Seeds, int FixedL, int FixedM, typename T>
FASTLIC_AVX2 void lockstepPairs(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                                const SeedOut* out, KernelScratch& scratch) {
    const std::int32_t reach = KernelShape<FixedL, FixedM>(f.shape).reach;
    const std::int32_t slots = 2 * reach + 1;
    constexpr int pairs = Seeds / 2;
    constexpr int chains = 2 * pairs;  // chain c < pairs traces pair c forward, else pair c - pairs backward
    const double* table = &f.steps.data()->x;
    // Offsets of cell (0, 0) in doubles, added to every lane's offset.
    const __m128i origin = _mm_set1_epi32(2 * (f.pad * f.stride + f.pad));
    const __m128i weights = _mm_set_epi16(0, 0, 0, 0, 2, static_cast<short>(2 * f.stride), 2,
                                          static_cast<short>(2 * f.stride));
    const __m256d sixth = _mm256_set1_pd(1.0 / 6.0);
    const __m256d third = _mm256_set1_pd(1.0 / 3.0);
    const __m256d half = _mm256_set1_pd(0.5);
    PointCells<Seeds, T> points(f, rows, cols, slots, scratch);
    __m256d p[chains];
    __m128i offset[chains];
    for (int q = 0; q < pairs; ++q) {
        p[q] = p[pairs + q] = _mm256_set_pd(cols[2 * q + 1] + 0.5, rows[2 * q + 1] + 0.5,
                                            cols[2 * q] + 0.5, rows[2 * q] + 0.5);
        const __m128i t = _mm256_cvttpd_epi32(p[q]);
        const __m128i words = _mm_packs_epi32(t, t);
        offset[q] = offset[pairs + q] = avx2Offsets(words, weights, origin);
        points.record(reach, q, t, words);
    }
    for (std::int32_t n = 1; n <= reach; ++n) {
        // One RK4 step of every chain from p, whose own cells' entries are at offset.
        __m256d k[chains], sum[chains];
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            k[c] = avx2Load(table, offset[c]);
            sum[c] = _mm256_mul_pd(sixth, k[c]);
        }
        // The second and third stages: from p + k x 0.5, weighted a third.
#pragma GCC unroll 2
        for (int stage = 2; stage <= 3; ++stage)
#pragma GCC unroll 16
            for (int c = 0; c < chains; ++c) {
                k[c] = avx2StepAt(table, weights, origin, along(c < pairs, p[c], _mm256_mul_pd(k[c], half)));
                sum[c] = _mm256_add_pd(sum[c], _mm256_mul_pd(third, k[c]));
            }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            k[c] = avx2StepAt(table, weights, origin, along(c < pairs, p[c], k[c]));
            sum[c] = _mm256_add_pd(sum[c], _mm256_mul_pd(sixth, k[c]));
        }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            const bool forward = c < pairs;
            p[c] = forward ? _mm256_add_pd(sum[c], p[c]) : _mm256_sub_pd(p[c], sum[c]);
            const __m128i t = _mm256_cvttpd_epi32(p[c]);
            const __m128i words = _mm_packs_epi32(t, t);
            offset[c] = avx2Offsets(words, weights, origin);
            points.record(forward ? reach + n : reach - n, forward ? c : c - pairs, t, words);
        }
    }
    convolveFullWindows<Seeds, FixedL, FixedM>(f, points.cells(), out, scratch.texture);
}

// Two lanes' vectors at table offsets, extra doubles further on.
FASTLIC_AVX2 __m256d avx2LoadAt(const double* table, __m128i offset, std::uint32_t extra) {
    return _mm256_loadu2_m128d(table + static_cast<std::uint32_t>(_mm_extract_epi32(offset, 1)) + extra,
                               table + static_cast<std::uint32_t>(_mm_cvtsi128_si32(offset)) + extra);
}

// The increment u x h at q, two lanes: u sampled from the table (blended
// and normalised for Linear), negated where it points against before
// (Oriented), which then becomes u.
template <bool Linear, bool Oriented>
FASTLIC_AVX2 __m256d samplingStep(const double* table, __m128i weights, __m128i origin, std::uint32_t nextRow,
                                  __m256d q, __m256d& before, __m256d h) {
    __m256d u;
    if constexpr (Linear) {
        const __m256d g = _mm256_sub_pd(q, _mm256_set1_pd(0.5));
        const __m256d low = _mm256_floor_pd(g);
        const __m256d fraction = _mm256_sub_pd(g, low);
        const __m128i t = _mm256_cvttpd_epi32(low);
        const __m128i offset = avx2Offsets(_mm_packs_epi32(t, t), weights, origin);
        const __m256d v00 = avx2LoadAt(table, offset, 0), v01 = avx2LoadAt(table, offset, 2);
        const __m256d v10 = avx2LoadAt(table, offset, nextRow), v11 = avx2LoadAt(table, offset, nextRow + 2);
        const __m256d fx = _mm256_permute_pd(fraction, 0x0);  // (fx, fx) per lane
        const __m256d fy = _mm256_permute_pd(fraction, 0xf);  // (fy, fy) per lane
        const __m256d a = _mm256_add_pd(v00, _mm256_mul_pd(_mm256_sub_pd(v01, v00), fy));
        const __m256d b = _mm256_add_pd(v10, _mm256_mul_pd(_mm256_sub_pd(v11, v10), fy));
        const __m256d v = _mm256_add_pd(a, _mm256_mul_pd(_mm256_sub_pd(b, a), fx));
        const __m256d squares = _mm256_mul_pd(v, v);
        const __m256d lengthSquared = _mm256_hadd_pd(squares, squares);
        const __m256d reciprocal = _mm256_div_pd(_mm256_set1_pd(1.0), _mm256_sqrt_pd(lengthSquared));
        u = _mm256_blendv_pd(v, _mm256_mul_pd(reciprocal, v),
                             _mm256_cmp_pd(lengthSquared, _mm256_set1_pd(1e-12), _CMP_GE_OQ));
    } else {
        const __m128i t = _mm256_cvttpd_epi32(q);
        u = avx2LoadAt(table, avx2Offsets(_mm_packs_epi32(t, t), weights, origin), 0);
    }
    if constexpr (Oriented) {
        const __m256d products = _mm256_mul_pd(before, u);
        const __m256d dot = _mm256_hadd_pd(products, products);
        u = _mm256_xor_pd(u, _mm256_and_pd(_mm256_set1_pd(-0.0),
                                           _mm256_cmp_pd(dot, _mm256_setzero_pd(), _CMP_LT_OQ)));
        before = u;
    }
    return _mm256_mul_pd(u, h);
}

// The lockstep kernel of orientation fields and linear sampling, for seeds
// whose streamlines stay off every edge and mask: the same chains, with
// the field sampled from the table of vectors at every stage point (the
// blend of four centres, normalised, for Linear), a sample pointing against
// the chain's previous one negated (Oriented), and the increment u x step
// formed after that.
template <int Seeds, int FixedL, int FixedM, bool Linear, bool Oriented, typename T>
FASTLIC_AVX2 void lockstepSampling(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                                   const SeedOut* out, KernelScratch& scratch) {
    const std::int32_t reach = KernelShape<FixedL, FixedM>(f.shape).reach;
    const std::int32_t slots = 2 * reach + 1;
    constexpr int pairs = Seeds / 2;
    constexpr int chains = 2 * pairs;
    const double* table = &f.vectors.data()->x;
    const __m128i origin = _mm_set1_epi32(2 * (f.pad * f.stride + f.pad));
    const __m128i weights = _mm_set_epi16(0, 0, 0, 0, 2, static_cast<short>(2 * f.stride), 2,
                                          static_cast<short>(2 * f.stride));
    const std::uint32_t nextRow = static_cast<std::uint32_t>(2 * f.stride);
    const __m256d sixth = _mm256_set1_pd(1.0 / 6.0);
    const __m256d third = _mm256_set1_pd(1.0 / 3.0);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d h = _mm256_set1_pd(f.stepSize);

    // Orientation fields on periodic axes reach the halo: their cells wrap.
    PointCells<Seeds, T> points(f, rows, cols, slots, scratch);
    __m256d p[chains], before[chains];
    const auto record = [&](std::int32_t slot, int pair, __m128i t) {
        points.record(slot, pair, t, _mm_packs_epi32(t, t));
    };

    for (int q = 0; q < pairs; ++q) {
        p[q] = p[pairs + q] = _mm256_set_pd(cols[2 * q + 1] + 0.5, rows[2 * q + 1] + 0.5,
                                            cols[2 * q] + 0.5, rows[2 * q] + 0.5);
        if constexpr (Oriented) {
            const Vector u0 = directionAt(f.sampler, seedPoint(rows[2 * q], cols[2 * q]));
            const Vector u1 = directionAt(f.sampler, seedPoint(rows[2 * q + 1], cols[2 * q + 1]));
            before[q] = before[pairs + q] = _mm256_set_pd(u1.y, u1.x, u0.y, u0.x);
        }
        record(reach, q, _mm256_cvttpd_epi32(p[q]));
    }
    for (std::int32_t n = 1; n <= reach; ++n) {
        __m256d k[chains], sum[chains];
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            k[c] = samplingStep<Linear, Oriented>(table, weights, origin, nextRow, p[c], before[c], h);
            sum[c] = _mm256_mul_pd(sixth, k[c]);
        }
#pragma GCC unroll 2
        for (int stage = 2; stage <= 3; ++stage)
#pragma GCC unroll 16
            for (int c = 0; c < chains; ++c) {
                k[c] = samplingStep<Linear, Oriented>(table, weights, origin, nextRow,
                                                      along(c < pairs, p[c], _mm256_mul_pd(k[c], half)), before[c], h);
                sum[c] = _mm256_add_pd(sum[c], _mm256_mul_pd(third, k[c]));
            }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            k[c] = samplingStep<Linear, Oriented>(table, weights, origin, nextRow, along(c < pairs, p[c], k[c]),
                                                  before[c], h);
            sum[c] = _mm256_add_pd(sum[c], _mm256_mul_pd(sixth, k[c]));
        }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            const bool forward = c < pairs;
            p[c] = forward ? _mm256_add_pd(sum[c], p[c]) : _mm256_sub_pd(p[c], sum[c]);
            record(forward ? reach + n : reach - n, forward ? c : c - pairs, _mm256_cvttpd_epi32(p[c]));
        }
    }
    convolveFullWindows<Seeds, FixedL, FixedM>(f, points.cells(), out, scratch.texture);
}

template <int Seeds, int FixedL, int FixedM, typename T>
FASTLIC_AVX2 void lockstepSamplingOf(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                                     const SeedOut* out, KernelScratch& scratch) {
    if (f.linear && f.orientation)
        lockstepSampling<Seeds, FixedL, FixedM, true, true>(f, rows, cols, out, scratch);
    else if (f.linear)
        lockstepSampling<Seeds, FixedL, FixedM, true, false>(f, rows, cols, out, scratch);
    else
        lockstepSampling<Seeds, FixedL, FixedM, false, true>(f, rows, cols, out, scratch);
}

#undef FASTLIC_AVX2

// p + k forward, p - k backward (see along).
template <bool Forward>
inline __m128d sse2Move(__m128d p, __m128d k) {
    return Forward ? _mm_add_pd(p, k) : _mm_sub_pd(p, k);
}

// One RK4 step of one lane from p, whose own cell's entry is at index.
template <bool Forward>
inline __m128d sse2Step(const double* origin, __m128i weights, __m128d p, std::int32_t index) {
    const __m128d sixth = _mm_set1_pd(1.0 / 6.0);
    const __m128d third = _mm_set1_pd(1.0 / 3.0);
    const __m128d half = _mm_set1_pd(0.5);
    const auto stepAt = [origin, weights](__m128d q) {
        const __m128i t = _mm_cvttpd_epi32(q);
        return _mm_loadu_pd(origin + _mm_cvtsi128_si32(_mm_madd_epi16(_mm_packs_epi32(t, t), weights)));
    };
    const __m128d k1 = _mm_loadu_pd(origin + index);
    const __m128d k2 = stepAt(sse2Move<Forward>(p, _mm_mul_pd(k1, half)));
    const __m128d k3 = stepAt(sse2Move<Forward>(p, _mm_mul_pd(k2, half)));
    const __m128d k4 = stepAt(sse2Move<Forward>(p, k3));
    const __m128d sum = _mm_add_pd(
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(sixth, k1), _mm_mul_pd(third, k2)), _mm_mul_pd(third, k3)),
        _mm_mul_pd(sixth, k4));
    return Forward ? _mm_add_pd(sum, p) : _mm_sub_pd(p, sum);
}

// One lane, (x, y) of one streamline, in one 128-bit register.
template <int FixedL, int FixedM, typename T>
void lockstepSse2(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                  const SeedOut* out, KernelScratch& scratch) {
    const std::int32_t reach = KernelShape<FixedL, FixedM>(f.shape).reach;
    const std::int32_t slots = 2 * reach + 1;
    const double* origin = &f.steps[static_cast<std::size_t>(f.pad) * f.stride + f.pad].x;
    const __m128i weights =
        _mm_set_epi16(0, 0, 0, 0, 0, 0, 2, static_cast<short>(2 * f.stride));
    const auto indexOf = [weights](__m128i t) {
        return _mm_cvtsi128_si32(_mm_madd_epi16(_mm_packs_epi32(t, t), weights));
    };
    resizeFor(scratch.cells, static_cast<std::size_t>(slots) * seeds);
    resizeFor(scratch.truncated, static_cast<std::size_t>(slots) * seeds * 2);
    resizeFor(scratch.texture, static_cast<std::size_t>(slots));
    std::int32_t* truncated = scratch.truncated.data();  // [slot][seed][row, column]
    const auto keep = [&](std::int32_t slot, int s, __m128i t) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(truncated + (slot * seeds + s) * 2), t);
    };

    __m128d fwd[seeds], bwd[seeds];
    std::int32_t fwdIndex[seeds], bwdIndex[seeds];
    for (int s = 0; s < seeds; ++s) {
        fwd[s] = bwd[s] = _mm_set_pd(cols[s] + 0.5, rows[s] + 0.5);
        const __m128i t = _mm_cvttpd_epi32(fwd[s]);
        fwdIndex[s] = bwdIndex[s] = indexOf(t);
        keep(reach, s, t);
    }
    for (std::int32_t n = 1; n <= reach; ++n) {
#pragma GCC unroll 4
        for (int s = 0; s < seeds; ++s) {
            fwd[s] = sse2Step<true>(origin, weights, fwd[s], fwdIndex[s]);
            const __m128i tf = _mm_cvttpd_epi32(fwd[s]);
            fwdIndex[s] = indexOf(tf);
            keep(reach + n, s, tf);

            bwd[s] = sse2Step<false>(origin, weights, bwd[s], bwdIndex[s]);
            const __m128i tb = _mm_cvttpd_epi32(bwd[s]);
            bwdIndex[s] = indexOf(tb);
            keep(reach - n, s, tb);
        }
    }
    std::int32_t* cells = scratch.cells.data();
    wrapCells(f, truncated, slots, seeds, cells);
    convolveFullWindows<seeds, FixedL, FixedM>(f, cells, out, scratch.texture);
}

// The sampling kernels are unrolled for the classic shape only; they take
// long to compile.
template <int FixedL>
constexpr int samplingL = FixedL == 10 ? 10 : 0;
template <int FixedL, int FixedM>
constexpr int samplingM = FixedL == 10 ? FixedM : 0;

template <int FixedL, int FixedM, typename T>
__attribute__((target("avx2"))) void lockstepAvx2(const PreparedField<T>& f, const std::int32_t* rows,
                                                  const std::int32_t* cols, const SeedOut* out,
                                                  KernelScratch& scratch) {
    if (f.lockstepShape)
        lockstepPairs<seeds, FixedL, FixedM>(f, rows, cols, out, scratch);
    else
        lockstepSamplingOf<seeds, samplingL<FixedL>, samplingM<FixedL, FixedM>>(f, rows, cols, out, scratch);
}

// The same code with AVX-512's 32 registers holds more streamlines in flight.
template <int FixedL, int FixedM, typename T>
__attribute__((target("avx2,avx512f,avx512vl"))) void lockstepAvx512(const PreparedField<T>& f,
                                                                         const std::int32_t* rows,
                                                                         const std::int32_t* cols,
                                                                         const SeedOut* out,
                                                                         KernelScratch& scratch) {
    if (f.lockstepShape)
        lockstepPairs<wideSeeds, FixedL, FixedM>(f, rows, cols, out, scratch);
    else
        lockstepSamplingOf<wideSeeds, samplingL<FixedL>, samplingM<FixedL, FixedM>>(f, rows, cols, out, scratch);
}

Kernel supported() {
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return Kernel::avx512;
    if (__builtin_cpu_supports("avx2")) return Kernel::avx2;
    return Kernel::sse2;
}

Kernel kernel = supported();

template <int FixedL, int FixedM, typename T>
void lockstepShaped(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                    const SeedOut* out, KernelScratch& scratch) {
    switch (kernel) {
    case Kernel::avx512: lockstepAvx512<FixedL, FixedM>(f, rows, cols, out, scratch); break;
    case Kernel::avx2: lockstepAvx2<FixedL, FixedM>(f, rows, cols, out, scratch); break;
    case Kernel::sse2: lockstepSse2<FixedL, FixedM>(f, rows, cols, out, scratch); break;
    }
}

}  // namespace

void useWidestKernelUpTo(Kernel widest) { kernel = std::max(widest, supported()); }

int lockstepBatch() { return kernel == Kernel::avx512 ? wideSeeds : seeds; }

bool samplingLockstep() { return kernel != Kernel::sse2; }

template <typename T>
void lockstepSeedContributions(const PreparedField<T>& f, const std::int32_t* rows,
                               const std::int32_t* cols, const SeedOut* out, KernelScratch& scratch) {
    // Shapes whose loops the compiler unrolls whole: the classic one, and a
    // short one, where loop overhead weighs most against the work per seed.
    // Any other runs the same code with loops of run-time length.
    const std::int32_t L = f.shape.L, M = f.shape.M;
    if (L == 10 && M == 9)
        lockstepShaped<10, 9>(f, rows, cols, out, scratch);
    else if (L == 5 && M == 4)
        lockstepShaped<5, 4>(f, rows, cols, out, scratch);
    else
        lockstepShaped<0, 0>(f, rows, cols, out, scratch);
}

#else

int lockstepBatch() { return 4; }

bool samplingLockstep() { return false; }

template <typename T>
void lockstepSeedContributions(const PreparedField<T>& f, const std::int32_t* rows,
                               const std::int32_t* cols, const SeedOut* out, KernelScratch& scratch) {
    for (int s = 0; s < lockstepBatch(); ++s) seedContributions(f, rows[s], cols[s], out[s], scratch);
}

void useWidestKernelUpTo(Kernel) {}

#endif

#define FASTLIC_INSTANTIATE(T)                                                                          \
    template void prepareField<T>(const FieldView&, const Plane<T>&, const LicParams&, PreparedField<T>&, \
                                  int);                                                                 \
    template void seedContributions<T>(const PreparedField<T>&, std::int32_t, std::int32_t, SeedOut,    \
                                       KernelScratch&);                                                 \
    template void lockstepSeedContributions<T>(const PreparedField<T>&, const std::int32_t*,             \
                                               const std::int32_t*, const SeedOut*, KernelScratch&);
FASTLIC_INSTANTIATE(std::int32_t)
FASTLIC_INSTANTIATE(double)
#undef FASTLIC_INSTANTIATE

}  // namespace fastlic::detail

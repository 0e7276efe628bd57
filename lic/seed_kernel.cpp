#include "lic/seed_kernel.h"

#include <algorithm>

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

// Wraps a padded index back into 0..n-1 (the halo is narrower than n).
std::int32_t unpad(std::int32_t padded, std::int32_t pad, std::int32_t n) {
    const std::int32_t v = padded - pad;
    return v < 0 ? v + n : v >= n ? v - n : v;
}

}  // namespace

void prepareField(const RegGrid& grid, PreparedField& field, int threads) {
    const std::int32_t rows = grid.rows, cols = grid.cols;
    // The lockstep kernel forms table offsets (twice the stride per row)
    // from 16-bit halves.
    const bool lockstep = packedKernel && rows >= lockstepPad && cols >= lockstepPad &&
                          rows + 2 * lockstepPad <= 16383 && cols + 2 * lockstepPad <= 16383;
    field.rows = rows;
    field.cols = cols;
    field.pad = lockstep ? lockstepPad : 0;
    field.stride = cols + 2 * field.pad;
    field.texture = grid.texture.data();
    const std::int32_t paddedRows = rows + 2 * field.pad;
    field.steps = ZeroedBuffer<Direction>(static_cast<std::size_t>(paddedRows) *
                                          static_cast<std::size_t>(field.stride));
    field.rowStart.resize(static_cast<std::size_t>(paddedRows));
    field.colOf.resize(static_cast<std::size_t>(field.stride));
    for (std::int32_t pr = 0; pr < paddedRows; ++pr)
        field.rowStart[static_cast<std::size_t>(pr)] = unpad(pr, field.pad, rows) * cols;
    for (std::int32_t pc = 0; pc < field.stride; ++pc)
        field.colOf[static_cast<std::size_t>(pc)] = unpad(pc, field.pad, cols);

    const Vector* vectors = grid.vectors.data();
    const std::int32_t stride = field.stride;
    Direction* out = field.steps.data();
    parallelFor(paddedRows, 64, threads, [&](std::int64_t begin, std::int64_t end) {
    for (auto pr = static_cast<std::int32_t>(begin); pr < end; ++pr) {
        const std::int32_t row = unpad(pr, field.pad, rows);
        for (std::int32_t pc = 0; pc < stride; ++pc) {
            const Vector& v = vectors[static_cast<std::size_t>(row) * static_cast<std::size_t>(cols) +
                                      static_cast<std::size_t>(unpad(pc, field.pad, cols))];
            const Vector k = (isNearZero(v) ? v : normalize(v)) * 0.5;
            out[static_cast<std::size_t>(pr) * static_cast<std::size_t>(stride) +
                static_cast<std::size_t>(pc)] = {k.x, k.y};
        }
    }
    });
}

namespace {

struct Position {
    double x, y;
};

// Cell index of (x, y), or -1 when the point maps outside the grid.
inline std::int32_t cellIndex(const PreparedField& f, double x, double y) {
    const std::int32_t r = wrapCoordinate(x, f.rows);
    const std::int32_t c = wrapCoordinate(y, f.cols);
    return (r | c) < 0 ? -1 : r * f.cols + c;
}

// The increment u x h at (x, y): the table's u x 0.5, negated (exactly) for
// h = -0.5; zero outside the grid.
inline Direction incrementAt(const PreparedField& f, double x, double y, double sign) {
    const std::int32_t r = wrapCoordinate(x, f.rows);
    const std::int32_t c = wrapCoordinate(y, f.cols);
    const Direction k = (r | c) < 0 ? Direction{0.0, 0.0} : f.stepOf(r, c);
    return {k.x * sign, k.y * sign};
}

// rk4Step on x and y alone: z stays 0 and w 1 on every traced point, and
// neither takes part in a lookup. sign is +1 forward, -1 backward.
inline void step(const PreparedField& f, Position& p, double sign) {
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

void seedContributions(const PreparedField& f, std::int32_t row, std::int32_t col,
                       SeedContributions& out) {
    constexpr int reach = streamlineReach;
    // Index reach + k holds position k, -19..+19.
    std::int32_t cells[2 * reach + 1];
    double tex[2 * reach + 1];
    const auto mapPoint = [&](int slot, double x, double y) {
        const std::int32_t cell = cellIndex(f, x, y);
        cells[slot] = cell;
        tex[slot] = cell < 0 ? 0.0 : static_cast<double>(f.texture[cell]);
    };

    const double seedX = static_cast<double>(row) + 0.5;
    const double seedY = static_cast<double>(col) + 0.5;
    mapPoint(reach, seedX, seedY);
    Position fwd{seedX, seedY};
    Position bwd{seedX, seedY};
    for (int n = 1; n <= reach; ++n) {
        step(f, fwd, +1.0);
        mapPoint(reach + n, fwd.x, fwd.y);
        step(f, bwd, -1.0);
        mapPoint(reach - n, bwd.x, bwd.y);
    }

    std::int32_t size = 0;
    std::int32_t centreCount = 0;
    double sum = 0.0;
    for (int m = -filterHalfLength; m <= filterHalfLength; ++m) {
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

    // dir = +1: position k enters k + 10 and drops k - 11; dir = -1 mirrors.
    for (int dir = 1; dir >= -1; dir -= 2) {
        double average = centre;
        std::int32_t count = centreCount;
        for (int n = 1; n <= slideSteps; ++n) {
            const int k = reach + dir * n;
            if (cells[k] < 0) continue;
            const int entering = k + dir * filterHalfLength;
            const int leaving = k - dir * (filterHalfLength + 1);
            const std::int32_t updated =
                count + (cells[entering] >= 0 ? 1 : 0) - (cells[leaving] >= 0 ? 1 : 0);
            if (updated <= 0) continue;
            count = updated;
            const double reciprocal = 1.0 / count;
            average = (tex[entering] - tex[leaving]) * reciprocal + average;
            out.cells[size] = cells[k];
            out.values[size] = average;
            ++size;
        }
    }
    out.size = size;
}

#if defined(__SSE2__)

namespace {

// Seeds a batch: as many as the registers hold streamlines in flight.
constexpr int seeds = 8;       // SSE2 and AVX2: 16 registers
constexpr int wideSeeds = 12;  // AVX-512: 32 registers
constexpr int slotsPerLine = 2 * streamlineReach + 1;
// cells[reach + k][s]: the cell of seed s's position k.
template <int Seeds>
using BatchCells = std::int32_t[slotsPerLine][Seeds];

// The convolution of a batch whose points all lie inside: every window
// holds 21 samples, so every reciprocal is that of 21 and no step is
// skipped.
template <int Seeds>
void convolveFullWindows(const PreparedField& f, const BatchCells<Seeds>& cells, SeedContributions* const* out) {
    constexpr int reach = streamlineReach;
    constexpr std::int32_t window = 2 * filterHalfLength + 1;
    const double reciprocal = 1.0 / window;
    for (int s = 0; s < Seeds; ++s) {
        double tex[slotsPerLine];
#pragma GCC unroll 39
        for (int m = 0; m < slotsPerLine; ++m) tex[m] = static_cast<double>(f.texture[cells[m][s]]);
        double sum = 0.0;
#pragma GCC unroll 21
        for (int m = -filterHalfLength; m <= filterHalfLength; ++m) sum = sum + tex[reach + m];
        const double centre = sum * (1.0 / window);
        SeedContributions& o = *out[s];
        o.cells[0] = cells[reach][s];
        o.values[0] = centre;
        double average = centre;
#pragma GCC unroll 9
        for (int k = 1; k <= slideSteps; ++k) {
            average = (tex[reach + k + filterHalfLength] - tex[reach + k - filterHalfLength - 1]) *
                          reciprocal +
                      average;
            o.cells[k] = cells[reach + k][s];
            o.values[k] = average;
        }
        average = centre;
#pragma GCC unroll 9
        for (int k = 1; k <= slideSteps; ++k) {
            average = (tex[reach - k - filterHalfLength] - tex[reach - k + filterHalfLength + 1]) *
                          reciprocal +
                      average;
            o.cells[slideSteps + k] = cells[reach - k][s];
            o.values[slideSteps + k] = average;
        }
        o.size = maxContributions;
    }
}

// The grid cell of a truncated point (row low, column high), wrapped.
inline std::int32_t wrappedCell(const PreparedField& f, std::int64_t truncated) {
    const auto t = static_cast<std::uint64_t>(truncated);
    return f.rowStart[static_cast<std::size_t>(static_cast<std::int32_t>(t & 0xffffffffu) + f.pad)] +
           f.colOf[static_cast<std::size_t>(static_cast<std::int32_t>(t >> 32) + f.pad)];
}

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


// p + k forward; p - k backward, whose increments u x -0.5 are exactly
// -(u x 0.5), the table's forward ones negated.
FASTLIC_AVX2 __m256d along(bool forward, __m256d p, __m256d k) {
    return forward ? _mm256_add_pd(p, k) : _mm256_sub_pd(p, k);
}

// Two lanes, (x, y) of two streamlines, in one 256-bit register; the
// forward and the backward trace of every pair are separate chains of
// samples. The chains advance stage by stage together, not step by step
// one after another, so that the processor finds independent work near in
// the instruction stream while each chain waits for its samples.
template <int Seeds>
FASTLIC_AVX2 void lockstepPairs(const PreparedField& f, const std::int32_t* rows, const std::int32_t* cols,
                                SeedContributions* const* out) {
    constexpr int reach = streamlineReach;
    constexpr int pairs = Seeds / 2;
    constexpr int chains = 2 * pairs;  // chain c < pairs traces pair c forward, else pair c - pairs backward
    const double* table = &f.steps.data()->x;
    // Offsets of cell (0, 0) in doubles, added to every lane's offset.
    const __m128i origin = _mm_set1_epi32(2 * (f.pad * f.stride + f.pad));
    const __m128i weights = _mm_set_epi16(0, 0, 0, 0, 2, static_cast<short>(2 * f.stride), 2,
                                          static_cast<short>(2 * f.stride));
    const __m128i cellWeights =
        _mm_set_epi16(0, 0, 0, 0, 1, static_cast<short>(f.cols), 1, static_cast<short>(f.cols));
    const __m256d sixth = _mm256_set1_pd(1.0 / 6.0);
    const __m256d third = _mm256_set1_pd(1.0 / 3.0);
    const __m256d half = _mm256_set1_pd(0.5);
    bool interior = true;
    for (int s = 0; s < Seeds; ++s)
        interior = interior && rows[s] >= lockstepPad - 1 && rows[s] < f.rows - lockstepPad &&
                   cols[s] >= lockstepPad - 1 && cols[s] < f.cols - lockstepPad;

    __m256d p[chains];
    __m128i offset[chains];
    BatchCells<Seeds> cells;
    // Truncated rows and columns of every point, where wrapping is needed.
    alignas(16) std::int32_t truncated[slotsPerLine][pairs][4];
    const auto record = [&](int slot, int pair, __m128i t, __m128i words) {
        if (interior)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(&cells[slot][2 * pair]),
                             _mm_madd_epi16(words, cellWeights));
        else
            _mm_store_si128(reinterpret_cast<__m128i*>(truncated[slot][pair]), t);
    };
    for (int q = 0; q < pairs; ++q) {
        p[q] = p[pairs + q] = _mm256_set_pd(cols[2 * q + 1] + 0.5, rows[2 * q + 1] + 0.5,
                                            cols[2 * q] + 0.5, rows[2 * q] + 0.5);
        const __m128i t = _mm256_cvttpd_epi32(p[q]);
        const __m128i words = _mm_packs_epi32(t, t);
        offset[q] = offset[pairs + q] = avx2Offsets(words, weights, origin);
        record(reach, q, t, words);
    }
    for (int n = 1; n <= reach; ++n) {
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
            record(forward ? reach + n : reach - n, forward ? c : c - pairs, t, words);
        }
    }
    if (!interior)
        for (int m = 0; m < slotsPerLine; ++m)
            for (int q = 0; q < pairs; ++q)
                for (int lane = 0; lane < 2; ++lane) {
                    const std::int32_t* t = truncated[m][q] + 2 * lane;
                    cells[m][2 * q + lane] = wrappedCell(
                        f, static_cast<std::int64_t>(static_cast<std::uint32_t>(t[0])) |
                               static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(t[1])) << 32));
                }
    convolveFullWindows<Seeds>(f, cells, out);
}

#undef FASTLIC_AVX2

__attribute__((target("avx2"))) void lockstepAvx2(const PreparedField& f, const std::int32_t* rows,
                                                  const std::int32_t* cols, SeedContributions* const* out) {
    lockstepPairs<seeds>(f, rows, cols, out);
}

// The same code with AVX-512's 32 registers holds more streamlines in flight.
__attribute__((target("avx2,avx512f,avx512vl"))) void lockstepAvx512(const PreparedField& f,
                                                                         const std::int32_t* rows,
                                                                         const std::int32_t* cols,
                                                                         SeedContributions* const* out) {
    lockstepPairs<wideSeeds>(f, rows, cols, out);
}

// p + k forward, p - k backward (see avx2Move).
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
void lockstepSse2(const PreparedField& f, const std::int32_t* rows, const std::int32_t* cols,
                  SeedContributions* const* out) {
    constexpr int reach = streamlineReach;
    const double* origin = &f.steps[static_cast<std::size_t>(f.pad) * f.stride + f.pad].x;
    const __m128i weights =
        _mm_set_epi16(0, 0, 0, 0, 0, 0, 2, static_cast<short>(2 * f.stride));
    const auto indexOf = [weights](__m128i t) {
        return _mm_cvtsi128_si32(_mm_madd_epi16(_mm_packs_epi32(t, t), weights));
    };

    __m128d fwd[seeds], bwd[seeds];
    std::int32_t fwdIndex[seeds], bwdIndex[seeds];
    std::int64_t truncated[slotsPerLine][seeds];
    for (int s = 0; s < seeds; ++s) {
        fwd[s] = bwd[s] = _mm_set_pd(cols[s] + 0.5, rows[s] + 0.5);
        const __m128i t = _mm_cvttpd_epi32(fwd[s]);
        fwdIndex[s] = bwdIndex[s] = indexOf(t);
        truncated[reach][s] = _mm_cvtsi128_si64(t);
    }
    for (int n = 1; n <= reach; ++n) {
#pragma GCC unroll 4
        for (int s = 0; s < seeds; ++s) {
            fwd[s] = sse2Step<true>(origin, weights, fwd[s], fwdIndex[s]);
            const __m128i tf = _mm_cvttpd_epi32(fwd[s]);
            fwdIndex[s] = indexOf(tf);
            truncated[reach + n][s] = _mm_cvtsi128_si64(tf);

            bwd[s] = sse2Step<false>(origin, weights, bwd[s], bwdIndex[s]);
            const __m128i tb = _mm_cvttpd_epi32(bwd[s]);
            bwdIndex[s] = indexOf(tb);
            truncated[reach - n][s] = _mm_cvtsi128_si64(tb);
        }
    }
    BatchCells<seeds> cells;
    for (int m = 0; m < slotsPerLine; ++m)
        for (int s = 0; s < seeds; ++s) cells[m][s] = wrappedCell(f, truncated[m][s]);
    convolveFullWindows<seeds>(f, cells, out);
}

Kernel supported() {
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) return Kernel::avx512;
    if (__builtin_cpu_supports("avx2")) return Kernel::avx2;
    return Kernel::sse2;
}

Kernel kernel = supported();

}  // namespace

void useWidestKernelUpTo(Kernel widest) { kernel = std::max(widest, supported()); }

int lockstepBatch() { return kernel == Kernel::avx512 ? wideSeeds : seeds; }

void lockstepSeedContributions(const PreparedField& f, const std::int32_t* rows,
                               const std::int32_t* cols, SeedContributions* const* out) {
    switch (kernel) {
    case Kernel::avx512: lockstepAvx512(f, rows, cols, out); break;
    case Kernel::avx2: lockstepAvx2(f, rows, cols, out); break;
    case Kernel::sse2: lockstepSse2(f, rows, cols, out); break;
    }
}

#else

int lockstepBatch() { return 4; }

void lockstepSeedContributions(const PreparedField& f, const std::int32_t* rows,
                               const std::int32_t* cols, SeedContributions* const* out) {
    for (int s = 0; s < lockstepBatch(); ++s) seedContributions(f, rows[s], cols[s], *out[s]);
}

void useWidestKernelUpTo(Kernel) {}

#endif

}  // namespace fastlic::detail

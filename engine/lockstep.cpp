// The lockstep kernels, written once: Highway compiles this file for every
// instruction set it targets (foreach_target.h includes it again per
// target); each run takes the widest the processor runs, no wider than
// its options allow.

// Elsewhere than on x86 the processor's baseline (NEON, for one) is the
// one target: the run-time choice below detects x86 features only.
#if !defined(__x86_64__) && !defined(__i386__) && !defined(HWY_COMPILE_ONLY_STATIC)
#define HWY_COMPILE_ONLY_STATIC 1
#endif
// Processors short of Highway's SSE4 (SSE4.2 with AES, from about 2010)
// take the scalar path rather than one more copy of every kernel.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS HWY_SSSE3
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/lockstep.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <vector>

#include "engine/seed_kernel.h"
#include "engine/streamline.h"

#ifndef FASTLIC_LOCKSTEP_ONCE
#define FASTLIC_LOCKSTEP_ONCE
namespace fastlic::detail::lockstep {

template <typename T>
void resizeFor(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
}

// The shape of a kernel: fixed at compile time for the common ones, so
// that their loops unroll; read from the field for any other (FixedL = 0).
template <int FixedL, int FixedM>
struct KernelShape {
    std::int32_t L, M, reach;
    explicit KernelShape(const Shape& s)
        : L(FixedL ? FixedL : s.L), M(FixedL ? FixedM : s.M), reach(FixedL ? FixedL + FixedM : s.reach) {}
};

// The grid cell of a truncated point (row, column), by the halo (never
// the exterior: careful seeds keep away from it).
template <typename T>
inline std::int32_t wrappedCell(const PreparedField<T>& f, std::int32_t row, std::int32_t col) {
    return f.halo.rowStart[static_cast<std::size_t>(row + f.pad)] + f.halo.colOf[static_cast<std::size_t>(col + f.pad)];
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

}  // namespace fastlic::detail::lockstep
#endif

HWY_BEFORE_NAMESPACE();
namespace fastlic::detail::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace lockstep;

#if HWY_TARGET == HWY_SCALAR
// Vectors of one lane hold no point: every seed takes the careful path.
LockstepKernel kernelOf(Mode) { return {}; }
#else

// Doubles per vector: (x, y) of one point (128 bits) or of two (256 bits).
// AVX-512 keeps 256-bit vectors and holds more streamlines in its 32
// registers: 512-bit ones were only 4% faster on an AMD processor, which
// splits them in two, and may lower the clock of Intel's.
constexpr std::size_t kLanes = HWY_MIN(4, HWY_MAX_BYTES / sizeof(double));
constexpr int kPoints = static_cast<int>(kLanes / 2);
// Seeds a batch: streamlines in flight. Eight with 16 registers spill a
// few vectors, yet outrun fewer with 128-bit ones too.
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
constexpr int kSeeds = 12;  // 32 registers
#else
constexpr int kSeeds = 8;
#endif

using D = hn::CappedTag<double, kLanes>;       // points
using DI = hn::Rebind<std::int32_t, D>;        // the same truncated
using DW = hn::Rebind<std::int16_t, D>;        // and packed to words
using DO = hn::Repartition<std::int32_t, DW>;  // one offset per point
using V = hn::Vec<D>;
using VI = hn::Vec<DI>;
using VW = hn::Vec<DW>;
using VO = hn::Vec<DO>;

// p truncated toward zero. Highway's DemoteTo first clamps to the int32
// range, a step on every sample's critical path; on x86 it is left out:
// points stay within the padded grid, whose sides fit 16 bits.
HWY_INLINE VI truncated(V p) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    return VI{_mm256_cvttpd_epi32(p.raw)};
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_SSSE3
    return VI{_mm_cvttpd_epi32(p.raw)};
#else
    return hn::DemoteTo(DI(), p);
#endif
}

// Words (row, column) of each point times weights (wr, wc): row x wr +
// column x wc + base, per point.
HWY_INLINE VO weighted(VW words, VW weights, VO base) {
    const DO d;
    VO odd = hn::Zero(d);
    const VO even = hn::ReorderWidenMulAccumulate(d, words, weights, base, odd);
    return hn::RearrangeToOddPlusEven(even, odd);
}

// (wr, wc) repeated for every point.
HWY_INLINE VW weightsOf(std::int32_t wr, std::int32_t wc) {
    alignas(16) std::int16_t w[kLanes];
    for (std::size_t i = 0; i < kLanes; i += 2) {
        w[i] = static_cast<std::int16_t>(wr);
        w[i + 1] = static_cast<std::int16_t>(wc);
    }
    return hn::LoadU(DW(), w);
}

// The two doubles at each point's table offset (never negative, so they
// widen to addresses for free), points first to last from offset lane first.
template <std::size_t N>
HWY_INLINE hn::Vec<hn::Simd<double, N, 0>> loadPoints(hn::Simd<double, N, 0> d, const double* table, VO offset,
                                                       std::size_t first) {
    if constexpr (N == 2) {
        return hn::LoadU(d, table + static_cast<std::uint32_t>(hn::ExtractLane(offset, first)));
    } else {
        const hn::Half<decltype(d)> half;
        return hn::Combine(d, loadPoints(half, table, offset, first + N / 4), loadPoints(half, table, offset, first));
    }
}

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

// Window n of a seed lies at position n (0..M), or M - n (M + 1..2M): the
// seed, then +1..+M, then -1..-M, the order contributions are added in.
inline std::int32_t windowPosition(std::int32_t n, std::int32_t M) { return n <= M ? n : M - n; }

// Rows rows of weights w[r] (2L + 1 each, for positions -L..L) over every
// window of a batch whose points all lie inside: dots[r][n * Seeds + s] is
// the sum of w[r]_j x tex at position n's k + j for seed s, added in
// ascending order of j. The seeds are the lanes, so each lane runs the
// reference's chain of additions; several windows and rows at once keep
// independent chains in flight, and the rows share each sample's load.
template <int Seeds, int Rows>
void windowDots(const double* __restrict tex, const double* const* w, std::int32_t reach, std::int32_t L,
                std::int32_t M, double* const* dots) {
    static_assert(Seeds % kLanes == 0);
    constexpr int vectors = Seeds / static_cast<int>(kLanes);
    // Windows summed side by side: as many sums as registers allow.
    constexpr int together = vectors * Rows >= 4 ? (vectors * Rows >= 8 ? 1 : 2) : 4;
    const D d;
    const std::int32_t windows = 2 * M + 1;
    for (std::int32_t n0 = 0; n0 < windows; n0 += together) {
        const double* at[together];
        for (int q = 0; q < together; ++q) {
            const std::int32_t first = reach + windowPosition(std::min(n0 + q, windows - 1), M) - L;
            at[q] = tex + static_cast<std::ptrdiff_t>(first) * Seeds;
        }
        V sum[Rows][together][vectors];
        for (int r = 0; r < Rows; ++r)
            for (int q = 0; q < together; ++q)
                for (int v = 0; v < vectors; ++v) sum[r][q][v] = hn::Zero(d);
        for (std::int32_t j = 0; j <= 2 * L; ++j) {
            V weight[Rows];
            for (int r = 0; r < Rows; ++r) weight[r] = hn::Set(d, w[r][j]);
#pragma GCC unroll 4
            for (int q = 0; q < together; ++q)
#pragma GCC unroll 4
                for (int v = 0; v < vectors; ++v) {
                    const V t = hn::LoadU(d, at[q] + j * Seeds + v * static_cast<int>(kLanes));
#pragma GCC unroll 3
                    for (int r = 0; r < Rows; ++r) sum[r][q][v] = hn::Add(sum[r][q][v], hn::Mul(weight[r], t));
                }
        }
        for (int r = 0; r < Rows; ++r)
            for (int q = 0; q < together && n0 + q < windows; ++q)
                for (int v = 0; v < vectors; ++v)
                    hn::StoreU(sum[r][q][v], d, dots[r] + (n0 + q) * Seeds + v * static_cast<int>(kLanes));
    }
}

// The weighted windows of a batch whose points all lie inside: each
// window's dot product with the weights over the weights' total, the sum
// of all 2L + 1 of them.
template <int Seeds, typename T>
void weightedFullWindows(const PreparedField<T>& f, const std::int32_t* __restrict cells, const SeedOut* out,
                         KernelScratch& scratch) {
    const D d;
    const T* __restrict texture = f.texture;
    const std::int32_t reach = f.shape.reach, L = f.shape.L, M = f.shape.M;
    const std::int32_t windows = 2 * M + 1;
    const std::int32_t samples = (2 * reach + 1) * Seeds;
    // The weight rows: the kernel's, then the phase rows where animated.
    const int rows = f.shape.animated ? 3 : 1;
    const std::size_t perRow = static_cast<std::size_t>(windows) * Seeds;
    resizeFor(scratch.texture, static_cast<std::size_t>(samples));
    resizeFor(scratch.windows, perRow * static_cast<std::size_t>(rows));
    // tex[m * Seeds + s], as cells; values[n * Seeds + s]: window n of seed
    // s, row after row.
    double* __restrict tex = scratch.texture.data();
    double* __restrict values = scratch.windows.data();
    for (std::int32_t i = 0; i < samples; ++i) tex[i] = static_cast<double>(texture[cells[i]]);
    const double* weights[3] = {f.weights.data(), f.cosWeights.data(), f.sinWeights.data()};
    double* const dots[3] = {values, values + perRow, values + 2 * perRow};
    if (rows == 3)
        windowDots<Seeds, 3>(tex, weights, reach, L, M, dots);
    else
        windowDots<Seeds, 1>(tex, weights, reach, L, M, dots);
    const V total = hn::Set(d, f.weightTotal);
    for (std::size_t i = 0; i < perRow * static_cast<std::size_t>(rows); i += kLanes)
        hn::StoreU(hn::Div(hn::LoadU(d, values + i), total), d, values + i);
    for (int s = 0; s < Seeds; ++s) {
        std::int32_t* __restrict outCells = out[s].cells;
        double* __restrict outValues = out[s].values;
        for (std::int32_t n = 0; n < windows; ++n) {
            outCells[n] = cells[(reach + windowPosition(n, M)) * Seeds + s];
            outValues[n] = values[n * Seeds + s];
        }
        if (rows == 3) {
            double* __restrict outCos = out[s].cosValues;
            double* __restrict outSin = out[s].sinValues;
            for (std::int32_t n = 0; n < windows; ++n) {
                const double value = values[n * Seeds + s];
                outCos[n] = f.steady ? values[perRow + n * Seeds + s] - f.cosMean * value
                                     : values[perRow + n * Seeds + s];
                outSin[n] = f.steady ? values[2 * perRow + n * Seeds + s] - f.sinMean * value
                                     : values[2 * perRow + n * Seeds + s];
            }
        }
        *out[s].size = windows;
    }
}

// A batch's windows, box or weighted, from its points' cells.
template <int Seeds, int FixedL, int FixedM, typename T>
void convolveBatch(const PreparedField<T>& f, const std::int32_t* cells, const SeedOut* out,
                   KernelScratch& scratch) {
    if (f.shape.weighted)
        weightedFullWindows<Seeds>(f, cells, out, scratch);
    else
        convolveFullWindows<Seeds, FixedL, FixedM>(f, cells, out, scratch.texture);
}

// The cells of a batch's points, recorded as they are traced: computed at
// once where every point lies inside the grid itself, otherwise kept as
// truncated coordinates and wrapped when the trace is done.
template <int Seeds, typename T>
class PointCells {
public:
    PointCells(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
               std::int32_t slots, KernelScratch& scratch)
        : f_(f), slots_(slots), interior_(interiorBatch(f, rows, cols, Seeds)), weights_(weightsOf(f.cols, 1)) {
        resizeFor(scratch.cells, static_cast<std::size_t>(slots) * Seeds);
        resizeFor(scratch.truncated, static_cast<std::size_t>(slots) * Seeds * 2);
        resizeFor(scratch.texture, static_cast<std::size_t>(slots));
        cells_ = scratch.cells.data();
        truncated_ = scratch.truncated.data();
    }
    // The points of vector v of the batch at slot: truncated, and the same
    // packed to words.
    HWY_INLINE void record(std::int32_t slot, int v, VI t, VW words) {
        if (interior_)
            hn::StoreU(weighted(words, weights_, hn::Zero(DO())), DO(), cells_ + slot * Seeds + kPoints * v);
        else
            hn::StoreU(t, DI(), truncated_ + (slot * Seeds + kPoints * v) * 2);
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
    VW weights_;
    std::int32_t* cells_;
    std::int32_t* truncated_;
};

// p + k forward; p - k backward, whose increments u x -step are exactly
// -(u x step), the table's forward ones negated.
HWY_INLINE V along(bool forward, V p, V k) { return forward ? hn::Add(p, k) : hn::Sub(p, k); }

// (x, y) of kPoints streamlines in one vector; the forward and the backward
// trace of every vector of seeds are separate chains of samples. The chains
// advance stage by stage together, not step by step one after another, so
// that the processor finds independent work near in the instruction stream
// while each chain waits for its samples.
template <int Seeds, int FixedL, int FixedM, typename T>
void lockstepPairs(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                   const SeedOut* out, KernelScratch& scratch) {
    const D d;
    const DW dw;
    const std::int32_t reach = KernelShape<FixedL, FixedM>(f.shape).reach;
    const std::int32_t slots = 2 * reach + 1;
    constexpr int vectors = Seeds / kPoints;
    constexpr int chains = 2 * vectors;  // chain c < vectors traces vector c forward, else c - vectors backward
    const double* table = &f.table->x;
    // Offsets of cell (0, 0) in doubles, added to every point's offset.
    const VO origin = hn::Set(DO(), 2 * (f.pad * f.stride + f.pad));
    const VW weights = weightsOf(2 * f.stride, 2);
    const V sixth = hn::Set(d, 1.0 / 6.0);
    const V third = hn::Set(d, 1.0 / 3.0);
    const V half = hn::Set(d, 0.5);
    PointCells<Seeds, T> points(f, rows, cols, slots, scratch);
    V p[chains];
    VO offset[chains];
    for (int v = 0; v < vectors; ++v) {
        alignas(32) double seed[kLanes];
        for (int i = 0; i < kPoints; ++i) {
            seed[2 * i] = rows[kPoints * v + i] + 0.5;
            seed[2 * i + 1] = cols[kPoints * v + i] + 0.5;
        }
        p[v] = p[vectors + v] = hn::LoadU(d, seed);
        const VI t = truncated(p[v]);
        const VW words = hn::DemoteTo(dw, t);
        offset[v] = offset[vectors + v] = weighted(words, weights, origin);
        points.record(reach, v, t, words);
    }
    for (std::int32_t n = 1; n <= reach; ++n) {
        // One RK4 step of every chain from p, whose own cells' entries are at offset.
        V k[chains], sum[chains];
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            k[c] = loadPoints(d, table, offset[c], 0);
            sum[c] = hn::Mul(sixth, k[c]);
        }
        const auto stepAt = [&](V q) {
            return loadPoints(d, table, weighted(hn::DemoteTo(dw, truncated(q)), weights, origin), 0);
        };
        // The second and third stages: from p + k x 0.5, weighted a third.
#pragma GCC unroll 2
        for (int stage = 2; stage <= 3; ++stage)
#pragma GCC unroll 16
            for (int c = 0; c < chains; ++c) {
                k[c] = stepAt(along(c < vectors, p[c], hn::Mul(k[c], half)));
                sum[c] = hn::Add(sum[c], hn::Mul(third, k[c]));
            }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            k[c] = stepAt(along(c < vectors, p[c], k[c]));
            sum[c] = hn::Add(sum[c], hn::Mul(sixth, k[c]));
        }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            const bool forward = c < vectors;
            p[c] = forward ? hn::Add(sum[c], p[c]) : hn::Sub(p[c], sum[c]);
            const VI t = truncated(p[c]);
            const VW words = hn::DemoteTo(dw, t);
            offset[c] = weighted(words, weights, origin);
            points.record(forward ? reach + n : reach - n, forward ? c : c - vectors, t, words);
        }
    }
    convolveBatch<Seeds, FixedL, FixedM>(f, points.cells(), out, scratch);
}

// Two doubles per point at each point's table offset plus extra.
HWY_INLINE V loadAt(const double* table, VO offset, std::uint32_t extra) {
    return loadPoints(D(), table + extra, offset, 0);
}

// x + y of each point in both its lanes (y + x in the second, the same
// number).
HWY_INLINE V pointSums(V v) { return hn::Add(v, hn::Reverse2(D(), v)); }

// The field at q from the table: the blend of the four centres around it
// (Linear, not yet normalised), or its cell's entry.
template <bool Linear>
HWY_INLINE V sampleAt(const double* table, VW weights, VO origin, std::uint32_t nextRow, V q) {
    const D d;
    const DW dw;
    if constexpr (Linear) {
        const V g = hn::Sub(q, hn::Set(d, 0.5));
        const V low = hn::Floor(g);
        const V fraction = hn::Sub(g, low);
        const VO offset = weighted(hn::DemoteTo(dw, truncated(low)), weights, origin);
        const V v00 = loadAt(table, offset, 0), v01 = loadAt(table, offset, 2);
        const V v10 = loadAt(table, offset, nextRow), v11 = loadAt(table, offset, nextRow + 2);
        const V fx = hn::DupEven(fraction);  // (fx, fx) per point
        const V fy = hn::DupOdd(fraction);   // (fy, fy) per point
        const V a = hn::Add(v00, hn::Mul(hn::Sub(v01, v00), fy));
        const V b = hn::Add(v10, hn::Mul(hn::Sub(v11, v10), fy));
        return hn::Add(a, hn::Mul(hn::Sub(b, a), fx));
    } else {
        return loadAt(table, weighted(hn::DemoteTo(dw, truncated(q)), weights, origin), 0);
    }
}

// a and b as unit vectors (each point's as it is where its squared length
// is below 1e-12). A point's squared length fills both its lanes, so the
// two vectors' lengths share one square root and one division.
HWY_INLINE void normalisePair(V& a, V& b) {
    const D d;
    const hn::RebindToSigned<D> di;
    const V squaresA = pointSums(hn::Mul(a, a)), squaresB = pointSums(hn::Mul(b, b));
    const V reciprocals = hn::Div(hn::Set(d, 1.0), hn::Sqrt(hn::ConcatEven(d, squaresB, squaresA)));
    const auto forA = hn::IndicesFromVec(d, hn::ShiftRight<1>(hn::Iota(di, 0)));
    const auto forB = hn::IndicesFromVec(d, hn::ShiftRight<1>(hn::Iota(di, static_cast<int64_t>(hn::Lanes(d)))));
    const V tiny = hn::Set(d, 1e-12);
    a = hn::IfThenElse(squaresA >= tiny, hn::Mul(hn::TableLookupLanes(reciprocals, forA), a), a);
    b = hn::IfThenElse(squaresB >= tiny, hn::Mul(hn::TableLookupLanes(reciprocals, forB), b), b);
}

// The increments u x h of every chain at its stage point q[c]: u sampled
// from the table (blended and normalised for Linear), negated where it
// points against before (Oriented), which then becomes u.
template <bool Linear, bool Oriented, int Chains>
HWY_INLINE void samplingSteps(const double* table, VW weights, VO origin, std::uint32_t nextRow, const V* q,
                              V* before, V h, V* k) {
    const D d;
    static_assert(Chains % 2 == 0);
#pragma GCC unroll 16
    for (int c = 0; c < Chains; ++c) k[c] = sampleAt<Linear>(table, weights, origin, nextRow, q[c]);
    if constexpr (Linear) {
#pragma GCC unroll 16
        for (int c = 0; c < Chains; c += 2) normalisePair(k[c], k[c + 1]);
    }
#pragma GCC unroll 16
    for (int c = 0; c < Chains; ++c) {
        V u = k[c];
        if constexpr (Oriented) {
            const V products = hn::Mul(before[c], u);
            const V against = hn::VecFromMask(d, pointSums(products) < hn::Zero(d));
            u = hn::Xor(u, hn::And(hn::Set(d, -0.0), against));
            before[c] = u;
        }
        k[c] = hn::Mul(u, h);
    }
}

// The lockstep kernel of orientation fields and linear sampling, for seeds
// whose streamlines stay off the exterior: the same chains, with
// the field sampled from the table of vectors at every stage point (the
// blend of four centres, normalised, for Linear), a sample pointing against
// the chain's previous one negated (Oriented), and the increment u x step
// formed after that.
template <int Seeds, int FixedL, int FixedM, bool Linear, bool Oriented, typename T>
void lockstepSampling(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                      const SeedOut* out, KernelScratch& scratch) {
    const D d;
    const DW dw;
    const std::int32_t reach = KernelShape<FixedL, FixedM>(f.shape).reach;
    const std::int32_t slots = 2 * reach + 1;
    constexpr int vectors = Seeds / kPoints;
    constexpr int chains = 2 * vectors;
    const double* table = &f.table->x;
    const VO origin = hn::Set(DO(), 2 * (f.pad * f.stride + f.pad));
    const VW weights = weightsOf(2 * f.stride, 2);
    const std::uint32_t nextRow = static_cast<std::uint32_t>(2 * f.stride);
    const V sixth = hn::Set(d, 1.0 / 6.0);
    const V third = hn::Set(d, 1.0 / 3.0);
    const V half = hn::Set(d, 0.5);
    const V h = hn::Set(d, f.stepSize);

    // Orientation fields on periodic axes reach the halo: their cells wrap.
    PointCells<Seeds, T> points(f, rows, cols, slots, scratch);
    V p[chains], before[chains];
    for (int v = 0; v < vectors; ++v) {
        alignas(32) double seed[kLanes], u[kLanes];
        for (int i = 0; i < kPoints; ++i) {
            const std::int32_t row = rows[kPoints * v + i], col = cols[kPoints * v + i];
            seed[2 * i] = row + 0.5;
            seed[2 * i + 1] = col + 0.5;
            if constexpr (Oriented) {
                const Vector u0 = directionAt(f.sampler, seedPoint(row, col));
                u[2 * i] = u0.x;
                u[2 * i + 1] = u0.y;
            }
        }
        p[v] = p[vectors + v] = hn::LoadU(d, seed);
        if constexpr (Oriented) before[v] = before[vectors + v] = hn::LoadU(d, u);
        const VI t = truncated(p[v]);
        points.record(reach, v, t, hn::DemoteTo(dw, t));
    }
    for (std::int32_t n = 1; n <= reach; ++n) {
        V k[chains], sum[chains], q[chains];
        samplingSteps<Linear, Oriented, chains>(table, weights, origin, nextRow, p, before, h, k);
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) sum[c] = hn::Mul(sixth, k[c]);
#pragma GCC unroll 2
        for (int stage = 2; stage <= 3; ++stage) {
#pragma GCC unroll 16
            for (int c = 0; c < chains; ++c) q[c] = along(c < vectors, p[c], hn::Mul(k[c], half));
            samplingSteps<Linear, Oriented, chains>(table, weights, origin, nextRow, q, before, h, k);
#pragma GCC unroll 16
            for (int c = 0; c < chains; ++c) sum[c] = hn::Add(sum[c], hn::Mul(third, k[c]));
        }
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) q[c] = along(c < vectors, p[c], k[c]);
        samplingSteps<Linear, Oriented, chains>(table, weights, origin, nextRow, q, before, h, k);
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) sum[c] = hn::Add(sum[c], hn::Mul(sixth, k[c]));
#pragma GCC unroll 16
        for (int c = 0; c < chains; ++c) {
            const bool forward = c < vectors;
            p[c] = forward ? hn::Add(sum[c], p[c]) : hn::Sub(p[c], sum[c]);
            const VI t = truncated(p[c]);
            points.record(forward ? reach + n : reach - n, forward ? c : c - vectors, t, hn::DemoteTo(dw, t));
        }
    }
    convolveBatch<Seeds, FixedL, FixedM>(f, points.cells(), out, scratch);
}

// The families of kernels, each run at a shape (FixedL = 0: any): the
// table of increments, or the field sampled at every stage point.
struct Pairs {
    template <int FixedL, int FixedM, typename T>
    static void run(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                    const SeedOut* out, KernelScratch& scratch) {
        lockstepPairs<kSeeds, FixedL, FixedM>(f, rows, cols, out, scratch);
    }
};
template <Mode mode>
struct Sampling {
    // Unrolled for the classic shape only: they take long to compile.
    template <int FixedL, int FixedM, typename T>
    static void run(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols,
                    const SeedOut* out, KernelScratch& scratch) {
        constexpr int SL = FixedL == 10 ? 10 : 0, SM = FixedL == 10 ? FixedM : 0;
        lockstepSampling<kSeeds, SL, SM, blends(mode), oriented(mode)>(f, rows, cols, out, scratch);
    }
};

template <typename Family, typename T>
void byShape(const PreparedField<T>& f, const std::int32_t* rows, const std::int32_t* cols, const SeedOut* out,
             KernelScratch& scratch) {
    // Shapes whose loops the compiler unrolls whole: the classic one, and a
    // short one, where loop overhead weighs most against the work per seed.
    // Any other runs the same code with loops of run-time length.
    const std::int32_t L = f.shape.L, M = f.shape.M;
    if (L == 10 && M == 9)
        Family::template run<10, 9>(f, rows, cols, out, scratch);
    else if (L == 5 && M == 4)
        Family::template run<5, 4>(f, rows, cols, out, scratch);
    else
        Family::template run<0, 0>(f, rows, cols, out, scratch);
}

template <typename Family>
LockstepKernel kernelOf() {
    return {kSeeds, &byShape<Family, std::int32_t>, &byShape<Family, double>};
}

// This instruction set's kernel table.
LockstepKernel kernelOf(Mode mode) {
    switch (mode) {
    case Mode::nearest: return kernelOf<Pairs>();
    case Mode::nearestOriented: return kernelOf<Sampling<Mode::nearestOriented>>();
    case Mode::linear: return kernelOf<Sampling<Mode::linear>>();
    case Mode::linearOriented: return kernelOf<Sampling<Mode::linearOriented>>();
    }
    return {};
}

#endif

}  // namespace fastlic::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fastlic::detail {

namespace {

// The Highway targets this processor runs (the library's own detection
// lives in libhwy, which has no archive to link the static program with).
std::int64_t processorTargets() {
    std::int64_t targets = HWY_STATIC_TARGET;
#if HWY_ARCH_X86
    __builtin_cpu_init();
#define FASTLIC_HAS(feature) __builtin_cpu_supports(feature)
    if (FASTLIC_HAS("ssse3") && FASTLIC_HAS("sse4.1") && FASTLIC_HAS("sse4.2") && FASTLIC_HAS("pclmul") &&
        FASTLIC_HAS("aes"))
        targets |= HWY_SSE4;
    if ((targets & HWY_SSE4) && FASTLIC_HAS("avx") && FASTLIC_HAS("avx2") && FASTLIC_HAS("bmi") &&
        FASTLIC_HAS("bmi2") && FASTLIC_HAS("fma"))
        targets |= HWY_AVX2;
    if ((targets & HWY_AVX2) && FASTLIC_HAS("avx512f") && FASTLIC_HAS("avx512vl") && FASTLIC_HAS("avx512dq") &&
        FASTLIC_HAS("avx512bw"))
        targets |= HWY_AVX3;
#undef FASTLIC_HAS
#endif
    return targets;
}

// Targets wider than the instruction set.
std::int64_t widerThan(InstructionSet set) {
#if HWY_ARCH_X86
    switch (set) {
    case InstructionSet::widest:
    case InstructionSet::avx512: return 0;
    case InstructionSet::avx2: return HWY_AVX3 | HWY_AVX3_DL;
    case InstructionSet::sse4: return HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL;
    case InstructionSet::scalar: return HWY_SSE4 | HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL;
    }
#endif
    (void)set;
    return 0;
}

}  // namespace

// Detected on every call, which costs next to nothing beside a run, rather
// than kept where it would be state shared by every caller.
LockstepKernel lockstepKernel(Mode mode, InstructionSet widest) {
    const std::int64_t usable = processorTargets() & HWY_TARGETS & ~widerThan(widest);
    const std::int64_t best = usable & -usable;  // lower bits are wider targets
#define FASTLIC_TARGET(BIT, NS) \
    if (best == (BIT)) return NS::kernelOf(mode);
#if HWY_TARGETS & HWY_AVX3
    FASTLIC_TARGET(HWY_AVX3, N_AVX3)
#endif
#if HWY_TARGETS & HWY_AVX2
    FASTLIC_TARGET(HWY_AVX2, N_AVX2)
#endif
#if HWY_TARGETS & HWY_SSE4
    FASTLIC_TARGET(HWY_SSE4, N_SSE4)
#endif
#undef FASTLIC_TARGET
    return HWY_STATIC_DISPATCH(kernelOf)(mode);
}

}  // namespace fastlic::detail
#endif

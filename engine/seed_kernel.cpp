#include "engine/seed_kernel.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "engine/reg_grid.h"
#include "engine/field_lookups.h"
#include "engine/streamline.h"
#include "base/parallel.h"

namespace fastlic::detail {

namespace {

template <typename T>
void resizeFor(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
}

// The run's shape, weights, mode and reach, common to both ways of
// preparing a field.
template <typename T>
void prepareShape(const LicParams& params, std::int32_t rows, std::int32_t cols, PreparedField<T>& f) {
    f.shape = {params.filterHalfLength, params.slideSteps, params.reach(), params.hitLimit,
               params.kernel != Kernel::box};
    if (f.shape.weighted) {
        f.weights = kernelWeights(params);
        f.weightTotal = 0.0;
        for (const double w : f.weights) f.weightTotal = f.weightTotal + w;
    }
    f.mode = modeOf(params);
    f.stepSize = params.step;
    // Every point lies less than reachCells from its seed.
    f.reachCells = reachCellsOf(params);
    f.rows = rows;
    f.cols = cols;
}

template <typename T>
void setTexture(const Plane<T>& texture, PreparedField<T>& f) {
    const std::int32_t rows = f.rows, cols = f.cols;
    if (texture.contiguous(cols)) {
        f.texture = texture.data;
        return;
    }
    f.textureCopy.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j)
            f.textureCopy[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j)] =
                texture(i, j);
    f.texture = f.textureCopy.data();
}

}  // namespace

template <typename T>
void prepareField(const StepTable& steps, const Plane<T>& texture, PreparedField<T>& f) {
    const LicParams& params = steps.params();
    prepareShape(params, steps.rows(), steps.cols(), f);
    f.pad = steps.pad();
    f.stride = steps.stride();
    setTexture(texture, f);
    f.sampler = Sampler(FieldView{f.rows, f.cols, {}, {}, {}, {}}, params);
    f.halo = Halo(f.sampler.bounds, f.pad);
    f.table = steps.data();
}

template <typename T>
void prepareField(const FieldView& view, const Plane<T>& texture, const LicParams& params,
                  PreparedField<T>& f, int threads) {
    const std::int32_t rows = view.rows, cols = view.cols;
    prepareShape(params, rows, cols, f);
    const std::int64_t pad = static_cast<std::int64_t>(f.reachCells) + 1;
    f.pad = lockstepFits(rows, cols, pad) ? static_cast<std::int32_t>(pad) : 0;
    f.stride = cols + 2 * f.pad;
    setTexture(texture, f);
    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    FieldView own = view;
    if (view.mask.data) {
        f.mask.resize(cells);
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j)
                f.mask[static_cast<std::size_t>(i) * cols + j] = view.mask(i, j) != 0;
        own.mask = contiguousPlane(f.mask.data(), cols);
    }
    f.sampler = Sampler(own, params);
    const Bounds& bounds = f.sampler.bounds;
    f.halo = Halo(bounds, f.pad);

    const std::int32_t paddedRows = rows + 2 * f.pad;
    const std::int32_t stride = f.stride;
    f.ownTable = ZeroedBuffer<Direction>(static_cast<std::size_t>(paddedRows) * static_cast<std::size_t>(stride));
    f.table = f.ownTable.data();
    Direction* out = f.ownTable.data();
    // The table, with entry(v) for each cell of vector v: the cell each
    // halo index stands for, or for linear sampling the cell of the centre
    // the blend reads there.
    std::vector<std::int32_t> rowOf = f.halo.rowOf, colOf = f.halo.colOf;
    if (blends(f.mode)) {
        for (std::size_t p = 0; p < rowOf.size(); ++p) rowOf[p] = bounds.rows.centreCell(static_cast<std::int32_t>(p) - f.pad);
        for (std::size_t p = 0; p < colOf.size(); ++p) colOf[p] = bounds.cols.centreCell(static_cast<std::int32_t>(p) - f.pad);
    }
    const std::uint8_t* masked = f.mask.empty() ? nullptr : f.mask.data();
    std::atomic<bool> notFinite{false};
    const auto fill = [&](auto entry) {
        parallelFor(paddedRows, 64, threads, [&](std::int64_t begin, std::int64_t end) {
            bool bad = false;
            // A line, where exterior(col) says which of its cells hold nothing.
            const auto fillLine = [&](Direction* line, std::int32_t row, auto exterior) {
                for (std::int32_t pc = 0; pc < stride; ++pc) {
                    const std::int32_t col = colOf[static_cast<std::size_t>(pc)];
                    if (exterior(col)) {
                        line[pc] = {0.0, 0.0};
                        continue;
                    }
                    const Vector v(view.x(row, col), view.y(row, col), 0.0);
                    bad = bad || !std::isfinite(v.x) || !std::isfinite(v.y);
                    line[pc] = entry(v);
                }
            };
            for (auto pr = static_cast<std::int32_t>(begin); pr < end; ++pr) {
                const std::int32_t row = rowOf[static_cast<std::size_t>(pr)];
                Direction* line = out + static_cast<std::size_t>(pr) * static_cast<std::size_t>(stride);
                if (row < 0) {
                    std::fill_n(line, stride, Direction{0.0, 0.0});
                } else if (masked) {
                    const std::uint8_t* maskRow = masked + static_cast<std::size_t>(row) * cols;
                    fillLine(line, row, [&](std::int32_t col) { return col < 0 || maskRow[col]; });
                } else {
                    fillLine(line, row, [](std::int32_t col) { return col < 0; });
                }
            }
            if (bad) notFinite.store(true, std::memory_order_relaxed);
        });
    };
    const double step = params.step;
    switch (f.mode) {
    case Mode::nearest: fill([step](const Vector& v) { return stepOf(v.x, v.y, false, step); }); break;
    case Mode::nearestOriented: fill([step](const Vector& v) { return stepOf(v.x, v.y, true, step); }); break;
    case Mode::linear:
    case Mode::linearOriented: fill([](const Vector& v) { return Direction{v.x, v.y}; }); break;
    }
    if (notFinite.load()) checkField(view);  // throws, naming the first such cell
    if constexpr (std::is_same_v<T, double>)
        for (std::size_t c = 0; c < cells; ++c)
            if (!(std::fabs(f.texture[c]) <= maxTextureMagnitude) && (f.mask.empty() || !f.mask[c]))
                checkField(view);
    // Seeds whose streamlines may reach the exterior take the careful path.
    if (f.pad > 0) f.careful = bounds.nearExterior(f.reachCells);
}

template <typename T>
void prepareAnimation(PreparedField<T>& f, const LicParams& params, const Wave& wave) {
    f.weights = kernelWeights(params);  // the box's: all 1
    f.weightTotal = 0.0;
    for (const double w : f.weights) f.weightTotal = f.weightTotal + w;
    const std::int32_t L = params.filterHalfLength;
    constexpr double pi = 3.14159265358979323846;
    f.cosWeights.resize(f.weights.size());
    f.sinWeights.resize(f.weights.size());
    for (std::int32_t j = -L; j <= L; ++j) {
        const double a = 2.0 * pi * j / wave.length;
        f.cosWeights[static_cast<std::size_t>(j + L)] = f.weights[static_cast<std::size_t>(j + L)] * std::cos(a);
        f.sinWeights[static_cast<std::size_t>(j + L)] = f.weights[static_cast<std::size_t>(j + L)] * std::sin(a);
    }
    double cosTotal = 0.0, sinTotal = 0.0;
    for (std::size_t k = 0; k < f.weights.size(); ++k) {
        cosTotal = cosTotal + f.cosWeights[k];
        sinTotal = sinTotal + f.sinWeights[k];
    }
    f.steady = wave.steady;
    f.cosMean = wave.steady ? cosTotal / f.weightTotal : 0.0;
    f.sinMean = wave.steady ? sinTotal / f.weightTotal : 0.0;
    f.shape.weighted = true;
    f.shape.animated = true;
}

namespace {

struct Position {
    double x, y;
};

// Cell index of (x, y), or -1 when the point maps outside the grid.
template <typename T>
inline std::int32_t cellIndex(const PreparedField<T>& f, double x, double y) {
    const std::int32_t r = f.sampler.bounds.rows.cellOf(x);
    const std::int32_t c = f.sampler.bounds.cols.cellOf(y);
    if ((r | c) < 0) return -1;
    const std::int32_t cell = r * f.cols + c;
    return f.mask.empty() || !f.mask[static_cast<std::size_t>(cell)] ? cell : -1;
}

// The increment u x h at (x, y): the table's u x step, negated (exactly)
// for h = -step; zero outside the grid.
template <typename T>
inline Direction incrementAt(const PreparedField<T>& f, double x, double y, double sign) {
    const std::int32_t cell = cellIndex(f, x, y);
    const Direction k = cell < 0 ? Direction{0.0, 0.0} : f.entry(cell / f.cols, cell % f.cols);
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

// The weighted windows at the seed, +1..+M and -1..-M, in that order, of a
// streamline whose slot reach + k holds position k's cell (-1 outside) and
// texture value: each the inside samples' weighted sum, ascending, over
// their weights' sum. A position outside, or whose inside weights sum to
// 0, contributes nothing.
template <typename T>
void weightedWindows(const PreparedField<T>& f, const std::int32_t* cells, const double* tex, SeedOut out) {
    const std::int32_t reach = f.shape.reach, L = f.shape.L, M = f.shape.M;
    const double* w = f.weights.data();
    std::int32_t size = 0;
    for (std::int32_t n = 0; n <= 2 * M; ++n) {
        const std::int32_t k = reach + (n <= M ? n : M - n);
        if (cells[k] < 0) continue;
        double sum = 0.0, weight = 0.0;
        for (std::int32_t j = -L; j <= L; ++j)
            if (cells[k + j] >= 0) {
                sum = sum + w[j + L] * tex[k + j];
                weight = weight + w[j + L];
            }
        if (!(weight > 0.0)) continue;
        out.cells[size] = cells[k];
        out.values[size] = sum / weight;
        if (f.shape.animated) {
            // The phase rows over the same inside samples and weight; a
            // steady wave less their own mean over those samples times the
            // window's value.
            const double* wc = f.cosWeights.data();
            const double* ws = f.sinWeights.data();
            double c = 0.0, s = 0.0, cw = 0.0, sw = 0.0;
            for (std::int32_t j = -L; j <= L; ++j)
                if (cells[k + j] >= 0) {
                    c = c + wc[j + L] * tex[k + j];
                    s = s + ws[j + L] * tex[k + j];
                    cw = cw + wc[j + L];
                    sw = sw + ws[j + L];
                }
            const double value = out.values[size];
            out.cosValues[size] = f.steady ? c / weight - (cw / weight) * value : c / weight;
            out.sinValues[size] = f.steady ? s / weight - (sw / weight) * value : s / weight;
        }
        ++size;
    }
    *out.size = size;
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
    switch (f.mode) {
    case Mode::nearest: {
        Position fwd{seedX, seedY};
        Position bwd{seedX, seedY};
        for (std::int32_t n = 1; n <= reach; ++n) {
            step(f, fwd, +1.0);
            mapPoint(reach + n, fwd.x, fwd.y);
            step(f, bwd, -1.0);
            mapPoint(reach - n, bwd.x, bwd.y);
        }
        break;
    }
    case Mode::nearestOriented:
    case Mode::linear:
    case Mode::linearOriented: {
        // The tracing of the reference.
        const bool orientation = oriented(f.mode);
        const Point seed = seedPoint(row, col);
        Point fwd = seed, bwd = seed;
        Vector forwardBefore, backwardBefore;
        if (orientation) forwardBefore = backwardBefore = directionAt(f.sampler, seed);
        Vector* fp = orientation ? &forwardBefore : nullptr;
        Vector* bp = orientation ? &backwardBefore : nullptr;
        const double h = f.stepSize;
        for (std::int32_t n = 1; n <= reach; ++n) {
            rk4Step(f.sampler, fwd, +h, fp);
            mapPoint(reach + n, fwd.x, fwd.y);
            rk4Step(f.sampler, bwd, -h, bp);
            mapPoint(reach - n, bwd.x, bwd.y);
        }
        break;
    }
    }

    if (f.shape.weighted) {
        weightedWindows(f, cells, tex, out);
        return;
    }
    const bool rescale = f.sampler.bounds.rescales();
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
            if (rescale && updated != count) {
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

#define FASTLIC_INSTANTIATE(T)                                                                          \
    template void prepareField<T>(const FieldView&, const Plane<T>&, const LicParams&, PreparedField<T>&, \
                                  int);                                                                 \
    template void prepareField<T>(const StepTable&, const Plane<T>&, PreparedField<T>&);                 \
    template void seedContributions<T>(const PreparedField<T>&, std::int32_t, std::int32_t, SeedOut,    \
                                       KernelScratch&);                                     \
    template void prepareAnimation<T>(PreparedField<T>&, const LicParams&, const Wave&);
FASTLIC_INSTANTIATE(std::int32_t)
FASTLIC_INSTANTIATE(double)
#undef FASTLIC_INSTANTIATE

}  // namespace fastlic::detail

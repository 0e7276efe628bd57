#include "render/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "base/parallel.h"

namespace fastlic {

namespace detail {

// Pixels per share of the parallel loops: large enough that sharing out
// costs little, small enough to balance on a few cores.
constexpr std::int64_t grain = 16384;

inline bool shown(Mask mask, std::size_t k) { return !mask || mask[k] == 0; }

template <typename Body>
void forEach(std::size_t n, int threads, Body body) {
    parallelFor(static_cast<std::int64_t>(n), grain, threadCount(threads),
                [&](std::int64_t begin, std::int64_t end) {
                    for (auto k = static_cast<std::size_t>(begin); k < static_cast<std::size_t>(end); ++k)
                        body(k);
                });
}

// Rows [0, rows) shared out, body(i).
template <typename Body>
void forEachRow(std::int32_t rows, std::int32_t cols, int threads, Body body) {
    const std::int64_t rowsPerShare = std::max<std::int64_t>(1, grain / std::max(1, cols));
    parallelFor(rows, rowsPerShare, threadCount(threads), [&](std::int64_t begin, std::int64_t end) {
        for (auto i = static_cast<std::int32_t>(begin); i < end; ++i) body(i);
    });
}

// The shown values that are numbers.
std::vector<double> shownValues(const double* values, std::size_t n, Mask mask) {
    std::vector<double> out;
    out.reserve(n);
    for (std::size_t k = 0; k < n; ++k)
        if (shown(mask, k) && !std::isnan(values[k])) out.push_back(values[k]);
    return out;
}

// Smallest and largest shown finite values; lo > hi when there are none.
Range finiteRange(const double* values, std::size_t n, Mask mask, bool positive) {
    Range r{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    for (std::size_t k = 0; k < n; ++k) {
        const double v = values[k];
        if (!shown(mask, k) || !std::isfinite(v) || (positive && !(v > 0.0))) continue;
        r.lo = std::min(r.lo, v);
        r.hi = std::max(r.hi, v);
    }
    return r;
}

// 1, or 0.5 where hi - lo overflows: differences of values times this
// stay finite for every finite range (and are exact when it is 1).
inline double differenceScale(double lo, double hi) { return std::isfinite(hi - lo) ? 1.0 : 0.5; }

// Fine bins between lo and hi: the bin of v and where in it v lies.
struct Bins {
    double lo, half, scale;
    std::int32_t count;
    Bins(double lo_, double hi, std::int32_t count_)
        : lo(lo_), half(differenceScale(lo_, hi)),
          scale(hi > lo_ ? count_ / (half * hi - half * lo_) : 0.0), count(count_) {}
    std::int32_t of(double v, double& within) const {
        const double p = std::clamp((half * v - half * lo) * scale, 0.0, static_cast<double>(count));
        auto b = static_cast<std::int32_t>(p);
        if (b == count) b = count - 1;
        within = p - b;
        return b;
    }
};

// The normalised Gaussian blur: sums of weight x value and of weight over
// the shown pixels within three standard deviations, divided.
std::vector<double> blur(const double* values, std::int32_t rows, std::int32_t cols, double sigma,
                         Mask mask, int threads) {
    const auto radius = static_cast<std::int32_t>(std::ceil(3.0 * sigma));
    std::vector<double> kernel(static_cast<std::size_t>(radius) + 1);
    for (std::int32_t d = 0; d <= radius; ++d) kernel[static_cast<std::size_t>(d)] = std::exp(-0.5 * d * d / (sigma * sigma));
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    std::vector<double> sum(n), weight(n);
    // Along the rows.
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        const std::size_t row = static_cast<std::size_t>(i) * static_cast<std::size_t>(cols);
        for (std::int32_t j = 0; j < cols; ++j) {
            double s = 0.0, w = 0.0;
            for (std::int32_t jj = std::max(0, j - radius); jj <= std::min(cols - 1, j + radius); ++jj) {
                const std::size_t k = row + static_cast<std::size_t>(jj);
                if (!shown(mask, k) || !std::isfinite(values[k])) continue;
                const double g = kernel[static_cast<std::size_t>(std::abs(jj - j))];
                s += g * values[k];
                w += g;
            }
            sum[row + static_cast<std::size_t>(j)] = s;
            weight[row + static_cast<std::size_t>(j)] = w;
        }
    });
    // Down the columns, a row of outputs at a time.
    std::vector<double> out(n);
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        const std::size_t row = static_cast<std::size_t>(i) * static_cast<std::size_t>(cols);
        std::vector<double> s(static_cast<std::size_t>(cols)), w(static_cast<std::size_t>(cols));
        for (std::int32_t ii = std::max(0, i - radius); ii <= std::min(rows - 1, i + radius); ++ii) {
            const double g = kernel[static_cast<std::size_t>(std::abs(ii - i))];
            const std::size_t from = static_cast<std::size_t>(ii) * static_cast<std::size_t>(cols);
            for (std::size_t j = 0; j < static_cast<std::size_t>(cols); ++j) {
                s[j] += g * sum[from + j];
                w[j] += g * weight[from + j];
            }
        }
        for (std::size_t j = 0; j < static_cast<std::size_t>(cols); ++j)
            out[row + j] = w[j] > 0.0 ? s[j] / w[j] : 0.0;
    });
    return out;
}

void requireShape(std::int32_t rows, std::int32_t cols) {
    if (rows < 1 || cols < 1)
        throw std::invalid_argument("the image needs at least one row and column, got " +
                                    std::to_string(rows) + "x" + std::to_string(cols));
}

}  // namespace detail

using namespace detail;

LicPass licPassOver(const FieldView& field, const LicParams& params, int threads,
                    const std::atomic<bool>* cancel) {
    return [field, params, threads, cancel](const std::vector<double>& texture) {
        FieldView second = field;
        second.texture = contiguousPlane(texture.data(), field.cols);
        RunOptions run{threads, {}};
        run.cancel = cancel;
        return std::move(computeLic(second, params, run).lic);
    };
}

Range percentileRange(const double* values, std::size_t n, double clip, Mask mask) {
    std::vector<double> v = shownValues(values, n, mask);
    if (v.empty()) return {0.0, 0.0};
    const auto rank = [&](double q) {
        return static_cast<std::size_t>(std::floor(q / 100.0 * static_cast<double>(v.size() - 1) + 0.5));
    };
    const std::size_t lo = rank(clip), hi = rank(100.0 - clip);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(lo), v.end());
    const double low = v[lo];
    std::nth_element(v.begin() + static_cast<std::ptrdiff_t>(lo), v.begin() + static_cast<std::ptrdiff_t>(hi), v.end());
    return {low, v[hi]};
}

std::vector<double> stretch(const double* values, std::size_t n, double clip, Mask mask, int threads) {
    const Range r = percentileRange(values, n, clip, mask);
    std::vector<double> out(n);
    const double half = differenceScale(r.lo, r.hi);
    const double scale = r.hi > r.lo ? 255.0 / (half * r.hi - half * r.lo) : 0.0;
    forEach(n, threads, [&](std::size_t k) {
        const double v = values[k];
        if (std::isnan(v))
            out[k] = v;
        else if (scale == 0.0)
            out[k] = 127.5;
        else
            out[k] = v <= r.lo ? 0.0 : v >= r.hi ? 255.0 : std::min(255.0, (half * v - half * r.lo) * scale);
    });
    return out;
}

std::vector<double> equalize(const double* values, std::size_t n, Mask mask, int threads) {
    const Range r = finiteRange(values, n, mask, false);
    std::vector<double> out(n, 127.5);
    if (!(r.hi > r.lo)) return out;
    const Bins bins(r.lo, r.hi, 1 << 16);
    // Counts per share, added up in order: the same for every thread count.
    const std::int64_t shares = std::min<std::int64_t>(16, static_cast<std::int64_t>(n / grain) + 1);
    std::vector<std::vector<std::uint32_t>> counts(static_cast<std::size_t>(shares));
    parallelFor(shares, 1, threadCount(threads), [&](std::int64_t s, std::int64_t) {
        auto& c = counts[static_cast<std::size_t>(s)];
        c.assign(static_cast<std::size_t>(bins.count), 0);
        const std::size_t begin = n * static_cast<std::size_t>(s) / static_cast<std::size_t>(shares);
        const std::size_t end = n * static_cast<std::size_t>(s + 1) / static_cast<std::size_t>(shares);
        double within;
        for (std::size_t k = begin; k < end; ++k)
            if (shown(mask, k) && std::isfinite(values[k])) ++c[static_cast<std::size_t>(bins.of(values[k], within))];
    });
    std::vector<double> below(static_cast<std::size_t>(bins.count) + 1, 0.0);
    std::uint64_t total = 0;
    for (std::int32_t b = 0; b < bins.count; ++b) {
        std::uint64_t c = 0;
        for (const auto& share : counts) c += share[static_cast<std::size_t>(b)];
        total += c;
        below[static_cast<std::size_t>(b) + 1] = static_cast<double>(total);
    }
    const double scale = 255.0 / static_cast<double>(total);
    forEach(n, threads, [&](std::size_t k) {
        const double v = values[k];
        if (std::isnan(v)) return;
        double within;
        const auto b = static_cast<std::size_t>(bins.of(v, within));
        out[k] = scale * (below[b] + within * (below[b + 1] - below[b]));
    });
    return out;
}

std::vector<double> adaptiveEqualize(const double* values, std::int32_t rows, std::int32_t cols,
                                     std::int32_t tileRows, std::int32_t tileCols,
                                     double clipLimit, Mask mask, int threads) {
    requireShape(rows, cols);
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    const Range r = finiteRange(values, n, mask, false);
    std::vector<double> out(n, 127.5);
    if (!(r.hi > r.lo)) return out;
    tileRows = std::clamp(tileRows, 1, rows);
    tileCols = std::clamp(tileCols, 1, cols);
    constexpr std::int32_t binCount = 256;
    const Bins bins(r.lo, r.hi, binCount);
    // Each tile's mapping: the fraction of its clipped histogram below each
    // bin edge, times 255.
    const auto tileRow = [&](std::int32_t a) { return static_cast<std::int32_t>(static_cast<std::int64_t>(a) * rows / tileRows); };
    const auto tileCol = [&](std::int32_t b) { return static_cast<std::int32_t>(static_cast<std::int64_t>(b) * cols / tileCols); };
    const std::int64_t tiles = static_cast<std::int64_t>(tileRows) * tileCols;
    std::vector<std::vector<double>> maps(static_cast<std::size_t>(tiles));
    parallelFor(tiles, 1, threadCount(threads), [&](std::int64_t tile, std::int64_t) {
        const auto a = static_cast<std::int32_t>(tile / tileCols), b = static_cast<std::int32_t>(tile % tileCols);
        std::vector<double> h(binCount, 0.0);
        double count = 0.0, within;
        for (std::int32_t i = tileRow(a); i < tileRow(a + 1); ++i)
            for (std::int32_t j = tileCol(b); j < tileCol(b + 1); ++j) {
                const std::size_t k = static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j);
                if (!shown(mask, k) || !std::isfinite(values[k])) continue;
                h[static_cast<std::size_t>(bins.of(values[k], within))] += 1.0;
                count += 1.0;
            }
        auto& map = maps[static_cast<std::size_t>(tile)];
        map.resize(binCount + 1);
        if (count == 0.0) {  // nothing shown: linear
            for (std::int32_t e = 0; e <= binCount; ++e) map[static_cast<std::size_t>(e)] = 255.0 * e / binCount;
            return;
        }
        const double limit = std::max(1.0, clipLimit * count / binCount);
        double excess = 0.0;
        for (double& c : h)
            if (c > limit) {
                excess += c - limit;
                c = limit;
            }
        double below = 0.0;
        map[0] = 0.0;
        for (std::int32_t e = 0; e < binCount; ++e) {
            below += h[static_cast<std::size_t>(e)] + excess / binCount;
            map[static_cast<std::size_t>(e) + 1] = 255.0 * below / count;
        }
    });
    // Bilinear between the four nearest tile centres, held at the edges.
    const auto locate = [](double x, std::int32_t tiles_, std::int32_t& t0, double& f) {
        const double p = std::clamp(x - 0.5, 0.0, static_cast<double>(tiles_ - 1));
        t0 = std::min(static_cast<std::int32_t>(p), std::max(0, tiles_ - 2));
        f = p - t0;
    };
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        std::int32_t a0;
        double fa;
        locate((i + 0.5) * tileRows / rows, tileRows, a0, fa);
        const std::int32_t a1 = std::min(a0 + 1, tileRows - 1);
        for (std::int32_t j = 0; j < cols; ++j) {
            const std::size_t k = static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j);
            if (std::isnan(values[k])) continue;
            std::int32_t b0;
            double fb, within;
            locate((j + 0.5) * tileCols / cols, tileCols, b0, fb);
            const std::int32_t b1 = std::min(b0 + 1, tileCols - 1);
            const auto e = static_cast<std::size_t>(bins.of(values[k], within));
            const auto at = [&](std::int32_t ta, std::int32_t tb) {
                const auto& m = maps[static_cast<std::size_t>(ta) * static_cast<std::size_t>(tileCols) + static_cast<std::size_t>(tb)];
                return m[e] + within * (m[e + 1] - m[e]);
            };
            out[k] = (1 - fa) * ((1 - fb) * at(a0, b0) + fb * at(a0, b1)) +
                     fa * ((1 - fb) * at(a1, b0) + fb * at(a1, b1));
        }
    });
    return out;
}

std::vector<double> highPass(const double* values, std::int32_t rows, std::int32_t cols,
                             double sigma, Mask mask, int threads) {
    requireShape(rows, cols);
    std::vector<double> out = blur(values, rows, cols, sigma, mask, threads);
    forEach(out.size(), threads, [&](std::size_t k) {
        out[k] = shown(mask, k) && std::isfinite(values[k]) ? values[k] - out[k] : 0.0;
    });
    return out;
}

std::vector<double> enhance(const double* lic, std::int32_t rows, std::int32_t cols,
                            const ContrastOptions& options, const LicPass& secondPass, Mask mask,
                            int threads) {
    if (!secondPass) throw std::invalid_argument("--contrast enhanced needs the vector field for its second pass");
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    const std::vector<double> detail = highPass(lic, rows, cols, options.sigma, mask, threads);
    std::vector<double> texture = stretch(detail.data(), n, options.clip, mask, threads);
    // Masked pixels may still lie on a streamline: a neutral texture there.
    if (mask) forEach(n, threads, [&](std::size_t k) { if (mask[k]) texture[k] = 127.5; });
    const std::vector<double> second = secondPass(texture);
    if (second.size() != n) throw std::invalid_argument("the second LIC pass returned the wrong number of values");
    return stretch(second.data(), n, options.clip, mask, threads);
}

namespace {

void checkContrast(const ContrastOptions& o) {
    const auto bad = [](const std::string& what) { throw std::invalid_argument(what); };
    if (!(o.clip >= 0.0 && o.clip < 50.0))
        bad("--clip: expected a percentage from 0 up to (not including) 50, found " + std::to_string(o.clip));
    if (o.tileRows < 1 || o.tileCols < 1) bad("--tiles: expected at least one tile each way");
    if (!(o.clipLimit >= 1.0)) bad("--clip-limit: expected a number of at least 1, found " + std::to_string(o.clipLimit));
    if (!(o.sigma >= minimumSigma && o.sigma <= 1000.0))
        bad("--enhance-sigma: expected a number of pixels from 0.2 to 1000, found " + std::to_string(o.sigma));
}

}  // namespace

std::vector<double> applyContrast(const double* lic, std::int32_t rows, std::int32_t cols,
                                  const ContrastOptions& options, Mask mask, const LicPass& secondPass,
                                  int threads) {
    requireShape(rows, cols);
    checkContrast(options);
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    switch (options.mode) {
        case Contrast::none: return std::vector<double>(lic, lic + n);
        case Contrast::stretch: return stretch(lic, n, options.clip, mask, threads);
        case Contrast::equalize: return equalize(lic, n, mask, threads);
        case Contrast::adaptive:
            return adaptiveEqualize(lic, rows, cols, options.tileRows, options.tileCols, options.clipLimit, mask,
                                    threads);
        case Contrast::enhanced: return enhance(lic, rows, cols, options, secondPass, mask, threads);
    }
    return {};
}

double ColorScale::valueAt(double t) const {
    if (lo == hi) return lo;
    if (!log) {
        const double width = hi - lo;
        if (std::isfinite(width)) return lo + t * width;
        // Midpoint and half-width: neither overflows.
        const double middle = 0.5 * lo + 0.5 * hi, half = 0.5 * hi - 0.5 * lo;
        return middle + (2.0 * t - 1.0) * half;
    }
    return std::exp(std::log(lo) + t * (std::log(hi) - std::log(lo)));
}

namespace detail {

inline double magnitude(const Plane<double>& x, const Plane<double>& y, std::int32_t i, std::int32_t j) {
    const double vx = x(i, j), vy = y(i, j);
    // As the classic writer's length(): the z term is zero.
    return std::sqrt(vx * vx + vy * vy + 0.0 * 0.0);
}

// body(i, value) over row i's pixels, value(j, k) giving the colour value
// of pixel (i, j) at index k; one branch per row, not per pixel.
template <typename Body>
void withValues(const ColorSource& source, std::int32_t i, Body body) {
    if (source.values) {
        const double* values = source.values;
        body([values](std::int32_t, std::size_t k) { return values[k]; });
    } else {
        const Plane<double> x = source.x, y = source.y;
        body([x, y, i](std::int32_t j, std::size_t) { return magnitude(x, y, i, j); });
    }
}

}  // namespace detail

std::vector<double> magnitudes(std::int32_t rows, std::int32_t cols, const Plane<double>& x,
                               const Plane<double>& y, int threads) {
    std::vector<double> m(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        for (std::int32_t j = 0; j < cols; ++j)
            m[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j)] =
                magnitude(x, y, i, j);
    });
    return m;
}

std::vector<double> vorticity(std::int32_t rows, std::int32_t cols, const Plane<double>& x,
                              const Plane<double>& y, Mask mask, int threads) {
    const auto shown = [&](std::int32_t i, std::int32_t j) {
        return i >= 0 && i < rows && j >= 0 && j < cols &&
               !(mask && mask[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j)]);
    };
    // The derivative of f at (i, j) along (di, dj) from the shown neighbours.
    const auto slope = [&](const Plane<double>& f, std::int32_t i, std::int32_t j, std::int32_t di, std::int32_t dj) {
        const bool ahead = shown(i + di, j + dj), behind = shown(i - di, j - dj);
        if (ahead && behind) return (f(i + di, j + dj) - f(i - di, j - dj)) * 0.5;
        if (ahead) return f(i + di, j + dj) - f(i, j);
        if (behind) return f(i, j) - f(i - di, j - dj);
        return 0.0;
    };
    std::vector<double> w(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        for (std::int32_t j = 0; j < cols; ++j)
            w[static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j)] =
                slope(y, i, j, 1, 0) - slope(x, i, j, 0, 1);
    });
    return w;
}

Range valueRange(const ColorSource& source, std::int32_t rows, std::int32_t cols, bool log, Mask mask,
                 int threads) {
    // Per row, then in row order: the same for every thread count.
    std::vector<Range> perRow(static_cast<std::size_t>(rows));
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        Range r{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
        withValues(source, i, [&](auto value) {
            for (std::int32_t j = 0; j < cols; ++j) {
                const std::size_t k = static_cast<std::size_t>(i) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(j);
                const double v = value(j, k);
                if (!shown(mask, k) || !std::isfinite(v) || (log && !(v > 0.0))) continue;
                r.lo = std::min(r.lo, v);
                r.hi = std::max(r.hi, v);
            }
        });
        perRow[static_cast<std::size_t>(i)] = r;
    });
    Range r = perRow.front();
    for (const Range& row : perRow) {
        r.lo = std::min(r.lo, row.lo);
        r.hi = std::max(r.hi, row.hi);
    }
    if (r.lo > r.hi) return {0.0, log ? 0.0 : 1.0};
    return r;
}

Image shade(std::int32_t rows, std::int32_t cols, const double* brightness,
            const ColorSource& color, const ColorScale& scale, const Colormap& map,
            const ShadeOptions& options, Mask mask, int threads) {
    requireShape(rows, cols);
    Image image;
    image.rows = rows;
    image.cols = cols;
    image.channels = options.background == Background::transparent ? 4 : 3;
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    image.pixels = ZeroedBuffer<std::uint8_t>(n * static_cast<std::size_t>(image.channels));
    forEachRow(rows, cols, threads, [&](std::int32_t i) {
        // Everything the loop reads in locals: the byte stores below may
        // alias anything else, which would force reloads on every pixel.
        const ColorScale sc = scale;
        const Point* entries = map.entries.data();
        const auto count = static_cast<std::int32_t>(map.entries.size());
        const bool coloured = color.present(), classic = map.classicSpread;
        const bool overlay = options.blend == Blend::overlay;
        const bool alphaChannel = options.background == Background::transparent;
        const std::size_t channels = alphaChannel ? 4 : 3;
        const double alpha = options.alpha;
        const std::uint8_t hiddenColour[4] = {alphaChannel ? std::uint8_t{0} : options.maskColor.r,
                                             alphaChannel ? std::uint8_t{0} : options.maskColor.g,
                                             alphaChannel ? std::uint8_t{0} : options.maskColor.b, 0};
        const std::size_t begin = static_cast<std::size_t>(i) * static_cast<std::size_t>(cols);
        std::uint8_t* p = image.pixels.data() + begin * channels;
        const auto row = [&](auto value) {
            for (std::int32_t j = 0; j < cols; ++j, p += channels) {
                const std::size_t k = begin + static_cast<std::size_t>(j);
                const double v = coloured ? value(j, k) : 0.0;
                if (!shown(mask, k) || !std::isfinite(v)) {
                    for (std::size_t c = 0; c < channels; ++c) p[c] = hiddenColour[c];
                    continue;
                }
                const double b = brightness[k];
                Point c;
                if (!coloured) {
                    c = Point(b, b, b, 1.0);
                } else {
                    const double t = sc(v);
                    const Point colour = classic ? detail::classicLookup(entries, count, t)
                                                 : detail::evenLookup(entries, count, t);
                    if (!overlay) {
                        // The classic order: the factor first, then colour x factor.
                        c = colour * ((1.0 / 255) * b);
                    } else {
                        const double grey = (1.0 - alpha) * b;
                        c = Point(alpha * colour.x + grey, alpha * colour.y + grey, alpha * colour.z + grey, 1.0);
                    }
                }
                const std::uint8_t r = toByte(c.x), g = toByte(c.y), bl = toByte(c.z);
                p[0] = r;
                p[1] = g;
                p[2] = bl;
                if (alphaChannel) p[3] = 255;
            }
        };
        withValues(color, i, row);
    });
    return image;
}

namespace {

// 5 x 7 glyphs, a row of five bits each, for the colour bar's numbers.
struct Glyph {
    char c;
    std::uint8_t rows[7];
};
constexpr Glyph font[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}}, {'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}},
    // The rest of the label's letters and signs.
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'a', {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F}},
    {'b', {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x1E}},
    {'c', {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E}},
    {'d', {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F}},
    {'f', {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08}},
    {'g', {0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
    {'h', {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {'i', {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E}},
    {'j', {0x02, 0x00, 0x06, 0x02, 0x02, 0x12, 0x0C}},
    {'k', {0x10, 0x10, 0x12, 0x14, 0x18, 0x14, 0x12}},
    {'l', {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}},
    {'n', {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {'o', {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E}},
    {'p', {0x00, 0x00, 0x1E, 0x11, 0x1E, 0x10, 0x10}},
    {'q', {0x00, 0x00, 0x0D, 0x13, 0x0F, 0x01, 0x01}},
    {'r', {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}},
    {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
    {'t', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06}},
    {'u', {0x00, 0x00, 0x11, 0x11, 0x11, 0x13, 0x0D}},
    {'v', {0x00, 0x00, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'w', {0x00, 0x00, 0x11, 0x11, 0x15, 0x15, 0x0A}},
    {'x', {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}},
    {'y', {0x00, 0x00, 0x11, 0x11, 0x0F, 0x01, 0x0E}},
    {'z', {0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'[', {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E}},
    {']', {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
    {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
    {'^', {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00}},
    {'*', {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00}},
    {'\'', {0x0C, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00}},
    {'<', {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02}},
    {'>', {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}},
    {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}}
};

const Glyph* glyphOf(char c) {
    for (const Glyph& g : font)
        if (g.c == c) return &g;
    return nullptr;
}

std::string label(double v) {
    if (v == 0.0) v = 0.0;  // no "-0"
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

// text in the 5 x 7 font, s pixels a dot, its top left at (top, left).
template <typename Put>
void drawText(const Put& put, const std::string& text, std::int32_t left, std::int32_t top, std::int32_t s) {
    for (std::size_t c = 0; c < text.size(); ++c) {
        const Glyph* g = glyphOf(text[c]);
        if (!g) continue;
        for (std::int32_t gy = 0; gy < 7; ++gy)
            for (std::int32_t gx = 0; gx < 5; ++gx)
                if (g->rows[gy] >> (4 - gx) & 1)
                    for (std::int32_t dy = 0; dy < s; ++dy)
                        for (std::int32_t dx = 0; dx < s; ++dx)
                            put(top + gy * s + dy, left + (static_cast<std::int32_t>(c) * 6 + gx) * s + dx, 0, 0, 0);
    }
}


}  // namespace

namespace detail {

std::vector<Tick> roundTicks(const ColorScale& scale, int count) {
    std::vector<Tick> ticks;
    const double lo = scale.lo, hi = scale.hi;
    if (!(lo < hi) || !std::isfinite(lo) || !std::isfinite(hi)) return ticks;
    if (scale.log && hi >= 100.0 * lo) {
        const double first = std::ceil(std::log10(lo) - 1e-9), last = std::floor(std::log10(hi) + 1e-9);
        const double every = std::max(1.0, std::ceil((last - first + 1.0) / count));
        for (double k = first; k <= last; k += every) {
            char text[24];
            if (k >= 0 && k <= 5) std::snprintf(text, sizeof text, "%.0f", std::pow(10.0, k));
            else if (k >= -3 && k < 0) std::snprintf(text, sizeof text, "%.*f", static_cast<int>(-k), std::pow(10.0, k));
            else std::snprintf(text, sizeof text, "1e%g", k);
            ticks.push_back({scale(std::pow(10.0, k)), text});
        }
        return ticks;
    }
    const double raw = hi / count - lo / count;  // no overflow
    // The round steps in order: {1, 2, 5} x 10^(n / 3) for the n-th. The one
    // nearest raw first, smaller ones while fewer than two values fall inside.
    const double e0 = std::floor(std::log10(raw)), f = raw / std::pow(10.0, e0);
    const int nearest = 3 * static_cast<int>(e0) + (f < 1.5 ? 0 : f < 3.5 ? 1 : f < 7.5 ? 2 : 3);
    for (int n = nearest; n > nearest - 4 && ticks.size() < 2; --n) {
        ticks.clear();
        const int place = n >= 0 ? n / 3 : -((2 - n) / 3);
        static constexpr double mantissas[] = {1.0, 2.0, 5.0};
        const double step = mantissas[n - 3 * place] * std::pow(10.0, place);
        if (!std::isfinite(step)) continue;
        const double firstK = std::ceil(lo / step - 1e-9), lastK = std::floor(hi / step + 1e-9);
        if (!(lastK - firstK < 100.0)) continue;
        // Significant digits: those of the largest value down to the step's place.
        const double largest = std::max(std::fabs(firstK), std::fabs(lastK)) * step;
        const int digits =
            static_cast<int>(std::clamp(std::floor(std::log10(largest)) - place + 1.0, 1.0, 15.0));
        for (double k = firstK; k <= lastK; ++k) {
            double v = k * step;
            if (std::fabs(v) < step * 1e-9) v = 0.0;
            char text[40];
            // Whole numbers below a million in full, rather than as 1e+03.
            const int precision = std::fabs(v) >= 1.0 && std::fabs(v) < 1e6
                                      ? std::max(digits, static_cast<int>(std::floor(std::log10(std::fabs(v)))) + 1)
                                      : digits;
            std::snprintf(text, sizeof text, "%.*g", precision, v);
            ticks.push_back({scale(v), text});
        }
    }
    return ticks;
}

}  // namespace detail

Image withColorbar(const Image& image, const Colormap& map, const ColorScale& scale, const std::string& caption) {
    using detail::Tick;
    using detail::roundTicks;
    const std::int32_t cols = image.cols;
    const std::int32_t s = std::clamp(cols / 192, 1, 4);  // pixels per font dot
    const std::int32_t gap = 3 * s, barHeight = 10 * s, tick = 3 * s, textHeight = 7 * s;
    // A caption takes a line of its own under the values.
    const std::int32_t strip =
        gap + barHeight + tick + gap + textHeight + gap + (caption.empty() ? 0 : textHeight + gap);
    Image out;
    out.rows = image.rows + strip;
    out.cols = cols;
    out.channels = image.channels;
    const auto ch = static_cast<std::size_t>(out.channels);
    const std::size_t rowBytes = static_cast<std::size_t>(cols) * ch;
    out.pixels = ZeroedBuffer<std::uint8_t>(static_cast<std::size_t>(out.rows) * rowBytes);
    std::copy(image.pixels.data(), image.pixels.data() + image.pixels.size(), out.pixels.data());
    std::fill(out.pixels.data() + image.pixels.size(), out.pixels.data() + out.pixels.size(),
              std::uint8_t{255});  // white, opaque
    const auto put = [&](std::int32_t i, std::int32_t j, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        if (i < 0 || i >= out.rows || j < 0 || j >= cols) return;
        std::uint8_t* p = out.pixels.data() + static_cast<std::size_t>(i) * rowBytes + static_cast<std::size_t>(j) * ch;
        p[0] = r;
        p[1] = g;
        p[2] = b;
    };
    std::int32_t margin = 4 * s;
    if (cols - 2 * margin < 2) margin = 0;
    const std::int32_t width = cols - 2 * margin;
    const std::int32_t top = image.rows + gap;
    // One value (a constant or empty scale): its colour and its label alone.
    const bool single = scale.lo == scale.hi;
    for (std::int32_t x = 0; x < width; ++x) {
        const double t = width > 1 && !single ? static_cast<double>(x) / (width - 1) : 0.0;
        const Point c = map.at(t);
        for (std::int32_t y = 0; y < barHeight; ++y)
            put(top + y, margin + x, toByte(c.x), toByte(c.y), toByte(c.z));
    }
    // Round values (1, 2 or 5 x 10^k apart, or whole decades) at their
    // places on the bar, as many as fit side by side; the two ends where
    // fewer than two round values fall inside; the value alone for one.
    const auto drawTick = [&](std::int32_t x, const std::string& text) {
        for (std::int32_t y = 0; y < tick; ++y) put(top + barHeight + y, x, 0, 0, 0);
        const std::int32_t w = (static_cast<std::int32_t>(text.size()) * 6 - 1) * s;
        const std::int32_t left = std::clamp(x - w / 2, 0, std::max(0, cols - w));
        drawText(put, text, left, top + barHeight + tick + gap, s);
    };
    const auto placeOf = [&](double t) {
        return margin + static_cast<std::int32_t>(std::lround(std::clamp(t, 0.0, 1.0) * (width - 1)));
    };
    const auto fits = [&](const std::vector<Tick>& ticks) {
        std::int32_t widest = 0;
        for (const Tick& k : ticks) widest = std::max(widest, static_cast<std::int32_t>(k.text.size()));
        const std::int32_t textWidth = (widest * 6 - 1) * s;
        for (std::size_t k = 1; k < ticks.size(); ++k)
            if (placeOf(ticks[k].t) - placeOf(ticks[k - 1].t) < textWidth + 4 * s) return false;
        return textWidth <= cols;
    };
    if (single) {
        drawTick(margin + (width - 1) / 2, label(scale.lo));
    } else {
        std::vector<Tick> chosen;
        for (const int count : {6, 4, 3, 2}) {
            std::vector<Tick> ticks = roundTicks(scale, count);
            if (ticks.size() >= 2 && fits(ticks)) {
                chosen = std::move(ticks);
                break;
            }
        }
        if (chosen.empty()) {
            chosen = {{0.0, label(scale.lo)}, {1.0, label(scale.hi)}};
            if (!fits(chosen)) chosen.clear();
        }
        for (const Tick& k : chosen) drawTick(placeOf(k.t), k.text);
    }
    if (!caption.empty()) {
        const std::int32_t w = (static_cast<std::int32_t>(caption.size()) * 6 - 1) * s;
        const std::int32_t left = std::max(0, (cols - w) / 2);
        drawText(put, caption, left, top + barHeight + tick + gap + textHeight + gap, s);
    }
    return out;
}

RenderInput renderInputOf(const RegGrid& grid, double largestMagnitude) {
    const FieldView field = viewOf(grid);
    RenderInput input;
    input.rows = grid.rows;
    input.cols = grid.cols;
    input.lic = grid.licSums.data();
    input.x = field.x;
    input.y = field.y;
    input.largestMagnitude = largestMagnitude;
    return input;
}

Image render(const RenderInput& input, const RenderOptions& options) {
    return render(input, options, colormapNamed(options.colormap));
}

Image render(const RenderInput& input, const RenderOptions& options, const Colormap& map) {
    requireShape(input.rows, input.cols);
    if (!input.lic) throw std::invalid_argument("render: no LIC values");
    if (!(options.shade.alpha >= 0.0 && options.shade.alpha <= 1.0))
        throw std::invalid_argument("--alpha: expected a number from 0 to 1, found " + std::to_string(options.shade.alpha));
    const int threads = input.threads;
    // Cells without data (a NaN LIC value, as the engine leaves masked
    // cells) count as masked.
    std::vector<std::uint8_t> combined;
    const std::size_t n = static_cast<std::size_t>(input.rows) * static_cast<std::size_t>(input.cols);
    if (std::any_of(input.lic, input.lic + n, [](double v) { return std::isnan(v); })) {
        combined.resize(n);
        for (std::size_t k = 0; k < n; ++k)
            combined[k] = (input.mask && input.mask[k]) || std::isnan(input.lic[k]);
    }
    const Mask mask = combined.empty() ? input.mask : combined.data();

    // No contrast: the LIC values themselves, not a copy.
    std::vector<double> contrasted;
    if (options.contrast.mode != Contrast::none)
        contrasted = applyContrast(input.lic, input.rows, input.cols, options.contrast, mask,
                                   input.secondPass, threads);
    const double* brightness = contrasted.empty() ? input.lic : contrasted.data();

    ColorSource color;
    ColorScale scale;
    scale.log = options.log;
    std::vector<double> derived;  // a colour value worked out here
    switch (options.colorBy) {
    case ColorBy::magnitude:
        if (!input.x.data || !input.y.data) throw std::invalid_argument("render: no vectors to take the magnitude of");
        color.x = input.x;
        color.y = input.y;
        if (!options.range) {
            const bool scan = options.log || !input.largestMagnitude;
            const Range r = scan ? valueRange(color, input.rows, input.cols, options.log, mask, threads) : Range{};
            scale.lo = options.log ? r.lo : 0.0;
            scale.hi = input.largestMagnitude ? *input.largestMagnitude : r.hi;
        }
        break;
    case ColorBy::vorticity:
        if (!input.x.data || !input.y.data) throw std::invalid_argument("render: no vectors to take the curl of");
        derived = vorticity(input.rows, input.cols, input.x, input.y, mask, threads);
        color.values = derived.data();
        if (!options.range) {
            // Symmetric about 0, so that a diverging map's middle is no rotation.
            const Range r = valueRange(color, input.rows, input.cols, options.log, mask, threads);
            const double reach = std::max(std::fabs(r.lo), std::fabs(r.hi));
            scale.lo = options.log ? r.lo : -reach;
            scale.hi = options.log ? r.hi : reach;
        }
        break;
    case ColorBy::scalar:
        if (!input.scalar) throw std::invalid_argument("render: no scalar field to colour by");
        color.values = input.scalar;
        if (!options.range) {
            const Range r = valueRange(color, input.rows, input.cols, options.log, mask, threads);
            scale.lo = r.lo;
            scale.hi = r.hi;
        }
        break;
    case ColorBy::none: break;
    }
    if (options.range) {
        scale.lo = options.range->lo;
        scale.hi = options.range->hi;
    }
    // A scale from the data with one value above zero, or none: that value
    // (or 0) alone, drawn in one colour.
    if (options.log && !options.range && !(scale.lo > 0.0 && scale.hi > scale.lo))
        scale.lo = scale.hi = scale.hi > 0.0 ? scale.hi : 0.0;
    if (options.log && options.range && !(scale.lo > 0.0 && scale.hi > scale.lo))
        throw std::invalid_argument("--log: the colour range must lie above zero, found " + label(scale.lo) +
                                    ":" + label(scale.hi));
    Image image = shade(input.rows, input.cols, brightness, color, scale, map, options.shade, mask, threads);
    if (options.colorbar && color.present()) image = withColorbar(image, map, scale, options.colorbarLabel);
    return image;
}

}  // namespace fastlic

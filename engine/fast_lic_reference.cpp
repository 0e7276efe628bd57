// The method written out step by step, one seed at a time, sampling and
// normalising the field at every stage point.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/fast_lic.h"

namespace fastlic {

namespace {

// The inside samples of positions first..last, summed in ascending order.
double windowSum(const LicTarget& t, const Streamline& s, std::int32_t first, std::int32_t last,
                 std::int32_t& count) {
    count = 0;
    double sum = 0.0;
    for (std::int32_t m = first; m <= last; ++m) {
        if (isInside(t.sampler, pointAt(s, m))) {
            sum = sum + textureAt(t.sampler, pointAt(s, m));
            count = count + 1;
        }
    }
    return sum;
}

}  // namespace

double convolveCenter(LicTarget& t, const Streamline& s, std::int32_t& count) {
    const std::int32_t L = t.params.filterHalfLength;
    const double sum = windowSum(t, s, -L, L, count);
    std::int32_t r, c;
    if (!pixelOf(t.sampler, pointAt(s, 0), r, c)) return 0.0;
    const double average = sum * (1.0 / count);
    t.sums[t.cell(r, c)] = t.sums[t.cell(r, c)] + average;
    if (t.hits[t.cell(r, c)] == std::numeric_limits<std::int32_t>::max()) throw CountOverflow();
    t.hits[t.cell(r, c)] = t.hits[t.cell(r, c)] + 1;
    return average;
}

namespace {

// The slide step shared by both directions: `entering` joins the window and
// `leaving` drops out of it.
double slide(LicTarget& t, const Streamline& s, double& average, std::int32_t k,
             std::int32_t& count, std::int32_t entering, std::int32_t leaving) {
    std::int32_t r, c;
    if (!pixelOf(t.sampler, pointAt(s, k), r, c)) return 0.0;
    std::int32_t updated = count;
    if (isInside(t.sampler, pointAt(s, entering))) updated = updated + 1;
    if (isInside(t.sampler, pointAt(s, leaving))) updated = updated - 1;
    if (updated <= 0) return 0.0;  // only where the window lies wholly outside
    if (t.rescales() && updated != count) {
        const std::int32_t L = t.params.filterHalfLength;
        std::int32_t inside;
        const double sum = windowSum(t, s, k - L, k + L, inside);
        count = updated;
        average = sum * (1.0 / count);
    } else {
        count = updated;
        const double reciprocal = 1.0 / count;
        average = (textureAt(t.sampler, pointAt(s, entering)) - textureAt(t.sampler, pointAt(s, leaving))) *
                      reciprocal +
                  average;
    }
    t.sums[t.cell(r, c)] = t.sums[t.cell(r, c)] + average;
    if (t.hits[t.cell(r, c)] == std::numeric_limits<std::int32_t>::max()) throw CountOverflow();
    t.hits[t.cell(r, c)] = t.hits[t.cell(r, c)] + 1;
    return average;
}

}  // namespace

double convolveForward(LicTarget& t, const Streamline& s, double& average, std::int32_t k,
                       std::int32_t& count) {
    const std::int32_t L = t.params.filterHalfLength;
    return slide(t, s, average, k, count, k + L, k - L - 1);
}

double convolveBackward(LicTarget& t, const Streamline& s, double& average, std::int32_t k,
                        std::int32_t& count) {
    const std::int32_t L = t.params.filterHalfLength;
    return slide(t, s, average, k, count, k - L, k + L + 1);
}

namespace {

// The weighted window at position k (any kernel but the box): the inside
// samples of k - L..k + L, their weighted sum in ascending position order
// over the sum of their weights, added to the pixel under k. Nothing where
// k maps outside or the inside weights sum to 0.
// Animated (wavelength above 0): each sample weighs
// w_j (1 + cos(2 pi j / wavelength + phase)) over the same sum of w_j; a
// steady wave subtracts m, the w-weighted mean of that cosine over the
// inside samples, from each.
struct Phase {
    double wavelength = 0.0;
    double phase = 0.0;
    bool steady = false;
};

void weightedWindow(LicTarget& t, const Streamline& s, const std::vector<double>& w, std::int32_t k,
                    Phase moving = {}) {
    std::int32_t r, c;
    if (!pixelOf(t.sampler, pointAt(s, k), r, c)) return;
    const std::int32_t L = t.params.filterHalfLength;
    constexpr double pi = 3.14159265358979323846;
    const auto wave = [&](std::int32_t j) { return std::cos(2.0 * pi * j / moving.wavelength + moving.phase); };
    double mean = 0.0;
    if (moving.wavelength > 0.0 && moving.steady) {
        double weighted = 0.0, weight = 0.0;
        for (std::int32_t j = -L; j <= L; ++j)
            if (isInside(t.sampler, pointAt(s, k + j))) {
                weighted = weighted + w[j + L] * wave(j);
                weight = weight + w[j + L];
            }
        if (weight > 0.0) mean = weighted / weight;
    }
    double sum = 0.0;
    double weight = 0.0;
    for (std::int32_t j = -L; j <= L; ++j) {
        if (isInside(t.sampler, pointAt(s, k + j))) {
            double factor = 1.0;
            if (moving.wavelength > 0.0) factor = 1.0 + wave(j) - mean;
            sum = sum + w[j + L] * factor * textureAt(t.sampler, pointAt(s, k + j));
            weight = weight + w[j + L];
        }
    }
    if (!(weight > 0.0)) return;
    const double value = sum / weight;
    t.sums[t.cell(r, c)] = t.sums[t.cell(r, c)] + value;
    if (t.hits[t.cell(r, c)] == std::numeric_limits<std::int32_t>::max()) throw CountOverflow();
    t.hits[t.cell(r, c)] = t.hits[t.cell(r, c)] + 1;
}

void runReference(LicTarget& t, Phase moving = {}) {
    const FieldView& f = t.sampler.field;
    const std::int32_t M = t.params.slideSteps;
    Streamline s(t.params.reach());
    const std::vector<double> weights = kernelWeights(t.params);
    for (std::int32_t i = 0; i < f.rows; ++i) {
        for (std::int32_t j = 0; j < f.cols; ++j) {
            if (t.hits[t.cell(i, j)] >= t.params.hitLimit) continue;
            if (f.mask.data && f.mask(i, j)) continue;
            traceStreamline(t.sampler, s, i, j, t.params.step, t.params.orientation);
            if (t.params.kernel != Kernel::box || moving.wavelength > 0.0) {
                // The seed, then +1..+M, then -1..-M, as the box slides.
                weightedWindow(t, s, weights, 0, moving);
                for (std::int32_t k = 1; k <= M; ++k) weightedWindow(t, s, weights, k, moving);
                for (std::int32_t k = 1; k <= M; ++k) weightedWindow(t, s, weights, -k, moving);
                continue;
            }
            std::int32_t centreCount;
            const double centre = convolveCenter(t, s, centreCount);
            double average = centre;
            std::int32_t count = centreCount;
            for (std::int32_t k = 1; k <= M; ++k) convolveForward(t, s, average, k, count);
            average = centre;
            count = centreCount;
            for (std::int32_t k = 1; k <= M; ++k) convolveBackward(t, s, average, -k, count);
        }
    }
    averageLicSums(t.sums, t.hits, static_cast<std::size_t>(f.rows) * f.cols, 1);
}

}  // namespace

namespace {

// moving: the last pass's phase, if any.
void referencePasses(const FieldView& field, const LicParams& params, double* lic, std::int32_t* hits,
                     Phase moving) {
    params.validateFor(field.rows, field.cols);
    detail::checkField(field);
    const std::size_t cells = static_cast<std::size_t>(field.rows) * field.cols;
    FieldView pass = field;
    std::vector<double> previous;
    for (std::int32_t n = 0; n < params.iterations; ++n) {
        if (n > 0) {
            // The next pass convolves this one's values.
            previous.assign(lic, lic + cells);
            pass.texture = contiguousPlane(previous.data(), field.cols);
        }
        std::fill_n(lic, cells, 0.0);
        std::fill_n(hits, cells, 0);
        LicTarget t(pass, params, lic, hits);
        runReference(t, n + 1 == params.iterations ? moving : Phase{});
    }
    // Masked cells: no value (0 / 0 already, made explicit).
    if (field.mask.data)
        for (std::int32_t i = 0; i < field.rows; ++i)
            for (std::int32_t j = 0; j < field.cols; ++j)
                if (field.mask(i, j)) lic[static_cast<std::size_t>(i) * field.cols + j] = std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

void computeLicReference(const FieldView& field, const LicParams& params, double* lic,
                         std::int32_t* hits) {
    referencePasses(field, params, lic, hits, {});
}

void computeLicAnimationReference(const FieldView& field, const LicParams& params, const Wave& wave,
                                  double phase, double* lic, std::int32_t* hits) {
    params.validate();
    referencePasses(field, params, lic, hits, {animationWavelength(params, wave.length), phase, wave.steady});
}

void computeFastLicReference(RegGrid& grid, const LicParams& params) {
    computeLicReference(viewOf(grid), params, grid.licSums.data(), grid.hitCounts.data());
}

}  // namespace fastlic

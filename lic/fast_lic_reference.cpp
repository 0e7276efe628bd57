// The method written out step by step, one seed at a time, sampling and
// normalising the field at every stage point.
#include <algorithm>
#include <cstring>

#include "lic/fast_lic.h"

namespace fastlic {

double convolveCenter(LicTarget& t, const Streamline& s, std::int32_t& count) {
    const std::int32_t L = t.params.filterHalfLength;
    count = 0;
    double sum = 0.0;
    for (std::int32_t m = -L; m <= L; ++m) {
        if (isInside(t.field, pointAt(s, m))) {
            sum = sum + textureAt(t.field, pointAt(s, m));
            count = count + 1;
        }
    }
    std::int32_t r, c;
    if (!pixelOf(t.field, pointAt(s, 0), r, c)) return 0.0;
    const double average = sum * (1.0 / count);
    t.sums[t.cell(r, c)] = t.sums[t.cell(r, c)] + average;
    t.hits[t.cell(r, c)] = t.hits[t.cell(r, c)] + 1;
    return average;
}

namespace {

// The slide step shared by both directions: `entering` joins the window and
// `leaving` drops out of it.
double slide(LicTarget& t, const Streamline& s, double& average, std::int32_t k,
             std::int32_t& count, std::int32_t entering, std::int32_t leaving) {
    std::int32_t r, c;
    if (!pixelOf(t.field, pointAt(s, k), r, c)) return 0.0;
    std::int32_t updated = count;
    if (isInside(t.field, pointAt(s, entering))) updated = updated + 1;
    if (isInside(t.field, pointAt(s, leaving))) updated = updated - 1;
    if (updated <= 0) return 0.0;  // only where the window lies wholly outside
    count = updated;
    const double reciprocal = 1.0 / count;
    average = (textureAt(t.field, pointAt(s, entering)) - textureAt(t.field, pointAt(s, leaving))) *
                  reciprocal +
              average;
    t.sums[t.cell(r, c)] = t.sums[t.cell(r, c)] + average;
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

void runReference(LicTarget& t) {
    const std::int32_t M = t.params.slideSteps;
    Streamline s(t.params.reach());
    for (std::int32_t i = 0; i < t.field.rows; ++i) {
        for (std::int32_t j = 0; j < t.field.cols; ++j) {
            if (t.hits[t.cell(i, j)] >= t.params.hitLimit) continue;
            traceStreamline(t.field, s, i, j, t.params.step);
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
    averageLicSums(t.sums, t.hits, static_cast<std::size_t>(t.field.rows) * t.field.cols, 1);
}

}  // namespace

void computeLicReference(const FieldView& field, const LicParams& params, double* lic,
                         std::int32_t* hits) {
    params.validateFor(field.rows, field.cols);
    detail::checkField(field);
    const std::size_t cells = static_cast<std::size_t>(field.rows) * field.cols;
    std::fill_n(lic, cells, 0.0);
    std::fill_n(hits, cells, 0);
    LicTarget t{field, params, lic, hits};
    runReference(t);
}

void computeFastLicReference(RegGrid& grid, const LicParams& params) {
    computeLicReference(viewOf(grid), params, grid.licSums.data(), grid.hitCounts.data());
}

}  // namespace fastlic

#include "lic/fast_lic.h"

namespace fastlic {

double convolveCenter(RegGrid& grid, const Streamline& s, std::int32_t& count) {
    count = 0;
    double sum = 0.0;
    for (std::int32_t m = -filterHalfLength; m <= filterHalfLength; ++m) {
        if (isInside(grid, pointAt(s, m))) {
            sum = sum + textureAt(grid, pointAt(s, m));
            count = count + 1;
        }
    }
    std::int32_t r, c;
    if (!pixelOf(grid, pointAt(s, 0), r, c)) return 0.0;
    const double average = sum * (1.0 / count);
    grid.licSums[r][c] = grid.licSums[r][c] + average;
    grid.hitCounts[r][c] = grid.hitCounts[r][c] + 1;
    return average;
}

namespace {

// The slide step shared by both directions: `entering` joins the window and
// `leaving` drops out of it.
double slide(RegGrid& grid, const Streamline& s, double& average, std::int32_t k,
             std::int32_t& count, std::int32_t entering, std::int32_t leaving) {
    std::int32_t r, c;
    if (!pixelOf(grid, pointAt(s, k), r, c)) return 0.0;
    std::int32_t updated = count;
    if (isInside(grid, pointAt(s, entering))) updated = updated + 1;
    if (isInside(grid, pointAt(s, leaving))) updated = updated - 1;
    if (updated <= 0) return 0.0;  // only on grids too small to hold the window
    count = updated;
    const double reciprocal = 1.0 / count;
    average = (textureAt(grid, pointAt(s, entering)) - textureAt(grid, pointAt(s, leaving))) *
                  reciprocal +
              average;
    grid.licSums[r][c] = grid.licSums[r][c] + average;
    grid.hitCounts[r][c] = grid.hitCounts[r][c] + 1;
    return average;
}

}  // namespace

double convolveForward(RegGrid& grid, const Streamline& s, double& average, std::int32_t k,
                       std::int32_t& count) {
    return slide(grid, s, average, k, count, k + filterHalfLength, k - filterHalfLength - 1);
}

double convolveBackward(RegGrid& grid, const Streamline& s, double& average, std::int32_t k,
                        std::int32_t& count) {
    return slide(grid, s, average, k, count, k - filterHalfLength, k + filterHalfLength + 1);
}

void computeFastLicReference(RegGrid& grid) {
    Streamline s;
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            if (grid.hitCounts[i][j] >= hitLimit) continue;
            traceStreamline(grid, s, i, j);
            std::int32_t centreCount;
            const double centre = convolveCenter(grid, s, centreCount);
            double average = centre;
            std::int32_t count = centreCount;
            for (std::int32_t k = 1; k <= slideSteps; ++k)
                convolveForward(grid, s, average, k, count);
            average = centre;
            count = centreCount;
            for (std::int32_t k = 1; k <= slideSteps; ++k)
                convolveBackward(grid, s, average, -k, count);
        }
    }
    averageLicSums(grid);
}

}  // namespace fastlic

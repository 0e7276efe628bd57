// Fast LIC convolution: a box filter averaged at each seed and slid along
// the seed's streamline, every position adding its running average to the
// pixel under it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/reg_grid.h"
#include "engine/lic.h"
#include "engine/streamline.h"

namespace fastlic {

// What one convolution reads and writes: the field, the shape, and the
// row-major sums and hit counts it accumulates into.
struct LicTarget {
    LicTarget(const FieldView& field, const LicParams& p, double* s, std::int32_t* h)
        : sampler(field, p), params(p), sums(s), hits(h) {}
    Sampler sampler;
    LicParams params;
    double* sums;
    std::int32_t* hits;

    // Whether a step that changes the window's count takes the mean afresh.
    bool rescales() const { return sampler.bounds.rescales(); }
    std::size_t cell(std::int32_t row, std::int32_t col) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(sampler.field.cols) +
               static_cast<std::size_t>(col);
    }
};

inline LicTarget targetOf(RegGrid& grid, const LicParams& params = {}) {
    return {viewOf(grid), params, grid.licSums.data(), grid.hitCounts.data()};
}

// The filter at the seed; count receives the number of samples inside.
// Returns 0.0 (nothing added) when the seed maps outside.
double convolveCenter(LicTarget& target, const Streamline& s, std::int32_t& count);

// One slide step to position k (1..M forward, -1..-M backward). A step whose
// position maps outside, or whose updated count would not be positive, is
// skipped whole: average, count and sums stay as they were, result 0.0.
// Where the target rescales and the count changes, the average is the mean
// of the window's inside samples taken afresh.
double convolveForward(LicTarget& target, const Streamline& s, double& average, std::int32_t k,
                       std::int32_t& count);
double convolveBackward(LicTarget& target, const Streamline& s, double& average, std::int32_t k,
                        std::int32_t& count);

// Every sum divided (true division) by its hit count.
void averageLicSums(double* sums, const std::int32_t* hits, std::size_t cells, int threads);
void averageLicSums(RegGrid& grid);

// The reference and the engine on a grid's arrays. The engine needs the
// hit counts and sums zero, as a new grid has them.
void computeFastLicReference(RegGrid& grid, const LicParams& params = {});
void computeFastLic(RegGrid& grid, const LicParams& params = {}, const RunOptions& options = {},
                    const std::uint8_t* mask = nullptr);  // row-major, nonzero: no data

}  // namespace fastlic

// Fast LIC convolution: a 21-sample box filter averaged at each seed and slid
// nine positions each way along the seed's streamline.
#pragma once

#include <cstdint>
#include <functional>

#include "field/reg_grid.h"
#include "lic/streamline.h"

namespace fastlic {

inline constexpr std::int32_t hitLimit = 12;
inline constexpr std::int32_t filterHalfLength = 10;
inline constexpr std::int32_t slideSteps = 9;

// The filter at the seed; count receives the number of samples inside.
// Returns 0.0 (grid unchanged) when the seed maps outside.
double convolveCenter(RegGrid& grid, const Streamline& s, std::int32_t& count);

// One slide step to position k (1..9 forward, -1..-9 backward). A step whose
// position maps outside, or whose updated count would not be positive, is
// skipped whole: average, count and grid stay as they were, result 0.0.
double convolveForward(RegGrid& grid, const Streamline& s, double& average, std::int32_t k,
                       std::int32_t& count);
double convolveBackward(RegGrid& grid, const Streamline& s, double& average, std::int32_t k,
                        std::int32_t& count);

// Every LIC sum divided (true division) by its hit count.
void averageLicSums(RegGrid& grid);

// The method written out step by step, one seed at a time, sampling and
// normalising the field at every stage point. The engine must match it bit
// for bit; tests and benchmarks hold it as the reference.
void computeFastLicReference(RegGrid& grid);

// The engine: same result as the reference, on `threads` threads (0: the
// run's thread count). progress, where given, is told the fraction of rows
// done from time to time, always from one thread at a time.
void computeFastLic(RegGrid& grid, int threads = 0,
                    const std::function<void(double)>& progress = {});

}  // namespace fastlic

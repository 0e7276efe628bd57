// The engine against the step-by-step reference, bit for bit, across sizes
// (the kernels' thresholds, bands, grids smaller than a band), thread counts
// and both lockstep kernels.
#include <gtest/gtest.h>

#include "lic/fast_lic.h"
#include "lic/seed_kernel.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::firstDifference;
using testing::makeGrid;

struct Field {
    const char* name;
    testing::VectorFn (*make)(std::int32_t rows, std::int32_t cols);
};

const Field fields[] = {
    {"smooth", [](std::int32_t r, std::int32_t c) -> testing::VectorFn {
         return [=](auto i, auto j) { return testing::smoothField(i, j, r, c); };
     }},
    {"random", [](std::int32_t, std::int32_t c) -> testing::VectorFn {
         return [=](auto i, auto j) { return testing::randomField(i, j, c, 3); };
     }},
    {"mixed", [](std::int32_t r, std::int32_t c) -> testing::VectorFn {
         return [=](auto i, auto j) { return testing::mixedField(i, j, r, c); };
     }},
};

// "" when the engine matches the reference on every field at this size.
std::string compare(std::int32_t rows, std::int32_t cols, int threads) {
    for (const Field& f : fields) {
        const auto field = f.make(rows, cols);
        const auto texture = [cols](auto i, auto j) { return testing::noise(i, j, cols, 5); };
        auto expected = makeGrid(rows, cols, field, texture);
        auto actual = makeGrid(rows, cols, field, texture);
        computeFastLicReference(*expected);
        computeFastLic(*actual, threads);
        const std::string d = firstDifference(*expected, *actual);
        if (!d.empty())
            return std::string(f.name) + " " + std::to_string(rows) + "x" + std::to_string(cols) +
                   ", " + std::to_string(threads) + " threads: " + d;
    }
    return "";
}

TEST(Engine, MatchesReferenceAcrossSizesAndThreads) {
    // Below, at and above the halo the lockstep kernel needs (11), one band
    // and many, wide and narrow, a column count the batches do not divide.
    const std::pair<std::int32_t, std::int32_t> sizes[] = {
        {1, 1}, {3, 7}, {10, 10}, {11, 11}, {10, 40}, {40, 10}, {12, 13}, {64, 1024}, {1100, 19}, {97, 203}};
    for (auto [rows, cols] : sizes)
        for (int threads : {1, 2, 4}) EXPECT_EQ(compare(rows, cols, threads), "");
}

TEST(Engine, EveryLockstepKernelMatchesReference) {
    for (auto kernel : {detail::Kernel::sse2, detail::Kernel::avx2, detail::Kernel::avx512}) {
        detail::useWidestKernelUpTo(kernel);
        EXPECT_EQ(compare(256, 256, 2), "");
        EXPECT_EQ(compare(23, 41, 1), "");
    }
}

TEST(Engine, LargeGridMatchesReference) { EXPECT_EQ(compare(512, 512, 2), ""); }

}  // namespace
}  // namespace fastlic

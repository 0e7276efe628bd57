#include "lic/fast_lic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::makeGrid;

std::unique_ptr<RegGrid> uniformField(Vector v, const testing::TextureFn& t,
                                      std::int32_t rows = 256, std::int32_t cols = 256) {
    return makeGrid(rows, cols, [v](auto, auto) { return v; }, t);
}

TEST(FastLic, ConstantTextureGivesThatConstant) {
    auto g = makeGrid(
        256, 256, [](auto i, auto j) { return testing::smoothField(i, j, 256, 256); },
        [](auto, auto) { return 77; });
    computeFastLicReference(*g);
    for (std::int32_t i = 0; i < 256; ++i)
        for (std::int32_t j = 0; j < 256; ++j) ASSERT_NEAR(g->licSums[i][j], 77.0, 1e-9);
}

TEST(FastLic, ZeroFieldSeedsEveryPixelOnce) {
    auto g = uniformField(Vector(), [](auto i, auto j) { return testing::noise(i, j, 256, 1); });
    computeFastLicReference(*g);
    for (std::int32_t i = 0; i < 256; ++i)
        for (std::int32_t j = 0; j < 256; ++j) {
            ASSERT_EQ(g->hitCounts[i][j], 19);
            ASSERT_NEAR(g->licSums[i][j], g->texture[i][j], 1e-9);
        }
}

TEST(FastLic, CentreAverageOfRowIndexTexture) {
    auto g = uniformField(Vector(1, 0, 0), [](auto i, auto) { return i; });
    Streamline s;
    for (std::int32_t i : {10, 100, 245}) {
        traceStreamline(*g, s, i, 7);
        std::int32_t count = 0;
        const double centre = convolveCenter(*g, s, count);
        EXPECT_EQ(count, 21);
        EXPECT_NEAR(centre, i + 5.0 / 21.0, 1e-12) << i;
        // Forward steps alternate +11/21, +10/21; backward -10/21, -11/21.
        double average = centre;
        std::int32_t n = count;
        EXPECT_NEAR(convolveForward(*g, s, average, 1, n) - centre, 11.0 / 21.0, 1e-12);
        EXPECT_NEAR(convolveForward(*g, s, average, 2, n) - centre, 21.0 / 21.0, 1e-12);
        average = centre;
        n = count;
        EXPECT_NEAR(convolveBackward(*g, s, average, -1, n) - centre, -10.0 / 21.0, 1e-12);
        EXPECT_NEAR(convolveBackward(*g, s, average, -2, n) - centre, -21.0 / 21.0, 1e-12);
        EXPECT_EQ(n, 21);
    }
}

TEST(FastLic, OneStreamlineHitsItsColumnTwicePerRow) {
    auto g = uniformField(Vector(1, 0, 0), [](auto, auto) { return 1; });
    Streamline s;
    const std::int32_t i = 100, j = 30;
    traceStreamline(*g, s, i, j);
    std::int32_t count = 0;
    double average = convolveCenter(*g, s, count);
    const double centre = average;
    const std::int32_t centreCount = count;
    for (std::int32_t k = 1; k <= 9; ++k) convolveForward(*g, s, average, k, count);
    average = centre;
    count = centreCount;
    for (std::int32_t k = 1; k <= 9; ++k) convolveBackward(*g, s, average, -k, count);
    std::int32_t total = 0;
    for (std::int32_t r = 0; r < 256; ++r)
        for (std::int32_t c = 0; c < 256; ++c) {
            const std::int32_t expected = c != j ? 0 : (r >= i - 4 && r <= i + 4) ? 2 : r == i + 5;
            EXPECT_EQ(g->hitCounts[r][c], expected) << r << ", " << c;
            total += g->hitCounts[r][c];
        }
    EXPECT_EQ(total, 19);
}

TEST(FastLic, EveryPixelIsHitAndStaysWithinTheTextureRange) {
    auto g = makeGrid(
        256, 256, [](auto i, auto j) { return testing::randomField(i, j, 256, 5); },
        [](auto i, auto j) { return testing::noise(i, j, 256, 5); });
    computeFastLicReference(*g);
    for (std::int32_t i = 0; i < 256; ++i)
        for (std::int32_t j = 0; j < 256; ++j) {
            ASSERT_GE(g->hitCounts[i][j], 1);
            ASSERT_GE(g->licSums[i][j], -1e-9);
            ASSERT_LE(g->licSums[i][j], 255.0 + 1e-9);
        }
}

TEST(FastLic, SkipsStepsOutsideTinyGridsAndStaysFinite) {
    for (auto [rows, cols] : {std::pair{1, 1}, {3, 7}, {2, 300}, {9, 9}, {5, 1}}) {
        auto g = makeGrid(
            rows, cols, [](auto i, auto j) { return testing::randomField(i, j, 300, 9); },
            [](auto i, auto j) { return testing::noise(i, j, 300, 9); });
        computeFastLicReference(*g);
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j) {
                ASSERT_GE(g->hitCounts[i][j], 1) << rows << "x" << cols;
                ASSERT_TRUE(std::isfinite(g->licSums[i][j])) << rows << "x" << cols;
            }
    }
}

}  // namespace
}  // namespace fastlic

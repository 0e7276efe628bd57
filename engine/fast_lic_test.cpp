#include "engine/fast_lic.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::makeGrid;

std::unique_ptr<RegGrid> uniformField(Vector v, const testing::TextureFn& t) {
    return makeGrid(256, 256, [v](auto, auto) { return v; }, t);
}

// What the reference itself must give (the engine is held to its bits):
// a constant texture stays constant, a zero field seeds every pixel once,
// every pixel is hit and stays within the texture's range.
TEST(FastLic, ReferenceKeepsConstantsSeedsZeroFieldsAndHitsEveryPixel) {
    auto constant = makeGrid(
        256, 256, [](auto i, auto j) { return testing::smoothField(i, j, 256, 256); }, [](auto, auto) { return 77; });
    auto zero = uniformField(Vector(), [](auto i, auto j) { return testing::noise(i, j, 256, 1); });
    auto random = makeGrid(
        256, 256, [](auto i, auto j) { return testing::randomField(i, j, 256, 5); },
        [](auto i, auto j) { return testing::noise(i, j, 256, 5); });
    for (RegGrid* g : {constant.get(), zero.get(), random.get()}) computeFastLicReference(*g);
    for (std::int32_t i = 0; i < 256; ++i)
        for (std::int32_t j = 0; j < 256; ++j) {
            ASSERT_NEAR(constant->licSums[i][j], 77.0, 1e-9);
            ASSERT_EQ(zero->hitCounts[i][j], 19);
            ASSERT_NEAR(zero->licSums[i][j], zero->texture[i][j], 1e-9);
            ASSERT_GE(random->hitCounts[i][j], 1);
            ASSERT_GE(random->licSums[i][j], -1e-9);
            ASSERT_LE(random->licSums[i][j], 255.0 + 1e-9);
        }
}

TEST(FastLic, CentreAverageOfRowIndexTexture) {
    auto g = uniformField(Vector(1, 0, 0), [](auto i, auto) { return i; });
    LicTarget t = targetOf(*g);
    Streamline s;
    for (std::int32_t i : {10, 100, 245}) {
        traceStreamline(*g, s, i, 7);
        std::int32_t count = 0;
        const double centre = convolveCenter(t, s, count);
        EXPECT_EQ(count, 21);
        EXPECT_NEAR(centre, i + 5.0 / 21.0, 1e-12) << i;
        // Forward steps alternate +11/21, +10/21; backward -10/21, -11/21.
        double average = centre;
        std::int32_t n = count;
        EXPECT_NEAR(convolveForward(t, s, average, 1, n) - centre, 11.0 / 21.0, 1e-12);
        EXPECT_NEAR(convolveForward(t, s, average, 2, n) - centre, 21.0 / 21.0, 1e-12);
        average = centre;
        n = count;
        EXPECT_NEAR(convolveBackward(t, s, average, -1, n) - centre, -10.0 / 21.0, 1e-12);
        EXPECT_NEAR(convolveBackward(t, s, average, -2, n) - centre, -21.0 / 21.0, 1e-12);
        EXPECT_EQ(n, 21);
    }
}

TEST(FastLic, OneStreamlineHitsItsColumnTwicePerRow) {
    auto g = uniformField(Vector(1, 0, 0), [](auto, auto) { return 1; });
    LicTarget t = targetOf(*g);
    Streamline s;
    const std::int32_t i = 100, j = 30;
    traceStreamline(*g, s, i, j);
    std::int32_t count = 0, centreCount = 0;
    double average = convolveCenter(t, s, centreCount);
    const double centre = average;
    count = centreCount;
    for (std::int32_t k = 1; k <= 9; ++k) convolveForward(t, s, average, k, count);
    average = centre;
    count = centreCount;
    for (std::int32_t k = 1; k <= 9; ++k) convolveBackward(t, s, average, -k, count);
    for (std::int32_t r = 0; r < 256; ++r)
        for (std::int32_t c = 0; c < 256; ++c) {
            const std::int32_t expected = c != j ? 0 : (r >= i - 4 && r <= i + 4) ? 2 : r == i + 5;
            ASSERT_EQ(g->hitCounts[r][c], expected) << r << ", " << c;
        }
}

// The bound on the reach is relative to the grid's longer side.
TEST(FastLic, RefusesShapesThatCannotWork) {
#define WORK                                                                                                 \
    "(cells x (2 x (filter half length + slide steps) + 1) x iterations), more than the limit of 20000000000; give " \
    "a larger maxWork to run it"
    const struct {
        LicParams params;
        std::int32_t rows, cols;
        const char* message;
    } cases[] = {
        {{0, 9, 12, 0.5}, 8, 8, "filterHalfLength: must be at least 1, got 0"},
        {{10, -1, 12, 0.5}, 8, 8, "slideSteps: must be at least 0, got -1"},
        {{10, 9, 0, 0.5}, 8, 8, "hitLimit: must be at least 1, got 0"},
        {{10, 9, 12, 0.0}, 8, 8, "step: must be a finite number above 0, got 0"},
        {{10, 9, 12, -0.5}, 8, 8, "step: must be a finite number above 0, got -0.5"},
        {{10, 9, 12, std::nan("")}, 8, 8, "step: must be a finite number above 0, got nan"},
        {{10, 9, 12, INFINITY}, 8, 8, "step: must be a finite number above 0, got inf"},
        {{1 << 20, 1, 12, 0.5}, 8, 8, "reach: the streamline takes 1048577 steps each way, more than 1048576"},
        {{600, 401, 12, 1.0}, 10, 7,
         "reach: the streamline reaches 1001 cells each way, more than 100 times the grid's longer side "
         "(1000 cells)"},
        {{600, 400, 12, 1.0}, 10, 7, ""},
        {{1, 0, 1, 1e-300}, 1, 1, ""},
        // Work beyond the limit: passes, or a long filter on a mid-sized grid.
        {{10, 9, 12, 0.5, Boundary::periodic, Boundary::periodic, false, Interpolation::nearest, INT32_MAX}, 16, 20,
         "maxWork: the run would trace up to 26800595914560 streamline points " WORK},
        {{500000, 1, 12, 0.001}, 256, 256, "maxWork: the run would trace up to 65536196608 streamline points " WORK},
        {{10, 9, 12, 0.5}, 30000, 30000, ""},  // 3.5e10 points, but 39 a cell
        {{500000, 1, 12, 0.001, Boundary::periodic, Boundary::periodic, false, Interpolation::nearest, 1, 7e10},
         256, 256, ""},
    };
    for (const auto& c : cases) {
        std::string message;
        try {
            c.params.validateFor(c.rows, c.cols);
        } catch (const ParamError& e) {
            message = e.what();
        }
        EXPECT_EQ(message, c.message);
    }
#undef WORK
}

}  // namespace
}  // namespace fastlic

#include "lic/fast_lic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

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
    std::int32_t count = 0;
    double average = convolveCenter(t, s, count);
    const double centre = average;
    const std::int32_t centreCount = count;
    for (std::int32_t k = 1; k <= 9; ++k) convolveForward(t, s, average, k, count);
    average = centre;
    count = centreCount;
    for (std::int32_t k = 1; k <= 9; ++k) convolveBackward(t, s, average, -k, count);
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

// Bad shapes are refused, naming the field; the bound on the reach is
// relative to the grid's longer side.
TEST(FastLic, RefusesShapesThatCannotWork) {
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
    };
    for (const auto& c : cases) {
        try {
            c.params.validateFor(c.rows, c.cols);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const ParamError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    EXPECT_NO_THROW((LicParams{600, 400, 12, 1.0}.validateFor(10, 7)));
    EXPECT_NO_THROW((LicParams{1, 0, 1, 1e-300}.validateFor(1, 1)));
}

// Fields for the behaviour of the options: (x, y) pairs and a texture.
struct Field {
    std::int32_t rows, cols;
    std::vector<double> xy;
    std::vector<std::int32_t> texture;
    FieldView view() const { return FieldView::interleaved(rows, cols, xy.data(), texture.data()); }
};

Field field(std::int32_t rows, std::int32_t cols, const testing::VectorFn& v) {
    Field f{rows, cols, {}, {}};
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const Vector u = v(i, j);
            f.xy.insert(f.xy.end(), {u.x, u.y});
            f.texture.push_back(testing::noise(i, j, cols, 7));
        }
    return f;
}

TEST(Options, ClosedWallStopsStreaksWithoutDarkening) {
    const Field f = field(64, 48, [](auto, auto) { return Vector(1, 0, 0); });
    LicParams p;
    p.rowBoundary = Boundary::closed;
    const LicResult r = computeLic(f.view(), p);
    const auto [low, high] = std::minmax_element(f.texture.begin(), f.texture.end());
    for (std::int32_t j = 0; j < f.cols; ++j)
        for (std::int32_t i : {0, 1, 62, 63}) {
            const double v = r.lic[static_cast<std::size_t>(i) * f.cols + j];
            EXPECT_GE(v, *low) << i << "," << j;
            EXPECT_LE(v, *high) << i << "," << j;
        }
    // Row 0 sees nothing of row 63: with a texture that is 0 in the last
    // rows, the first rows keep their own values.
    Field g = f;
    for (std::int32_t i = 54; i < 64; ++i)
        for (std::int32_t j = 0; j < g.cols; ++j) g.texture[static_cast<std::size_t>(i) * g.cols + j] = 255;
    const LicResult walled = computeLic(g.view(), p);
    for (std::int32_t j = 0; j < f.cols; ++j) EXPECT_EQ(walled.lic[static_cast<std::size_t>(j)], r.lic[static_cast<std::size_t>(j)]);
}

TEST(Options, MaskedRingLeavesItsInsideWithoutValues) {
    const Field f = field(40, 40, [](auto i, auto j) { return testing::smoothField(i, j, 40, 40); });
    std::vector<std::uint8_t> mask(1600);
    for (std::int32_t i = 0; i < 40; ++i)
        for (std::int32_t j = 0; j < 40; ++j) {
            const double d = std::hypot(i - 20.0, j - 20.0);
            mask[static_cast<std::size_t>(i) * 40 + j] = d < 12 && d > 9;
        }
    FieldView v = f.view();
    v.mask = contiguousPlane(mask.data(), 40);
    const LicResult r = computeLic(v, {});
    for (std::size_t c = 0; c < mask.size(); ++c) {
        if (mask[c]) {
            EXPECT_TRUE(std::isnan(r.lic[c])) << c;
            EXPECT_EQ(r.hits[c], 0) << c;
        } else {
            EXPECT_TRUE(std::isfinite(r.lic[c])) << c;
            EXPECT_GE(r.hits[c], 1) << c;
        }
    }
}

TEST(Options, OrientationIgnoresTheSignOfVectors) {
    const auto smooth = [](std::int32_t i, std::int32_t j) { return testing::smoothField(i, j, 64, 64); };
    const Field plain = field(64, 64, smooth);
    const Field flipped = field(64, 64, [&](std::int32_t i, std::int32_t j) {
        return smooth(i, j) * ((i / 8 + j / 8) % 2 ? -1.0 : 1.0);
    });
    LicParams p;
    p.orientation = true;
    // A seed in a flipped block traces its halves the other way round, so
    // its contributions arrive in another order: equal up to rounding.
    const LicResult a = computeLic(plain.view(), p), b = computeLic(flipped.view(), p);
    EXPECT_EQ(a.hits, b.hits);
    for (std::size_t c = 0; c < a.lic.size(); ++c) ASSERT_NEAR(a.lic[c], b.lic[c], 1e-9) << c;
    // Without orientation the flips break the streaks.
    const LicResult broken = computeLic(flipped.view(), {});
    EXPECT_NE(broken.hits, computeLic(plain.view(), {}).hits);
}

TEST(Options, LinearSamplingOfAUniformFieldIsNearest) {
    const Field f = field(50, 30, [](auto, auto) { return Vector(0.3, -0.7, 0); });
    LicParams linear;
    linear.interpolation = Interpolation::linear;
    EXPECT_EQ(testing::firstDifference(computeLic(f.view(), {}), computeLic(f.view(), linear)), "");
}

TEST(Options, TwoPassesConvolveTheFirstPassAgain) {
    const Field f = field(45, 70, [](auto i, auto j) { return testing::mixedField(i, j, 45, 70); });
    LicParams twice;
    twice.iterations = 2;
    const LicResult first = computeLic(f.view(), {});
    FieldView again = f.view();
    again.texture = contiguousPlane(first.lic.data(), f.cols);
    EXPECT_EQ(testing::firstDifference(computeLic(again, {}), computeLic(f.view(), twice)), "");
}

}  // namespace
}  // namespace fastlic

#include "lic/streamline.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace fastlic {
namespace {

std::unique_ptr<RegGrid> uniform(Vector v) {
    return testing::makeGrid(256, 256, [v](auto, auto) { return v; }, [](auto, auto) { return 0; });
}

Streamline traced(Vector v, std::int32_t i, std::int32_t j) {
    Streamline s;
    traceStreamline(*uniform(v), s, i, j);
    return s;
}

TEST(Streamline, SeedsAtPixelCentresAndStepsRoundThroughReciprocals) {
    EXPECT_EQ(seedPoint(255, 17), Point(255.5, 17.5, 0, 1));
    auto g = uniform(Vector(1, 0, 0));
    for (double h : {0.5, -0.5}) {
        Point p(0, 0.5, 0, 1);
        rk4Step(*g, p, h);
        EXPECT_EQ(p, Point(h > 0 ? 0.49999999999999994 : -0.49999999999999994, 0.5, 0, 1));
    }
}

TEST(Streamline, FollowsDirectionInHalfCellStepsKeepingTheLastBits) {
    const Streamline s = traced(Vector(1, 0, 0), 10, 20);
    EXPECT_EQ(s.seed, Point(10.5, 20.5, 0, 1));
    for (int n = 0; n < 19; ++n) {
        EXPECT_EQ(s.forward[n], Point(11.0 + 0.5 * n, 20.5, 0, 1)) << n;
        EXPECT_EQ(s.backward[n], Point(10.0 - 0.5 * n, 20.5, 0, 1)) << n;
    }
    const Streamline wrapped = traced(Vector(1, 0, 0), 0, 20);
    EXPECT_EQ(pointAt(wrapped, -1).x, 5.551115123125783e-17);
    EXPECT_EQ(pointAt(wrapped, -19).x, -8.999999999999998);
    const Streamline fast = traced(Vector(0, 2, 0), 10, 20);  // direction, not magnitude
    for (int k = 1; k <= 19; ++k) EXPECT_EQ(pointAt(fast, k), Point(10.5, 20.5 + 0.5 * k, 0, 1));
}

TEST(Streamline, CreepsThroughNearZeroFieldUnscaled) {
    const Streamline s = traced(Vector(1e-7, 0, 0), 10, 20);
    EXPECT_EQ(pointAt(s, 1).x, 10.50000005);
    EXPECT_EQ(pointAt(s, 2).x, 10.500000100000001);
    EXPECT_EQ(pointAt(s, 3).x, 10.500000150000002);
}

// Also after a moving trace: retracing leaves nothing of it.
TEST(Streamline, StaysOnItsSeedInAZeroField) {
    auto moving = uniform(Vector(1, 0, 0)), still = uniform(Vector());
    Streamline s;
    traceStreamline(*moving, s, 50, 50);
    traceStreamline(*still, s, 7, 8);
    for (int k = -19; k <= 19; ++k) EXPECT_EQ(pointAt(s, k), Point(7.5, 8.5, 0, 1)) << k;
}

}  // namespace
}  // namespace fastlic

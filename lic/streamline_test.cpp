#include "lic/streamline.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::makeGrid;

std::unique_ptr<RegGrid> uniform(Vector v, std::int32_t size = 256) {
    return makeGrid(size, size, [v](auto, auto) { return v; }, [](auto, auto) { return 0; });
}

TEST(Streamline, SeedIsThePixelCentre) {
    EXPECT_EQ(seedPoint(0, 0), Point(0.5, 0.5, 0, 1));
    EXPECT_EQ(seedPoint(255, 17), Point(255.5, 17.5, 0, 1));
}

TEST(Streamline, Rk4StepRoundsThroughReciprocals) {
    auto g = uniform(Vector(1, 0, 0));
    Point p(0, 0.5, 0, 1);
    rk4Step(*g, p, 0.5);
    EXPECT_EQ(p, Point(0.49999999999999994, 0.5, 0, 1));
    Point q(0, 0.5, 0, 1);
    rk4Step(*g, q, -0.5);
    EXPECT_EQ(q, Point(-0.49999999999999994, 0.5, 0, 1));
}

TEST(Streamline, FollowsAUniformFieldInHalfCellSteps) {
    auto g = uniform(Vector(1, 0, 0));
    Streamline s;
    traceStreamline(*g, s, 10, 20);
    EXPECT_EQ(s.seed, Point(10.5, 20.5, 0, 1));
    for (int n = 0; n < 19; ++n) {
        EXPECT_EQ(s.forward[n], Point(11.0 + 0.5 * n, 20.5, 0, 1)) << n;
        EXPECT_EQ(s.backward[n], Point(10.0 - 0.5 * n, 20.5, 0, 1)) << n;
    }
}

TEST(Streamline, KeepsTheLastBitsOfItsSteps) {
    auto g = uniform(Vector(1, 0, 0));
    Streamline s;
    traceStreamline(*g, s, 0, 20);
    EXPECT_EQ(pointAt(s, -1).x, 5.551115123125783e-17);
    EXPECT_EQ(pointAt(s, -19).x, -8.999999999999998);
}

TEST(Streamline, UsesDirectionNotMagnitude) {
    auto g = uniform(Vector(0, 2, 0));
    Streamline s;
    traceStreamline(*g, s, 10, 20);
    for (int k = 1; k <= 19; ++k) EXPECT_EQ(pointAt(s, k), Point(10.5, 20.5 + 0.5 * k, 0, 1));
}

TEST(Streamline, CreepsThroughNearZeroFieldUnscaled) {
    auto g = uniform(Vector(1e-7, 0, 0));
    Streamline s;
    traceStreamline(*g, s, 10, 20);
    EXPECT_EQ(pointAt(s, 1).x, 10.50000005);
    EXPECT_EQ(pointAt(s, 2).x, 10.500000100000001);
    EXPECT_EQ(pointAt(s, 3).x, 10.500000150000002);
}

TEST(Streamline, StaysOnItsSeedInAZeroField) {
    auto g = uniform(Vector());
    Streamline s;
    traceStreamline(*g, s, 3, 4);
    for (int k = -19; k <= 19; ++k) EXPECT_EQ(pointAt(s, k), Point(3.5, 4.5, 0, 1)) << k;
}

TEST(Streamline, RetracingLeavesNothingOfTheEarlierTrace) {
    auto moving = uniform(Vector(1, 0, 0));
    auto still = uniform(Vector());
    Streamline s;
    traceStreamline(*moving, s, 50, 50);
    traceStreamline(*still, s, 7, 8);
    for (int k = -19; k <= 19; ++k) EXPECT_EQ(pointAt(s, k), Point(7.5, 8.5, 0, 1)) << k;
}

}  // namespace
}  // namespace fastlic

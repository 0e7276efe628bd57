#include "engine/streamline.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace fastlic {
namespace {

std::unique_ptr<RegGrid> uniform(Vector v) {
    return testing::makeGrid(256, 256, [v](auto, auto) { return v; }, [](auto, auto) { return 0; });
}

// Points of traces through uniform fields, to the last bit: half-cell
// steps through rounded reciprocals, wrapped coordinates kept as they are,
// the direction and not the magnitude, a near-zero field crept through
// unscaled, and a zero field left at the seed.
TEST(Streamline, PointsKeepEveryBit) {
    const struct {
        Vector v;
        std::int32_t i, j, k;
        double x, y;
    } cases[] = {
        {{1, 0, 0}, 10, 20, 0, 10.5, 20.5},
        {{1, 0, 0}, 10, 20, 1, 11.0, 20.5},
        {{1, 0, 0}, 10, 20, 19, 20.0, 20.5},
        {{1, 0, 0}, 10, 20, -1, 10.0, 20.5},
        {{1, 0, 0}, 10, 20, -19, 1.0, 20.5},
        {{1, 0, 0}, 0, 20, -1, 5.551115123125783e-17, 20.5},
        {{1, 0, 0}, 0, 20, -19, -8.999999999999998, 20.5},
        {{0, 2, 0}, 10, 20, 7, 10.5, 24.0},
        {{1e-7, 0, 0}, 10, 20, 1, 10.50000005, 20.5},
        {{1e-7, 0, 0}, 10, 20, 3, 10.500000150000002, 20.5},
        {{0, 0, 0}, 7, 8, -19, 7.5, 8.5},
        {{0, 0, 0}, 7, 8, 19, 7.5, 8.5},
    };
    Streamline s;
    for (const auto& c : cases) {
        traceStreamline(*uniform({1, 1, 0}), s, 50, 50);  // retracing leaves nothing of the trace before
        traceStreamline(*uniform(c.v), s, c.i, c.j);
        EXPECT_EQ(pointAt(s, c.k), Point(c.x, c.y, 0, 1)) << c.v.x << ", " << c.v.y << " at " << c.k;
    }
    auto g = uniform(Vector(1, 0, 0));
    for (double h : {0.5, -0.5}) {
        Point p(0, 0.5, 0, 1);
        rk4Step(*g, p, h);
        EXPECT_EQ(p, Point(h > 0 ? 0.49999999999999994 : -0.49999999999999994, 0.5, 0, 1));
    }
}

}  // namespace
}  // namespace fastlic

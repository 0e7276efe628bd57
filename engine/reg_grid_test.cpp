#include "engine/reg_grid.h"
#include "engine/field_lookups.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace fastlic {
namespace {

TEST(RegGrid, WrapsCoordinatesByTruncatedRemainder) {
    const RegGrid g(256, 256);
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const struct {
        double x, y;
        std::int32_t row, col;
        bool inside;
    } table[] = {
        {3.7, 250.2, 3, 250, true},     {-0.5, 10.0, 0, 10, true},  {-1.0, 10.0, 255, 10, true},
        {256.0, 10.0, 0, 10, true},     {300.2, 10.0, 44, 10, true}, {10.0, 511.9, 10, 255, true},
        {-256.5, 0.0, 0, 0, true},      {-257.0, 0.0, -1, 0, false}, {-512.0, 0.0, 0, 0, true},
        {-255.9, 3.0, 1, 3, true},      {10.0, -300.0, 10, -44, false},
    };
    for (const auto& e : table) {
        std::int32_t row = 0, col = 0;
        EXPECT_EQ(pixelOf(g, Point(e.x, e.y, 0, 1), row, col), e.inside) << e.x << ", " << e.y;
        EXPECT_EQ(row, e.row) << e.x << ", " << e.y;
        EXPECT_EQ(col, e.col) << e.x << ", " << e.y;
    }
    // Coordinates no cell index can hold are outside.
    for (double x : {nan, inf, -inf, 3e9, -3e9, 2147483647.5}) EXPECT_FALSE(isInside(g, Point(x, 5, 0, 1))) << x;
    EXPECT_FALSE(isInside(g, Point(5, nan, 0, 1)));
}

TEST(RegGrid, LookupsIgnoreZAndWAndGiveZeroOutside) {
    RegGrid g(256, 256);
    g.vectors[5][6] = Vector(1, 2, 0);
    g.texture[5][6] = 255;
    g.texture[7][8] = -3;
    g.vectors[255][0] = Vector(4, 4, 0);
    g.texture[255][0] = 9;
    EXPECT_EQ(vectorAt(g, Point(5.5, 6.5, 100, 0)), Vector(1, 2, 0));
    EXPECT_EQ(textureAt(g, Point(5.5, 6.5, 0, 1)), 255.0);
    EXPECT_EQ(textureAt(g, Point(7.1, 8.9, 0, 1)), -3.0);
    const Point outside(-257.0, 0.0, 0, 1);  // would be row -1
    EXPECT_FALSE(isInside(g, outside));
    EXPECT_EQ(vectorAt(g, outside), Vector());
    EXPECT_EQ(textureAt(g, outside), 0.0);
}

}  // namespace
}  // namespace fastlic

#include "field/reg_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace fastlic {
namespace {

struct Cell {
    std::int32_t row, col;
    bool inside;
};

Cell cellOf(const RegGrid& g, double x, double y) {
    Cell c{};
    c.inside = pixelOf(g, Point(x, y, 0, 1), c.row, c.col);
    return c;
}

TEST(RegGrid, WrapsCoordinatesByTruncatedRemainder) {
    RegGrid g(256, 256);
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
        const Cell c = cellOf(g, e.x, e.y);
        EXPECT_EQ(c.row, e.row) << e.x << ", " << e.y;
        EXPECT_EQ(c.col, e.col) << e.x << ", " << e.y;
        EXPECT_EQ(c.inside, e.inside) << e.x << ", " << e.y;
    }
}

TEST(RegGrid, MapsUnrepresentableCoordinatesOutside) {
    RegGrid g(256, 256);
    const double inf = std::numeric_limits<double>::infinity();
    for (double x : {std::nan(""), inf, -inf, 3e9, -3e9, 2147483647.5})
        EXPECT_FALSE(cellOf(g, x, 5.0).inside) << x;
    EXPECT_FALSE(cellOf(g, 5.0, std::nan("")).inside);
}

TEST(RegGrid, LookupsIgnoreZAndWAndCopyCells) {
    RegGrid g(256, 256);
    g.vectors[5][6] = Vector(1, 2, 0);
    g.texture[5][6] = 255;
    g.texture[7][8] = -3;
    EXPECT_EQ(vectorAt(g, Point(5.5, 6.5, 100, 0)), Vector(1, 2, 0));
    EXPECT_EQ(textureAt(g, Point(5.5, 6.5, 0, 1)), 255.0);
    EXPECT_EQ(textureAt(g, Point(7.1, 8.9, 0, 1)), -3.0);
    Vector copy = vectorAt(g, Point(5.5, 6.5, 0, 1));
    copy.x = 9;
    EXPECT_EQ(copy, Vector(9, 2, 0));
    EXPECT_EQ(g.vectors[5][6], Vector(1, 2, 0));
}

TEST(RegGrid, OutsideGivesZeroVectorAndTexture) {
    RegGrid g(256, 256);
    g.vectors[255][0] = Vector(4, 4, 0);
    g.texture[255][0] = 9;
    const Point outside(-257.0, 0.0, 0, 1);  // would be row -1
    EXPECT_FALSE(isInside(g, outside));
    EXPECT_EQ(vectorAt(g, outside), Vector());
    EXPECT_EQ(textureAt(g, outside), 0.0);
}

}  // namespace
}  // namespace fastlic

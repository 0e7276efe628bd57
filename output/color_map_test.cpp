#include "output/color_map.h"

#include <gtest/gtest.h>

#include <cmath>

namespace fastlic {
namespace {

ColorMap coloured() {
    const ColorMap classic = classicColorMap();
    ColorMap map(4);
    for (std::int32_t i = 0; i < 4; ++i) *map.entry(i) = *classic.entry(i);
    return map;
}

TEST(ColorMap, InterpolatesBetweenNeighbouringEntries) {
    const ColorMap map = coloured();
    EXPECT_EQ(map.lookup(0.0), Point(100, 100, 100, 1));
    EXPECT_EQ(map.lookup(0.125), Point(125, 50, 50, 1));
    EXPECT_EQ(map.lookup(0.25), Point(150, 0, 0, 1));
    EXPECT_EQ(map.lookup(0.5), Point(255, 0, 0, 1));
    EXPECT_EQ(map.lookup(0.625), Point(127.5, 0, 127.5, 1));
}

TEST(ColorMap, ResultWeightIsOneWhateverTheEntries) {
    ColorMap map(4);
    for (std::int32_t i = 0; i < 4; ++i) *map.entry(i) = Point(10, 20, 30, 9);
    EXPECT_EQ(map.lookup(0.3).w, 1.0);
    EXPECT_EQ(map.lookup(0.9).w, 1.0);
    EXPECT_EQ(map.lookup(std::nan("")).w, 1.0);
}

TEST(ColorMap, BeforeSetColorsEveryColourIsBlack) {
    const ColorMap map(4);
    for (double t : {0.0, 0.1, 0.4, 0.7}) EXPECT_EQ(map.lookup(t), Point(0, 0, 0, 1)) << t;
}

TEST(ColorMap, PastTheTableTakesTheLastEntry) {
    const ColorMap map = coloured();
    for (double t : {0.75, 0.8, 1.0, 7.0}) EXPECT_EQ(map.lookup(t), Point(0, 0, 255, 1)) << t;
    EXPECT_EQ(map.lookup(0.7499999999999999).z, 255.0 * (4 * 0.7499999999999999 - 2));
}

TEST(ColorMap, NotANumberTakesTheFirstEntry) {
    const ColorMap map = coloured();
    EXPECT_EQ(map.lookup(0.0 / std::nan("")), Point(100, 100, 100, 1));
}

}  // namespace
}  // namespace fastlic

#include "render/color_map.h"

#include <gtest/gtest.h>

#include <cmath>

namespace fastlic {
namespace {

// The classic map's first four entries: interpolated between neighbours,
// the last entry from 0.75 on, the first for NaN; the weight always 1.
TEST(ColorMap, InterpolatesAndTakesTheEndEntriesOutside) {
    const ColorMap classic = classicColorMap();
    ColorMap map(4);
    for (std::int32_t i = 0; i < 4; ++i) {
        *map.entry(i) = *classic.entry(i);
        map.entry(i)->w = 9;
    }
    const struct {
        double t;
        Point colour;
    } table[] = {
        {0.0, {100, 100, 100, 1}}, {0.125, {125, 50, 50, 1}}, {0.25, {150, 0, 0, 1}},  {0.5, {255, 0, 0, 1}},
        {0.625, {127.5, 0, 127.5, 1}}, {0.75, {0, 0, 255, 1}}, {1.0, {0, 0, 255, 1}},  {7.0, {0, 0, 255, 1}},
        {std::nan(""), {100, 100, 100, 1}},
    };
    for (const auto& e : table) EXPECT_EQ(map.lookup(e.t), e.colour) << e.t;
    EXPECT_EQ(map.lookup(0.7499999999999999).z, 255.0 * (4 * 0.7499999999999999 - 2));
    for (double t : {0.0, 0.4, 0.7}) EXPECT_EQ(ColorMap(4).lookup(t), Point(0, 0, 0, 1)) << t;
}

}  // namespace
}  // namespace fastlic

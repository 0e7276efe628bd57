#include "io/image_writer.h"
#include "render/render.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace fastlic {
namespace {

template <typename Write>
std::string captured(Write write) {
    std::FILE* f = std::tmpfile();
    write(f);
    std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    const std::size_t got = std::fread(text.data(), 1, text.size(), f);
    std::fclose(f);
    text.resize(got);
    return text;
}

// The classic image as PPM: shading by the mapped colour (t = 0.5 red, 0
// grey, past the table blue), columns first in the header, rows outer,
// out-of-range texture limited.
TEST(ImageWriter, WritesShadedPpm) {
    const struct {
        std::int32_t rows, cols;
        double lic[6];
        Vector vectors[3];
        const char* ppm;
    } cases[] = {
        {1, 3, {51, 255, 0}, {{3, 4, 0}, {0, 0, 0}, {6, 8, 0}}, "P3\t3\t1\t255\n51 0 0\n100 100 100\n0 0 0\n"},
        {2, 3, {0, 25.5, 51, 76.5, 102, 127.5}, {}, "P3\t3\t2\t255\n0 0 0\n10 10 10\n20 20 20\n30 30 30\n40 40 40\n50 50 50\n"},
        {1, 2, {300, -5}, {}, "P3\t2\t1\t255\n118 118 118\n0 0 0\n"},
    };
    for (const auto& c : cases) {
        RegGrid g(c.rows, c.cols);
        for (std::int32_t k = 0; k < c.rows * c.cols; ++k) {
            g.licSums.data()[k] = c.lic[k];
            if (k < 3) g.vectors.data()[k] = c.vectors[k];
        }
        const double largest = c.cols == 3 && c.rows == 1 ? 10.0 : 1.0;
        EXPECT_EQ(captured([&](std::FILE* f) { writePpm(render(renderInputOf(g, largest), {}).view(), f); }), c.ppm);
    }
}

TEST(ImageWriter, RoundsAndLimitsComponents) {
    // 50.999999999: truncation would drop a level.
    for (const auto& [value, byte] : {std::pair{0.0, 0}, std::pair{50.49, 50}, std::pair{50.5, 51},
                                      std::pair{50.999999999, 51}, std::pair{254.6, 255}, std::pair{-3.0, 0},
                                      std::pair{300.0, 255}})
        EXPECT_EQ(toByte(value), byte) << value;
}

}  // namespace
}  // namespace fastlic

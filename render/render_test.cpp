#include "render/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "io/image_writer.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

// LIC-like values: most within about 20 of 127, a few far out.
std::vector<double> licLike(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(127.0, 12.0);
    std::vector<double> v(n);
    for (double& x : v) x = std::round(normal(random) * 64.0) / 64.0;
    return v;
}

TEST(Render, DefaultOptionsGiveTheClassicPixels) {
    const auto grid = testing::makeGrid(37, 23, [](auto i, auto j) { return testing::mixedField(i, j, 37, 23); },
                                        [](auto i, auto j) { return testing::noise(i, j, 23, 5); });
    for (std::size_t k = 0; k < grid->cellCount(); ++k)  // beyond 0..255 at both ends too
        grid->licSums.data()[k] = static_cast<double>(k % 300) - 20.0 + 1.0 / 3.0;
    const Colormap classic = classicColormap();
    for (double largest : {0.0, 2.0, 1e9}) {  // 0: every t is 0 / 0
        RenderInput input;
        input.rows = grid->rows;
        input.cols = grid->cols;
        input.lic = grid->licSums.data();
        input.x = {&grid->vectors.data()->x, 3 * 23, 3};
        input.y = {&grid->vectors.data()->y, 3 * 23, 3};
        input.largestMagnitude = largest;
        const Image image = render(input, {});
        ASSERT_EQ(image.channels, 3);
        std::vector<std::uint8_t> expected;
        for (std::int32_t i = 0; i < grid->rows; ++i)
            for (std::int32_t j = 0; j < grid->cols; ++j) {
                const Point c = shadedColor(*grid, i, j, largest, classic);
                for (double v : {c.x, c.y, c.z}) expected.push_back(toByte(v));
            }
        EXPECT_TRUE(image.bytes() == expected) << largest;
        EXPECT_TRUE(render(renderInputOf(*grid, largest), {}, classic).bytes() == expected) << largest;
    }
}

TEST(Render, StretchSaturatesAtThePercentilesAndIgnoresMaskedPixels) {
    const std::size_t n = 20000;
    std::vector<double> v = licLike(n, 1);
    std::vector<std::uint8_t> mask(n, 0);
    for (std::size_t k = 0; k < n; k += 10) {  // masked outliers change nothing
        mask[k] = 1;
        v[k] = k % 20 ? 1e6 : -1e6;
    }
    std::vector<double> vShown;
    for (std::size_t k = 0; k < n; ++k)
        if (!mask[k]) vShown.push_back(v[k]);
    for (double clip : {0.5, 2.0, 10.0}) {
        const Range r = percentileRange(v.data(), n, clip, mask.data());
        const std::vector<double> out = stretch(v.data(), n, clip, mask.data());
        std::size_t low = 0, high = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (mask[k]) continue;
            EXPECT_TRUE(out[k] >= 0.0 && out[k] <= 255.0);
            EXPECT_EQ(out[k] == 0.0, v[k] <= r.lo);
            EXPECT_EQ(out[k] == 255.0, v[k] >= r.hi);
            low += out[k] == 0.0;
            high += out[k] == 255.0;
        }
        // At least clip percent at each end, at most that plus the ties at the percentile.
        const double m = clip / 100 * static_cast<double>(vShown.size());
        for (const auto& [count, at] : {std::pair{low, r.lo}, std::pair{high, r.hi}}) {
            EXPECT_GE(count, m - 1);
            EXPECT_LE(count, m + static_cast<double>(std::count(vShown.begin(), vShown.end(), at)));
        }
    }
    const double e = std::ldexp(1.0, 1023);  // a range wider than the largest double
    const std::vector<double> wide = {-e, -e / 2, 0.0, e};
    EXPECT_EQ(stretch(wide.data(), 4, 0.0), (std::vector<double>{0.0, 63.75, 127.5, 255.0}));
    EXPECT_EQ(equalize(wide.data(), 4), (std::vector<double>{0.0, 63.75, 127.5, 255.0}));
}

TEST(Render, EqualizeGivesANearlyFlatHistogram) {
    const std::size_t n = 1 << 16;
    for (unsigned seed : {2u, 3u}) {
        std::vector<double> v = licLike(n, seed);
        if (seed == 3)
            for (double& x : v) x = std::exp(x / 20.0);  // strongly skewed
        const std::vector<double> out = equalize(v.data(), n);
        std::vector<std::size_t> bins(16, 0);
        for (double x : out) ++bins[std::min<std::size_t>(15, static_cast<std::size_t>(toByte(x) / 16))];
        for (std::size_t b : bins) EXPECT_NEAR(static_cast<double>(b), n / 16.0, n / 16.0 * 0.1) << seed;
        EXPECT_EQ(*std::min_element(out.begin(), out.end()), 0.0);
        EXPECT_EQ(*std::max_element(out.begin(), out.end()), 255.0);
    }
}

TEST(Render, AdaptiveEqualizesEachRegionOnItsOwn) {
    // Left half 0..10, right half 100..200: only tile by tile does each span the range.
    const std::int32_t rows = 64, cols = 128;
    std::vector<double> v(static_cast<std::size_t>(rows * cols));
    std::mt19937 random(4);
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j)
            v[static_cast<std::size_t>(i * cols + j)] =
                j < cols / 2 ? std::uniform_real_distribution<double>(0, 10)(random)
                             : std::uniform_real_distribution<double>(100, 200)(random);
    const auto spread = [&](const std::vector<double>& out, std::int32_t from, std::int32_t to) {
        double lo = 255, hi = 0;
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = from; j < to; ++j) {
                lo = std::min(lo, out[static_cast<std::size_t>(i * cols + j)]);
                hi = std::max(hi, out[static_cast<std::size_t>(i * cols + j)]);
            }
        return hi - lo;
    };
    const std::vector<double> global = equalize(v.data(), v.size());
    const std::vector<double> local = adaptiveEqualize(v.data(), rows, cols, 2, 4, 100.0);
    EXPECT_LT(spread(global, 0, 16), 135.0);
    EXPECT_GT(spread(local, 0, 16), 240.0);
    EXPECT_GT(spread(local, cols - 16, cols), 240.0);
    // The clip limit bounds how far a narrow histogram is spread.
    const std::vector<double> limited = adaptiveEqualize(v.data(), rows, cols, 2, 4, 2.0);
    EXPECT_LT(spread(limited, 0, 16), 60.0);
}

TEST(Render, HighPassRemovesWhatTheBlurKeeps) {
    const std::int32_t rows = 20, cols = 30;
    std::vector<double> flat(static_cast<std::size_t>(rows * cols), 50.0);
    for (double x : highPass(flat.data(), rows, cols, 2.0)) EXPECT_NEAR(x, 0.0, 1e-12);
    flat[45] = 80.0;
    const std::vector<double> hp = highPass(flat.data(), rows, cols, 2.0);
    EXPECT_GT(hp[45], 25.0);
    EXPECT_LT(hp[46], 0.0);
}

TEST(Render, EveryContrastModeIsTheSameOnEveryThreadCount) {
    const std::int32_t rows = 300, cols = 200;
    const std::vector<double> v = licLike(static_cast<std::size_t>(rows * cols), 6);
    std::vector<std::uint8_t> mask(v.size(), 0);
    for (std::size_t k = 0; k < mask.size(); k += 7) mask[k] = 1;
    // A stand-in for the second LIC pass: a blur along the rows.
    const LicPass pass = [&](const std::vector<double>& texture) {
        std::vector<double> out(texture.size());
        for (std::size_t k = 0; k < texture.size(); ++k)
            out[k] = (texture[k] + texture[k % cols ? k - 1 : k] + texture[(k + 1) % cols ? k + 1 : k]) / 3;
        return out;
    };
    for (Contrast mode : {Contrast::stretch, Contrast::equalize, Contrast::adaptive, Contrast::enhanced}) {
        ContrastOptions options;
        options.mode = mode;
        std::vector<double> results[2];
        for (int t : {0, 1}) results[t] = applyContrast(v.data(), rows, cols, options, mask.data(), pass, t ? 3 : 1);
        EXPECT_EQ(std::memcmp(results[0].data(), results[1].data(), v.size() * sizeof(double)), 0)
            << static_cast<int>(mode);
    }
}

// Stronger across the streaks than the plain LIC, stretched or not, and
// smoother along them: central differences of the grey levels projected on
// the flow, away from the edges.
TEST(Render, EnhancedContrastGivesCrispStreaks) {
    const std::int32_t n = 256;
    const auto grid = testing::makeGrid(n, n, [](auto i, auto j) { return testing::smoothField(i, j, n, n); },
                                        [](auto i, auto j) { return testing::noise(i, j, n, 8); });
    const FieldView field = viewOf(*grid);
    const LicResult lic = computeLic(field, {});
    const auto contrast = [&](Contrast mode) {
        ContrastOptions options;
        options.mode = mode;
        const auto v = applyContrast(lic.lic.data(), n, n, options, nullptr, licPassOver(field, {}));
        const auto at = [&](std::int32_t i, std::int32_t j) {
            return static_cast<double>(toByte(v[static_cast<std::size_t>(i * n + j)]));
        };
        std::pair<double, double> acrossAlong;
        for (std::int32_t i = 4; i + 4 < n; ++i)
            for (std::int32_t j = 4; j + 4 < n; ++j) {
                const Vector f = grid->vectors[i][j];
                const double m = std::hypot(f.x, f.y);
                const double d0 = at(i + 1, j) - at(i - 1, j), d1 = at(i, j + 1) - at(i, j - 1);
                acrossAlong.first += std::abs(d1 * f.x - d0 * f.y) / m;
                acrossAlong.second += std::abs(d0 * f.x + d1 * f.y) / m;
            }
        return acrossAlong;
    };
    const auto [noneAcross, noneAlong] = contrast(Contrast::none);
    const auto [stretchAcross, stretchAlong] = contrast(Contrast::stretch);
    const auto [enhancedAcross, enhancedAlong] = contrast(Contrast::enhanced);
    EXPECT_GT(enhancedAcross, 2.0 * noneAcross);
    EXPECT_GT(enhancedAcross, stretchAcross);
    EXPECT_GT(enhancedAcross / enhancedAlong, 1.5 * stretchAcross / stretchAlong);
}

TEST(Colormaps, EndsAndMiddleAreThePublishedColours) {
    struct Case {
        const char* name;
        double t;
        int r, g, b;
    };
    const Case cases[] = {
        {"viridis", 0, 0x44, 0x01, 0x54},   {"viridis", 128 / 255.0, 0x21, 0x91, 0x8c},
        {"viridis", 1, 0xfd, 0xe7, 0x25},   {"viridis_r", 0, 0xfd, 0xe7, 0x25},
        {"magma", 0, 0x00, 0x00, 0x04},     {"magma", 1, 0xfc, 0xfd, 0xbf},
        {"inferno", 0, 0x00, 0x00, 0x04},   {"inferno", 1, 0xfc, 0xff, 0xa4},
        {"plasma", 0, 0x0d, 0x08, 0x87},    {"plasma", 1, 0xf0, 0xf9, 0x21},
        {"cividis", 0, 0x00, 0x22, 0x4e},   {"cividis", 1, 0xfe, 0xe8, 0x38},
        {"coolwarm", 0, 59, 76, 192},       {"coolwarm", 0.5, 221, 221, 221},
        {"coolwarm", 1, 180, 4, 38},        {"grey", 0.5, 128, 128, 128},
        {"gray_r", 0, 255, 255, 255},       {"classic", 0.125, 125, 50, 50},
        {"classic", 1, 0, 0, 255},          {"viridis", -3, 0x44, 0x01, 0x54},
        {"viridis", 7, 0xfd, 0xe7, 0x25},   {"viridis", std::nan(""), 0x44, 0x01, 0x54},
        // The classic rule: the last entry from 0.75 on, the first for NaN (0 / 0).
        {"classic", 0, 100, 100, 100},      {"classic", 0.625, 128, 0, 128},
        {"classic", 0.75, 0, 0, 255},       {"classic", std::nan(""), 100, 100, 100},
    };
    for (const Case& c : cases) {
        const Point p = colormapNamed(c.name).at(c.t);
        EXPECT_EQ((std::array{int{toByte(p.x)}, int{toByte(p.y)}, int{toByte(p.z)}}), (std::array{c.r, c.g, c.b}))
            << c.name << " " << c.t;
    }
    EXPECT_EQ(classicColormap().at(0.7499999999999999).z, 255.0 * (4 * 0.7499999999999999 - 2));
    EXPECT_THROW(colormapNamed("jet"), std::invalid_argument);
}

TEST(Render, MaskedPixelsAreTransparentOrTheMaskColour) {
    const std::vector<double> lic = {255, 255, 255, 255};
    const std::vector<double> values = {0.0, 1.0, std::nan(""), 0.5};
    const std::vector<std::uint8_t> mask = {0, 1, 0, 0};
    const Colormap grey = colormapNamed("grey");
    ShadeOptions options;
    options.background = Background::transparent;
    Image image = shade(2, 2, lic.data(), {values.data(), {}, {}}, {0.0, 1.0}, grey, options, mask.data());
    EXPECT_EQ(image.channels, 4);
    EXPECT_EQ(image.bytes(), (std::vector<std::uint8_t>{0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 128, 128, 128, 255}));
    options = {};
    options.maskColor = {1, 2, 3};
    image = shade(2, 2, lic.data(), {values.data(), {}, {}}, {0.0, 1.0}, grey, options, mask.data());
    EXPECT_EQ(image.bytes(), (std::vector<std::uint8_t>{0, 0, 0, 1, 2, 3, 1, 2, 3, 128, 128, 128}));
    options.blend = Blend::overlay;
    options.alpha = 0.25;  // 0.25 x colour + 0.75 x 255
    image = shade(2, 2, lic.data(), {values.data(), {}, {}}, {0.0, 1.0}, grey, options);
    EXPECT_EQ(image.pixels[0], 191);
    EXPECT_EQ(image.pixels[3], 255);
}

TEST(Render, ColourScalesAndTheColourBar) {
    const double most = std::numeric_limits<double>::max();
    const ColorScale log{1.0, 100.0, true}, one{3.0, 3.0, true}, wide{-most, most};  // wide: hi - lo overflows
    EXPECT_DOUBLE_EQ(log(10.0), 0.5);
    EXPECT_EQ(log(-1.0), 0.0);
    EXPECT_DOUBLE_EQ(log.valueAt(0.5), 10.0);
    EXPECT_EQ((std::array{one(3.0), one.valueAt(1.0), wide(0.0), wide(most), wide.valueAt(0.25)}),
              (std::array{0.0, 3.0, 0.5, 1.0, -most / 2}));
    const std::vector<double> below = {-1.0, 0.0};
    EXPECT_EQ(valueRange({below.data(), {}, {}}, 1, 2, true).hi, 0.0);  // log: nothing above zero is 0
    for (double m : {0.0, 2.0}) {  // log, magnitudes all zero or alike, on a 1x1 grid: one colour
        const double lic = 255.0, x = m, y = 0.0;
        RenderOptions options;
        options.log = options.colorbar = true, options.colormap = "viridis";
        const Image image = render({1, 1, &lic, {&x, 1, 1}, {&y, 1, 1}, m, nullptr, nullptr, {}, 1}, options);
        EXPECT_EQ(image.bytes()[0] * 65536 + image.bytes()[1] * 256 + image.bytes()[2], 0x440154) << m;
    }
    Image image;
    image.rows = 5;
    image.cols = 300;
    image.pixels = ZeroedBuffer<std::uint8_t>(5 * 300 * 3);
    std::fill(image.pixels.data(), image.pixels.data() + image.pixels.size(), std::uint8_t{7});
    const Colormap map = colormapNamed("viridis");
    const Image withBar = withColorbar(image, map, {0.0, 1.0});
    ASSERT_GT(withBar.rows, image.rows + 20);
    EXPECT_TRUE(std::equal(image.pixels.data(), image.pixels.data() + image.pixels.size(), withBar.pixels.data()));
    // The bar's first and last columns are the map's ends.
    const std::size_t barRow = static_cast<std::size_t>(image.rows + 5) * 300 * 3;
    EXPECT_EQ(withBar.pixels[barRow + 4 * 3], 0x44);
    EXPECT_EQ(withBar.pixels[barRow + (300 - 5) * 3], 0xfd);
    // Somewhere under the bar, dark text on white.
    const std::uint8_t* end = withBar.pixels.data() + withBar.pixels.size();
    EXPECT_NE(std::count(end - 300 * 3 * 12, end, 0), 0);
    // Round values at their places: the labels, and the first one's place.
    const auto most2 = std::numeric_limits<double>::max();
    for (const auto& [scale, count, texts, first] :
         {std::tuple<ColorScale, int, std::vector<std::string>, double>{{0.0, 20.7}, 4, {"0", "5", "10", "15", "20"}, 0.0},
          {{0.013, 0.087}, 4, {"0.02", "0.04", "0.06", "0.08"}, 0.007 / 0.074},
          {{-7.5, 7.5}, 2, {"-5", "0", "5"}, 2.5 / 15},
          {{950.0, 1250.0}, 3, {"1000", "1100", "1200"}, 50.0 / 300},
          {{0.05, 20.0, true}, 6, {"0.1", "1", "10"}, std::log(2.0) / std::log(400.0)},
          {{1.0, 1e9, true}, 4, {"1", "1000", "1e6", "1e9"}, 0.0},
          {{-most2, most2}, 2, {"-1e+308", "0", "1e+308"}, 0.5 - 0.5e308 / most2}}) {
        std::vector<std::string> got;
        for (const detail::Tick& t : detail::roundTicks(scale, count)) got.push_back(t.text);
        EXPECT_EQ(got, texts) << scale.lo << ".." << scale.hi;
        EXPECT_NEAR(detail::roundTicks(scale, count).front().t, first, 1e-12) << scale.lo;
    }
}

TEST(Render, VorticityIsTheCurlUpToTheEdgesAndMasks) {
    // u (along the columns) = w/2 x row, v (along the rows) = -w/2 x column
    // turn counterclockwise on the image at the rate w; differences of a
    // linear field are exact, central or one-sided.
    constexpr std::int32_t rows = 5, cols = 7;
    struct Case {
        const char* what;
        double w;                  // the rotation
        double shift;              // a uniform flow added along the rows
        std::int32_t maskedCell;  // -1: none
    };
    for (const Case c : {Case{"still", 0.0, 0.0, -1}, Case{"turning", 3.0, 0.0, -1},
                         Case{"turning and drifting", -2.0, 5.0, -1}, Case{"turning by a mask", 3.0, 0.0, 17}}) {
        std::vector<double> x(rows * cols), y(rows * cols);
        std::vector<std::uint8_t> mask(rows * cols);
        for (std::int32_t i = 0; i < rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j) {
                x[i * cols + j] = -c.w / 2 * j + c.shift;
                y[i * cols + j] = c.w / 2 * i;
            }
        if (c.maskedCell >= 0) mask[c.maskedCell] = 1;
        const auto w = vorticity(rows, cols, contiguousPlane(x.data(), cols), contiguousPlane(y.data(), cols),
                                 c.maskedCell >= 0 ? mask.data() : nullptr, 2);
        for (std::size_t k = 0; k < w.size(); ++k) EXPECT_DOUBLE_EQ(w[k], c.w) << c.what << ", cell " << k;
    }
}

}  // namespace
}  // namespace fastlic

#include "tests/fuzz/run_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "io/input_files.h"
#include "engine/fast_lic.h"
#include "render/render.h"
#include "io/image_writer.h"
#include "io/png_writer.h"
#include "io/npy_writer.h"
#include "tests/test_util.h"

namespace fastlic::fuzz {

namespace {

struct GridSize {
    std::int32_t rows, cols;
};
constexpr GridSize sizes[] = {{10, 10}, {16, 12}, {3, 7}};

std::string at(const char* what, std::int32_t i, std::int32_t j, double value) {
    char text[160];
    std::snprintf(text, sizeof text, "%s at pixel (%d, %d): %.17g", what, i, j, value);
    return text;
}

}  // namespace

std::string checkRun(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return "";
    static const testing::TempDir dir;
    static const std::string vectors = dir.file("v"), texture = dir.file("t");
    static std::FILE* sink = std::fopen("/dev/null", "wb");

    const GridSize grid = sizes[data[0] % 3];
    const int threads = 1 + (data[0] / 3) % 2;
    const std::uint8_t* first = data + 1;
    const std::uint8_t* last = data + size;
    const std::uint8_t* split = std::find(first, last, '|');
    testing::writeText(vectors, std::string(first, split));
    testing::writeText(texture, split == last ? "" : std::string(split + 1, last));

    RegGrid g(grid.rows, grid.cols);
    double largest = 0.0;
    try {
        largest = readInputFiles(vectors, texture, g);
    } catch (const InputError&) {
        return "";
    }
    RegGrid reference(grid.rows, grid.cols);
    std::memcpy(reference.vectors.data(), g.vectors.data(), g.cellCount() * sizeof(Vector));
    std::memcpy(reference.texture.data(), g.texture.data(), g.cellCount() * sizeof(std::int32_t));

    computeFastLic(g, {}, {threads, {}});
    computeFastLicReference(reference);

    const std::int32_t* tex = g.texture.data();
    const auto [low, high] = std::minmax_element(tex, tex + g.cellCount());
    // Rounding of the running sums, relative to the largest texture value.
    const double slack = 1e-9 * std::max(std::fabs(double(*low)), std::fabs(double(*high)));
    const bool bounded = grid.rows >= 10 && grid.cols >= 10;
    for (std::int32_t i = 0; i < g.rows; ++i)
        for (std::int32_t j = 0; j < g.cols; ++j) {
            const double lic = g.licSums[i][j];
            if (!std::isfinite(lic)) return at("LIC value not finite", i, j, lic);
            if (bounded && (lic < *low - slack || lic > *high + slack))
                return at("LIC value outside the texture's range", i, j, lic);
        }
    const std::string difference = testing::firstDifference(reference, g);
    if (!difference.empty()) return "engine and reference differ: " + difference;

    // The writers must cope with whatever the run produced.
    const Image image = render(renderInputOf(g, largest), {});
    writePpm(image.view(), sink, threads);
    writePng(image.view(), sink);
    writeLicNpy(g, sink);
    writeHitsNpy(g, sink);
    return "";
}

}  // namespace fastlic::fuzz

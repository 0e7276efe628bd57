#include "io/png_writer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <string>

#include "base/errors.h"

namespace fastlic {
namespace {

struct Decoded {
    std::int32_t rows = 0, cols = 0;
    int channels = 0;
    std::vector<std::uint8_t> pixels;
};

// The file's pixels as libpng reads them, in its own channels (3 or 4).
Decoded decodePng(const std::vector<std::uint8_t>& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Decoded out;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        ADD_FAILURE() << "libpng: " << image.message;
        return out;
    }
    out.channels = (image.format & PNG_FORMAT_FLAG_ALPHA) ? 4 : 3;
    image.format = out.channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    out.rows = static_cast<std::int32_t>(image.height);
    out.cols = static_cast<std::int32_t>(image.width);
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) ADD_FAILURE() << "libpng: " << image.message;
    return out;
}

// Streaks over noise and flat bands: matches near and far, and runs.
std::vector<std::uint8_t> pattern(std::int32_t rows, std::int32_t cols, int channels) {
    std::vector<std::uint8_t> p(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) *
                                static_cast<std::size_t>(channels));
    std::uint32_t z = 12345;
    for (std::size_t k = 0; k < p.size(); ++k) {
        z = z * 1664525u + 1013904223u;
        const std::size_t pixel = k / static_cast<std::size_t>(channels);
        const auto j = static_cast<std::int32_t>(pixel % static_cast<std::size_t>(cols));
        p[k] = j % 37 < 5 ? 200 : static_cast<std::uint8_t>((j * 7 + (z >> 28)) & 255);
    }
    return p;
}

TEST(PngWriter, DecodesToThePixelsAtEveryShapeThreadCountAndLevel) {
    // One pixel; rows longer than the 32 KiB window; many narrow rows per chunk; several chunks.
    for (const auto& [rows, cols] : {std::pair{1, 1}, std::pair{3, 11000}, std::pair{2000, 1}, std::pair{700, 301}}) {
        for (int channels : {3, 4}) {
            const auto pixels = pattern(rows, cols, channels);
            const PixelView view{pixels.data(), rows, cols, channels};
            const auto one = encodePng(view, {1, 1});
            for (const PngOptions options : {PngOptions{1, 2}, PngOptions{1, 3}, PngOptions{6, 2}}) {
                SCOPED_TRACE(::testing::Message() << rows << "x" << cols << "x" << channels << " level "
                                                  << options.level << " threads " << options.threads);
                const auto file = encodePng(view, options);
                EXPECT_TRUE(options.level != 1 || file == one) << "depends on the threads";
                const auto image = decodePng(file);
                EXPECT_EQ((std::array{image.rows, image.cols, image.channels}), (std::array{rows, cols, channels}));
                EXPECT_TRUE(image.pixels == pixels);
            }
        }
    }
}

TEST(PngWriter, ChunksJoinWhereverTheirStreamsEnd) {
    // Small chunks' deflate streams end at every bit position; each joint must decode.
    const auto pixels = pattern(90, 37, 3);
    for (std::size_t chunk : {1u, 200u, 340u, 1000u, 5000u}) {
        PngOptions options;
        options.chunkBytes = chunk;
        const auto file = encodePng(PixelView{pixels.data(), 90, 37, 3}, options);
        EXPECT_TRUE(decodePng(file).pixels == pixels) << chunk;
    }
}

// Shapes PNG cannot hold; a failed write is one message with the system's reason.
TEST(PngWriter, RejectsShapesAndReportsWriteErrors) {
    const std::uint8_t pixel[4] = {};
    for (const PixelView view : {PixelView{pixel, 0, 1, 3}, PixelView{pixel, 1, 0, 3},
                                 PixelView{pixel, 1, 1, 2}})
        EXPECT_THROW(encodePng(view), std::invalid_argument);
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    try {
        writePng(PixelView{pixel, 1, 1, 4}, full);
        ADD_FAILURE() << "no error";
    } catch (const OutputError& e) {
        EXPECT_STREQ(e.what(), "cannot write the image: No space left on device");
    }
    std::fclose(full);
}

}  // namespace
}  // namespace fastlic

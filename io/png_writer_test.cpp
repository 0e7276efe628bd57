#include "io/png_writer.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <string>

#include "base/errors.h"
#include "io/animation_writer.h"

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


// Each frame of an animated PNG, rebuilt as a still PNG from its IDAT or
// fdAT data, decodes to the frame given; the sequence numbers run on.
TEST(AnimatedPng, EveryFrameDecodesAndTheChunksAreInSequence) {
    for (const int channels : {3, 4}) {
        const std::int32_t rows = 23, cols = 31, frames = 3;
        std::vector<std::vector<std::uint8_t>> given;
        std::FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        auto writer = openFrameWriter(AnimationFormat::apng, f, {rows, cols, channels, frames, 12.5});
        for (int k = 0; k < frames; ++k) {
            given.push_back(pattern(rows, cols + k, channels));  // a shifted pattern, cut to cols
            for (std::int32_t i = 0; i < rows; ++i)
                std::memmove(given[k].data() + i * cols * channels, given[k].data() + i * (cols + k) * channels,
                             static_cast<std::size_t>(cols * channels));
            given[k].resize(static_cast<std::size_t>(rows * cols * channels));
            writer->add(PixelView{given[k].data(), rows, cols, channels});
        }
        writer->finish();
        std::vector<std::uint8_t> file(static_cast<std::size_t>(std::ftell(f)));
        std::rewind(f);
        ASSERT_EQ(std::fread(file.data(), 1, file.size(), f), file.size());
        std::fclose(f);
        const auto big = [&](std::size_t at) {
            return std::uint32_t{file[at]} << 24 | std::uint32_t{file[at + 1]} << 16 | std::uint32_t{file[at + 2]} << 8 |
                   file[at + 3];
        };
        std::vector<std::uint8_t> head(file.begin(), file.begin() + 33), still;  // signature and IHDR
        const std::uint8_t iend[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
        std::vector<std::string> types;
        std::uint32_t sequence = 0;
        int frame = -1;
        const auto flush = [&] {
            if (frame < 0) return;
            still.insert(still.end(), iend, iend + 12);
            EXPECT_TRUE(decodePng(still).pixels == given[static_cast<std::size_t>(frame)]) << channels << " " << frame;
        };
        for (std::size_t at = 33; at + 12 <= file.size();) {
            const std::uint32_t size = big(at);
            const std::string type(file.begin() + static_cast<std::ptrdiff_t>(at) + 4,
                                   file.begin() + static_cast<std::ptrdiff_t>(at) + 8);
            types.push_back(type);
            if (type == "acTL") {
                EXPECT_EQ(big(at + 8), static_cast<std::uint32_t>(frames));
            }
            if (type == "fcTL" || type == "fdAT") {
                EXPECT_EQ(big(at + 8), sequence++) << type;
            }
            if (type == "fcTL") {
                flush();
                ++frame;
                still = head;
                EXPECT_EQ(std::tuple(file[at + 28], file[at + 29], file[at + 30], file[at + 31]),
                          std::tuple(0, 2, 0, 25)) << "delay 2/25 s";
            }
            if (type == "IDAT" || type == "fdAT") {
                const std::size_t skip = type == "fdAT" ? 4 : 0;
                const std::uint32_t n = size - static_cast<std::uint32_t>(skip);
                const std::uint8_t len[] = {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
                still.insert(still.end(), len, len + 4);
                const char idat[] = "IDAT";
                still.insert(still.end(), idat, idat + 4);
                const auto body = file.begin() + static_cast<std::ptrdiff_t>(at + 8 + skip);
                still.insert(still.end(), body, body + n);
                uLong crc = crc32(crc32(0, reinterpret_cast<const Bytef*>(idat), 4), &*body, n);
                const std::uint8_t c[] = {std::uint8_t(crc >> 24), std::uint8_t(crc >> 16), std::uint8_t(crc >> 8), std::uint8_t(crc)};
                still.insert(still.end(), c, c + 4);
            }
            at += 12 + size;
        }
        flush();
        EXPECT_EQ(frame + 1, frames);
        EXPECT_EQ(types.front(), "acTL");
        EXPECT_EQ(types.back(), "IEND");
        EXPECT_TRUE(decodePng(file).pixels == given[0]) << "a still viewer shows the first frame";
    }
}

TEST(AnimatedPng, FramePatterns) {
    for (const auto& [pattern, index, name] : {std::tuple<std::string, int, std::string>{"frame%04d.png", 7, "frame0007.png"},
                                               {"a%d.png", 12, "a12.png"},
                                               {"100%%_%3d.ppm", 5, "100%_  5.ppm"},
                                               {"f.png", 0, ""},
                                               {"%d%d.png", 0, ""},
                                               {"%s.png", 0, ""},
                                               {"%5.2d.png", 0, ""},
                                               {"%123d.png", 0, ""}}) {
        EXPECT_EQ(isFramePattern(pattern), !name.empty()) << pattern;
        if (!name.empty()) {
            EXPECT_EQ(frameName(pattern, index), name);
        }
    }
}

}  // namespace
}  // namespace fastlic

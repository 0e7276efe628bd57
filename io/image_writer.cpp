#include "io/image_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "io/png_writer.h"
#include "base/parallel.h"

namespace fastlic {

Point shadedColor(const RegGrid& grid, std::int32_t i, std::int32_t j, double largestMagnitude,
                  const Colormap& map) {
    const double s = (1.0 / 255) * grid.licSums[i][j];
    const double m = length(grid.vectors[i][j]);
    const double t = m / largestMagnitude;
    return map.at(t) * s;
}

namespace {

void put(std::FILE* out, const char* data, std::size_t size) {
    if (size == 0) return;  // an unused block has no buffer at all
    if (std::fwrite(data, 1, size, out) != size)
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

// "0".."255" and their lengths, so a component is one copy; built by the
// compiler.
struct ByteText {
    char text[256][4] = {};
    std::uint8_t size[256] = {};
    constexpr ByteText() {
        for (int v = 0; v < 256; ++v) {
            const int n = v >= 100 ? 3 : v >= 10 ? 2 : 1;
            for (int k = n - 1, x = v; k >= 0; --k, x /= 10) text[v][k] = static_cast<char>('0' + x % 10);
            size[v] = static_cast<std::uint8_t>(n);
        }
    }
};
constexpr ByteText byteText;

// Raster text of a block of rows. The buffer is never filled in advance:
// only the bytes written are touched.
struct TextBlock {
    std::unique_ptr<char[]> text;
    std::size_t capacity = 0;
    std::size_t size = 0;
};

// The raster lines of rows [first, last) into out.
void formatRows(const PixelView& pixels, std::int32_t first, std::int32_t last, TextBlock& out) {
    const ByteText& bytes = byteText;
    // At most "255 255 255\n" a pixel, and four bytes copied per component.
    const std::size_t count = static_cast<std::size_t>(last - first) * static_cast<std::size_t>(pixels.cols);
    const std::size_t needed = count * 12 + 4;
    if (out.capacity < needed) {
        out.text.reset(new char[needed]);
        out.capacity = needed;
    }
    char* p = out.text.get();
    const std::uint8_t* in = pixels.data + static_cast<std::size_t>(first) * static_cast<std::size_t>(pixels.cols) * 3;
    for (std::size_t k = 0; k < count * 3; ++k) {
        const std::uint8_t v = in[k];
        std::memcpy(p, bytes.text[v], 4);
        p += bytes.size[v];
        *p++ = k % 3 < 2 ? ' ' : '\n';
    }
    out.size = static_cast<std::size_t>(p - out.text.get());
}

}  // namespace

void writePpm(const PixelView& pixels, std::FILE* out, int threadsAsked) {
    if (pixels.channels != 3) throw std::invalid_argument("writePpm: PPM holds RGB pixels only");
    const std::string head =
        "P3\t" + std::to_string(pixels.cols) + "\t" + std::to_string(pixels.rows) + "\t255\n";
    put(out, head.data(), head.size());
    // Blocks of rows are formatted side by side and written in order; a few
    // blocks at a time keep memory small at any size.
    const int threads = threadCount(threadsAsked);
    const std::int64_t cells = static_cast<std::int64_t>(pixels.rows) * pixels.cols;
    const std::int64_t blockPixels = std::clamp<std::int64_t>(cells / 16, 4096, 65536);
    const std::int32_t blockRows =
        std::max<std::int32_t>(1, static_cast<std::int32_t>(blockPixels / std::max(1, pixels.cols)));
    std::vector<TextBlock> blocks(static_cast<std::size_t>(2 * threads));
    const std::int32_t perRound = blockRows * static_cast<std::int32_t>(blocks.size());
    for (std::int32_t round = 0; round < pixels.rows; round += perRound) {
        const auto count = static_cast<std::int32_t>(blocks.size());
        parallelFor(count, 1, threads, [&](std::int64_t b, std::int64_t) {
            const std::int32_t first =
                std::min(pixels.rows, round + static_cast<std::int32_t>(b) * blockRows);
            const std::int32_t last = std::min(pixels.rows, first + blockRows);
            blocks[static_cast<std::size_t>(b)].size = 0;
            if (first < last) formatRows(pixels, first, last, blocks[static_cast<std::size_t>(b)]);
        });
        for (const TextBlock& block : blocks) put(out, block.text.get(), block.size);
    }
    if (std::fflush(out) != 0)
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

void writeImageReference(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                         const Colormap& map) {
    std::fprintf(out, "P3\t%d\t%d\t255\n", grid.cols, grid.rows);
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            const Point c = shadedColor(grid, i, j, largestMagnitude, map);
            std::fprintf(out, "%d %d %d\n", toByte(c.x), toByte(c.y), toByte(c.z));
        }
    }
    if (std::fflush(out) != 0 || std::ferror(out))
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

namespace {

void writePngFile(const PixelView& pixels, std::FILE* out, int threads) {
    PngOptions options;
    options.threads = threads;
    writePng(pixels, out, options);
}

constexpr ImageFormat formats[] = {
    {".ppm", writePpm, 6, false},  // "0 0 0\n" at least
    {".png", writePngFile, 0, true},
};

}  // namespace

std::span<const ImageFormat> imageFormats() { return formats; }

const ImageFormat* imageFormatOf(const std::string& name) {
    for (const ImageFormat& format : imageFormats())
        if (name.ends_with(format.extension)) return &format;
    return nullptr;
}

std::string imageExtensions() {
    constexpr std::size_t n = std::size(formats);
    std::string text;
    for (std::size_t k = 0; k < n; ++k)
        text += (k == 0 ? "" : k + 1 == n ? " or " : ", ") + std::string(formats[k].extension);
    return text;
}

}  // namespace fastlic

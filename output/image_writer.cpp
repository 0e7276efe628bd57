#include "output/image_writer.h"

#include <algorithm>

#include <cmath>
#include <cstring>
#include <memory>

#include "field/input_files.h"
#include "output/png_writer.h"
#include "util/parallel.h"

namespace fastlic {

Point shadedColor(const RegGrid& grid, std::int32_t i, std::int32_t j, double largestMagnitude,
                  const ColorMap& map) {
    const double s = (1.0 / 255) * grid.licSums[i][j];
    const double m = length(grid.vectors[i][j]);
    const double t = m / largestMagnitude;
    return map.lookup(t) * s;
}

std::uint8_t toByte(double component) {
    if (!(component > 0.0)) return 0;
    if (component >= 255.0) return 255;
    // Halves up, as lround does for positive numbers; the fraction of a
    // number below 256 is exact.
    const int whole = static_cast<int>(component);
    return static_cast<std::uint8_t>(whole + (component - whole >= 0.5));
}

std::vector<std::uint8_t> renderRgb(const RegGrid& grid, double largestMagnitude,
                                    const ColorMap& map) {
    std::vector<std::uint8_t> rgb(grid.cellCount() * 3);
    const std::int64_t rowsPerChunk = std::max<std::int64_t>(1, 16384 / std::max(1, grid.cols));
    parallelFor(grid.rows, rowsPerChunk, threadCount(), [&](std::int64_t first, std::int64_t last) {
        std::uint8_t* o = rgb.data() + static_cast<std::size_t>(first) * static_cast<std::size_t>(grid.cols) * 3;
        for (auto i = static_cast<std::int32_t>(first); i < last; ++i) {
            for (std::int32_t j = 0; j < grid.cols; ++j) {
                const Point c = shadedColor(grid, i, j, largestMagnitude, map);
                *o++ = toByte(c.x);
                *o++ = toByte(c.y);
                *o++ = toByte(c.z);
            }
        }
    });
    return rgb;
}

namespace {

void put(std::FILE* out, const char* data, std::size_t size) {
    if (size == 0) return;  // an unused block has no buffer at all
    if (std::fwrite(data, 1, size, out) != size)
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

std::string header(const RegGrid& grid) {
    return "P3\t" + std::to_string(grid.cols) + "\t" + std::to_string(grid.rows) + "\t255\n";
}

}  // namespace

namespace {

// "0".."255" and their lengths, so a component is one copy.
struct ByteText {
    char text[256][4];
    std::uint8_t size[256];
    ByteText() {
        for (int v = 0; v < 256; ++v) size[v] = static_cast<std::uint8_t>(std::snprintf(text[v], 4, "%d", v));
    }
};

// Raster text of a block of rows. The buffer is never filled in advance:
// only the bytes written are touched.
struct TextBlock {
    std::unique_ptr<char[]> text;
    std::size_t capacity = 0;
    std::size_t size = 0;
};

// The raster lines of rows [first, last) into out.
void formatRows(const RegGrid& grid, std::int32_t first, std::int32_t last,
                double largestMagnitude, const ColorMap& map, TextBlock& out) {
    static const ByteText bytes;
    // At most "255 255 255\n" a pixel, and four bytes copied per component.
    const std::size_t needed =
        static_cast<std::size_t>(last - first) * static_cast<std::size_t>(grid.cols) * 12 + 4;
    if (out.capacity < needed) {
        out.text.reset(new char[needed]);
        out.capacity = needed;
    }
    char* p = out.text.get();
    for (std::int32_t i = first; i < last; ++i) {
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            const Point c = shadedColor(grid, i, j, largestMagnitude, map);
            const std::uint8_t rgb[3] = {toByte(c.x), toByte(c.y), toByte(c.z)};
            for (int k = 0; k < 3; ++k) {
                std::memcpy(p, bytes.text[rgb[k]], 4);
                p += bytes.size[rgb[k]];
                *p++ = k < 2 ? ' ' : '\n';
            }
        }
    }
    out.size = static_cast<std::size_t>(p - out.text.get());
}

}  // namespace

void writeImage(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                const ColorMap& map) {
    const std::string head = header(grid);
    put(out, head.data(), head.size());
    // Blocks of rows are formatted side by side and written in order; a few
    // blocks at a time keep memory small at any size.
    const int threads = threadCount();
    const std::int64_t blockPixels =
        std::clamp<std::int64_t>(static_cast<std::int64_t>(grid.cellCount()) / 16, 4096, 65536);
    const std::int32_t blockRows =
        std::max<std::int32_t>(1, static_cast<std::int32_t>(blockPixels / std::max(1, grid.cols)));
    std::vector<TextBlock> blocks(static_cast<std::size_t>(2 * threads));
    const std::int32_t perRound = blockRows * static_cast<std::int32_t>(blocks.size());
    for (std::int32_t round = 0; round < grid.rows; round += perRound) {
        const auto count = static_cast<std::int32_t>(blocks.size());
        parallelFor(count, 1, threads, [&](std::int64_t b, std::int64_t) {
            const std::int32_t first =
                std::min(grid.rows, round + static_cast<std::int32_t>(b) * blockRows);
            const std::int32_t last = std::min(grid.rows, first + blockRows);
            blocks[static_cast<std::size_t>(b)].size = 0;
            if (first < last)
                formatRows(grid, first, last, largestMagnitude, map, blocks[static_cast<std::size_t>(b)]);
        });
        for (const TextBlock& block : blocks) put(out, block.text.get(), block.size);
    }
    if (std::fflush(out) != 0)
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

void writeImageReference(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                         const ColorMap& map) {
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

void writePng(const RegGrid& grid, std::FILE* out, double largestMagnitude, const ColorMap& map) {
    const std::vector<std::uint8_t> rgb = renderRgb(grid, largestMagnitude, map);
    writePng(PixelView{rgb.data(), grid.rows, grid.cols, 3}, out);
}

}  // namespace fastlic

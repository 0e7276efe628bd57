#include "output/image_writer.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "field/input_files.h"
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
    std::size_t o = 0;
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            const Point c = shadedColor(grid, i, j, largestMagnitude, map);
            rgb[o++] = toByte(c.x);
            rgb[o++] = toByte(c.y);
            rgb[o++] = toByte(c.z);
        }
    }
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

namespace {

// What went wrong inside libpng, kept for the exception thrown after its
// longjmp: the write's errno, or libpng's own message.
struct PngFailure {
    int err = 0;
    char message[200] = "";
};

extern "C" void pngError(png_structp png, png_const_charp message) {
    auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
    std::snprintf(failure->message, sizeof failure->message, "%s", message);
    png_longjmp(png, 1);
}

// libpng's warnings would be lines of its own on standard error.
extern "C" void pngWarning(png_structp, png_const_charp) {}

extern "C" void pngWrite(png_structp png, png_bytep data, png_size_t size) {
    if (std::fwrite(data, 1, size, static_cast<std::FILE*>(png_get_io_ptr(png))) != size) {
        static_cast<PngFailure*>(png_get_error_ptr(png))->err = errno != 0 ? errno : EIO;
        png_error(png, "write failed");
    }
}

extern "C" void pngFlush(png_structp) {}

}  // namespace

void writePng(const RegGrid& grid, std::FILE* out, double largestMagnitude, const ColorMap& map) {
    PngFailure failure;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, pngError, pngWarning);
    if (!png) throw OutputError("cannot write the image: out of memory");
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        throw OutputError("cannot write the image: out of memory");
    }
    std::vector<std::uint8_t> row(static_cast<std::size_t>(grid.cols) * 3);
    // libpng reports its errors by longjmp; nothing with a destructor may be
    // created between here and the end of the writes.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw OutputError(std::string("cannot write the image: ") +
                          (failure.err != 0 ? std::strerror(failure.err) : failure.message));
    }
    png_set_write_fn(png, out, pngWrite, pngFlush);
    // The format's own limit, 2^31 - 1 a side, holds every grid; libpng's
    // default is a million pixels a side.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_IHDR(png, info, static_cast<png_uint_32>(grid.cols),
                 static_cast<png_uint_32>(grid.rows), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            const Point c = shadedColor(grid, i, j, largestMagnitude, map);
            row[3 * j] = toByte(c.x);
            row[3 * j + 1] = toByte(c.y);
            row[3 * j + 2] = toByte(c.z);
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(out) != 0 || std::ferror(out))
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

}  // namespace fastlic

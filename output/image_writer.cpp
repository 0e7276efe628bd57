#include "output/image_writer.h"

#include <png.h>

#include <cmath>
#include <cstring>

#include "field/input_files.h"

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
    return static_cast<std::uint8_t>(std::lround(component));
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
    if (std::fwrite(data, 1, size, out) != size)
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

std::string header(const RegGrid& grid) {
    return "P3\t" + std::to_string(grid.cols) + "\t" + std::to_string(grid.rows) + "\t255\n";
}

}  // namespace

void writeImage(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                const ColorMap& map) {
    const std::string head = header(grid);
    put(out, head.data(), head.size());
    // One row at a time keeps memory small at any size.
    std::string line;
    line.reserve(static_cast<std::size_t>(grid.cols) * 12);
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        line.clear();
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            const Point c = shadedColor(grid, i, j, largestMagnitude, map);
            line += std::to_string(toByte(c.x));
            line += ' ';
            line += std::to_string(toByte(c.y));
            line += ' ';
            line += std::to_string(toByte(c.z));
            line += '\n';
        }
        put(out, line.data(), line.size());
    }
    if (std::fflush(out) != 0)
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
}

void writeImage(const RegGrid& grid) {
    try {
        writeImage(grid, stdout, maxMagnitude, colorMap);
    } catch (const OutputError& e) {
        throw OutputError(std::string("standard output: ") + e.what());
    }
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
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
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
        throw OutputError("cannot write the image: PNG encoding failed");
    }
    png_init_io(png, out);
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

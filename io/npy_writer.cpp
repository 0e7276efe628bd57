#include "io/npy_writer.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>

#include "io/image_writer.h"

namespace fastlic {

namespace {

static_assert(std::endian::native == std::endian::little, "the arrays are written as stored");

void put(std::FILE* out, const void* data, std::size_t size) {
    if (std::fwrite(data, 1, size, out) != size)
        throw OutputError(std::string("cannot write the array: ") + std::strerror(errno));
}

// Magic, version 1.0, header length, then the header dict padded with
// blanks to a multiple of 64 bytes and ended by a newline.
void writeHeader(std::FILE* out, const char* descr, std::span<const std::int64_t> shape) {
    std::string dims;
    for (const std::int64_t n : shape) dims += (dims.empty() ? "" : ", ") + std::to_string(n);
    if (shape.size() == 1) dims += ',';
    std::string dict = std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': (" + dims + "), }";
    const std::size_t unpadded = 10 + dict.size() + 1;
    dict.append((64 - unpadded % 64) % 64, ' ');
    dict += '\n';
    const auto length = static_cast<std::uint16_t>(dict.size());
    const char preamble[8] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0};
    put(out, preamble, sizeof preamble);
    const unsigned char len[2] = {static_cast<unsigned char>(length & 0xff),
                                  static_cast<unsigned char>(length >> 8)};
    put(out, len, 2);
    put(out, dict.data(), dict.size());
}

void finish(std::FILE* out) {
    if (std::fflush(out) != 0 || std::ferror(out))
        throw OutputError(std::string("cannot write the array: ") + std::strerror(errno));
}

void writeHeader(std::FILE* out, const char* descr, const RegGrid& grid) {
    const std::int64_t shape[] = {grid.rows, grid.cols};
    writeHeader(out, descr, shape);
}

}  // namespace

void writeNpyHeader(std::FILE* out, const char* descr, std::span<const std::int64_t> shape) {
    writeHeader(out, descr, shape);
}

void writeNpyBytes(std::FILE* out, const void* data, std::size_t bytes) { put(out, data, bytes); }

void finishNpy(std::FILE* out) { finish(out); }

void writeNpy(std::FILE* out, const char* descr, std::span<const std::int64_t> shape, const void* data,
              std::size_t bytes) {
    writeHeader(out, descr, shape);
    put(out, data, bytes);
    finish(out);
}

void writeLicNpy(const RegGrid& grid, std::FILE* out) {
    writeHeader(out, "<f8", grid);
    put(out, grid.licSums.data(), grid.cellCount() * sizeof(double));
    finish(out);
}

void writeHitsNpy(const RegGrid& grid, std::FILE* out) {
    writeHeader(out, "<i4", grid);
    put(out, grid.hitCounts.data(), grid.cellCount() * sizeof(std::int32_t));
    finish(out);
}

}  // namespace fastlic

#include "io/png_writer.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "base/errors.h"
#include "base/parallel.h"

namespace fastlic {

namespace detail {

// The Average filter (type 3) of every row: on LIC images it gives the
// smallest files of the five at a fast level, and one filter for all rows
// costs nothing to choose.
void filterRow(const std::uint8_t* row, const std::uint8_t* above, std::size_t size, int bpp,
               std::uint8_t* out) {
    *out++ = 3;
    const std::size_t b = static_cast<std::size_t>(bpp);
    if (!above) {
        for (std::size_t k = 0; k < std::min(b, size); ++k) out[k] = row[k];
        for (std::size_t k = b; k < size; ++k)
            out[k] = static_cast<std::uint8_t>(row[k] - (row[k - b] >> 1));
        return;
    }
    for (std::size_t k = 0; k < std::min(b, size); ++k)
        out[k] = static_cast<std::uint8_t>(row[k] - (above[k] >> 1));
    for (std::size_t k = b; k < size; ++k)
        out[k] = static_cast<std::uint8_t>(row[k] - ((row[k - b] + above[k]) >> 1));
}

struct Compressed {
    // Grown, never shrunk: the buffer is reused from chunk to chunk.
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    std::uint32_t adler = 1;
    std::size_t length = 0;  // filtered bytes it holds
};

// Bit positions in a whole raw deflate stream, counted from the first
// byte's lowest bit: its last block's header, and its end.
struct StreamEnds {
    std::size_t lastHeader = 0;
    std::size_t end = 0;
};

// Walks the blocks of a raw deflate stream with zlib's inflate, which stops
// at every block boundary when asked (Z_BLOCK) and tells how many bits of
// the last byte it took are unused and whether the block just ended was
// the last.
StreamEnds locateEnds(z_stream& z, const std::uint8_t* data, std::size_t size,
                      std::vector<std::uint8_t>& scratch) {
    constexpr std::size_t slice = std::size_t{1} << 30;  // zlib counts in 32 bits
    inflateReset(&z);
    std::size_t given = 0, boundary = 0;
    for (;;) {
        if (z.avail_in == 0 && given < size) {
            const std::size_t n = std::min(size - given, slice);
            z.next_in = const_cast<Bytef*>(data + given);
            z.avail_in = static_cast<uInt>(n);
            given += n;
        }
        z.next_out = scratch.data();
        z.avail_out = static_cast<uInt>(scratch.size());
        const int status = inflate(&z, Z_BLOCK);
        if (status != Z_OK && status != Z_BUF_ERROR)
            throw std::runtime_error("cannot compress the image: its deflate stream does not decode");
        const std::size_t taken = given - z.avail_in;
        if (z.data_type & 128) {
            const std::size_t at = taken * 8 - static_cast<std::size_t>(z.data_type & 7);
            if (z.data_type & 64) return {boundary, at};
            boundary = at;
        } else if (status == Z_BUF_ERROR && z.avail_in == 0 && given == size) {
            throw std::runtime_error("cannot compress the image: its deflate stream ends early");
        }
    }
}

// Per thread: libdeflate, about twice as fast as zlib's fastest level for a
// smaller file, and zlib's inflate to find where its streams end.
class Deflater {
public:
    explicit Deflater(int level)
        : compressor_(libdeflate_alloc_compressor(level)), scratch_(64 * 1024) {
        if (!compressor_ || inflateInit2(&inflater_, -15) != Z_OK) {
            libdeflate_free_compressor(compressor_);
            throw std::bad_alloc();
        }
    }
    ~Deflater() {
        libdeflate_free_compressor(compressor_);
        inflateEnd(&inflater_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // data[0, size) as raw deflate blocks. A chunk that is not the last
    // ends as a sync flush does: its last block no longer marked final, then
    // an empty stored block that brings the stream to a byte boundary, so
    // that the next chunk's blocks can follow.
    void compress(const std::uint8_t* data, std::size_t size, bool last, Compressed& out) {
        out.length = size;
        out.adler = libdeflate_adler32(1, data, size);
        const std::size_t bound = libdeflate_deflate_compress_bound(compressor_, size) + 8;
        if (out.bytes.size() < bound) out.bytes.resize(bound);
        out.size = libdeflate_deflate_compress(compressor_, data, size, out.bytes.data(), bound);
        if (out.size == 0) throw std::runtime_error("cannot compress the image: libdeflate failed");
        if (last) return;
        const StreamEnds ends = locateEnds(inflater_, out.bytes.data(), out.size, scratch_);
        std::uint8_t* b = out.bytes.data();
        b[ends.lastHeader / 8] = static_cast<std::uint8_t>(b[ends.lastHeader / 8] & ~(1u << (ends.lastHeader % 8)));
        const std::size_t used = ends.end % 8;  // bits of the stream in its last byte
        out.size = (ends.end + 7) / 8;
        if (used != 0) b[out.size - 1] = static_cast<std::uint8_t>(b[out.size - 1] & ((1u << used) - 1));
        // The stored block's three header bits, all zero, fit in the last
        // byte when at least three of its bits are free; padding to the
        // byte boundary, then LEN 0 and NLEN 0xffff.
        if (used == 0 || used > 5) b[out.size++] = 0;
        const std::uint8_t lengths[4] = {0x00, 0x00, 0xff, 0xff};
        std::memcpy(b + out.size, lengths, 4);
        out.size += 4;
    }

private:
    libdeflate_compressor* compressor_;
    z_stream inflater_{};
    std::vector<std::uint8_t> scratch_;
};

void putU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

using Sink = std::function<void(const void*, std::size_t)>;

// One chunk of the file: length, type, its data given in pieces, CRC.
void putChunk(const Sink& sink, const char* type,
              std::initializer_list<std::pair<const void*, std::size_t>> parts) {
    std::size_t length = 0;
    for (const auto& part : parts) length += part.second;
    std::uint8_t head[8];
    putU32(head, static_cast<std::uint32_t>(length));
    std::memcpy(head + 4, type, 4);
    sink(head, 8);
    uLong crc = crc32_z(0, head + 4, 4);
    for (const auto& part : parts) {
        if (part.second == 0) continue;
        sink(part.first, part.second);
        crc = crc32_z(crc, static_cast<const Bytef*>(part.first), part.second);
    }
    std::uint8_t tail[4];
    putU32(tail, static_cast<std::uint32_t>(crc));
    sink(tail, 4);
}

}  // namespace detail

void encodePng(const PixelView& pixels, const detail::Sink& sink, const PngOptions& options) {
    using namespace detail;
    if (pixels.rows < 1 || pixels.cols < 1 || (pixels.channels != 3 && pixels.channels != 4))
        throw std::invalid_argument("encodePng: needs at least one row and column of 3 or 4 channels");
    if (options.level < 1 || options.level > 12)
        throw std::invalid_argument("encodePng: level must be 1..12, got " +
                                    std::to_string(options.level));
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    sink(signature, 8);
    std::uint8_t ihdr[13];
    putU32(ihdr, static_cast<std::uint32_t>(pixels.cols));
    putU32(ihdr + 4, static_cast<std::uint32_t>(pixels.rows));
    ihdr[8] = 8;                                      // bits per channel
    ihdr[9] = pixels.channels == 4 ? 6 : 2;           // RGBA or RGB
    ihdr[10] = ihdr[11] = ihdr[12] = 0;               // deflate, adaptive filters, no interlace
    putChunk(sink, "IHDR", {{ihdr, 13}});

    const std::size_t rawRow = static_cast<std::size_t>(pixels.cols) * static_cast<std::size_t>(pixels.channels);
    const std::size_t rowBytes = rawRow + 1;
    const std::int32_t chunkRows = static_cast<std::int32_t>(
        std::clamp<std::size_t>(options.chunkBytes / rowBytes, 1, static_cast<std::size_t>(pixels.rows)));
    const std::int32_t chunks = (pixels.rows + chunkRows - 1) / chunkRows;

    const int threads = std::max(1, std::min(threadCount(options.threads), chunks));
    std::vector<std::unique_ptr<Deflater>> deflaters(static_cast<std::size_t>(threads));
    std::vector<std::vector<std::uint8_t>> filtered(static_cast<std::size_t>(threads));
    // A few chunks per thread at a time keep memory small at any size.
    std::vector<Compressed> round(static_cast<std::size_t>(std::min(chunks, 4 * threads)));
    std::uint32_t adler = 1;
    // The zlib header: deflate, 32 KiB window, a level hint, the check bits.
    const int hint = options.level <= 1 ? 0 : options.level <= 5 ? 1 : options.level == 6 ? 2 : 3;
    std::uint8_t zhead[2] = {0x78, static_cast<std::uint8_t>(hint << 6)};
    zhead[1] = static_cast<std::uint8_t>(zhead[1] + (31 - (0x78 * 256 + zhead[1]) % 31));

    const auto row = [&](std::int32_t i) { return pixels.data + static_cast<std::size_t>(i) * rawRow; };
    for (std::int32_t first = 0; first < chunks; first += static_cast<std::int32_t>(round.size())) {
        const std::int32_t count = std::min(chunks - first, static_cast<std::int32_t>(round.size()));
        std::atomic<std::int32_t> next{0};
        onThreads(std::min(threads, count), [&](int t) {
            auto& deflater = deflaters[static_cast<std::size_t>(t)];
            if (!deflater) deflater = std::make_unique<Deflater>(options.level);
            auto& buffer = filtered[static_cast<std::size_t>(t)];
            for (std::int32_t c; (c = next.fetch_add(1)) < count;) {
                const std::int32_t begin = (first + c) * chunkRows;
                const std::int32_t end = std::min(pixels.rows, begin + chunkRows);
                const std::size_t size = static_cast<std::size_t>(end - begin) * rowBytes;
                if (buffer.size() < size) buffer.resize(size);
                for (std::int32_t i = begin; i < end; ++i)
                    filterRow(row(i), i > 0 ? row(i - 1) : nullptr, rawRow, pixels.channels,
                              buffer.data() + static_cast<std::size_t>(i - begin) * rowBytes);
                deflater->compress(buffer.data(), size, first + c == chunks - 1,
                                   round[static_cast<std::size_t>(c)]);
            }
        });
        // One IDAT per chunk, so that the file is the same for every
        // thread count.
        for (std::int32_t c = 0; c < count; ++c) {
            const Compressed& part = round[static_cast<std::size_t>(c)];
            adler = static_cast<std::uint32_t>(
                adler32_combine(adler, part.adler, static_cast<z_off_t>(part.length)));
            const bool opens = first + c == 0, closes = first + c == chunks - 1;
            std::uint8_t check[4];
            putU32(check, adler);
            putChunk(sink, "IDAT",
                     {{zhead, opens ? 2u : 0u}, {part.bytes.data(), part.size},
                      {check, closes ? 4u : 0u}});
        }
    }
    putChunk(sink, "IEND", {});
}

std::vector<std::uint8_t> encodePng(const PixelView& pixels, const PngOptions& options) {
    std::vector<std::uint8_t> file;
    encodePng(
        pixels,
        [&](const void* data, std::size_t size) {
            const auto* p = static_cast<const std::uint8_t*>(data);
            file.insert(file.end(), p, p + size);
        },
        options);
    return file;
}

void writePng(const PixelView& pixels, std::FILE* out, const PngOptions& options) {
    const auto fail = [] {
        throw OutputError(std::string("cannot write the image: ") + std::strerror(errno));
    };
    encodePng(
        pixels,
        [&](const void* data, std::size_t size) {
            if (std::fwrite(data, 1, size, out) != size) fail();
        },
        options);
    if (std::fflush(out) != 0 || std::ferror(out)) fail();
}

}  // namespace fastlic

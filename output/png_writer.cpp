#include "output/png_writer.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "util/errors.h"
#include "util/parallel.h"

namespace fastlic {

namespace detail {

// About this much filtered data per chunk: large enough that the priming
// and the flush cost little, small enough to share out on a few cores.
constexpr std::size_t chunkBytes = 256 * 1024;
constexpr std::size_t window = 32 * 1024;

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

// One raw deflate stream per thread, reset for every chunk.
class Deflater {
public:
    explicit Deflater(int level) {
        if (deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::bad_alloc();
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // data[0, primed) primes the window; data[primed, size) is compressed,
    // ended by a sync flush (byte-aligned, not final) or, when last, by the
    // final block.
    void compress(const std::uint8_t* data, std::size_t primed, std::size_t size, bool last,
                  Compressed& out) {
        deflateReset(&z_);
        if (primed > 0) {
            const std::size_t n = std::min(primed, window);
            deflateSetDictionary(&z_, data + primed - n, static_cast<uInt>(n));
        }
        const std::size_t length = size - primed;
        out.length = length;
        out.adler = static_cast<std::uint32_t>(adler32_z(1, data + primed, length));
        const std::size_t bound = deflateBound(&z_, static_cast<uLong>(length)) + 64;
        if (out.bytes.size() < bound) out.bytes.resize(bound);
        // zlib counts in 32 bits: at most 1 GiB in or out per call.
        constexpr std::size_t slice = std::size_t{1} << 30;
        const std::uint8_t* in = data + primed;
        std::size_t left = length, written = 0;
        z_.avail_in = 0;
        for (;;) {
            if (z_.avail_in == 0 && left > 0) {
                const std::size_t n = std::min(left, slice);
                z_.next_in = const_cast<Bytef*>(in);
                z_.avail_in = static_cast<uInt>(n);
                in += n;
                left -= n;
            }
            const int mode = left > 0 ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
            if (out.bytes.size() - written < 64) out.bytes.resize(out.bytes.size() * 2);
            z_.next_out = out.bytes.data() + written;
            z_.avail_out = static_cast<uInt>(std::min(out.bytes.size() - written, slice));
            const int status = deflate(&z_, mode);
            written = static_cast<std::size_t>(z_.next_out - out.bytes.data());
            if (status == Z_STREAM_ERROR)
                throw std::runtime_error("cannot compress the image: zlib stream error");
            if (mode == Z_FINISH && status == Z_STREAM_END) break;
            if (mode == Z_SYNC_FLUSH && z_.avail_in == 0 && z_.avail_out > 0) break;
        }
        out.size = written;
    }

private:
    z_stream z_{};
};

void putU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

using Sink = std::function<void(const void*, std::size_t)>;

// One chunk of the file: length, type, the parts of its data, CRC.
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
    if (options.level < 0 || options.level > 9)
        throw std::invalid_argument("encodePng: level must be 0..9, got " +
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
        std::clamp<std::size_t>(chunkBytes / rowBytes, 1, static_cast<std::size_t>(pixels.rows)));
    const std::int32_t chunks = (pixels.rows + chunkRows - 1) / chunkRows;
    // Rows before a chunk whose filtered bytes fill the window.
    const std::int32_t primeRows = static_cast<std::int32_t>(
        std::min<std::size_t>((window + rowBytes - 1) / rowBytes, static_cast<std::size_t>(pixels.rows)));

    const int threads = std::max(1, std::min(options.threads > 0 ? options.threads : threadCount(), chunks));
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
                const std::int32_t from = std::max(0, begin - primeRows);
                buffer.resize(static_cast<std::size_t>(end - from) * rowBytes);
                for (std::int32_t i = from; i < end; ++i)
                    filterRow(row(i), i > 0 ? row(i - 1) : nullptr, rawRow, pixels.channels,
                              buffer.data() + static_cast<std::size_t>(i - from) * rowBytes);
                deflater->compress(buffer.data(), static_cast<std::size_t>(begin - from) * rowBytes,
                                   buffer.size(), first + c == chunks - 1,
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

#include "field/input_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "lic/parallel.h"

namespace fastlic {

double maxMagnitude = 0.0;

namespace detail {

inline bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A value as it stood in the file, fit for one line of message: quoted,
// bytes outside printable ASCII escaped, long ones cut short.
std::string quoted(std::string_view text) {
    constexpr std::size_t shown = 32;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    if (text.size() > shown) out += "...";
    return out + "\"";
}

std::string shortest(double v) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, v);
    return std::string(text, result.ptr);
}

// The syntax "%lf" reads: optional sign, digits with an optional point, an
// optional exponent; correctly rounded, as strtod is. What is wrong with
// the word, or nothing.
std::optional<std::string> parseWord(std::string_view word, double& value) {
    const char* first = word.data();
    const char* last = first + word.size();
    if (*first == '+' && first + 1 < last && first[1] != '-' && first[1] != '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ptr != last || ec == std::errc::invalid_argument)
        return "expected a number, found " + quoted(word);
    if (ec == std::errc::result_out_of_range) {
        // Underflow keeps strtod's value (0 or a subnormal), as "%lf" does.
        value = std::strtod(std::string(word).c_str(), nullptr);
        if (std::isinf(value)) return "number out of range: " + quoted(word);
    }
    if (!std::isfinite(value)) return "not a finite number: " + quoted(word);
    return std::nullopt;
}

std::optional<std::string> parseWord(std::string_view word, std::int32_t& value) {
    const char* first = word.data();
    const char* last = first + word.size();
    if (*first == '+' && first + 1 < last && first[1] != '-' && first[1] != '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range && ptr == last)
        return "integer out of range: " + quoted(word);
    if (ptr != last || ec != std::errc()) return "expected an integer, found " + quoted(word);
    return std::nullopt;
}

// The digits at p, at most eight of them, eight bytes read at once: how
// many there are, and their value. Needs eight readable bytes at p.
inline unsigned eightDigits(const char* p, std::uint64_t& value) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    // A byte minus '0' is a digit when neither it nor it plus 118 reaches
    // 128; a borrow or carry only spoils the bytes after the first
    // non-digit, which are not used.
    const std::uint64_t d = w - 0x3030303030303030u;
    const std::uint64_t other = (d | (d + 0x7676767676767676u)) & 0x8080808080808080u;
    const unsigned n = other ? static_cast<unsigned>(__builtin_ctzll(other)) >> 3 : 8;
    // The n digits at the top, zero digits below them; then pairs, and
    // pairs of pairs put together by two multiplications.
    std::uint64_t v = n ? d << (64 - 8 * n) : 0;
    v = v * 10 + (v >> 8);
    value = ((v & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32)) +
             ((v >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32))) >> 32;
    return n;
}

inline bool isDigit(char c) { return static_cast<unsigned>(c - '0') < 10; }

// Whether long double has x87's 64-bit significand and rounds to all of it
// (its precision can be set narrower).
const bool extendedPrecision = [] {
    if constexpr (std::numeric_limits<long double>::digits != 64) return false;
    volatile long double one = 1.0L, tiny = 0x1p-63L;
    return one + tiny != one;
}();

// The fast conversions of a decimal m x 10^e of at most 19 significant
// digits. Where m <= 2^53 and |e| <= 22, Clinger's: one correctly rounded
// operation of two exact doubles. Otherwise, where |e| <= 27, m and 10^|e|
// are exact in long double and its one rounding q, to 64 bits, rounds to
// the right double unless q is exactly half-way between two doubles (the
// low 11 bits of its significand 100 0000 0000): a value strictly between
// two such half-way points stays between them when rounded to 64 bits,
// since they are 64-bit numbers themselves. Returns the end of the number,
// or null where neither applies (the caller then takes the full
// conversion, which also reports malformed words).
inline __attribute__((always_inline)) const char* fastDouble(const char* p, double& value) {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    static constexpr long double widePowers[] = {
        1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
        1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
        1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
    static constexpr std::uint64_t scale[] = {1,      10,      100,      1000,     10000,
                                              100000, 1000000, 10000000, 100000000};
    const bool negative = *p == '-';
    p += *p == '-' || *p == '+';
    // The whole part is short as a rule: a digit at a time. Digits are
    // counted from the first significant one; more than 19 could overflow m.
    std::uint64_t m = 0;
    const char* zeros = p;
    while (*p == '0') ++p;
    const char* first = p;
    for (; isDigit(*p); ++p) m = m * 10 + static_cast<unsigned>(*p - '0');
    unsigned digits = static_cast<unsigned>(p - first);
    bool any = p != zeros;
    int exponent = 0;
    if (*p == '.') {
        ++p;
        if (m == 0) {
            zeros = p;
            while (*p == '0') ++p;
            exponent = -static_cast<int>(p - zeros);
            any = any || p != zeros;
        }
        // The fraction eight digits at a time, twice, then one at a time.
        const unsigned before = digits;
        std::uint64_t v;
        unsigned n = eightDigits(p, v);
        m = m * scale[n] + v;
        digits += n;
        p += n;
        if (n == 8) {
            n = eightDigits(p, v);
            m = m * scale[n] + v;
            digits += n;
            p += n;
            if (n == 8)
                for (; isDigit(*p); ++p, ++digits) m = m * 10 + static_cast<unsigned>(*p - '0');
        }
        exponent -= static_cast<int>(digits - before);
        any = any || digits != 0;
    }
    if (!any || digits > 19) return nullptr;
    if ((*p | 0x20) == 'e') {
        ++p;
        const bool negativeExponent = *p == '-';
        p += *p == '-' || *p == '+';
        std::uint64_t e;
        const unsigned n = eightDigits(p, e);
        if (n == 0 || n == 8) return nullptr;
        p += n;
        exponent += negativeExponent ? -static_cast<int>(e) : static_cast<int>(e);
    }
    double magnitude;
    if (m <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        magnitude = exponent >= 0 ? static_cast<double>(m) * powers[exponent]
                                  : static_cast<double>(m) / powers[-exponent];
    } else if (exponent >= -27 && exponent <= 27 && extendedPrecision) {
        const long double q = exponent >= 0 ? static_cast<long double>(m) * widePowers[exponent]
                                            : static_cast<long double>(m) / widePowers[-exponent];
        std::uint64_t significand;
        std::memcpy(&significand, &q, sizeof significand);
        if ((significand & 0x7ff) == 0x400) return nullptr;
        magnitude = static_cast<double>(q);
    } else {
        return nullptr;
    }
    // The sign without a branch: signs are as good as random.
    std::uint64_t bits;
    std::memcpy(&bits, &magnitude, sizeof bits);
    bits |= static_cast<std::uint64_t>(negative) << 63;
    std::memcpy(&value, &bits, sizeof bits);
    return p;
}

// Up to eight digits cannot leave the 32-bit range; longer numbers take the
// full conversion.
inline __attribute__((always_inline)) const char* fastInt(const char* p, std::int32_t& value) {
    const bool negative = *p == '-';
    p += *p == '-' || *p == '+';
    std::uint64_t v;
    const unsigned n = eightDigits(p, v);
    if (n == 0 || n == 8) return nullptr;
    value = negative ? -static_cast<std::int32_t>(v) : static_cast<std::int32_t>(v);
    return p + n;
}

inline __attribute__((always_inline)) const char* fastWord(const char* p, double& value) {
    return fastDouble(p, value);
}
inline __attribute__((always_inline)) const char* fastWord(const char* p, std::int32_t& value) {
    return fastInt(p, value);
}

// The file is read in blocks cut after their last white space, so that
// every block holds whole words and blocks convert side by side; the values
// are then taken in file order, and reading stops once there are enough.
constexpr std::size_t blockSize = std::size_t{1} << 20;
constexpr std::size_t padding = 16;

template <typename T>
struct Block {
    // The bytes, then zero bytes that the digit parser may read ahead;
    // allocated once, left uninitialised so that only the bytes a file fills
    // are ever touched.
    std::unique_ptr<char[]> text{new char[blockSize + padding]};
    std::size_t length = 0;     // bytes of whole words and white space
    std::vector<T> values;
    long newlines = 0;          // in the converted part
    // The first word that is not a value: its place among the block's
    // words, the newlines before it within the block, and what is wrong.
    std::optional<std::string> fault;
    std::size_t faultIndex = 0;
    long faultNewlines = 0;
    bool giant = false;  // one word fills the whole block: not converted
};

template <typename T>
void convertBlock(Block<T>& b) {
    b.values.clear();
    b.newlines = 0;
    b.fault.reset();
    if (b.giant) return;
    const char* p = b.text.get();
    const char* end = p + b.length;
    // No word is shorter than a byte and its separator: room enough that
    // the values never move (what is not written is not touched).
    b.values.reserve(b.length / 2 + 1);
    long newlines = 0;
    for (;;) {
        while (p < end && isSpace(*p)) newlines += *p++ == '\n';
        if (p == end) break;
        T value{};
        const char* stop = fastWord(p, value);
        if (!stop || (stop < end && !isSpace(*stop))) {
            stop = p;
            while (stop < end && !isSpace(*stop)) ++stop;
            if (auto fault = parseWord(std::string_view(p, static_cast<std::size_t>(stop - p)), value)) {
                b.fault = std::move(fault);
                b.faultIndex = b.values.size();
                b.faultNewlines = newlines;
                break;
            }
        }
        b.values.push_back(value);
        p = stop;
    }
    b.newlines = newlines;
}

// How far a file's values went: how many were taken, and what stopped
// them short (the whole message), if anything did.
struct ReadResult {
    std::size_t taken = 0;
    std::optional<std::string> fault;
};

// Reads up to `needed` values of the file and gives them, in order, to
// take(first index, values, count). Throws InputError only when the file
// cannot be read at all.
template <typename T, typename Take>
ReadResult readValues(std::FILE* file, const std::string& name, std::size_t needed, Take take) {
    const int threads = threadCount();
    std::vector<Block<T>> blocks(static_cast<std::size_t>(2 * threads));
    // Blocks small enough that a small file still spreads over every
    // thread; a block grows to blockSize only while it holds no white space.
    std::size_t target = blockSize;
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode))
        target = std::clamp<std::size_t>(static_cast<std::size_t>(info.st_size) / blocks.size() + 1,
                                         std::size_t{1} << 16, blockSize);
    std::string carry;  // the start of a word cut off by the last block
    std::size_t taken = 0;
    std::size_t bytes = 0;
    long lines = 0;  // newlines before the current block
    bool atEnd = false;
    while (taken < needed && !atEnd) {
        std::size_t filled = 0;
        bool giantWord = false;
        for (; filled < blocks.size() && !atEnd && !giantWord; ++filled) {
            Block<T>& b = blocks[filled];
            b.giant = false;
            char* text = b.text.get();
            std::memcpy(text, carry.data(), carry.size());
            std::size_t length = carry.size();
            carry.clear();
            std::size_t cut = 0;
            while (!atEnd && cut == 0 && length < blockSize) {
                const std::size_t want = std::min(std::max(target, length + 1), blockSize) - length;
                const std::size_t got = std::fread(text + length, 1, want, file);
                if (got < want) {
                    if (std::ferror(file)) throw InputError(name + ": cannot read: " + std::strerror(errno));
                    atEnd = true;
                }
                for (std::size_t k = length + got; k > length; --k)
                    if (isSpace(text[k - 1])) {
                        cut = k;
                        break;
                    }
                bytes += got;
                length += got;
            }
            if (!atEnd) {
                if (cut == 0) {
                    giantWord = b.giant = true;  // a whole block without white space
                } else {
                    carry.assign(text + cut, length - cut);
                    length = cut;
                }
            }
            b.length = length;
            std::memset(text + length, 0, padding);
        }
        parallelFor(static_cast<std::int64_t>(filled), 1, threads,
                    [&](std::int64_t first, std::int64_t last) {
                        for (std::int64_t k = first; k < last; ++k)
                            convertBlock(blocks[static_cast<std::size_t>(k)]);
                    });
        for (std::size_t k = 0; k < filled && taken < needed; ++k) {
            Block<T>& b = blocks[k];
            if (b.giant)
                return {taken, name + ":" + std::to_string(lines + 1) +
                                   ": expected a number, found a word of over " +
                                   std::to_string(blockSize >> 20) + " MiB"};
            const std::size_t n = std::min(b.values.size(), needed - taken);
            take(taken, b.values.data(), n);
            taken += n;
            lines += b.newlines;
            if (b.fault && taken < needed)
                return {taken, name + ":" + std::to_string(lines - b.newlines + b.faultNewlines + 1) +
                                   ": " + *b.fault};
        }
    }
    if (taken < needed) {
        if (bytes == 0)
            return {taken, name + ": empty file, expected " + std::to_string(needed) + " values"};
        return {taken, name + ": ended after " + std::to_string(taken) + " of " +
                           std::to_string(needed) + " values"};
    }
    return {taken, std::nullopt};
}

// The line on which value `index` of the file starts (1-based), found by
// reading the file again; 0 where it cannot be read again.
long lineOfValue(std::FILE* file, std::size_t index) {
    if (std::fseek(file, 0, SEEK_SET) != 0) return 0;
    long line = 1;
    std::size_t words = 0;
    bool inWord = false;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (isSpace(static_cast<char>(c))) {
            inWord = false;
            line += c == '\n';
        } else if (!inWord) {
            if (words++ == index) return line;
            inWord = true;
        }
    }
    return 0;
}

void readVectors(std::FILE* file, const std::string& name, RegGrid& grid) {
    const std::size_t cells = grid.cellCount();
    double* out = &grid.vectors.data()->x;
    // x and y sit at doubles 0 and 1 of a three-double Vector.
    static_assert(sizeof(Vector) == 3 * sizeof(double));
    const ReadResult read =
        readValues<double>(file, name, 2 * cells, [&](std::size_t first, const double* v, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = first + k;
            out[3 * (i / 2) + i % 2] = v[k];
        }
    });

    // The largest magnitude, and the first vector whose squared length
    // overflows (reported before a fault further on in the file); the
    // largest of any set of values is the same in any order.
    const std::size_t complete = read.taken / 2;
    const int threads = threadCount();
    std::vector<double> largest(static_cast<std::size_t>(threads), 0.0);
    std::vector<std::size_t> firstHuge(static_cast<std::size_t>(threads), complete);
    const Vector* vectors = grid.vectors.data();
    const std::int64_t chunk = (static_cast<std::int64_t>(complete) + threads - 1) / threads;
    onThreads(threads, [&](int t) {
        const std::size_t begin = std::min(complete, static_cast<std::size_t>(t) * chunk);
        const std::size_t end = std::min(complete, begin + static_cast<std::size_t>(chunk));
        double best = 0.0;
        for (std::size_t c = begin; c < end; ++c) {
            const double squared = vectors[c].x * vectors[c].x + vectors[c].y * vectors[c].y;
            if (std::isinf(squared)) {
                firstHuge[static_cast<std::size_t>(t)] = c;
                break;
            }
            const double m = std::sqrt(squared);
            if (m > best) best = m;
        }
        largest[static_cast<std::size_t>(t)] = best;
    });
    const std::size_t huge = *std::min_element(firstHuge.begin(), firstHuge.end());
    if (huge < complete) {
        const long line = lineOfValue(file, 2 * huge + 1);
        throw InputError(name + (line > 0 ? ":" + std::to_string(line) : std::string()) +
                         ": vector (" + shortest(vectors[huge].x) + ", " +
                         shortest(vectors[huge].y) + ") too large: its squared length overflows");
    }
    if (read.fault) throw InputError(*read.fault);
    maxMagnitude = *std::max_element(largest.begin(), largest.end());
}

void readTexture(std::FILE* file, const std::string& name, RegGrid& grid) {
    std::int32_t* out = grid.texture.data();
    const ReadResult read = readValues<std::int32_t>(
        file, name, grid.cellCount(), [&](std::size_t first, const std::int32_t* v, std::size_t n) {
            if (n != 0) std::memcpy(out + first, v, n * sizeof *v);  // v may be null then
        });
    if (read.fault) throw InputError(*read.fault);
}

InputStreams openInputFiles(const std::string& vectorFile, const std::string& textureFile) {
    InputStreams in{{std::fopen(vectorFile.c_str(), "r"), &std::fclose},
                    {std::fopen(textureFile.c_str(), "r"), &std::fclose}};
    if (!in.vectors) throw BadFilename("Bad Vector Filename: " + vectorFile);
    if (!in.texture) throw BadFilename("Bad Texture Filename: " + textureFile);
    return in;
}

}  // namespace detail

void readInputFiles(const std::string& vectorFile, const std::string& textureFile,
                    RegGrid& grid) {
    maxMagnitude = 0.0;
    const detail::InputStreams in = detail::openInputFiles(vectorFile, textureFile);
    // Each file's blocks convert on every thread; the vector file first, so
    // that its faults are the ones reported.
    detail::readVectors(in.vectors.get(), vectorFile, grid);
    detail::readTexture(in.texture.get(), textureFile, grid);
}

}  // namespace fastlic

#include "io/input_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#include <type_traits>
#include <vector>

#include <fast_float/fast_float.h>

#include "base/options.h"

#include "io/mapped_file.h"
#include "base/parallel.h"

namespace fastlic {

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

// Numbers fastDouble leaves (more than 19 digits, exponents beyond 27) go
// to fast_float, correctly rounded as well: a fifth faster than
// std::from_chars on such input. fast_float alone is slower on the usual
// short numbers. limit: the end of the text.
inline __attribute__((always_inline)) const char* fastWord(const char* p, const char* limit, double& value) {
    if (const char* end = fastDouble(p, value)) return end;
    const auto [end, ec] = fast_float::from_chars(p, limit, value);
    // Malformed, out of range, inf, nan: the full conversion says what is wrong.
    if (ec != std::errc() || !std::isfinite(value)) return nullptr;
    return end;
}
inline __attribute__((always_inline)) const char* fastWord(const char* p, const char*, std::int32_t& value) {
    return fastInt(p, value);
}

// A word this long is not converted: it is binary data or worse.
constexpr std::size_t giantWord = std::size_t{1} << 20;

// The text is taken a window at a time; a window is cut into blocks that are
// first indexed side by side (where each word starts, how many words and
// newlines there are), and then converted side by side, each block writing
// its values straight to their cells.
constexpr std::size_t blockSize = std::size_t{1} << 16;
constexpr std::size_t windowSize = std::size_t{1} << 24;
// Readable bytes past the end of the text: eightDigits and the indexing
// read ahead of what they use.
constexpr std::size_t padding = 64;

inline std::size_t bitCount(std::uint64_t x) {
#if defined(__POPCNT__)
    return static_cast<std::size_t>(__builtin_popcountll(x));
#else
    // Without the instruction the builtin is a call.
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<std::size_t>((x * 0x0101010101010101u) >> 56);
#endif
}

// Word starts of one window, a bit per byte; and for each of its blocks the
// words and newlines in it, and the first word that is not a value.
struct WindowIndex {
    explicit WindowIndex(std::size_t bytes)
        : starts(new std::uint64_t[(bytes + 63) / 64]),
          blocks((bytes + blockSize - 1) / blockSize) {}
    std::unique_ptr<std::uint64_t[]> starts;
    struct Block {
        std::size_t words = 0, newlines = 0;
        std::optional<std::string> fault;
        bool giant = false;             // or a word too long to convert
        std::size_t faultIndex = 0;     // among the block's words
        const char* faultWord = nullptr;
    };
    std::vector<Block> blocks;
};

// A line ends at LF, at CR LF, or at a CR alone (old Mac text): a CR, and
// an LF that does not follow one. afterCR: the byte before first is a CR.
std::size_t countLineEnds(const char* first, const char* last, bool afterCR) {
    std::size_t ends = 0;
    for (const char* p = first; p < last; ++p) {
        ends += *p == '\r' || (*p == '\n' && !afterCR);
        afterCR = *p == '\r';
    }
    return ends;
}

// The running state of a block's indexing, and what each 64 bytes add:
// their white space, line feeds and carriage returns, a bit a byte.
struct IndexRun {
    std::uint64_t* out;
    std::uint64_t previous;    // the byte before, as a white-space bit
    std::uint64_t previousCR;  // and as a CR bit
    std::size_t words = 0, newlines = 0;

    inline __attribute__((always_inline)) void take(std::uint64_t space, std::uint64_t lineFeeds,
                                                    std::uint64_t returns, std::ptrdiff_t left) {
        std::uint64_t wordStarts = ~space & (space << 1 | previous);
        previous = space >> 63;
        std::uint64_t lineEnds = returns | (lineFeeds & ~(returns << 1 | previousCR));
        previousCR = returns >> 63;
        if (left < 64) {
            const std::uint64_t inside = (std::uint64_t{1} << left) - 1;
            wordStarts &= inside;
            lineEnds &= inside;
        }
        *out++ = wordStarts;
        words += bitCount(wordStarts);
        newlines += bitCount(lineEnds);
    }
};

// One loop a instruction set, each reading 64 bytes at a time (the text's
// padding covers the last): the wider ones take a third of the time of
// SSE2's, which was a fifth of a large text's read.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx512f,avx512bw"))) void indexBytesAvx512(const char* first, const char* last,
                                                                   IndexRun& run) {
    const __m512i blank = _mm512_set1_epi8(' '), tab = _mm512_set1_epi8(9), four = _mm512_set1_epi8(4);
    const __m512i lf = _mm512_set1_epi8('\n'), cr = _mm512_set1_epi8('\r');
    for (const char* p = first; p < last; p += 64) {
        const __m512i c = _mm512_loadu_si512(p);
        // \t..\r: 0..4 once 9 is taken away
        const std::uint64_t space =
            _mm512_cmpeq_epi8_mask(c, blank) | _mm512_cmple_epu8_mask(_mm512_sub_epi8(c, tab), four);
        run.take(space, _mm512_cmpeq_epi8_mask(c, lf), _mm512_cmpeq_epi8_mask(c, cr), last - p);
    }
}

__attribute__((target("avx2"))) void indexBytesAvx2(const char* first, const char* last, IndexRun& run) {
    const __m256i blank = _mm256_set1_epi8(' '), tab = _mm256_set1_epi8(9), four = _mm256_set1_epi8(4);
    const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
    const auto bits = [](__m256i m) __attribute__((target("avx2"))) {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(m)));
    };
    for (const char* p = first; p < last; p += 64) {
        std::uint64_t space = 0, lineFeeds = 0, returns = 0;
        for (int k = 0; k < 2; ++k) {
            const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
            const __m256i controls = _mm256_sub_epi8(c, tab);
            const __m256i isSpace = _mm256_or_si256(_mm256_cmpeq_epi8(c, blank),
                                                    _mm256_cmpeq_epi8(_mm256_min_epu8(controls, four), controls));
            space |= bits(isSpace) << (32 * k);
            lineFeeds |= bits(_mm256_cmpeq_epi8(c, lf)) << (32 * k);
            returns |= bits(_mm256_cmpeq_epi8(c, cr)) << (32 * k);
        }
        run.take(space, lineFeeds, returns, last - p);
    }
}
#endif

void indexBytesBase(const char* first, const char* last, IndexRun& run) {
    for (const char* p = first; p < last; p += 64) {
        std::uint64_t space = 0, lineFeeds = 0, returns = 0;
#if defined(__SSE2__)
        for (int k = 0; k < 4; ++k) {
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const __m128i controls = _mm_sub_epi8(c, _mm_set1_epi8(9));  // \t..\r: 0..4
            const __m128i isSpace =
                _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(' ')),
                             _mm_cmpeq_epi8(_mm_min_epu8(controls, _mm_set1_epi8(4)), controls));
            space |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(isSpace)))
                     << (16 * k);
            lineFeeds |= static_cast<std::uint64_t>(static_cast<unsigned>(
                             _mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n')))))
                         << (16 * k);
            returns |= static_cast<std::uint64_t>(static_cast<unsigned>(
                           _mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\r')))))
                       << (16 * k);
        }
#else
        for (int k = 0; k < 64; ++k) {
            space |= static_cast<std::uint64_t>(isSpace(p[k])) << k;
            lineFeeds |= static_cast<std::uint64_t>(p[k] == '\n') << k;
            returns |= static_cast<std::uint64_t>(p[k] == '\r') << k;
        }
#endif
        run.take(space, lineFeeds, returns, last - p);
    }
}

using IndexBytes = void (*)(const char*, const char*, IndexRun&);

// Every way this processor runs, the plainest first.
std::vector<IndexBytes> indexings() {
    std::vector<IndexBytes> ways{indexBytesBase};
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) ways.push_back(indexBytesAvx2);
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) ways.push_back(indexBytesAvx512);
#endif
    return ways;
}

IndexBytes widestIndexing() { return indexings().back(); }

// Indexes the bytes [first, last), which start a multiple of 64 bytes into
// the window; afterSpace: the byte before first is white space, or there is
// none; afterCR: it is a CR.
void indexBlock(const char* window, const char* first, const char* last, bool afterSpace,
                bool afterCR, std::uint64_t* starts, WindowIndex::Block& block) {
    static const IndexBytes indexBytes = widestIndexing();
    IndexRun run{starts + (first - window) / 64, afterSpace, afterCR};
    indexBytes(first, last, run);
    block.words = run.words;
    block.newlines = run.newlines;
}

// How far a file's values went: how many were taken, and what stopped
// them short (the whole message), if anything did.
struct ReadResult {
    std::size_t taken = 0;
    std::optional<std::string> fault;
    // The values in the whole file, where the read indexed all of it.
    std::optional<std::size_t> total = {};
};

template <typename T>
std::string giantWordMessage(const std::string& name, long line) {
    return name + ":" + std::to_string(line) +
           (std::is_same_v<T, double> ? ": expected a number" : ": expected an integer") +
           ", found a word of over " + std::to_string(giantWord >> 20) + " MiB";
}

// Converts the needed words of block k, from the file's value `first` on,
// each given to sink.put(index, value) in turn; stops at the first bad one.
template <typename T, typename Sink>
void convertBlock(const char* window, const char* limit, WindowIndex& index, std::size_t k,
                  std::size_t first, std::size_t needed, Sink sink) {
    WindowIndex::Block& block = index.blocks[k];
    block.fault.reset();
    block.giant = false;
    const std::size_t last = first + std::min(block.words, needed - first);
    std::size_t i = first;
    const char* group = window + k * blockSize;
    for (const std::uint64_t* starts = index.starts.get() + k * (blockSize / 64); i < last;
         group += 64, ++starts) {
        for (std::uint64_t bits = *starts; bits != 0 && i < last; bits &= bits - 1) {
            const char* p = group + __builtin_ctzll(bits);
            T value{};
            const char* stop = fastWord(p, limit, value);
            if (!stop || (stop != limit && !isSpace(*stop)) ||
                static_cast<std::size_t>(stop - p) > giantWord) {
                stop = p;
                while (stop < limit && !isSpace(*stop) && static_cast<std::size_t>(stop - p) <= giantWord)
                    ++stop;
                block.giant = static_cast<std::size_t>(stop - p) > giantWord;
                if (!block.giant)
                    block.fault = parseWord(std::string_view(p, static_cast<std::size_t>(stop - p)), value);
                if (block.giant || block.fault) {
                    block.faultIndex = i - first;
                    block.faultWord = p;
                    return;
                }
            }
            sink.put(i++, value);
        }
    }
}

// Converts the words of text that start in [begin, end), up to the
// needed-th value of the file, into cells. Their bytes may run on to
// limit, past which padding can be read. taken and lines (values and line
// ends before the window) move past the window; on a bad word, taken stops
// there and the whole message is returned. afterCR: the byte before text
// was a CR.
template <typename T, typename Cells>
std::optional<std::string> convertWindow(const char* text, std::size_t begin, std::size_t end,
                                         const char* limit, std::size_t needed, std::size_t& taken,
                                         long& lines, WindowIndex& index, Cells& cells,
                                         const std::string& name, int threads, bool afterCR = false,
                                         std::size_t* indexed = nullptr) {
    const char* window = text + begin;
    const std::size_t blocks = (end - begin + blockSize - 1) / blockSize;
    const auto crBefore = [&](const char* b) { return b == text ? afterCR : b[-1] == '\r'; };
    parallelFor(static_cast<std::int64_t>(blocks), 1, threads, [&](std::int64_t first, std::int64_t last) {
        for (auto k = static_cast<std::size_t>(first); k < static_cast<std::size_t>(last); ++k) {
            const char* b = window + k * blockSize;
            indexBlock(window, b, std::min(b + blockSize, text + end), b == text || isSpace(b[-1]),
                       crBefore(b), index.starts.get(), index.blocks[k]);
        }
    });

    if (indexed)
        for (std::size_t k = 0; k < blocks; ++k) *indexed += index.blocks[k].words;
    // The first value of each block that holds needed ones.
    std::vector<std::size_t> firstValue;
    for (std::size_t k = 0, at = taken; k < blocks && at < needed; at += index.blocks[k++].words)
        firstValue.push_back(at);
    cells.startWindow(firstValue.size());
    parallelFor(static_cast<std::int64_t>(firstValue.size()), 1, threads,
                [&](std::int64_t first, std::int64_t last) {
        for (auto k = static_cast<std::size_t>(first); k < static_cast<std::size_t>(last); ++k)
            convertBlock<T>(window, limit, index, k, firstValue[k], needed, cells.sink(k, firstValue[k]));
    });

    for (std::size_t k = 0; k < blocks; ++k) {
        const WindowIndex::Block& block = index.blocks[k];
        if (k < firstValue.size() && (block.giant || block.fault)) {
            taken = firstValue[k] + block.faultIndex;
            const char* b = window + k * blockSize;
            const long line = lines + 1 + static_cast<long>(countLineEnds(b, block.faultWord, crBefore(b)));
            if (block.giant) return giantWordMessage<T>(name, line);
            return name + ":" + std::to_string(line) + ": " + *block.fault;
        }
        lines += static_cast<long>(block.newlines);
    }
    if (!firstValue.empty())
        taken = std::min(needed, firstValue.back() + index.blocks[firstValue.size() - 1].words);
    return std::nullopt;
}

std::string shortMessage(const std::string& name, std::size_t taken, std::size_t needed, bool empty) {
    if (empty) return name + ": empty file, expected " + std::to_string(needed) + " values";
    return name + ": ended after " + std::to_string(taken) + " of " + std::to_string(needed) + " values";
}

template <typename T, typename Cells>
ReadResult readMapped(MappedFile& file, const std::string& name, std::size_t needed, Cells& cells,
                      int threads) {
    const std::size_t size = file.size();
    WindowIndex index(std::min(size, windowSize));
    std::size_t taken = 0, indexed = 0;
    long lines = 0;
    bool whole = false;
    for (std::size_t begin = 0; begin < size && taken < needed; begin += windowSize) {
        const std::size_t end = std::min(size, begin + windowSize);
        if (auto fault = convertWindow<T>(file.data(), begin, end, file.data() + size, needed, taken,
                                          lines, index, cells, name, threads, false, &indexed))
            return {taken, fault};
        whole = end == size;
        // The last byte tells whether the next window starts inside a word.
        file.release(end - 1);
    }
    if (taken < needed) return {taken, shortMessage(name, taken, needed, false)};
    return {taken, std::nullopt, whole ? std::optional(indexed) : std::nullopt};
}

// Anything else (a pipe, a device) is read in turn into a buffer; a word
// cut off at its end moves to the front for the next read.
template <typename T, typename Cells>
ReadResult readStream(int fd, const std::string& name, std::size_t needed, Cells& cells, int threads) {
    constexpr std::size_t capacity = std::size_t{4} << 20;
    static_assert(capacity > giantWord);
    std::unique_ptr<char[]> buffer(new char[capacity + padding]);
    char* text = buffer.get();
    WindowIndex index(capacity);
    std::size_t length = 0, taken = 0, bytes = 0;
    long lines = 0;
    bool atEnd = false, afterCR = false;
    while (taken < needed && !atEnd) {
        while (length < capacity) {
            const ssize_t got = read(fd, text + length, capacity - length);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) throw InputError(name + ": cannot read: " + std::strerror(errno));
            if (got == 0) {
                atEnd = true;
                break;
            }
            length += static_cast<std::size_t>(got);
            bytes += static_cast<std::size_t>(got);
        }
        std::memset(text + length, 0, padding);
        std::size_t cut = length;
        if (!atEnd)
            while (cut > 0 && !isSpace(text[cut - 1])) --cut;
        if (cut > 0) {
            if (auto fault = convertWindow<T>(text, 0, cut, text + length, needed, taken, lines, index,
                                              cells, name, threads, afterCR))
                return {taken, fault};
            afterCR = text[cut - 1] == '\r';
        }
        length -= cut;
        std::memmove(text, text + cut, length);
        // A word cut off at the buffer's end that is already longer than
        // the longest one taken.
        if (taken < needed && length > giantWord) return {taken, giantWordMessage<T>(name, lines + 1)};
    }
    if (taken < needed) return {taken, shortMessage(name, taken, needed, bytes == 0)};
    return {taken, std::nullopt};
}

// Reads up to `needed` values of the file into cells, from several threads
// at once: before each window's blocks are converted, cells.startWindow(n)
// for the n blocks that hold values, then for each such block k,
// cells.sink(k, its first value) takes them in turn. Throws InputError only
// when the file cannot be read at all.
template <typename T, typename Cells>
ReadResult readValues(std::FILE* file, const std::string& name, std::size_t needed, Cells& cells,
                      int threads) {
    threads = threadCount(threads);
    const int fd = fileno(file);
    struct stat info {};
    // Mapped from its start, so only when it is read from there (standard
    // input may have been read part of the way by another program).
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        lseek(fd, 0, SEEK_CUR) == 0) {
        MappedFile mapped(fd, static_cast<std::size_t>(info.st_size));
        if (mapped.data()) {
            ReadResult read = readMapped<T>(mapped, name, needed, cells, threads);
            if (mapped.truncated()) throw InputError(name + ": cannot read: the file was cut short while being read");
            return read;
        }
    }
    return readStream<T>(fd, name, needed, cells, threads);
}

// The line on which value `index` of the file starts (1-based), found by
// reading the file again; 0 where it cannot be read again.
long lineOfValue(std::FILE* file, std::size_t index) {
    if (std::fseek(file, 0, SEEK_SET) != 0) return 0;
    long line = 1;
    std::size_t words = 0;
    bool inWord = false, afterCR = false;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        if (isSpace(static_cast<char>(c))) {
            inWord = false;
            line += c == '\r' || (c == '\n' && !afterCR);
            afterCR = c == '\r';
        } else if (!inWord) {
            if (words++ == index) return line;
            inWord = true;
        }
    }
    return 0;
}

// Where vectors go, cell after cell from a given one: a grid's x and y
// (doubles 0 and 1 of a three-double Vector), or a step table.
class GridCursor {
public:
    GridCursor(RegGrid& grid, std::size_t cell) : at_(&grid.vectors.data()->x + 3 * cell) {}
    void x(double v) { at_[0] = v; }
    void y(double v) { at_[1] = v; }
    void xy(double, double v) { at_[1] = v; }  // x is in place already
    void next() { at_ += 3; }

private:
    static_assert(sizeof(Vector) == 3 * sizeof(double));
    double* at_;
};

class TableCursor {
public:
    TableCursor(StepTable& table, std::size_t cell)
        : table_(table), row_(static_cast<std::int32_t>(cell / static_cast<std::size_t>(table.cols()))),
          col_(static_cast<std::int32_t>(cell % static_cast<std::size_t>(table.cols()))),
          at_(table.at(row_, col_)) {}
    // Halves arrive raw; the step is made once both are in.
    void x(double v) { at_->x = v; }
    void y(double v) { at_->y = v; }
    void xy(double x, double y) { table_.set(row_, col_, x, y); }
    void next() {
        ++at_;
        if (++col_ == table_.cols()) {
            col_ = 0;
            at_ = table_.at(++row_, 0);
        }
    }

private:
    StepTable& table_;
    std::int32_t row_, col_;
    Direction* at_;
};

// Vectors into a grid and, as steps, into a table beside it.
struct GridAndTable {
    RegGrid& grid;
    StepTable& table;
};

class BothCursor {
public:
    BothCursor(GridAndTable& both, std::size_t cell) : grid_(both.grid, cell), table_(both.table, cell) {}
    void x(double v) { grid_.x(v), table_.x(v); }
    void y(double v) { grid_.y(v), table_.y(v); }
    void xy(double x, double y) { grid_.xy(x, y), table_.xy(x, y); }
    void next() { grid_.next(), table_.next(); }

private:
    GridCursor grid_;
    TableCursor table_;
};

// Vectors into a target (Cursor above). Each block also keeps the largest
// squared length of the vectors it has whole, and its first that
// overflows; a vector split between two blocks is seen to afterwards.
template <class Target, class Cursor>
class VectorCells {
public:
    struct Block {
        std::size_t first = 0;  // its first value
        double largest = 0.0;
        std::size_t firstHuge = std::numeric_limits<std::size_t>::max();
        Vector huge;
    };

    class Sink {
    public:
        Sink(Cursor cursor, Block& block) : cursor_(cursor), block_(block) {}
        void put(std::size_t i, double v) {
            if (i % 2 == 0) {
                cursor_.x(v);
                x_ = v;
                haveX_ = true;
                return;
            }
            if (!haveX_) {  // the second half of one split off from the block before
                cursor_.y(v);
                cursor_.next();
                return;
            }
            cursor_.xy(x_, v);
            cursor_.next();
            const double squared = x_ * x_ + v * v;
            if (squared > block_.largest) {
                block_.largest = squared;
                if (std::isinf(squared) && i / 2 < block_.firstHuge) {
                    block_.firstHuge = i / 2;
                    block_.huge = Vector(x_, v, 0.0);
                }
            }
        }

    private:
        Cursor cursor_;
        Block& block_;
        double x_ = 0.0;
        bool haveX_ = false;
    };

    explicit VectorCells(Target& target) : target_(target) {}
    void startWindow(std::size_t blocks) {
        base_ = blocks_.size();
        blocks_.resize(base_ + blocks);
    }
    Sink sink(std::size_t k, std::size_t first) {
        Block& block = blocks_[base_ + k];
        block.first = first;
        return Sink(Cursor(target_, first / 2), block);
    }

    // The largest squared length of the first `complete` vectors, and the
    // first of them that overflows (none: complete) with its value; raw
    // gives a split vector's halves and then makes it whole.
    template <class Raw>
    std::tuple<double, std::size_t, Vector> summary(std::size_t complete, Raw raw) const {
        double largest = 0.0;
        std::size_t huge = complete;
        Vector hugeValue;
        for (const Block& block : blocks_) {
            if (block.firstHuge < huge) huge = block.firstHuge, hugeValue = block.huge;
            largest = std::max(largest, block.largest);
            if (block.first % 2 == 1 && block.first / 2 < complete) {
                const Vector v = raw(block.first / 2);
                const double squared = v.x * v.x + v.y * v.y;
                if (std::isinf(squared) && block.first / 2 < huge) huge = block.first / 2, hugeValue = v;
                largest = std::max(largest, squared);
            }
        }
        return {largest, huge, hugeValue};
    }

private:
    Target& target_;
    std::vector<Block> blocks_;
    std::size_t base_ = 0;
};

template <class Target, class Cursor, class Raw>
double readVectorsInto(std::FILE* file, const std::string& name, Target& target, std::size_t cells, int threads,
                       std::optional<std::size_t>* inFile, Raw raw) {
    VectorCells<Target, Cursor> sinks(target);
    const ReadResult read = readValues<double>(file, name, 2 * cells, sinks, threads);
    if (inFile) *inFile = read.total;
    // The first vector whose squared length overflows is reported before a
    // fault further on in the file. The largest length is the root of the
    // largest square, the root being monotonic.
    const std::size_t complete = read.taken / 2;
    const auto [largest, huge, value] = sinks.summary(complete, raw);
    if (huge < complete) {
        const long line = lineOfValue(file, 2 * huge + 1);
        throw InputError(name + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": vector (" +
                         options::formatReal(value.x) + ", " + options::formatReal(value.y) +
                         ") too large: its squared length overflows");
    }
    if (read.fault) throw InputError(*read.fault);
    return std::sqrt(largest);
}

double readVectors(std::FILE* file, const std::string& name, RegGrid& grid, int threads,
                   std::optional<std::size_t>* inFile) {
    const Vector* vectors = grid.vectors.data();
    return readVectorsInto<RegGrid, GridCursor>(file, name, grid, grid.cellCount(), threads, inFile,
                                                [&](std::size_t c) { return vectors[c]; });
}

double readVectors(std::FILE* file, const std::string& name, RegGrid* grid, StepTable& table, int threads,
                   std::optional<std::size_t>* inFile) {
    const auto cols = static_cast<std::size_t>(table.cols());
    const auto cells = static_cast<std::size_t>(table.rows()) * cols;
    // A vector split between two blocks: its halves are in, raw.
    const auto join = [&](std::size_t c) {
        const auto row = static_cast<std::int32_t>(c / cols), col = static_cast<std::int32_t>(c % cols);
        const Direction raw = *table.at(row, col);
        table.join(row, col);
        return Vector(raw.x, raw.y, 0.0);
    };
    double largest;
    if (grid) {
        GridAndTable both{*grid, table};
        largest = readVectorsInto<GridAndTable, BothCursor>(file, name, both, cells, threads, inFile, join);
    } else {
        largest = readVectorsInto<StepTable, TableCursor>(file, name, table, cells, threads, inFile, join);
    }
    table.finish(threadCount(threads));
    return largest;
}

struct TextureCells {
    struct Sink {
        std::int32_t* out;
        void put(std::size_t i, std::int32_t v) { out[i] = v; }
    };
    void startWindow(std::size_t) {}
    Sink sink(std::size_t, std::size_t) { return {out}; }
    std::int32_t* out;
};

void readTexture(std::FILE* file, const std::string& name, RegGrid& grid, int threads,
                 std::optional<std::size_t>* inFile) {
    TextureCells cells{grid.texture.data()};
    const ReadResult read = readValues<std::int32_t>(file, name, grid.cellCount(), cells, threads);
    if (inFile) *inFile = read.total;
    if (read.fault) throw InputError(*read.fault);
}

std::vector<TextIndex> indexEveryWay(const char* text, std::size_t size, bool afterSpace, bool afterCR) {
    std::vector<TextIndex> found;
    for (const IndexBytes indexBytes : indexings()) {
        TextIndex index;
        index.starts.resize((size + 63) / 64);
        IndexRun run{index.starts.data(), afterSpace, afterCR};
        indexBytes(text, text + size, run);
        index.words = run.words;
        index.newlines = run.newlines;
        found.push_back(std::move(index));
    }
    return found;
}

std::optional<std::size_t> countValues(std::FILE* file) {
    const int fd = fileno(file);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t count = 0;
    bool afterSpace = true;
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        for (ssize_t k = 0; k < got; ++k) {
            const bool space = isSpace(buffer[static_cast<std::size_t>(k)]);
            count += afterSpace && !space;
            afterSpace = space;
        }
    }
    return count;
}

// "-" is standard input, read through a copy of its descriptor.
std::FILE* openInput(const std::string& name) {
    if (name != "-") return std::fopen(name.c_str(), "r");
    const int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    std::FILE* file = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (!file && fd >= 0) close(fd);
    return file;
}

InputStreams openInputFiles(const std::string& vectorFile, const std::string& textureFile) {
    InputStreams in{{openInput(vectorFile), &std::fclose}, {openInput(textureFile), &std::fclose}};
    if (!in.vectors) throw BadFilename("Bad Vector Filename: " + vectorFile);
    if (!in.texture) throw BadFilename("Bad Texture Filename: " + textureFile);
    return in;
}

}  // namespace detail

double readInputFiles(const std::string& vectorFile, const std::string& textureFile,
                      RegGrid& grid, int threads) {
    const detail::InputStreams in = detail::openInputFiles(vectorFile, textureFile);
    // Each file's blocks convert on every thread; the vector file first, so
    // that its faults are the ones reported.
    const double largest = detail::readVectors(in.vectors.get(), inputName(vectorFile), grid, threads);
    detail::readTexture(in.texture.get(), inputName(textureFile), grid, threads);
    return largest;
}

}  // namespace fastlic

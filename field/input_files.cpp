#include "field/input_files.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

namespace fastlic {

double maxMagnitude = 0.0;

namespace detail {

using FilePtr = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

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

// Splits a file into white-space separated words, reading it in large
// chunks so that memory stays fixed whatever the file's size.
class WordScanner {
public:
    WordScanner(std::FILE* file, std::string name)
        : file_(file), name_(std::move(name)), buffer_(chunkSize + 1) {}

    // Skips white space up to the next word; false at the end of the file.
    // Afterwards the word starts at cursor() and, unless it is longer than
    // lookahead bytes, lies whole before limit(), which holds a NUL so that
    // a parser can run to the word's end without bounds checks.
    bool skipSpace() {
        for (;;) {
            while (pos_ < end_ && isSpace(buffer_[pos_])) {
                if (buffer_[pos_] == '\n') ++line_;
                ++pos_;
            }
            if (pos_ < end_ && (end_ - pos_ >= lookahead || atEnd_)) return true;
            if (atEnd_) return false;
            const std::size_t kept = end_ - pos_;
            std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
            pos_ = 0;
            refill(kept);
            if (end_ == 0) return false;
        }
    }
    const char* cursor() const { return buffer_.data() + pos_; }
    const char* limit() const { return buffer_.data() + end_; }
    bool atEnd() const { return atEnd_; }
    void advanceTo(const char* p) { pos_ = static_cast<std::size_t>(p - buffer_.data()); }
    long line() const { return line_; }

    // The next word and the 1-based line it starts on; false at the end.
    bool next(std::string_view& word, long& line) {
        for (;;) {
            while (pos_ < end_ && isSpace(buffer_[pos_])) {
                if (buffer_[pos_] == '\n') ++line_;
                ++pos_;
            }
            if (pos_ < end_) break;
            pos_ = 0;
            if (!refill(0)) return false;
        }
        std::size_t stop = pos_;
        for (;;) {
            while (stop < end_ && !isSpace(buffer_[stop])) ++stop;
            if (stop < end_ || atEnd_) break;
            // The word runs on into the next chunk: keep its start.
            const std::size_t kept = stop - pos_;
            if (kept == chunkSize)
                throw InputError(name_ + ":" + std::to_string(line_) +
                                 ": expected a number, found a word of over " +
                                 std::to_string(chunkSize >> 20) + " MiB");
            std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
            pos_ = 0;
            refill(kept);
            stop = kept;
        }
        word = std::string_view(buffer_.data() + pos_, stop - pos_);
        line = line_;
        pos_ = stop;
        return true;
    }

    std::size_t bytesRead() const { return bytesRead_; }
    const std::string& name() const { return name_; }

private:
    static constexpr std::size_t chunkSize = std::size_t{1} << 20;
    static constexpr std::size_t lookahead = 128;

    // Reads after the first `kept` bytes of the buffer; false when nothing came.
    bool refill(std::size_t kept) {
        end_ = kept;
        if (atEnd_) return false;
        const std::size_t got = std::fread(buffer_.data() + kept, 1, chunkSize - kept, file_);
        if (got < chunkSize - kept) {
            if (std::ferror(file_))
                throw InputError(name_ + ": cannot read: " + std::strerror(errno));
            atEnd_ = true;
        }
        end_ = kept + got;
        buffer_[end_] = '\0';
        bytesRead_ += got;
        return got > 0;
    }

    std::FILE* file_;
    std::string name_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    long line_ = 1;
    bool atEnd_ = false;
    std::size_t bytesRead_ = 0;
};

std::string shortest(double v) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, v);
    return std::string(text, result.ptr);
}

std::string where(const WordScanner& in, long line) {
    return in.name() + ":" + std::to_string(line) + ": ";
}

// The syntax "%lf" reads: optional sign, digits with an optional point, an
// optional exponent. Results are correctly rounded, as strtod's are.
double parseDouble(const WordScanner& in, std::string_view word, long line) {
    const char* first = word.data();
    const char* last = first + word.size();
    if (*first == '+' && first + 1 < last && first[1] != '-' && first[1] != '+') ++first;
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ptr != last || ec == std::errc::invalid_argument)
        throw InputError(where(in, line) + "expected a number, found " + quoted(word));
    if (ec == std::errc::result_out_of_range) {
        // Underflow keeps strtod's value (0 or a subnormal), as "%lf" does.
        value = std::strtod(std::string(word).c_str(), nullptr);
        if (std::isinf(value))
            throw InputError(where(in, line) + "number out of range: " + quoted(word));
    }
    if (!std::isfinite(value))
        throw InputError(where(in, line) + "not a finite number: " + quoted(word));
    return value;
}

std::int32_t parseInt(const WordScanner& in, std::string_view word, long line) {
    const char* first = word.data();
    const char* last = first + word.size();
    if (*first == '+' && first + 1 < last && first[1] != '-' && first[1] != '+') ++first;
    std::int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range && ptr == last)
        throw InputError(where(in, line) + "integer out of range: " + quoted(word));
    if (ptr != last || ec != std::errc())
        throw InputError(where(in, line) + "expected an integer, found " + quoted(word));
    return value;
}

// Clinger's fast path: a decimal of at most 19 significant digits whose
// integer mantissa m is at most 2^53 and whose exponent e is within 22
// needs one correctly rounded operation, m x 10^e or m / 10^-e, of two
// exactly representable numbers. Returns the end of the number, or null
// where the fast path does not apply (the caller then takes the full
// conversion, which also reports malformed words).
const char* fastDouble(const char* p, double& value) {
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    std::uint64_t m = 0;
    int significant = 0, exponent = 0;
    bool digits = false;
    for (; static_cast<unsigned>(*p - '0') < 10; ++p) {
        digits = true;
        m = m * 10 + static_cast<unsigned>(*p - '0');
        significant += m != 0;
    }
    if (*p == '.') {
        for (++p; static_cast<unsigned>(*p - '0') < 10; ++p) {
            digits = true;
            m = m * 10 + static_cast<unsigned>(*p - '0');
            significant += m != 0;
            --exponent;
        }
    }
    if (!digits || significant > 19) return nullptr;
    if (*p == 'e' || *p == 'E') {
        ++p;
        const bool negativeExponent = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        if (static_cast<unsigned>(*p - '0') >= 10) return nullptr;
        int e = 0;
        for (; static_cast<unsigned>(*p - '0') < 10; ++p) {
            if (e > 9999) return nullptr;
            e = e * 10 + (*p - '0');
        }
        exponent += negativeExponent ? -e : e;
    }
    if (m > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return nullptr;
    const double magnitude = exponent >= 0 ? static_cast<double>(m) * powers[exponent]
                                           : static_cast<double>(m) / powers[-exponent];
    value = negative ? -magnitude : magnitude;
    return p;
}

// Up to nine digits cannot leave the 32-bit range.
const char* fastInt(const char* p, std::int32_t& value) {
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    const char* first = p;
    std::int32_t v = 0;
    for (; static_cast<unsigned>(*p - '0') < 10; ++p) v = v * 10 + (*p - '0');
    if (p == first || p - first > 9) return nullptr;
    value = negative ? -v : v;
    return p;
}

// The next number of the file through the fast path where it applies and
// the word ends where the number does; through the full conversion
// otherwise. False at the end of the file.
template <typename T, typename Fast, typename Full>
bool nextValue(WordScanner& in, T& value, Fast fast, Full full) {
    if (!in.skipSpace()) return false;
    const char* end = fast(in.cursor(), value);
    if (end && ((end < in.limit() && isSpace(*end)) || (end == in.limit() && in.atEnd()))) {
        in.advanceTo(end);
        return true;
    }
    std::string_view word;
    long line = 0;
    in.next(word, line);
    value = full(in, word, line);
    return true;
}

[[noreturn]] void endedEarly(const WordScanner& in, std::size_t got, std::size_t wanted) {
    if (in.bytesRead() == 0)
        throw InputError(in.name() + ": empty file, expected " + std::to_string(wanted) +
                         " values");
    throw InputError(in.name() + ": ended after " + std::to_string(got) + " of " +
                     std::to_string(wanted) + " values");
}

void readVectors(std::FILE* file, const std::string& name, RegGrid& grid) {
    WordScanner in(file, name);
    const std::size_t cells = grid.cellCount();
    Vector* out = grid.vectors.data();
    double largest = 0.0;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        double x = 0.0, y = 0.0;
        if (!nextValue(in, x, fastDouble, parseDouble)) endedEarly(in, 2 * cell, 2 * cells);
        if (!nextValue(in, y, fastDouble, parseDouble)) endedEarly(in, 2 * cell + 1, 2 * cells);
        const double squared = x * x + y * y;
        if (std::isinf(squared))
            throw InputError(where(in, in.line()) + "vector (" + shortest(x) + ", " + shortest(y) +
                             ") too large: its squared length overflows");
        out[cell].x = x;
        out[cell].y = y;
        const double m = std::sqrt(squared);
        if (m > largest) largest = m;
    }
    maxMagnitude = largest;
}

void readTexture(std::FILE* file, const std::string& name, RegGrid& grid) {
    WordScanner in(file, name);
    const std::size_t cells = grid.cellCount();
    std::int32_t* out = grid.texture.data();
    for (std::size_t cell = 0; cell < cells; ++cell)
        if (!nextValue(in, out[cell], fastInt, parseInt)) endedEarly(in, cell, cells);
}

}  // namespace detail

void readInputFiles(const std::string& vectorFile, const std::string& textureFile,
                    RegGrid& grid) {
    using detail::FilePtr;
    maxMagnitude = 0.0;
    FilePtr vectors(std::fopen(vectorFile.c_str(), "r"), &std::fclose);
    FilePtr texture(std::fopen(textureFile.c_str(), "r"), &std::fclose);
    if (!vectors) throw BadFilename("Bad Vector Filename: " + vectorFile);
    if (!texture) throw BadFilename("Bad Texture Filename: " + textureFile);
    // The files are independent until the grid is full: read them side by
    // side. A fault in the vector file is reported before one in the texture.
    std::exception_ptr textureFault;
    std::thread textureReader([&] {
        try {
            detail::readTexture(texture.get(), textureFile, grid);
        } catch (...) {
            textureFault = std::current_exception();
        }
    });
    try {
        detail::readVectors(vectors.get(), vectorFile, grid);
    } catch (...) {
        textureReader.join();
        throw;
    }
    textureReader.join();
    if (textureFault) std::rethrow_exception(textureFault);
}

}  // namespace fastlic

#include "field/input_files.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
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
        : file_(file), name_(std::move(name)), buffer_(chunkSize) {}

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
            if (kept == buffer_.size())
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

    // Reads after the first `kept` bytes of the buffer; false when nothing came.
    bool refill(std::size_t kept) {
        end_ = kept;
        if (atEnd_) return false;
        const std::size_t got = std::fread(buffer_.data() + kept, 1, buffer_.size() - kept, file_);
        if (got < buffer_.size() - kept) {
            if (std::ferror(file_))
                throw InputError(name_ + ": cannot read: " + std::strerror(errno));
            atEnd_ = true;
        }
        end_ = kept + got;
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
    std::string_view word;
    long line = 0;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        if (!in.next(word, line)) endedEarly(in, 2 * cell, 2 * cells);
        const double x = parseDouble(in, word, line);
        if (!in.next(word, line)) endedEarly(in, 2 * cell + 1, 2 * cells);
        const double y = parseDouble(in, word, line);
        const double squared = x * x + y * y;
        if (std::isinf(squared))
            throw InputError(where(in, line) + "vector (" + shortest(x) + ", " + shortest(y) +
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
    std::string_view word;
    long line = 0;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        if (!in.next(word, line)) endedEarly(in, cell, cells);
        out[cell] = parseInt(in, word, line);
    }
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
    detail::readVectors(vectors.get(), vectorFile, grid);
    detail::readTexture(texture.get(), textureFile, grid);
}

}  // namespace fastlic

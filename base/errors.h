// The errors every layer reports to its caller. Only a program's entry
// prints them and chooses the exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace fastlic {

// An input file could not be opened. what() is the one-line message,
// "Bad Vector Filename: NAME" or "Bad Texture Filename: NAME".
class BadFilename : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Input that does not hold what it must. what() names the file, the place
// where that applies, and what is wrong.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Output that could not be written in full.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A request that cannot be carried out as made: an empty file name, two
// outputs that are one file. What a console program reports with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A message fit for one line: line ends and other control characters, as
// a file name may hold them, shown escaped (\n, \x1b).
inline std::string oneLine(const std::string& message) {
    std::string out;
    out.reserve(message.size());
    for (const char c : message) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace fastlic

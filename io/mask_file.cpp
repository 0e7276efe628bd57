#include "io/mask_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>
#include <string>

#include "base/options.h"
#include "io/input_files.h"
#include "io/npy_reader.h"
#include "base/errors.h"

namespace fastlic {

std::vector<std::uint8_t> readMaskText(const std::string& path, std::int32_t rows, std::int32_t cols) {
    const std::string name = inputName(path);
    std::ifstream in(path == "-" ? "/dev/stdin" : path, std::ios::binary);
    if (!in) throw InputError(name + ": cannot open: " + std::strerror(errno));
    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    std::vector<std::uint8_t> mask;
    mask.reserve(cells);
    // Words between white space; a line ends at LF, CR LF or a bare CR.
    long line = 1;
    bool afterCR = false, inWord = false, digits = true, nonzero = false;
    std::string shown;  // the word's start, for a message (quoted() shows 32 bytes and "...")
    const auto endWord = [&] {
        if (!inWord) return;
        if (!digits)
            throw InputError(name + ":" + std::to_string(line) +
                             ": expected a whole number (0: data, nonzero: no data), found " + detail::quoted(shown));
        if (mask.size() == cells)
            throw InputError(name + ":" + std::to_string(line) + ": more than the grid's " +
                             std::to_string(rows) + " x " + std::to_string(cols) + " values");
        mask.push_back(nonzero);
        inWord = false;
    };
    std::vector<char> buffer(std::size_t{1} << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        for (std::streamsize k = 0; k < in.gcount(); ++k) {
            const char c = buffer[static_cast<std::size_t>(k)];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') {
                endWord();
                line += c == '\r' || (c == '\n' && !afterCR);
                afterCR = c == '\r';
                continue;
            }
            if (!inWord) {
                inWord = true;
                digits = true;
                nonzero = false;
                shown.clear();
            }
            afterCR = false;
            digits = digits && c >= '0' && c <= '9';
            nonzero = nonzero || c != '0';
            if (shown.size() <= 32) shown += c;
        }
    }
    if (in.bad()) throw InputError(name + ": cannot read: " + std::strerror(errno));
    endWord();
    if (mask.size() < cells)
        throw InputError(name + ": " + std::to_string(mask.size()) + " values, the grid has " +
                         std::to_string(rows) + " x " + std::to_string(cols));
    return mask;
}

std::vector<double> readNumbersFile(const std::string& path) {
    if (isNpyPath(path)) return readNpyValues(NpyFile(path));
    const std::string name = inputName(path);
    std::ifstream in(path == "-" ? "/dev/stdin" : path, std::ios::binary);
    if (!in) throw InputError(name + ": cannot open: " + std::strerror(errno));
    std::vector<double> numbers;
    std::string text, line;
    for (long number = 1; std::getline(in, line); ++number) {
        for (char& c : line)
            if (c == ',' || c == '\t' || c == '\r' || c == '\v' || c == '\f') c = ' ';
        for (std::size_t at = 0; (at = line.find_first_not_of(' ', at)) != std::string::npos;) {
            const std::size_t end = std::min(line.find(' ', at), line.size());
            double x = 0.0;
            if (options::parseReal(std::string_view(line).substr(at, end - at), x) != options::Syntax::ok)
                throw InputError(name + ":" + std::to_string(number) + ": expected a number, found " +
                                 detail::quoted(line.substr(at, end - at)));
            numbers.push_back(x);
            at = end;
        }
    }
    if (in.bad()) throw InputError(name + ": cannot read: " + std::strerror(errno));
    if (numbers.empty()) throw InputError(name + ": no numbers");
    return numbers;
}

}  // namespace fastlic

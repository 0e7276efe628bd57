#include "field/mask_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "util/errors.h"

namespace fastlic {

std::vector<std::uint8_t> readMaskText(const std::string& path, std::int32_t rows, std::int32_t cols) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot open: " + std::strerror(errno));
    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    std::vector<std::uint8_t> mask;
    mask.reserve(cells);
    std::string line;
    long lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        std::size_t at = 0;
        for (;;) {
            at = line.find_first_not_of(" \t\r\v\f", at);
            if (at == std::string::npos) break;
            const std::size_t end = std::min(line.find_first_of(" \t\r\v\f", at), line.size());
            const std::string word = line.substr(at, end - at);
            const bool digits = word.find_first_not_of("0123456789") == std::string::npos;
            if (!digits)
                throw InputError(path + ":" + std::to_string(lineNumber) +
                                 ": expected a whole number (0: data, nonzero: no data), found \"" +
                                 word.substr(0, 32) + "\"");
            if (mask.size() == cells)
                throw InputError(path + ":" + std::to_string(lineNumber) + ": more than the grid's " +
                                 std::to_string(rows) + " x " + std::to_string(cols) + " values");
            mask.push_back(word.find_first_not_of('0') != std::string::npos);
            at = end;
        }
    }
    if (in.bad()) throw InputError(path + ": cannot read: " + std::strerror(errno));
    if (mask.size() < cells)
        throw InputError(path + ": " + std::to_string(mask.size()) + " values, the grid has " +
                         std::to_string(rows) + " x " + std::to_string(cols));
    return mask;
}

}  // namespace fastlic

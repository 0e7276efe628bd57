// Small inputs beside the field, as files: masks of cells without data (a
// NumPy .npy array of shape (rows, cols) or text of rows x cols whole
// numbers; nonzero means no data), and lists of numbers such as weights.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fastlic {

// rows x cols flags, row-major, 1 where the cell has no data. Throws
// InputError naming the file (and the line, for text) when it cannot be
// read or does not hold exactly rows x cols values.
std::vector<std::uint8_t> readMaskText(const std::string& path, std::int32_t rows, std::int32_t cols);

// The numbers of a .npy file of shape (n,) (by its suffix), or of a text
// file, separated by white space and commas, in the one syntax of numbers
// (inf and nan included, for the caller to refuse). Throws InputError
// naming the file (and the line, for text).
std::vector<double> readNumbersFile(const std::string& path);

}  // namespace fastlic

// Masks of cells without data, as files: a NumPy .npy array of shape
// (rows, cols) or text of rows x cols whole numbers; nonzero means no data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fastlic {

// rows x cols flags, row-major, 1 where the cell has no data. Throws
// InputError naming the file (and the line, for text) when it cannot be
// read or does not hold exactly rows x cols values.
std::vector<std::uint8_t> readMaskText(const std::string& path, std::int32_t rows, std::int32_t cols);

}  // namespace fastlic

// NumPy .npy arrays (format 1.0, little-endian, C order) of the per-pixel
// results, for users who carry on in Python.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine/reg_grid.h"

namespace fastlic {

// The averaged LIC values as float64, shape (rows, cols). Throws OutputError.
void writeLicNpy(const RegGrid& grid, std::FILE* out);
// The hit counts as int32, shape (rows, cols). Throws OutputError.
void writeHitsNpy(const RegGrid& grid, std::FILE* out);

}  // namespace fastlic

// NumPy .npy arrays (format 1.0, little-endian, C order) of the per-pixel
// results, for users who carry on in Python.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "engine/reg_grid.h"

namespace fastlic {

// An array of that shape and dtype (descr as numpy spells it, "<f8"), its
// bytes row-major. Throws OutputError.
void writeNpy(std::FILE* out, const char* descr, std::span<const std::int64_t> shape, const void* data,
              std::size_t bytes);
// The same in parts, for an array made a piece at a time (the frames of
// an animation): the header, the bytes in order, then finishNpy.
void writeNpyHeader(std::FILE* out, const char* descr, std::span<const std::int64_t> shape);
void writeNpyBytes(std::FILE* out, const void* data, std::size_t bytes);
void finishNpy(std::FILE* out);

// The averaged LIC values as float64, shape (rows, cols). Throws OutputError.
void writeLicNpy(const RegGrid& grid, std::FILE* out);
// The hit counts as int32, shape (rows, cols). Throws OutputError.
void writeHitsNpy(const RegGrid& grid, std::FILE* out);

}  // namespace fastlic

// The per-cell record of the whole image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#include "base/zeroed_buffer.h"
#include "base/vecmath.h"
#include "engine/lic.h"

namespace fastlic {

// One block of rows x cols values with row pointers into it. The rows are
// views of a single allocation so that the fast engine can index cells flat
// (i * cols + j) while everything else indexes row first, then column.
// The block belongs to the grid, which takes one zeroed allocation for all
// its arrays.
template <typename T>
class GridArray {
public:
    GridArray(std::int32_t rows, std::int32_t cols, std::byte* block)
        : data_(reinterpret_cast<T*>(block)), rows_(new T*[static_cast<std::size_t>(rows)]) {
        for (std::int32_t i = 0; i < rows; ++i)
            rows_[i] = data_ + static_cast<std::size_t>(i) * static_cast<std::size_t>(cols);
    }
    T* operator[](std::int32_t i) { return rows_[i]; }
    const T* operator[](std::int32_t i) const { return rows_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }

private:
    T* data_;
    std::unique_ptr<T*[]> rows_;
};

struct RegGrid {
    // Every value zero: vectors (0, 0, 0), hit counts 0, texture 0, sums 0.0.
    // Without vectors where the field is held elsewhere (a StepTable).
    // Throws std::bad_alloc when the memory cannot be had.
    RegGrid(std::int32_t rows, std::int32_t cols, bool withVectors = true);

    // Every array's cells, each array on a page of its own: one mapping
    // costs the kernel far less than four.
    ZeroedBuffer<std::byte> storage;
    std::int32_t rows;
    std::int32_t cols;
    GridArray<Vector> vectors;
    GridArray<std::int32_t> hitCounts;
    GridArray<std::int32_t> texture;
    GridArray<double> licSums;
    std::int32_t reserved = 0;

    std::size_t cellCount() const {
        return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    }
};

// The grid's vectors and texture as the engine's input.
inline FieldView viewOf(const RegGrid& grid) {
    const std::ptrdiff_t rowStride = 3 * static_cast<std::ptrdiff_t>(grid.cols);
    return {grid.rows, grid.cols, {&grid.vectors.data()->x, rowStride, 3},
            {&grid.vectors.data()->y, rowStride, 3}, contiguousPlane(grid.texture.data(), grid.cols), {}};
}

}  // namespace fastlic

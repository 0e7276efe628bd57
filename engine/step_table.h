// A field read straight into the layout the engine traces: per cell the
// step a streamline takes there, with a halo around the grid. A reader that
// fills it in place of a grid of vectors saves their memory and a pass over
// them. It serves only runs whose every seed takes the fast path, which
// read nothing else of the field: nearest sampling without orientation,
// periodic both ways, no mask, a grid at least as wide as the halo.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/vecmath.h"
#include "base/zeroed_buffer.h"
#include "engine/lic.h"

namespace fastlic {

// One cell's entry: what a trace adds per step there (nearest), or the
// unit vector (oriented, whose sign the trace chooses).
struct Direction {
    double x, y;
};

// The entry of vector (x, y): its unit vector, or itself where it is near
// zero, times the step unless oriented.
inline Direction stepOf(double x, double y, bool oriented, double step) {
    const Vector v(x, y, 0.0);
    const Vector u = isNearZero(v) ? v : normalize(v);
    if (oriented) return {u.x, u.y};
    const Vector k = u * step;
    return {k.x, k.y};
}

// A whole number of cells beyond any point's distance from its seed: each
// step moves a point by at most the step (up to rounding in the last
// places). The halo is one cell wider.
std::int32_t reachCellsOf(const LicParams& params);

class StepTable {
public:
    // Whether runs of params over a rows x cols grid can take their field
    // this way (params valid for the grid).
    static bool fits(const LicParams& params, std::int32_t rows, std::int32_t cols);

    // Every cell to be set; its pages first touched by whoever sets them.
    // params as fits takes them.
    StepTable(const LicParams& params, std::int32_t rows, std::int32_t cols);

    std::int32_t rows() const { return rows_; }
    std::int32_t cols() const { return cols_; }
    std::int32_t pad() const { return pad_; }
    std::int32_t stride() const { return stride_; }
    const LicParams& params() const { return params_; }
    const Direction* data() const { return table_.data(); }

    // Cell (row, col)'s vector: x along the rows, y along the columns.
    // Distinct cells may be set from different threads.
    Direction* at(std::int32_t row, std::int32_t col) {
        return table_.data() + static_cast<std::size_t>(row + pad_) * static_cast<std::size_t>(stride_) +
               static_cast<std::size_t>(col + pad_);
    }
    void set(std::int32_t row, std::int32_t col, double x, double y) {
        *at(row, col) = stepOf(x, y, false, step_);
    }
    // A vector whose halves come from different places: each half raw into
    // the cell, then join(row, col) once both are there.
    void join(std::int32_t row, std::int32_t col) {
        const Direction raw = *at(row, col);
        set(row, col, raw.x, raw.y);
    }

    // Copies the cells into the halo around them; once, after every cell
    // is set.
    void finish(int threads);

private:
    LicParams params_;
    std::int32_t rows_, cols_, pad_, stride_;
    double step_;
    ZeroedBuffer<Direction> table_;
};

// computeLic of the field the table holds over texture (rows x cols,
// whole numbers or any): lic and hits receive the same bits as from the
// field's vectors.
void computeLic(const StepTable& table, const decltype(FieldView::texture)& texture, double* lic,
                std::int32_t* hits, const RunOptions& options = {});

}  // namespace fastlic

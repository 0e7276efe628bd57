// The boundary rules: what lies beyond each edge of the grid, and which
// cells have no data. Everything that depends on a rule is here: the cell
// a coordinate lies in, the cell each index of a halo around the grid
// stands for, whether a window can lose samples, and which seeds may come
// near a cell the halo does not stand for. Cells beyond a closed edge and
// masked cells are alike, the exterior: lookups there find nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "base/vecmath.h"
#include "engine/lic.h"

namespace fastlic {

namespace detail {

// Truncation of a coordinate toward zero, wrapped by the remainder that
// keeps the dividend's sign. Coordinates whose truncation is not a 32-bit
// integer (NaN, infinities, huge values) or whose wrap would overflow map
// outside: the result is then -1.
inline std::int32_t wrapCoordinate(double v, std::int32_t n) {
    if (v >= 0.0 && v < static_cast<double>(n)) return static_cast<std::int32_t>(v);
    if (!(v > -2147483649.0 && v < 2147483648.0)) return -1;
    const std::int64_t shifted = static_cast<std::int64_t>(static_cast<std::int32_t>(v)) + n;
    if (shifted > INT32_MAX) return -1;
    return static_cast<std::int32_t>(shifted % n);
}

}  // namespace detail

// One axis of n cells under its rule.
struct Axis {
    Boundary rule = Boundary::periodic;
    std::int32_t n = 0;

    // The cell of coordinate v, or -1 (the exterior). Periodic: by
    // wrapCoordinate; closed: inside when 0 <= v < n.
    std::int32_t cellOf(double v) const {
        switch (rule) {
        case Boundary::periodic: return detail::wrapCoordinate(v, n);
        case Boundary::closed: return v >= 0.0 && v < static_cast<double>(n) ? static_cast<std::int32_t>(v) : -1;
        }
        return -1;
    }

    // The cell a halo index stands for, by the truncated coordinate t it
    // holds (-n <= t < 2n): the cell cellOf gives the coordinates that
    // truncate to t, or -1 (the exterior). Truncation hides one thing: on a
    // closed axis -1 < v < 0 is exterior yet truncates to 0, so seeds that
    // may come within a cell of the exterior never rely on the halo.
    std::int32_t haloCell(std::int32_t t) const {
        if (t >= 0 && t < n) return t;
        switch (rule) {
        case Boundary::periodic: return t < 0 ? t + n : t - n;
        case Boundary::closed: return -1;
        }
        return -1;
    }

    // The cell of the centre t + 0.5 (-n <= t < 2n), which linear sampling
    // blends: that of haloCell but on the periodic axis below 0, where
    // -0.5 truncates to cell 0, -1.5 to cell -1 and so on.
    std::int32_t centreCell(std::int32_t t) const {
        return t < 0 && rule == Boundary::periodic ? haloCell(t + 1) : haloCell(t);
    }

    // Whether a coordinate can lie in the exterior.
    bool hasExterior() const {
        switch (rule) {
        case Boundary::periodic: return false;
        case Boundary::closed: return true;
        }
        return true;
    }
};

// The rules of both axes and the mask.
struct Bounds {
    Bounds(const FieldView& f, const LicParams& p)
        : rows{p.rowBoundary, f.rows}, cols{p.colBoundary, f.cols}, mask(f.mask) {}
    Axis rows;  // x, axis 0
    Axis cols;  // y, axis 1
    Plane<std::uint8_t> mask;  // nonzero: exterior; none when data is null

    // The cell (row, col) of p, false in the exterior; row and col are
    // written on every call.
    bool cellOf(const Point& p, std::int32_t& row, std::int32_t& col) const {
        row = rows.cellOf(p.x);
        col = cols.cellOf(p.y);
        if (row < 0 || col < 0) return false;
        return !(mask.data && mask(row, col));
    }

    // Whether streamlines can reach the exterior, so that a window's count
    // changes on the way and its mean is then taken afresh.
    bool rescales() const { return rows.hasExterior() || cols.hasExterior() || mask.data; }

    // Per cell, row-major: 1 where some point less than d cells each way
    // from the cell's centre may lie in the exterior. Empty where no cell
    // is marked. For grids of at least d + 1 cells each way.
    std::vector<std::uint8_t> nearExterior(std::int32_t d) const;
};

namespace detail {

// Per index of a halo of pad <= n cells around the grid (the truncated
// coordinate plus pad) on each axis: the grid row or column it stands
// for, -1 in the exterior.
struct Halo {
    Halo() = default;
    Halo(const Bounds& b, std::int32_t padding);
    std::int32_t pad = 0;
    std::vector<std::int32_t> rowOf;
    std::vector<std::int32_t> colOf;
    std::vector<std::int32_t> rowStart;  // rowOf x columns: the row's first cell where it is one
};

}  // namespace detail

}  // namespace fastlic

// The position lookups on a field view, by the same wrap-around rule as the
// grid's: truncation toward zero, then the remainder that keeps the
// dividend's sign.
#pragma once

#include <cstdint>
#include <variant>

#include "field/reg_grid.h"
#include "lic/lic.h"

namespace fastlic {

inline bool pixelOf(const FieldView& f, const Point& p, std::int32_t& row, std::int32_t& col) {
    row = detail::wrapCoordinate(p.x, f.rows);
    col = detail::wrapCoordinate(p.y, f.cols);
    return row >= 0 && col >= 0;
}

inline bool isInside(const FieldView& f, const Point& p) {
    std::int32_t row, col;
    return pixelOf(f, p, row, col);
}

inline Vector vectorAt(const FieldView& f, const Point& p) {
    std::int32_t row, col;
    if (!pixelOf(f, p, row, col)) return {};
    return {f.x(row, col), f.y(row, col), 0.0};
}

inline double textureValue(const FieldView& f, std::int32_t row, std::int32_t col) {
    return std::visit([&](const auto& t) { return static_cast<double>(t(row, col)); }, f.texture);
}

inline double textureAt(const FieldView& f, const Point& p) {
    std::int32_t row, col;
    if (!pixelOf(f, p, row, col)) return 0.0;
    return textureValue(f, row, col);
}

namespace detail {
// Throws FieldError for sizes the engine cannot index or a missing array.
void checkFieldShape(const FieldView& field);
// checkFieldShape, and a vector or texture value that is not finite
// (naming the first such cell, row-major).
void checkField(const FieldView& field);
}  // namespace detail

}  // namespace fastlic

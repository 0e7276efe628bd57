// The position lookups on a field view: by the boundary rules (see
// boundary.h), the exterior finding nothing, and the field sampled at its
// cell or between centres.
#pragma once

#include <cmath>
#include <cstdint>
#include <variant>

#include "engine/boundary.h"
#include "engine/reg_grid.h"
#include "engine/lic.h"

namespace fastlic {

// A field with the rules its lookups follow.
struct Sampler {
    Sampler(const FieldView& f, const LicParams& p = {})  // NOLINT: a view alone samples classically
        : field(f), bounds(f, p), interpolation(p.interpolation) {}
    FieldView field;
    Bounds bounds;
    Interpolation interpolation;
};

inline bool pixelOf(const Sampler& s, const Point& p, std::int32_t& row, std::int32_t& col) {
    return s.bounds.cellOf(p, row, col);
}

inline bool isInside(const Sampler& s, const Point& p) {
    std::int32_t row, col;
    return pixelOf(s, p, row, col);
}

// The vector of the cell under p, or zero outside.
inline Vector cellVectorAt(const Sampler& s, const Point& p) {
    std::int32_t row, col;
    if (!pixelOf(s, p, row, col)) return {};
    return {s.field.x(row, col), s.field.y(row, col), 0.0};
}

namespace detail {
inline double lerp(double a, double b, double t) { return a + (b - a) * t; }
}  // namespace detail

// The field at p: its cell's vector, or the blend of the four nearest cell
// centres (each by the boundary rule, zero outside or masked); zero where
// p itself is outside.
inline Vector vectorAt(const Sampler& s, const Point& p) {
    if (s.interpolation == Interpolation::nearest) return cellVectorAt(s, p);
    if (!isInside(s, p)) return {};
    const double gx = p.x - 0.5, gy = p.y - 0.5;
    const double i0 = std::floor(gx), j0 = std::floor(gy);
    const double fx = gx - i0, fy = gy - j0;
    const Vector v00 = cellVectorAt(s, {i0 + 0.5, j0 + 0.5, 0.0, 1.0});
    const Vector v01 = cellVectorAt(s, {i0 + 0.5, j0 + 1.5, 0.0, 1.0});
    const Vector v10 = cellVectorAt(s, {i0 + 1.5, j0 + 0.5, 0.0, 1.0});
    const Vector v11 = cellVectorAt(s, {i0 + 1.5, j0 + 1.5, 0.0, 1.0});
    using detail::lerp;
    return {lerp(lerp(v00.x, v01.x, fy), lerp(v10.x, v11.x, fy), fx),
            lerp(lerp(v00.y, v01.y, fy), lerp(v10.y, v11.y, fy), fx), 0.0};
}

inline double textureValue(const FieldView& f, std::int32_t row, std::int32_t col) {
    return std::visit([&](const auto& t) { return static_cast<double>(t(row, col)); }, f.texture);
}

inline double textureAt(const Sampler& s, const Point& p) {
    std::int32_t row, col;
    if (!pixelOf(s, p, row, col)) return 0.0;
    return textureValue(s.field, row, col);
}

// The grid's lookups: those of its view, which wraps both axes. row and
// col are written on every call; z and w are ignored.
inline bool pixelOf(const RegGrid& grid, const Point& p, std::int32_t& row, std::int32_t& col) {
    return pixelOf(Sampler(viewOf(grid)), p, row, col);
}
inline bool isInside(const RegGrid& grid, const Point& p) { return isInside(Sampler(viewOf(grid)), p); }
inline Vector vectorAt(const RegGrid& grid, const Point& p) { return vectorAt(Sampler(viewOf(grid)), p); }
inline double textureAt(const RegGrid& grid, const Point& p) { return textureAt(Sampler(viewOf(grid)), p); }

namespace detail {
// Throws FieldError for sizes the engine cannot index or a missing array.
void checkFieldShape(const FieldView& field);
// checkFieldShape, and a vector or texture value of an unmasked cell that
// is not finite (naming the first such cell, row-major).
void checkField(const FieldView& field);
}  // namespace detail

}  // namespace fastlic

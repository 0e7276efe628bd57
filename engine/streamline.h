// Runge-Kutta streamline tracing through the cell-constant direction field.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/reg_grid.h"
#include "base/vecmath.h"
#include "engine/field_lookups.h"

namespace fastlic {

inline constexpr int streamlineReach = 19;  // steps each way of the classic shape

// 2 x reach + 1 points: positions +1..+reach in forward, -1..-reach in
// backward, 0 the seed.
struct Streamline {
    explicit Streamline(std::int32_t reach = streamlineReach)
        : forward(static_cast<std::size_t>(reach)), backward(static_cast<std::size_t>(reach)) {}
    std::vector<Point> forward;
    std::vector<Point> backward;
    Point seed;

    std::int32_t reach() const { return static_cast<std::int32_t>(forward.size()); }
};

// The centre of pixel (row, column).
constexpr Point seedPoint(std::int32_t row, std::int32_t column) {
    return {static_cast<double>(row) + 0.5, static_cast<double>(column) + 0.5, 0.0, 1.0};
}

// The unit direction of the field at p; a near-zero sample (also the zero
// vector outside the grid) is used as it is.
inline Vector directionAt(const Sampler& field, const Point& p) {
    const Vector u = vectorAt(field, p);
    return isNearZero(u) ? u : normalize(u);
}

// One classical RK4 step of size h; every stage point starts from p. With
// previous (orientation fields), each sampled direction that points
// against the one sampled before it is negated, and becomes the new
// previous.
void rk4Step(const Sampler& field, Point& p, double h, Vector* previous = nullptr);
void rk4Step(const RegGrid& grid, Point& p, double h);

// All points of s, from pixel (row, column), with steps of +step and -step;
// with orientation, each half's first sample is compared with the
// direction at the seed.
void traceStreamline(const Sampler& field, Streamline& s, std::int32_t row, std::int32_t column,
                     double step, bool orientation = false);
// The classic step of half a cell.
void traceStreamline(const RegGrid& grid, Streamline& s, std::int32_t row, std::int32_t column);

// Position k in -reach..+reach; no range check.
inline const Point& pointAt(const Streamline& s, std::int32_t k) {
    if (k == 0) return s.seed;
    return k > 0 ? s.forward[static_cast<std::size_t>(k - 1)]
                 : s.backward[static_cast<std::size_t>(-k - 1)];
}

}  // namespace fastlic

// Runge-Kutta streamline tracing through the cell-constant direction field.
#pragma once

#include <cstdint>

#include "field/reg_grid.h"
#include "geometry/vecmath.h"

namespace fastlic {

inline constexpr int streamlineReach = 19;  // steps traced in each direction

// 39 points: positions +1..+19 in forward, -1..-19 in backward, 0 the seed.
struct Streamline {
    Point forward[streamlineReach];
    Point backward[streamlineReach];
    Point seed;
};

// The centre of pixel (row, column).
constexpr Point seedPoint(std::int32_t row, std::int32_t column) {
    return {static_cast<double>(row) + 0.5, static_cast<double>(column) + 0.5, 0.0, 1.0};
}

// The unit direction of the field at p; a near-zero sample (also the zero
// vector outside the grid) is used as it is.
inline Vector directionAt(const RegGrid& grid, const Point& p) {
    const Vector u = vectorAt(grid, p);
    return isNearZero(u) ? u : normalize(u);
}

// One classical RK4 step of size h; every stage point starts from p.
void rk4Step(const RegGrid& grid, Point& p, double h);

void traceStreamline(const RegGrid& grid, Streamline& s, std::int32_t row, std::int32_t column);

// Position k in -19..+19; no range check.
inline const Point& pointAt(const Streamline& s, std::int32_t k) {
    if (k == 0) return s.seed;
    return k > 0 ? s.forward[k - 1] : s.backward[-k - 1];
}

}  // namespace fastlic

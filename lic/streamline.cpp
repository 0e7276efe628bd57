#include "lic/streamline.h"

namespace fastlic {

void rk4Step(const RegGrid& grid, Point& p, double h) {
    const Vector k1 = directionAt(grid, p) * h;
    const Point p2 = p + k1 * 0.5;
    const Vector k2 = directionAt(grid, p2) * h;
    const Point p3 = p + k2 * 0.5;
    const Vector k3 = directionAt(grid, p3) * h;
    const Point p4 = p + k3;
    const Vector k4 = directionAt(grid, p4) * h;
    const Vector d4 = k4 / 6.0;
    const Vector d3 = k3 / 3.0;
    const Vector d2 = k2 / 3.0;
    const Vector d1 = k1 / 6.0;
    p += ((d1 + d2) + d3) + d4;
}

void traceStreamline(const RegGrid& grid, Streamline& s, std::int32_t row, std::int32_t column) {
    const Point seed = seedPoint(row, column);
    Point b = seed;
    Point f = seed;
    s.seed = seed;
    for (int n = 0; n < streamlineReach; ++n) {
        rk4Step(grid, f, +0.5);
        s.forward[n] = f;
        rk4Step(grid, b, -0.5);
        s.backward[n] = b;
    }
}

}  // namespace fastlic

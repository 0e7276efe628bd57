#include "lic/streamline.h"

namespace fastlic {

void rk4Step(const FieldView& field, Point& p, double h) {
    const Vector k1 = directionAt(field, p) * h;
    const Point p2 = p + k1 * 0.5;
    const Vector k2 = directionAt(field, p2) * h;
    const Point p3 = p + k2 * 0.5;
    const Vector k3 = directionAt(field, p3) * h;
    const Point p4 = p + k3;
    const Vector k4 = directionAt(field, p4) * h;
    const Vector d4 = k4 / 6.0;
    const Vector d3 = k3 / 3.0;
    const Vector d2 = k2 / 3.0;
    const Vector d1 = k1 / 6.0;
    p += ((d1 + d2) + d3) + d4;
}

void rk4Step(const RegGrid& grid, Point& p, double h) { rk4Step(viewOf(grid), p, h); }

void traceStreamline(const FieldView& field, Streamline& s, std::int32_t row, std::int32_t column,
                     double step) {
    const Point seed = seedPoint(row, column);
    Point b = seed;
    Point f = seed;
    s.seed = seed;
    for (std::size_t n = 0; n < s.forward.size(); ++n) {
        rk4Step(field, f, +step);
        s.forward[n] = f;
        rk4Step(field, b, -step);
        s.backward[n] = b;
    }
}

void traceStreamline(const RegGrid& grid, Streamline& s, std::int32_t row, std::int32_t column) {
    traceStreamline(viewOf(grid), s, row, column, 0.5);
}

}  // namespace fastlic

#include "engine/streamline.h"

namespace fastlic {

namespace {

Vector orientedAt(const Sampler& field, const Point& p, Vector* previous) {
    Vector u = directionAt(field, p);
    if (previous) {
        if (previous->x * u.x + previous->y * u.y + previous->z * u.z < 0.0) u = u * -1.0;
        *previous = u;
    }
    return u;
}

}  // namespace

void rk4Step(const Sampler& field, Point& p, double h, Vector* previous) {
    const Vector k1 = orientedAt(field, p, previous) * h;
    const Point p2 = p + k1 * 0.5;
    const Vector k2 = orientedAt(field, p2, previous) * h;
    const Point p3 = p + k2 * 0.5;
    const Vector k3 = orientedAt(field, p3, previous) * h;
    const Point p4 = p + k3;
    const Vector k4 = orientedAt(field, p4, previous) * h;
    const Vector d4 = k4 / 6.0;
    const Vector d3 = k3 / 3.0;
    const Vector d2 = k2 / 3.0;
    const Vector d1 = k1 / 6.0;
    p += ((d1 + d2) + d3) + d4;
}

void rk4Step(const RegGrid& grid, Point& p, double h) { rk4Step(viewOf(grid), p, h); }

void traceStreamline(const Sampler& field, Streamline& s, std::int32_t row, std::int32_t column,
                     double step, bool orientation) {
    const Point seed = seedPoint(row, column);
    Point b = seed;
    Point f = seed;
    s.seed = seed;
    Vector forwardBefore, backwardBefore;
    if (orientation) forwardBefore = backwardBefore = directionAt(field, seed);
    Vector* fp = orientation ? &forwardBefore : nullptr;
    Vector* bp = orientation ? &backwardBefore : nullptr;
    for (std::size_t n = 0; n < s.forward.size(); ++n) {
        rk4Step(field, f, +step, fp);
        s.forward[n] = f;
        rk4Step(field, b, -step, bp);
        s.backward[n] = b;
    }
}

void traceStreamline(const RegGrid& grid, Streamline& s, std::int32_t row, std::int32_t column) {
    traceStreamline(viewOf(grid), s, row, column, 0.5);
}

}  // namespace fastlic

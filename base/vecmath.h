// Point and Vector: the value types behind every position, direction and
// colour. Each operation rounds each component once; division is always a
// multiplication by a reciprocal rounded first, and streamline positions
// depend on that bit for bit.
#pragma once

#include <cmath>

namespace fastlic {

struct Vector {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    constexpr Vector() = default;
    constexpr Vector(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
    friend constexpr bool operator==(const Vector&, const Vector&) = default;
};

// A position (x = row coordinate, y = column coordinate) or an RGB colour.
// w is a homogeneous weight that only Point * s carries through.
struct Point {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;

    constexpr Point() = default;
    constexpr Point(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}
    friend constexpr bool operator==(const Point&, const Point&) = default;
};

constexpr Vector operator*(const Vector& v, double s) { return {v.x * s, v.y * s, v.z * s}; }

// Reciprocal first, then three products: not the same bits as v.x / s.
constexpr Vector operator/(const Vector& v, double s) {
    const double r = 1.0 / s;
    return {r * v.x, r * v.y, r * v.z};
}

constexpr Vector operator+(const Vector& a, const Vector& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

constexpr Point operator+(const Point& p, const Vector& v) {
    return {p.x + v.x, p.y + v.y, p.z + v.z, 1.0};
}

constexpr Point& operator+=(Point& p, const Vector& v) {
    p.x = v.x + p.x;
    p.y = v.y + p.y;
    p.z = v.z + p.z;
    p.w = 1.0;
    return p;
}

constexpr Point operator*(const Point& p, double s) { return {p.x * s, p.y * s, p.z * s, p.w}; }

constexpr Point operator+(const Point& a, const Point& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z, 1.0};
}

constexpr double lengthSquared(const Vector& v) { return v.x * v.x + v.y * v.y + v.z * v.z; }

inline double length(const Vector& v) { return std::sqrt(lengthSquared(v)); }

// The test is on the squared length; exactly 1e-12 is not near zero.
constexpr bool isNearZero(const Vector& v) { return !(lengthSquared(v) >= 1e-12); }

// No guard: callers normalise only vectors that are not near zero.
inline Vector normalize(const Vector& v) { return v / length(v); }

}  // namespace fastlic

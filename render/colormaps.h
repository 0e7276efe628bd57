// Colour maps: the classic four colours, with their own rule, and
// published perceptual tables, by name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/vecmath.h"

namespace fastlic {

struct Colormap {
    // Colours on the scale 0..255 in x, y, z.
    std::vector<Point> entries;
    // The classic rule: position count x t, so that the last entry is
    // reached at t = (count - 1) / count and kept above it; a t that is not
    // a number (0 / 0 when every vector is zero) gives the first entry.
    // Otherwise the entries lie evenly from t = 0 to t = 1, t is limited to
    // 0..1, and not a number gives the first.
    bool classicSpread = false;

    Point at(double t) const;
};

// The classic image's map: grey, dark red, red, blue, by the classic rule.
Colormap classicColormap();

namespace detail {
// Colormap::at by the classic rule; the result's weight is 1.
inline Point classicLookup(const Point* entries, std::int32_t count, double t) {
    const double p = static_cast<double>(count) * t;
    if (!(p >= 0.0)) {
        const Point& first = entries[0];
        return {first.x, first.y, first.z, 1.0};
    }
    if (p >= static_cast<double>(count - 1)) {
        const Point& last = entries[count - 1];
        return {last.x, last.y, last.z, 1.0};
    }
    const auto k = static_cast<std::int32_t>(p);
    const double upper = p - k;
    const double lower = (1 - p) + k;
    const Point a = entries[k + 1] * upper;
    const Point b = entries[k] * lower;
    return b + a;
}

// Colormap::at for entries spread evenly over 0..1.
inline Point evenLookup(const Point* entries, std::int32_t count, double t) {
    if (!(t > 0.0) || count == 1) return entries[0];
    if (t >= 1.0) return entries[count - 1];
    const double p = t * (count - 1);
    const auto k = static_cast<std::int32_t>(p);
    const double f = p - k;
    return entries[k] * (1.0 - f) + entries[k + 1] * f;
}
}  // namespace detail

inline Point Colormap::at(double t) const {
    const auto n = static_cast<std::int32_t>(entries.size());
    return classicSpread ? detail::classicLookup(entries.data(), n, t)
                         : detail::evenLookup(entries.data(), n, t);
}

// "classic", "viridis", "magma", "inferno", "plasma", "cividis", "grey"
// (or "gray"), "coolwarm"; NAME_r is NAME reversed. Throws
// std::invalid_argument: unknown colour map "NAME" (choose from ...).
Colormap colormapNamed(const std::string& name);

// The names colormapNamed takes, without the reversed ones.
const std::vector<std::string>& colormapNames();

namespace detail {
extern const double viridisTable[256][3];
extern const double magmaTable[256][3];
extern const double infernoTable[256][3];
extern const double plasmaTable[256][3];
extern const double cividisTable[256][3];
extern const double coolwarmTable[33][3];
}  // namespace detail

}  // namespace fastlic

// The colour map: linear interpolation through a small table of colours,
// indexed by a vector magnitude relative to the largest one.
#pragma once

#include <cstdint>
#include <memory>

#include "base/vecmath.h"

namespace fastlic {

class ColorMap {
public:
    explicit ColorMap(std::int32_t count);  // count default Points (0, 0, 0, 1)

    Point* entry(std::int32_t i) { return entries_.get() + i; }
    const Point* entry(std::int32_t i) const { return entries_.get() + i; }
    std::int32_t count() const { return count_; }

    // The colour at t in [0, 1), w = 1. Past the table's last interval
    // (t >= (count - 1) / count) the last entry; for a t that is not a
    // number (0 / 0 when every vector is zero) the first.
    Point lookup(double t) const;

private:
    std::unique_ptr<Point[]> entries_;
    std::int32_t count_;
};

// The four colours of the classic image: grey, dark red, red, blue, into
// entries 0..3 of map.
void setClassicColors(ColorMap& map);
ColorMap classicColorMap();

namespace detail {
// ColorMap::lookup over count entries.
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
}  // namespace detail

}  // namespace fastlic

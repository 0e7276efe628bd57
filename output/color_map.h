// The colour map: linear interpolation through a small table of colours,
// indexed by a vector magnitude relative to the largest one.
#pragma once

#include <cstdint>
#include <memory>

#include "geometry/vecmath.h"

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
Point classicLookup(const Point* entries, std::int32_t count, double t);
}  // namespace detail

}  // namespace fastlic

#include "output/color_map.h"

namespace fastlic {

ColorMap::ColorMap(std::int32_t count) : entries_(new Point[count]), count_(count) {}

Point ColorMap::lookup(double t) const { return detail::classicLookup(entries_.get(), count_, t); }

Point detail::classicLookup(const Point* entries, std::int32_t count, double t) {
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

void setClassicColors(ColorMap& map) {
    *map.entry(0) = Point(100.0, 100.0, 100.0, 1.0);
    *map.entry(1) = Point(150.0, 0.0, 0.0, 1.0);
    *map.entry(2) = Point(255.0, 0.0, 0.0, 1.0);
    *map.entry(3) = Point(0.0, 0.0, 255.0, 1.0);
}

ColorMap classicColorMap() {
    ColorMap map(4);
    setClassicColors(map);
    return map;
}

}  // namespace fastlic

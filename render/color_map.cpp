#include "render/color_map.h"

namespace fastlic {

ColorMap::ColorMap(std::int32_t count) : entries_(new Point[count]), count_(count) {}

Point ColorMap::lookup(double t) const { return detail::classicLookup(entries_.get(), count_, t); }

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

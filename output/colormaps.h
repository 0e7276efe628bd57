// Colour maps by name: the classic four colours and published perceptual
// tables.
#pragma once

#include <string>
#include <vector>

#include "geometry/vecmath.h"
#include "output/color_map.h"

namespace fastlic {

struct Colormap {
    // Colours on the scale 0..255 in x, y, z.
    std::vector<Point> entries;
    // The classic rule: position count x t, so that the last entry is
    // reached at t = (count - 1) / count and kept above it; a t that is not
    // a number gives the first entry. Otherwise the entries lie evenly from
    // t = 0 to t = 1, t is limited to 0..1, and not a number gives the first.
    bool classicSpread = false;

    Point at(double t) const;
};

// "classic", "viridis", "magma", "inferno", "plasma", "cividis", "grey"
// (or "gray"), "coolwarm"; NAME_r is NAME reversed. Throws
// std::invalid_argument: unknown colour map "NAME" (choose from ...).
Colormap colormapNamed(const std::string& name);

// The names colormapNamed takes, without the reversed ones.
const std::vector<std::string>& colormapNames();

// The colours of a ColorMap with its rule, as the window's and the fixed
// run's map is passed.
Colormap classicColormap(const ColorMap& map);

namespace detail {
extern const double viridisTable[256][3];
extern const double magmaTable[256][3];
extern const double infernoTable[256][3];
extern const double plasmaTable[256][3];
extern const double cividisTable[256][3];
extern const double coolwarmTable[33][3];
}  // namespace detail

}  // namespace fastlic

#include "render/colormaps.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace fastlic {

namespace {

template <std::size_t N>
Colormap table(const double (&data)[N][3]) {
    Colormap map;
    for (const auto& c : data) map.entries.emplace_back(255.0 * c[0], 255.0 * c[1], 255.0 * c[2], 1.0);
    return map;
}

}  // namespace

const std::vector<std::string>& colormapNames() {
    static const std::vector<std::string> names = {"classic", "viridis", "magma", "inferno", "plasma",
                                                   "cividis", "grey",    "gray",  "coolwarm"};
    return names;
}

Colormap colormapNamed(const std::string& name) {
    const bool reversed = name.size() > 2 && name.compare(name.size() - 2, 2, "_r") == 0;
    const std::string base = reversed ? name.substr(0, name.size() - 2) : name;
    Colormap map;
    if (base == "classic") {
        map = classicColormap();
    } else if (base == "viridis") {
        map = table(detail::viridisTable);
    } else if (base == "magma") {
        map = table(detail::magmaTable);
    } else if (base == "inferno") {
        map = table(detail::infernoTable);
    } else if (base == "plasma") {
        map = table(detail::plasmaTable);
    } else if (base == "cividis") {
        map = table(detail::cividisTable);
    } else if (base == "coolwarm") {
        map = table(detail::coolwarmTable);
    } else if (base == "grey" || base == "gray") {
        map.entries = {Point(0, 0, 0, 1), Point(255, 255, 255, 1)};
    } else {
        std::string list;
        for (const std::string& known : colormapNames()) list += (list.empty() ? "" : ", ") + known;
        throw std::invalid_argument("unknown colour map \"" + name + "\" (choose from " + list +
                                    "; NAME_r reverses)");
    }
    if (reversed) std::reverse(map.entries.begin(), map.entries.end());
    return map;
}

Colormap classicColormap() {
    return {{Point(100.0, 100.0, 100.0, 1.0), Point(150.0, 0.0, 0.0, 1.0), Point(255.0, 0.0, 0.0, 1.0),
             Point(0.0, 0.0, 255.0, 1.0)},
            true};
}

}  // namespace fastlic

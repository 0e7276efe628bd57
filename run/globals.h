// The state the fixed run and the window share: the latest run's grid, the
// largest magnitude read and the one colour map. Library code never reads
// these; it is handed values.
#pragma once

#include <cstdint>

#include "engine/reg_grid.h"
#include "engine/streamline.h"
#include "render/colormaps.h"
#include "render/render.h"

namespace fastlic {

// The grid the fixed run's engine works on; null until the first run.
extern RegGrid* currentField;
// The largest vector magnitude read by the latest run.
extern double maxMagnitude;
// The one colour map, four default entries until setColors.
extern Colormap colorMap;

// The classic four colours into colorMap.
void setColors();

// The engine's steps on currentField.
void rk4Step(Point& p, double h);
void traceStreamline(Streamline& s, std::int32_t row, std::int32_t column);
void computeFastLic();

// The image of grid through maxMagnitude and colorMap.
Image imageOf(const RegGrid& grid);
// imageOf(grid) as plain PPM on standard output. Throws OutputError naming
// standard output.
void writeImage(const RegGrid& grid);

}  // namespace fastlic

// The fixed run and the state it shares with the window: the latest run's
// grid, the largest magnitude read and the one colour map. Nothing else
// reads these; the console's option runs and the Python module are handed
// values (run/run_pipeline.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The fixed run: "ps.vec.256.256.3" and "noise.256.256" from the working
// directory, 256 x 256, plain PPM on standard output. The previous run's
// grid is released first; the new one becomes currentField. Ends the
// process with status -1 when an input file cannot be opened (its message
// on standard output) or is malformed (one line on standard error), and
// with status 1 when the image cannot be written.
void runPipeline();
// The latest fixed run's warnings (a text file larger than the grid), as
// runPipeline printed them on standard error.
const std::vector<std::string>& runWarnings();

}  // namespace fastlic

// One whole computation: grid, input files, colours, convolution, image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "field/reg_grid.h"
#include "lic/lic.h"

namespace fastlic {

inline constexpr std::int32_t gridRows = 256;
inline constexpr std::int32_t gridCols = 256;
inline constexpr const char* vectorFileName = "ps.vec.256.256.3";
inline constexpr const char* textureFileName = "noise.256.256";

struct RunSettings {
    std::string vectorFile = vectorFileName;
    std::string textureFile = textureFileName;
    std::int32_t rows = gridRows;
    std::int32_t cols = gridCols;
    LicParams params;
    std::string maskFile;  // empty: none
    int threads = 0;  // 0: every core
    // Told the fraction of the convolution done, from time to time.
    std::function<void(double)> progress;
};

// Everything up to the image: a new zeroed grid (the previous run's is
// released first), the input files read into it, the colours set, the grid
// made the currentField and convolved. Returns that grid. Throws
// BadFilename and InputError for the input files, std::bad_alloc when the
// grid does not fit in memory.
RegGrid& computeRun(const RunSettings& settings);

// The fixed run: "ps.vec.256.256.3" and "noise.256.256" from the working
// directory, 256 x 256, plain PPM on standard output. Ends the process with
// status -1 when an input file cannot be opened (its message on standard
// output) or is malformed (one line on standard error), and with status 1
// when the image cannot be written.
void runPipeline();

}  // namespace fastlic

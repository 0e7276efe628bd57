// One whole computation: grid, input files, colours, convolution, image.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "io/input_files.h"
#include "io/npy_reader.h"
#include "engine/reg_grid.h"
#include "engine/lic.h"

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
    bool maskNan = false;  // .npy vectors: a NaN component marks a cell without data
    int threads = 0;  // for reading, convolving and writing; 0: every core
    // Told the fraction of the convolution done, from time to time.
    std::function<void(double)> progress;
};

// The input files of a run, opened: both before either is tested, the
// vector file first, as the text reader does. Each whose name ends in .npy
// is a NumPy array, its header read and checked here: vectors of shape
// (rows, cols, 2), float32 or float64; a texture of shape (rows, cols) whose
// values are whole numbers in the int32 range. Text and .npy may be mixed.
class RunInputs {
public:
    // Throws BadFilename, and InputError for a .npy file that is not such an
    // array or two that give different grid sizes (naming both shapes).
    explicit RunInputs(const RunSettings& settings);
    bool maskNan = false;
    int threads = 0;  // reading; 0: every core

    // The grid size the .npy inputs give; none when both are text.
    std::optional<GridShape> arrayShape() const;
    // Throws InputError naming the first .npy input whose grid is not
    // rows x cols, and `size` (what asked for it, e.g. "--size 10x10").
    void requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const;

    // Reads both into grid, vectors first, and returns the largest
    // magnitude; the files are let go. Once only.
    double readInto(RegGrid& grid);
    // A texture of fractions read by readInto, which the grid cannot hold;
    // empty when the texture was whole numbers.
    std::vector<double>& fractionalTexture() { return fractional_; }

private:
    std::string vectorFile_, textureFile_;
    detail::InputStreams streams_;
    std::optional<NpyFile> vectors_, texture_;
    std::vector<double> fractional_;
};

// Everything up to the image: a new zeroed grid (the previous run's is
// released first), the input files read into it, the colours set, the grid
// made the currentField and convolved. Returns that grid. Throws
// BadFilename and InputError for the input files, std::bad_alloc when the
// grid does not fit in memory. A .npy input must have the settings' size.
RegGrid& computeRun(const RunSettings& settings);
// The same with inputs opened beforehand; they are used up.
RegGrid& computeRun(const RunSettings& settings, RunInputs& inputs);

// The fixed run: "ps.vec.256.256.3" and "noise.256.256" from the working
// directory, 256 x 256, plain PPM on standard output. Ends the process with
// status -1 when an input file cannot be opened (its message on standard
// output) or is malformed (one line on standard error), and with status 1
// when the image cannot be written.
void runPipeline();

}  // namespace fastlic

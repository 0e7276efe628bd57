// The console options of the method: its shape and the options for real
// data (walls, masks, orientation fields, sampling, passes).
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "drivers/console/option_table.h"
#include "run/run_pipeline.h"

namespace fastlic::cli {

// The texts given for the engine's tables (engine/options.h).
struct MethodOptions {
    TableOptions<LicParams> method, boundary, sampling;
    // The cells' physical size: "A,B", or a .npz file of x and y.
    std::string cellSize, coordinatesFile;
    bool geographic = false;
};

void addMethodOptions(CLI::App& app, RunSettings& settings, MethodOptions& options);

// Checks the values once the grid's size is known and sets them in
// settings. Returns "" or the one-line message for a bad value; a
// coordinates file that cannot be read or does not fit the grid throws
// InputError.
std::string applyMethodOptions(const MethodOptions& options, RunSettings& settings);

}  // namespace fastlic::cli

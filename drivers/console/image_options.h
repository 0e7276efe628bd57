// The console's options for the look of the image: contrast, colour map,
// what the colour shows, blending, background and colour bar.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "drivers/console/option_table.h"
#include "engine/reg_grid.h"
#include "engine/lic.h"
#include "render/render.h"
#include "run/run_pipeline.h"

namespace fastlic {

struct ImageOptions {
    // As given on the command line (render/options.h).
    cli::TableOptions<RenderOptions> given;

    // What they ask for, once parsed.
    RenderOptions render;
    std::string scalarFile;      // --color-by FILE.npy
    std::vector<double> scalar;  // its values, once loaded
};

void addImageOptions(CLI::App& app, ImageOptions& options);

// Parses the texts into options.render. Returns "" or the one-line message
// for the first bad value ("--alpha: expected ..."). png: the image is a
// PNG file.
std::string parseImageOptions(ImageOptions& options, bool png);

// Reads what the options name (the scalar of --color-by FILE.npy) for a
// rows x cols grid, on `threads`. Throws InputError naming the file.
void loadImageInputs(ImageOptions& options, std::int32_t rows, std::int32_t cols, int threads);

// The image of a run; its largest magnitude tops the magnitude's scale.
// Enhanced contrast convolves the run's field once more with its
// parameters. Default options give the classic image.
Image renderRunImage(const RunResult& run, const ImageOptions& options, int threads);

}  // namespace fastlic

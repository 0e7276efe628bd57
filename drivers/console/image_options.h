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

namespace fastlic {

struct ImageOptions {
    // As given on the command line (render/options.h).
    cli::TableOptions<RenderOptions> given;

    // What they ask for, once parsed.
    RenderOptions render;
    std::string scalarFile;      // --color-by FILE.npy
    std::vector<double> scalar;  // its values, once loaded
    // Nothing asked for: the classic image, by its own writer.
    bool classic = true;
};

void addImageOptions(CLI::App& app, ImageOptions& options);

// Parses the texts into options.render. Returns "" or the one-line message
// for the first bad value ("--alpha: expected ..."). png: the image is a
// PNG file.
std::string parseImageOptions(ImageOptions& options, bool png);

// Reads what the options name (the scalar of --color-by FILE.npy) for a
// rows x cols grid. Throws InputError naming the file.
void loadImageInputs(ImageOptions& options, std::int32_t rows, std::int32_t cols);

// The image of the convolved grid; largestMagnitude tops the magnitude's
// scale as in the classic image. Enhanced contrast convolves the grid's
// field once more with params.
Image renderGridImage(const RegGrid& grid, double largestMagnitude, const ImageOptions& options,
                      const LicParams& params, int threads);

// renderGridImage as PNG or plain PPM into out. Throws OutputError.
void writeGridImage(const RegGrid& grid, double largestMagnitude, const ImageOptions& options,
                    const LicParams& params, int threads, bool png, std::FILE* out);

}  // namespace fastlic

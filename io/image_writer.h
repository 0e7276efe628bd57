// The coloured, shaded LIC image of a grid: plain PPM text, PNG, or raw RGB
// bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/reg_grid.h"
#include "render/colormaps.h"
#include "render/pixels.h"
#include "base/errors.h"

namespace fastlic {

// Pixel (i, j) of the convolved grid: colorMap's colour for the cell's
// magnitude / largestMagnitude, shaded by LIC value x (1/255).
Point shadedColor(const RegGrid& grid, std::int32_t i, std::int32_t j, double largestMagnitude,
                  const Colormap& map);

// rows x cols x 3 bytes, row-major, red first: shadedColor of every pixel
// through toByte, computed by shade() (render/render.h). `threads`: 0 for
// every core.
std::vector<std::uint8_t> renderRgb(const RegGrid& grid, double largestMagnitude,
                                    const Colormap& map, int threads = 0);

// Plain PPM: "P3\t<cols>\t<rows>\t255\n", then one "r g b" line per pixel,
// rows outer. Throws OutputError when a write fails; std::invalid_argument
// for pixels with an alpha channel.
void writePpm(const PixelView& pixels, std::FILE* out, int threads = 0);
void writeImage(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                const Colormap& map, int threads = 0);

// The same bytes through printf, one value at a time: the reference.
void writeImageReference(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                         const Colormap& map);

// 8-bit RGB PNG of the same pixels.
void writePng(const RegGrid& grid, std::FILE* out, double largestMagnitude, const Colormap& map,
              int threads = 0);

}  // namespace fastlic

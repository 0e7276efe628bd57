// Image files: plain PPM text, the one table of image formats by
// extension, and the classic image written one value at a time as the
// reference.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <span>
#include <string>

#include "engine/reg_grid.h"
#include "render/colormaps.h"
#include "render/pixels.h"
#include "base/errors.h"

namespace fastlic {

// Plain PPM: "P3\t<cols>\t<rows>\t255\n", then one "r g b" line per pixel,
// rows outer; formatted on `threads` (0: every core). Throws OutputError
// when a write fails; std::invalid_argument for pixels with an alpha
// channel.
void writePpm(const PixelView& pixels, std::FILE* out, int threads = 0);

// An image file format. A new one is a row of imageFormats().
struct ImageFormat {
    const char* extension;  // ".png"
    // Throws OutputError when a write fails.
    void (*write)(const PixelView& pixels, std::FILE* out, int threads);
    std::uint64_t leastBytesPerPixel;  // what the file takes at least
    bool alpha;                        // holds RGBA pixels
};

// Plain PPM first: what a device, a pipe or standard output gets.
std::span<const ImageFormat> imageFormats();
// The format whose extension name ends in, or null.
const ImageFormat* imageFormatOf(const std::string& name);
// The extensions for messages: ".ppm or .png".
std::string imageExtensions();

// Pixel (i, j) of the convolved grid: map's colour for the cell's
// magnitude / largestMagnitude, shaded by LIC value x (1/255).
Point shadedColor(const RegGrid& grid, std::int32_t i, std::int32_t j, double largestMagnitude,
                  const Colormap& map);

// The classic image of grid as plain PPM through printf, one value at a
// time: the reference for render() and writePpm.
void writeImageReference(const RegGrid& grid, std::FILE* out, double largestMagnitude,
                         const Colormap& map);

}  // namespace fastlic

// PNG files of 8-bit RGB or RGBA pixels, compressed on every core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "render/pixels.h"

namespace fastlic {

struct PngOptions {
    // libdeflate's level, 1..12: 1 is many times as fast as libpng's
    // default (zlib's level 6) on LIC images, for files about 4% larger.
    int level = 1;
    int threads = 0;  // 0: every core
    // About this much filtered data per independently compressed chunk
    // (whole rows, at least one).
    std::size_t chunkBytes = 256 * 1024;
};

// The PNG file of pixels, handed to sink in pieces in order. The rows are
// compressed in independent chunks side by side and joined into the one
// zlib stream PNG allows; the chunks do not depend on the thread count, so
// neither do the bytes. Exceptions from
// sink pass through; std::invalid_argument for a shape PNG cannot hold.
void encodePng(const PixelView& pixels, const std::function<void(const void*, std::size_t)>& sink,
               const PngOptions& options = {});

std::vector<std::uint8_t> encodePng(const PixelView& pixels, const PngOptions& options = {});

// encodePng into out. Throws OutputError when a write fails.
void writePng(const PixelView& pixels, std::FILE* out, const PngOptions& options = {});

}  // namespace fastlic

// PNG images read back by an independent decoder, for comparing pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fastlic::testing {

struct DecodedImage {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 0;
    std::vector<std::uint8_t> pixels;  // row-major, channels bytes per pixel
};

// A PNG file's pixels as libpng reads them, in the file's own channels (3
// or 4). Fails the current test and returns an empty image when libpng
// rejects the file.
DecodedImage decodePng(const std::string& file);

}  // namespace fastlic::testing

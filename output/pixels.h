// Image bytes as the writers take them.
#pragma once

#include <cstdint>

namespace fastlic {

// rows x cols pixels of `channels` bytes each (3: RGB, 4: RGBA), row-major.
struct PixelView {
    const std::uint8_t* data = nullptr;
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 3;
};

// A colour component as a byte: limited to 0..255, then rounded to the
// nearest integer (halves up).
std::uint8_t toByte(double component);

}  // namespace fastlic

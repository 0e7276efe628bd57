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
inline std::uint8_t toByte(double component) {
    if (!(component > 0.0)) return 0;
    if (component >= 255.0) return 255;
    // Halves up, as lround does for positive numbers; the fraction of a
    // number below 256 is exact.
    const int whole = static_cast<int>(component);
    return static_cast<std::uint8_t>(whole + (component - whole >= 0.5));
}

}  // namespace fastlic

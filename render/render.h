// The image of a convolution as small functions over arrays: contrast (LIC
// values to brightness), a colour scale (values to a position on a colour
// map), shading (both to RGB or RGBA bytes) and a colour bar. The console,
// the window and Python all call these. Arrays are row-major, rows x cols.
//
// A mask, where given, marks the pixels not to be shown (mask[k] != 0):
// they are left out of every statistic and drawn in the mask colour or
// transparent. `threads`: how many the parallel loops use, 0 for every
// core; the results are the same bits for every count.
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/lic.h"
#include "engine/reg_grid.h"
#include "render/colormaps.h"
#include "render/pixels.h"
#include "base/options.h"
#include "base/zeroed_buffer.h"

namespace fastlic {

using Mask = const std::uint8_t*;

struct Image {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 3;  // 3: RGB, 4: RGBA
    // Large images straight from the kernel: on this kind of machine a page
    // fault on first touch costs more than the shading of the page.
    ZeroedBuffer<std::uint8_t> pixels;

    PixelView view() const { return {pixels.data(), rows, cols, channels}; }
    std::vector<std::uint8_t> bytes() const {
        return {pixels.data(), pixels.data() + pixels.size()};
    }
};

// ---- Contrast: LIC values to brightness on the scale 0..255

enum class Contrast { none, stretch, equalize, adaptive, enhanced };

inline std::span<const options::Choice<Contrast>> choicesOf(Contrast) {
    static const options::Choice<Contrast> choices[] = {
        {Contrast::none, "none", "the LIC values as they are"},
        {Contrast::stretch, "stretch", "the clip percentiles to black and white"},
        {Contrast::equalize, "equalize", "histogram equalisation"},
        {Contrast::adaptive, "adaptive", "contrast-limited adaptive histogram equalisation in tiles"},
        {Contrast::enhanced, "enhanced", "two LIC passes, the second over the first's detail"},
    };
    return choices;
}

struct ContrastOptions {
    Contrast mode = Contrast::none;
    // stretch, enhanced: the percentage of pixels that saturate at each end.
    double clip = 0.5;
    // adaptive: tiles down and across, and the largest slope of a tile's
    // mapping as a multiple of the slope of a flat histogram.
    std::int32_t tileRows = 8;
    std::int32_t tileCols = 8;
    double clipLimit = 3.0;
    // enhanced: the standard deviation, in pixels, of the blur whose
    // difference from the first pass is the second pass's texture.
    double sigma = 2.0;
};

// The narrowest blur whose difference from the values survives rounding:
// below it a neighbour's weight, exp(-1 / (2 sigma^2)), drowns in the
// rounding of the pixel's own value and the difference comes out flat.
inline constexpr double minimumSigma = 0.2;

// A convolution of the caller's field over the given texture (rows x cols,
// 0..255): the second pass of Contrast::enhanced.
using LicPass = std::function<std::vector<double>(const std::vector<double>& texture)>;

// The second pass over field (its texture replaced) with params; it throws
// Cancelled once *cancel is true.
LicPass licPassOver(const FieldView& field, const LicParams& params, int threads = 0,
                    const std::atomic<bool>* cancel = nullptr);

struct Range {
    double lo = 0.0;
    double hi = 0.0;
};

// The values of rank round(q/100 x (n - 1)) for q = clip and 100 - clip
// among the n shown values that are numbers. {0, 0} when there are none.
Range percentileRange(const double* values, std::size_t n, double clip, Mask mask = nullptr);

// Linear: the clip percentile to 0, the 100 - clip percentile to 255,
// limited to 0..255. All 127.5 when the two coincide.
std::vector<double> stretch(const double* values, std::size_t n, double clip, Mask mask = nullptr,
                            int threads = 0);

// Global histogram equalisation to 0..255: each value goes to 255 x the
// fraction of shown values below it (interpolated within fine bins).
std::vector<double> equalize(const double* values, std::size_t n, Mask mask = nullptr, int threads = 0);

// Contrast-limited adaptive histogram equalisation: equalize within each
// tile with the histogram clipped at clipLimit x its mean and the excess
// spread evenly, blended bilinearly between neighbouring tiles' centres.
std::vector<double> adaptiveEqualize(const double* values, std::int32_t rows, std::int32_t cols,
                                     std::int32_t tileRows, std::int32_t tileCols,
                                     double clipLimit, Mask mask = nullptr, int threads = 0);

// values minus their Gaussian blur (standard deviation sigma pixels; the
// blur averages only shown pixels inside the image). Masked pixels give 0.
std::vector<double> highPass(const double* values, std::int32_t rows, std::int32_t cols,
                             double sigma, Mask mask = nullptr, int threads = 0);

// The two-pass method: the first pass's high-pass, stretched, is the
// texture of a second pass, which is stretched again.
std::vector<double> enhance(const double* lic, std::int32_t rows, std::int32_t cols,
                            const ContrastOptions& options, const LicPass& secondPass,
                            Mask mask = nullptr, int threads = 0);

// The brightness of options.mode; none gives the LIC values themselves.
// secondPass is needed only for enhanced. Throws std::invalid_argument for
// an option out of range (names it as the console does).
std::vector<double> applyContrast(const double* lic, std::int32_t rows, std::int32_t cols,
                                  const ContrastOptions& options, Mask mask = nullptr,
                                  const LicPass& secondPass = {}, int threads = 0);

// ---- Colour scale: values to a position t on a colour map

struct ColorScale {
    double lo = 0.0;
    double hi = 1.0;
    bool log = false;

    // (v - lo) / (hi - lo), or the same of the logarithms; log of a value
    // not above zero gives 0. Where hi - lo overflows, the same from halves,
    // so that every finite range works.
    double operator()(double v) const {
        if (!log) {
            const double width = hi - lo;
            if (std::isfinite(width)) [[likely]] return (v - lo) / width;
            return (0.5 * v - 0.5 * lo) / (0.5 * hi - 0.5 * lo);
        }
        if (!(v > 0.0) || !(hi > lo)) return 0.0;
        return (std::log(v) - std::log(lo)) / (std::log(hi) - std::log(lo));
    }
    // The value at position t; lo for every t where lo == hi.
    double valueAt(double t) const;
};

// What the colour shows: values[i * cols + j], or where values is null the
// magnitude sqrt(x * x + y * y) of the vector (x(i, j), y(i, j)). Neither:
// no colour, a grey image.
struct ColorSource {
    const double* values = nullptr;
    Plane<double> x, y;

    bool present() const { return values || (x.data && y.data); }
};

// The magnitude per cell, as ColorSource gives it.
std::vector<double> magnitudes(std::int32_t rows, std::int32_t cols, const Plane<double>& x,
                               const Plane<double>& y, int threads = 0);

// The curl per cell in cells' units, counterclockwise on the image positive:
// d(along the columns)/d(row) - d(along the rows)/d(column), each a central
// difference of the shown neighbours, one-sided where only one is shown,
// 0 where neither is.
std::vector<double> vorticity(std::int32_t rows, std::int32_t cols, const Plane<double>& x,
                              const Plane<double>& y, Mask mask = nullptr, int threads = 0);

// The smallest and largest shown finite values (log: the smallest above
// zero). {0, 1} when there are none; for log {0, 0}, the one value 0.
Range valueRange(const ColorSource& source, std::int32_t rows, std::int32_t cols, bool log,
                 Mask mask = nullptr, int threads = 0);

// ---- Shading

enum class Blend { multiply, overlay };

inline std::span<const options::Choice<Blend>> choicesOf(Blend) {
    static const options::Choice<Blend> choices[] = {
        {Blend::multiply, "multiply", "colour x brightness / 255"},
        {Blend::overlay, "overlay", "the colour over the grey brightness, by alpha"},
    };
    return choices;
}

enum class Background { opaque, transparent };

inline std::span<const options::Choice<Background>> choicesOf(Background) {
    static const options::Choice<Background> choices[] = {
        {Background::opaque, "opaque", "masked pixels in the mask colour"},
        {Background::transparent, "transparent", "RGBA, masked pixels transparent"},
    };
    return choices;
}

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

struct ShadeOptions {
    // multiply: colour x brightness / 255 (the classic image); overlay:
    // alpha x colour + (1 - alpha) x brightness in every channel.
    Blend blend = Blend::multiply;
    double alpha = 0.5;
    Background background = Background::opaque;
    Rgb maskColor;
};

// The pixels: colour map at scale(color) (grey brightness where color is
// not present), shaded by brightness. A pixel whose colour value is not a
// finite number counts as masked.
Image shade(std::int32_t rows, std::int32_t cols, const double* brightness,
            const ColorSource& color, const ColorScale& scale, const Colormap& map,
            const ShadeOptions& options, Mask mask = nullptr, int threads = 0);

// image with a strip below it: the colour map from scale.lo to scale.hi,
// with values written under it, and the caption, if any, under those
// (letters, digits and common signs; others are left blank).
Image withColorbar(const Image& image, const Colormap& map, const ColorScale& scale, const std::string& caption = "");

namespace detail {
// A labelled value of the colour bar at place t (0..1) of the scale.
struct Tick {
    double t;
    std::string text;
};
// The multiples of a round step (1, 2 or 5 x 10^k) near (hi - lo) / count
// that lie in the scale; on a log scale of two decades or more, the powers
// of ten in it, every one or every few. Labels with the digits the step
// needs and no more.
std::vector<Tick> roundTicks(const ColorScale& scale, int count);
}  // namespace detail

// ---- Everything at once

enum class ColorBy { magnitude, vorticity, none, scalar };

// The words; a scalar is given as data (a file, an array), not by a word.
inline std::span<const options::Choice<ColorBy>> choicesOf(ColorBy) {
    static const options::Choice<ColorBy> choices[] = {
        {ColorBy::magnitude, "magnitude", "the vector magnitude"},
        {ColorBy::vorticity, "vorticity", "the curl, counterclockwise positive, on a scale symmetric about 0"},
        {ColorBy::none, "none", "nothing: a grey image"},
    };
    return choices;
}

struct RenderOptions {
    ContrastOptions contrast;
    std::string colormap = "classic";
    std::optional<Range> range;  // the colour scale; from the data when absent
    bool log = false;
    ColorBy colorBy = ColorBy::magnitude;
    ShadeOptions shade;
    bool colorbar = false;
    std::string colorbarLabel;  // under the colour bar's values; none when empty
};

struct RenderInput {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    const double* lic = nullptr;
    // The vectors, for ColorBy::magnitude and vorticity.
    Plane<double> x, y;
    // The top of the magnitude's scale (the classic image's largest
    // magnitude); the largest of the field when absent.
    std::optional<double> largestMagnitude;
    const double* scalar = nullptr;  // for ColorBy::scalar
    Mask mask = nullptr;
    LicPass secondPass;  // for Contrast::enhanced
    int threads = 0;
};

// A convolved grid's LIC values and vectors; largestMagnitude tops the
// magnitude's scale.
RenderInput renderInputOf(const RegGrid& grid, double largestMagnitude);

// The default options give the classic image. Throws std::invalid_argument
// for options or input that cannot work.
Image render(const RenderInput& input, const RenderOptions& options);
// The same through map instead of the one options.colormap names.
Image render(const RenderInput& input, const RenderOptions& options, const Colormap& map);

}  // namespace fastlic

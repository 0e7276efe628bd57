#include "drivers/console/image_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <variant>

#include "io/npy_reader.h"
#include "engine/lic.h"
#include "render/colormaps.h"

namespace fastlic {

namespace {

// The whole of text as a finite number.
bool parseNumber(const std::string& text, double& value) {
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), last, value);
    return ec == std::errc() && ptr == last && std::isfinite(value);
}

bool parseWhole(const char*& p, const char* last, int& value) {
    const auto [ptr, ec] = std::from_chars(p, last, value);
    if (ec != std::errc() || ptr == p) return false;
    p = ptr;
    return true;
}

std::string found(const std::string& text) { return ", found \"" + text + "\""; }

}  // namespace

void addImageOptions(CLI::App& app, ImageOptions& o) {
    const std::string group = "Image";
    app.add_option("--contrast", o.contrast,
                   "Contrast: none, stretch, equalize, adaptive or enhanced (two LIC passes)")
        ->capture_default_str()->group(group);
    app.add_option("--clip", o.clip, "For stretch and enhanced: percent of pixels saturated at each end")
        ->capture_default_str()->group(group);
    app.add_option("--tiles", o.tiles, "For adaptive: tiles ROWSxCOLS, or N each way")
        ->capture_default_str()->group(group);
    app.add_option("--clip-limit", o.clipLimit,
                   "For adaptive: largest slope of a tile's mapping, times that of a flat histogram")
        ->capture_default_str()->group(group);
    app.add_option("--enhance-sigma", o.enhanceSigma,
                   "For enhanced: the blur removed before the second pass, in pixels")
        ->capture_default_str()->group(group);
    app.add_option("--colormap", o.colormap,
                   "Colour map: classic, viridis, magma, inferno, plasma, cividis, grey, coolwarm; NAME_r reversed")
        ->capture_default_str()->group(group);
    app.add_option("--colormap-range", o.range, "LO:HI, the values at the ends of the colour map")
        ->group(group);
    app.add_flag("--log", o.log, "A logarithmic colour scale")->group(group);
    app.add_option("--color-by", o.colorBy,
                   "What the colour shows: magnitude, none (a grey image), or a .npy array (rows, cols) of a scalar")
        ->capture_default_str()->group(group);
    app.add_option("--blend", o.blend,
                   "Shading: multiply (colour x LIC / 255) or overlay (colour over the grey LIC)")
        ->capture_default_str()->group(group);
    app.add_option("--alpha", o.alpha, "For overlay: the colour's weight, 0..1")
        ->capture_default_str()->group(group);
    app.add_option("--background", o.background,
                   "Opaque, or transparent (RGBA PNG, masked pixels transparent)")
        ->capture_default_str()->group(group);
    app.add_option("--mask-color", o.maskColor, "Colour of masked pixels, R,G,B")
        ->capture_default_str()->group(group);
    app.add_flag("--colorbar", o.colorbar, "A labelled colour bar below the image")->group(group);
}

std::string parseImageOptions(ImageOptions& o, bool png) {
    RenderOptions& r = o.render;
    ContrastOptions& c = r.contrast;
    if (o.contrast == "none") c.mode = Contrast::none;
    else if (o.contrast == "stretch") c.mode = Contrast::stretch;
    else if (o.contrast == "equalize") c.mode = Contrast::equalize;
    else if (o.contrast == "adaptive") c.mode = Contrast::adaptive;
    else if (o.contrast == "enhanced") c.mode = Contrast::enhanced;
    else return "--contrast: expected none, stretch, equalize, adaptive or enhanced" + found(o.contrast);

    if (!parseNumber(o.clip, c.clip) || !(c.clip >= 0.0 && c.clip < 50.0))
        return "--clip: expected a percentage from 0 up to (not including) 50" + found(o.clip);
    {
        const char* p = o.tiles.data();
        const char* last = p + o.tiles.size();
        int down = 0, across = 0;
        bool ok = parseWhole(p, last, down);
        if (ok && p == last) {
            across = down;
        } else {
            ok = ok && p != last && (*p == 'x' || *p == 'X');
            if (ok) ++p;
            ok = ok && parseWhole(p, last, across) && p == last;
        }
        if (!ok || down < 1 || across < 1 || down > 1024 || across > 1024)
            return "--tiles: expected ROWSxCOLS or N, whole numbers from 1 to 1024" + found(o.tiles);
        c.tileRows = down;
        c.tileCols = across;
    }
    if (!parseNumber(o.clipLimit, c.clipLimit) || !(c.clipLimit >= 1.0))
        return "--clip-limit: expected a number of at least 1" + found(o.clipLimit);
    if (!parseNumber(o.enhanceSigma, c.sigma) || !(c.sigma > 0.0 && c.sigma <= 1000.0))
        return "--enhance-sigma: expected a number of pixels above 0, up to 1000" + found(o.enhanceSigma);

    try {
        colormapNamed(o.colormap);
    } catch (const std::invalid_argument& e) {
        return std::string("--colormap: ") + e.what();
    }
    r.colormap = o.colormap;
    r.log = o.log;
    if (!o.range.empty()) {
        const std::size_t colon = o.range.find(':');
        Range range;
        if (colon == std::string::npos || !parseNumber(o.range.substr(0, colon), range.lo) ||
            !parseNumber(o.range.substr(colon + 1), range.hi) || !(range.lo < range.hi))
            return "--colormap-range: expected LO:HI, two numbers with LO below HI" + found(o.range);
        if (o.log && !(range.lo > 0.0))
            return "--log: the colour range must lie above zero" + found(o.range);
        r.range = range;
    }

    o.scalarFile.clear();
    if (o.colorBy == "magnitude") {
        r.colorBy = ColorBy::magnitude;
    } else if (o.colorBy == "none") {
        r.colorBy = ColorBy::none;
    } else if (isNpyPath(o.colorBy)) {
        r.colorBy = ColorBy::scalar;
        o.scalarFile = o.colorBy;
    } else {
        return "--color-by: expected magnitude, none or a .npy file" + found(o.colorBy);
    }

    if (o.blend == "multiply") r.shade.blend = Blend::multiply;
    else if (o.blend == "overlay") r.shade.blend = Blend::overlay;
    else return "--blend: expected multiply or overlay" + found(o.blend);
    if (!parseNumber(o.alpha, r.shade.alpha) || !(r.shade.alpha >= 0.0 && r.shade.alpha <= 1.0))
        return "--alpha: expected a number from 0 to 1" + found(o.alpha);

    if (o.background == "opaque") r.shade.transparent = false;
    else if (o.background == "transparent") r.shade.transparent = true;
    else return "--background: expected opaque or transparent" + found(o.background);
    if (r.shade.transparent && !png)
        return "--background transparent: needs a PNG image (-o FILE.png)";
    {
        const char* p = o.maskColor.data();
        const char* last = p + o.maskColor.size();
        int rgb[3] = {-1, -1, -1};
        bool ok = true;
        for (int k = 0; k < 3 && ok; ++k) {
            ok = parseWhole(p, last, rgb[k]) && rgb[k] >= 0 && rgb[k] <= 255;
            if (ok && k < 2) ok = p != last && *p++ == ',';
        }
        if (!ok || p != last)
            return "--mask-color: expected R,G,B, three whole numbers from 0 to 255" + found(o.maskColor);
        r.shade.maskColor = {static_cast<std::uint8_t>(rgb[0]), static_cast<std::uint8_t>(rgb[1]),
                             static_cast<std::uint8_t>(rgb[2])};
    }
    r.colorbar = o.colorbar;
    if (r.colorbar && r.colorBy == ColorBy::none)
        return "--colorbar: there is no colour scale with --color-by none";
    return "";
}

void loadImageInputs(ImageOptions& options, std::int32_t rows, std::int32_t cols, int threads) {
    options.scalar.clear();
    if (options.scalarFile.empty()) return;
    TextureArray values = readNpyTexture(options.scalarFile, threads);
    if (values.rows != rows || values.cols != cols)
        throw InputError(options.scalarFile + ": shape " + shapeText({values.rows, values.cols}) +
                         " does not match the grid size " + std::to_string(rows) + "x" + std::to_string(cols));
    std::visit([&](const auto& v) { options.scalar.assign(v.begin(), v.end()); }, values.values);
}

Image renderRunImage(const RunResult& run, const ImageOptions& options, int threads) {
    RenderInput input = renderInputOf(run.grid, run.largestMagnitude);
    input.scalar = options.scalar.empty() ? nullptr : options.scalar.data();
    input.threads = threads;
    // Cells without data are those the convolution left without a value;
    // the second pass of enhanced contrast leaves them out too (render()
    // finds them itself for everything else).
    std::vector<std::uint8_t> mask;
    if (options.render.contrast.mode == Contrast::enhanced) {
        FieldView field = viewOf(run.grid);
        const std::size_t n = run.grid.cellCount();
        const double* lic = run.lic();
        if (std::any_of(lic, lic + n, [](double v) { return std::isnan(v); })) {
            mask.resize(n);
            for (std::size_t k = 0; k < n; ++k) mask[k] = std::isnan(lic[k]);
            field.mask = contiguousPlane(static_cast<const std::uint8_t*>(mask.data()), run.cols());
            input.mask = mask.data();
        }
        input.secondPass = licPassOver(field, run.params, threads);
    }
    return render(input, options.render);
}

}  // namespace fastlic

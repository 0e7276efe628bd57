#include "drivers/console/image_options.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "io/npy_reader.h"
#include "engine/lic.h"
#include "render/colormaps.h"
#include "render/options.h"

namespace fastlic {

void addImageOptions(CLI::App& app, ImageOptions& o) {
    o.given.add(app, imageOptions(), o.render, "Image");
}

std::string parseImageOptions(ImageOptions& o, bool png) {
    RenderOptions& r = o.render;
    if (std::string bad = o.given.apply(r); !bad.empty()) return bad;
    o.scalarFile = r.colorBy == ColorBy::scalar ? o.given.text("color-by") : "";
    if (r.shade.background == Background::transparent && !png)
        return "--background transparent: needs a PNG image (-o FILE.png)";
    return "";
}

void loadImageInputs(ImageOptions& options, std::int32_t rows, std::int32_t cols, int threads) {
    options.scalar.clear();
    if (options.scalarFile.empty()) return;
    options.scalar = readNpyScalar(options.scalarFile, threads, gridCheck(textureGridShape, {rows, cols}));
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

#include "drivers/console/image_options.h"

#include <variant>

#include "io/npy_reader.h"
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
    return renderRun(run, options.render, options.scalar.empty() ? nullptr : options.scalar.data(), threads);
}

}  // namespace fastlic

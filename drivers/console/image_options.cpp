#include "drivers/console/image_options.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "io/npy_reader.h"
#include "engine/lic.h"
#include "render/options.h"
#include "io/image_writer.h"
#include "io/png_writer.h"

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

    o.classic = r.contrast.mode == Contrast::none && r.colormap == "classic" && !r.range && !r.log &&
                r.colorBy == ColorBy::magnitude && r.shade.blend == Blend::multiply &&
                r.shade.background == Background::opaque && !r.colorbar &&
                // The classic writer draws masked cells black.
                r.shade.maskColor.r == 0 && r.shade.maskColor.g == 0 && r.shade.maskColor.b == 0;
    return "";
}

void loadImageInputs(ImageOptions& options, std::int32_t rows, std::int32_t cols) {
    options.scalar.clear();
    if (options.scalarFile.empty()) return;
    TextureArray values = readNpyTexture(options.scalarFile);
    if (values.rows != rows || values.cols != cols)
        throw InputError(options.scalarFile + ": shape " + shapeText({values.rows, values.cols}) +
                         " does not match the grid size " + std::to_string(rows) + "x" + std::to_string(cols));
    std::visit([&](const auto& v) { options.scalar.assign(v.begin(), v.end()); }, values.values);
}

Image renderGridImage(const RegGrid& grid, double largestMagnitude, const ImageOptions& options,
                      const LicParams& params, int threads) {
    FieldView field = viewOf(grid);
    // Masked cells are those the convolution left without a value; the
    // second pass of enhanced contrast leaves them out too.
    std::vector<std::uint8_t> mask;
    const double* lic = grid.licSums.data();
    if (std::any_of(lic, lic + grid.cellCount(), [](double v) { return std::isnan(v); })) {
        mask.resize(grid.cellCount());
        for (std::size_t k = 0; k < mask.size(); ++k) mask[k] = std::isnan(lic[k]);
        field.mask = contiguousPlane(static_cast<const std::uint8_t*>(mask.data()), grid.cols);
    }
    RenderInput input;
    input.rows = grid.rows;
    input.cols = grid.cols;
    input.lic = lic;
    input.x = field.x;
    input.y = field.y;
    input.mask = mask.empty() ? nullptr : mask.data();
    input.largestMagnitude = largestMagnitude;
    input.scalar = options.scalar.empty() ? nullptr : options.scalar.data();
    input.secondPass = licPassOver(field, params, threads);
    return render(input, options.render);
}

void writeGridImage(const RegGrid& grid, double largestMagnitude, const ImageOptions& options,
                    const LicParams& params, int threads, bool png, std::FILE* out) {
    const Image image = renderGridImage(grid, largestMagnitude, options, params, threads);
    if (png)
        writePng(image.view(), out);
    else
        writePpm(image.view(), out);
}

}  // namespace fastlic

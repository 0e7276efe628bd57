#include "drivers/viewer/field.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "base/options.h"
#include "io/input_files.h"
#include "io/mask_file.h"
#include "io/npy_reader.h"
#include "io/npz_reader.h"
#include "run/demo_field.h"

namespace fastlic::viewer {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File openText(const std::string& path, const char* what) {
    File f(path == "-" ? nullptr : std::fopen(path.c_str(), "r"), std::fclose);
    if (!f) throw BadFilename(std::string("Bad ") + what + " Filename: " + path);
    return f;
}

std::string cellText(std::int32_t cols, std::size_t k) {
    return "row " + std::to_string(k / static_cast<std::size_t>(cols)) + ", column " +
           std::to_string(k % static_cast<std::size_t>(cols));
}

// u along the columns is the grid's y, v along the rows its x. A NaN
// component leaves the cell without data; anything else not finite, or a
// squared length that overflows, is refused as the console refuses it.
double composeVectors(const std::vector<double>& u, const std::vector<double>& v, const std::string& uName,
                      const std::string& vName, const std::vector<std::uint8_t>& mask, RegGrid& grid) {
    double largest = 0.0;
    Vector* out = grid.vectors.data();
    for (std::size_t k = 0; k < u.size(); ++k) {
        const double x = v[k], y = u[k];
        out[k] = {x, y, 0.0};
        if (!mask.empty() && mask[k]) continue;
        if (std::isnan(x) || std::isnan(y)) continue;
        for (const auto& [value, name] : {std::pair{y, &uName}, {x, &vName}})
            if (!std::isfinite(value))
                throw InputError(*name + ": value at " + cellText(grid.cols, k) + " is not finite (" +
                                 options::formatReal(value) + ")");
        const double squared = x * x + y * y;
        if (!(squared <= std::numeric_limits<double>::max()))
            throw InputError(uName + " and " + vName + ": vector at " + cellText(grid.cols, k) +
                             " too large: its squared length overflows");
        largest = std::max(largest, squared);
    }
    return std::sqrt(largest);
}

void readTextureInto(const NpyFile& file, int threads, Field& field) {
    TextureArray t = readNpyTexture(file, threads, field.mask.empty() ? nullptr : field.mask.data());
    if (auto* whole = std::get_if<std::vector<std::int32_t>>(&t.values))
        std::copy(whole->begin(), whole->end(), field.grid.texture.data());
    else
        field.fractionalTexture = std::move(std::get<std::vector<double>>(t.values));
}

}  // namespace

std::shared_ptr<const LoadedField> loadField(const FieldPaths& paths, int threads) {
    // As the console does: every input opened before any is read, the
    // vectors named first.
    for (const std::string* vectors : {&paths.vectors, &paths.u, &paths.v})
        if (!vectors->empty() && (paths.vectors.empty() || vectors == &paths.vectors)) openText(*vectors, "Vector");
    if (!paths.texture.empty()) openText(paths.texture, "Texture");
    const bool npz = isNpzPath(paths.vectors), pair = paths.vectors.empty();
    const bool npy = !pair && isNpyPath(paths.vectors);
    std::optional<NpzArchive> archive;
    std::optional<NpyFile> vectors, u, v;
    GridShape shape{paths.rows, paths.cols};
    if (npz) {
        archive.emplace(paths.vectors);
        u.emplace(archive->open("u", textureGridShape));
        v.emplace(archive->open("v", textureGridShape));
    } else if (pair) {
        u.emplace(paths.u, textureGridShape);
        v.emplace(paths.v, textureGridShape);
    } else if (npy) {
        vectors.emplace(paths.vectors, vectorGridShape);
        shape = vectorGridShape(*vectors);
    } else if (shape.rows < 1 || shape.cols < 1) {
        throw UsageError(paths.vectors + ": a text vector file needs the grid size ROWSxCOLS");
    }
    if (u) {
        shape = textureGridShape(*u);
        if (textureGridShape(*v) != shape)
            throw InputError(v->name() + ": shape " + shapeText(v->header().shape) + " does not match shape " +
                             shapeText(u->header().shape) + " of " + u->name());
    }

    auto loaded =
        std::make_shared<LoadedField>(LoadedField{paths, Field{RegGrid(shape.rows, shape.cols), 0.0, {}, {}}, false});
    Field& field = loaded->field;
    RegGrid& grid = field.grid;
    // The mask first: masked cells' values are not checked.
    if (!paths.mask.empty()) {
        field.mask = isNpyPath(paths.mask)
                         ? readNpyMask(paths.mask, threads, gridCheck(maskGridShape, shape)).values
                         : readMaskText(paths.mask, shape.rows, shape.cols);
    } else if (archive && archive->contains("mask")) {
        field.mask = readNpyMask(archive->open("mask", gridCheck(maskGridShape, shape)), threads).values;
    }
    const std::uint8_t* masked = field.mask.empty() ? nullptr : field.mask.data();

    if (u) {
        field.largestMagnitude = composeVectors(readNpyScalar(*u, threads), readNpyScalar(*v, threads), u->name(),
                                                v->name(), field.mask, grid);
    } else if (vectors) {
        field.largestMagnitude = readNpyVectorsInto(*vectors, &grid.vectors.data()->x, 3, {true, threads, masked});
    } else {
        const File f = openText(paths.vectors, "Vector");
        field.largestMagnitude = detail::readVectors(f.get(), paths.vectors, grid, threads);
    }
    const Vector* vs = grid.vectors.data();
    for (std::size_t k = 0; k < grid.cellCount() && !loaded->maskNan; ++k)
        loaded->maskNan = std::isnan(vs[k].x) || std::isnan(vs[k].y);

    if (!paths.texture.empty() && isNpyPath(paths.texture)) {
        readTextureInto(NpyFile(paths.texture, gridCheck(textureGridShape, shape)), threads, field);
    } else if (!paths.texture.empty()) {
        const File f = openText(paths.texture, "Texture");
        detail::readTexture(f.get(), paths.texture, grid, threads);
    } else if (archive && archive->contains("texture")) {
        readTextureInto(archive->open("texture", gridCheck(textureGridShape, shape)), threads, field);
    } else {
        DemoNoise noise;
        std::int32_t* t = grid.texture.data();
        for (std::size_t k = 0; k < grid.cellCount(); ++k) t[k] = noise.next();
    }
    return loaded;
}

bool parseGridSize(const std::string& text, std::int32_t& rows, std::int32_t& cols) {
    const std::size_t x = text.find_first_of("xX");
    std::int64_t r = 0, c = 0;
    if (x == std::string::npos ||
        options::parseInteger(std::string_view(text).substr(0, x), r) != options::Syntax::ok ||
        options::parseInteger(std::string_view(text).substr(x + 1), c) != options::Syntax::ok)
        return false;
    if (r < 1 || c < 1 || r > INT32_MAX || c > INT32_MAX || r * c > INT32_MAX) return false;
    rows = static_cast<std::int32_t>(r);
    cols = static_cast<std::int32_t>(c);
    return true;
}

Field copyOf(const Field& field) {
    const RegGrid& from = field.grid;
    Field copy{RegGrid(from.rows, from.cols), field.largestMagnitude, field.fractionalTexture, field.mask};
    std::memcpy(copy.grid.vectors.data(), from.vectors.data(), from.cellCount() * sizeof(Vector));
    std::memcpy(copy.grid.texture.data(), from.texture.data(), from.cellCount() * sizeof(std::int32_t));
    return copy;
}

}  // namespace fastlic::viewer

#include "run/run_pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "io/input_files.h"
#include "io/mask_file.h"
#include "io/npy_reader.h"
#include "io/npz_reader.h"
#include "engine/fast_lic.h"
#include "base/parallel.h"

namespace fastlic {

namespace {

// A .npy mask by its name, any other as text.
std::vector<std::uint8_t> readMask(const std::string& path, std::int32_t rows, std::int32_t cols,
                                   int threads) {
    if (!isNpyPath(path)) return readMaskText(path, rows, cols);
    MaskArray mask = readNpyMask(path, threads, gridCheck(maskGridShape, {rows, cols}));
    return std::move(mask.values);
}

// A line for a text file holding more values than the grid takes; none
// when it holds no more (or cannot be read again). inFile: the count where
// the read saw the whole file, else the file is counted again.
std::optional<std::string> surplusWarning(std::FILE* file, const std::string& name, std::size_t perCell,
                                          std::int32_t rows, std::int32_t cols, std::optional<std::size_t> inFile) {
    const std::size_t used = perCell * static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    const std::optional<std::size_t> found = inFile ? inFile : detail::countValues(file);
    if (!found || *found <= used) return std::nullopt;
    std::string line = "warning: " + name + " holds " + std::to_string(*found) + " values, a " +
                       std::to_string(rows) + "x" + std::to_string(cols) + " grid uses the first " +
                       std::to_string(used) + " and ignores the rest";
    if (*found % used == 0)
        line += "; that is exactly " + std::to_string(*found / used) +
                " times what the grid needs: is the grid size right?";
    return line;
}

}  // namespace

FieldFiles::FieldFiles(const RunSettings& settings)
    : settings_(settings), streams_(detail::openInputFiles(settings.vectorFile, settings.textureFile)) {
    const std::string& vectorFile = settings_.vectorFile;
    if (!settings_.vComponentFile.empty()) {
        // u and v apart, each (rows, cols).
        vectors_.emplace(fileno(streams_.vectors.get()), vectorFile, textureGridShape, true);
        vComponent_.emplace(settings_.vComponentFile, textureGridShape);
        if (textureGridShape(*vComponent_) != vectorShape())
            throw InputError(settings_.vComponentFile + ": shape " + shapeText(vComponent_->header().shape) +
                             " does not match shape " + shapeText(vectors_->header().shape) + " of " + vectorFile);
    } else if (isNpyPath(vectorFile)) {
        vectors_.emplace(fileno(streams_.vectors.get()), vectorFile, vectorGridShape, true);
    }
    if (isNpyPath(settings_.textureFile)) {
        texture_.emplace(fileno(streams_.texture.get()), settings_.textureFile, textureGridShape, true);
        const GridShape shape = textureGridShape(*texture_);
        if (vectors_ && shape != vectorShape())
            throw InputError(settings_.textureFile + ": shape " + shapeText(texture_->header().shape) +
                             " does not match shape " + shapeText(vectors_->header().shape) + " of " +
                             vectorFile);
    }
}

GridShape FieldFiles::vectorShape() const {
    return vComponent_ ? textureGridShape(*vectors_) : vectorGridShape(*vectors_);
}

std::optional<GridShape> FieldFiles::arrayShape() const {
    if (vectors_) return vectorShape();
    if (texture_) return textureGridShape(*texture_);
    return std::nullopt;
}

void FieldFiles::requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const {
    const auto check = [&](const std::optional<NpyFile>& file, GridShape shape) {
        if (shape != GridShape{rows, cols})
            throw InputError(file->name() + ": shape " + shapeText(file->header().shape) +
                             " does not match " + size);
    };
    if (vectors_) check(vectors_, vectorShape());
    if (vComponent_) check(vComponent_, vectorShape());
    if (texture_) check(texture_, textureGridShape(*texture_));
}

std::optional<Field> FieldFiles::next() {
    if (read_) return std::nullopt;
    read_ = true;
    const RunSettings& s = settings_;
    // Under way while the grid is allocated and read.
    prepareThreads(threadCount(s.threads));
    requireSize(s.rows, s.cols, "the grid size " + std::to_string(s.rows) + "x" + std::to_string(s.cols));
    // Where every seed takes the fast path the engine's steps are read
    // straight from the file; the vectors too where an image colours by them.
    const bool fits = !vComponent_ && s.maskFile.empty() && !s.maskNan && !s.coordinates &&
                      StepTable::fits(s.params, s.rows, s.cols);
    const bool tabled = fits && s.licOnly;
    Field field{RegGrid(s.rows, s.cols, !tabled), 0.0, {}, {}, {}};
    RegGrid& grid = field.grid;
    // Masked cells hold no data: the arrays' values there are not checked.
    if (!s.maskFile.empty()) field.mask = readMask(s.maskFile, s.rows, s.cols, s.threads);
    const std::uint8_t* masked = field.mask.empty() ? nullptr : field.mask.data();
    std::optional<std::size_t> inFile;  // values in a text file, where its read saw them all
    if (vComponent_) {
        vectors_->readElements();
        field.largestMagnitude = readNpyComponentsInto(*vectors_, *vComponent_, &grid.vectors.data()->x, 3,
                                                       {s.maskNan, s.threads, masked});
        vectors_.reset();
        vComponent_.reset();
    } else {
        if (fits) field.steps.emplace(s.params, s.rows, s.cols);
        StepTable* steps = field.steps ? &*field.steps : nullptr;
        RegGrid* vectorGrid = tabled ? nullptr : &grid;  // where the vectors are kept
        if (vectors_) {
            vectors_->readElements();
            double* out = vectorGrid ? &grid.vectors.data()->x : nullptr;
            const VectorReadOptions options{s.maskNan, s.threads, masked};
            field.largestMagnitude = steps ? readNpyVectorsInto(*vectors_, out, 3, *steps, options)
                                           : readNpyVectorsInto(*vectors_, out, 3, options);
            vectors_.reset();
        } else {
            std::FILE* f = streams_.vectors.get();
            const std::string name = inputName(s.vectorFile);
            field.largestMagnitude = steps ? detail::readVectors(f, name, vectorGrid, *steps, s.threads, &inFile)
                                           : detail::readVectors(f, name, grid, s.threads, &inFile);
            if (auto w = surplusWarning(f, name, 2, s.rows, s.cols, inFile)) field.warnings.push_back(*w);
        }
    }
    if (texture_) {
        texture_->readElements();
        field.fractionalTexture = readNpyGridTexture(*texture_, grid.texture.data(), s.threads, masked);
        texture_.reset();
    } else {
        detail::readTexture(streams_.texture.get(), inputName(s.textureFile), grid, s.threads, &inFile);
        if (auto w = surplusWarning(streams_.texture.get(), inputName(s.textureFile), 1, s.rows, s.cols, inFile))
            field.warnings.push_back(*w);
    }
    streams_.vectors.reset();
    streams_.texture.reset();
    return field;
}

// A vector input of a series: a text file (one field) or a .npy stack.
struct SeriesFields::Input {
    std::string path;
    std::int64_t first = 0, frames = 1;
    bool npy = false, rereadable = true;
    NpyHeader header;  // a .npy input's, as first read
    // Open while read from: a pipe throughout, a regular file while its
    // fields are asked for.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> text{nullptr, &std::fclose};
    std::optional<NpyStack> u, v;  // the vectors, or u beside v
};

namespace {

using Stream = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

Stream openStream(const std::string& path, const char* role) {
    Stream f(detail::openInput(path), &std::fclose);
    if (!f) throw BadFilename(std::string("Bad ") + role + " Filename: " + path);
    return f;
}

// path's header read as a stack of fields of frameDims dimensions; f its
// open stream, or null to open it here ("NAME: cannot open: REASON").
NpyStack openStack(const std::string& path, Stream f, std::size_t frameDims) {
    if (!f) {
        f.reset(detail::openInput(path));
        if (!f) throw InputError(inputName(path) + ": cannot open: " + std::strerror(errno));
    }
    const int fd = fcntl(fileno(f.get()), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) throw InputError(inputName(path) + ": cannot open: " + std::strerror(errno));
    return NpyStack(fd, inputName(path), frameDims,
                    [frameDims](const NpyStack& stack) { stackGridShape(stack, frameDims == 3); });
}

bool isRegular(std::FILE* f) {
    struct stat info {};
    return fstat(fileno(f), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

SeriesFields::SeriesFields(const RunSettings& settings, std::vector<std::string> vectorFiles) : settings_(settings) {
    const bool components = !settings.vComponentFile.empty();
    // As for one field: every file opened before any header is read, the
    // vector file's fault told first.
    Stream texture(detail::openInput(settings.textureFile), &std::fclose);
    std::optional<NpyHeader> firstShape;
    std::string firstName;
    for (std::size_t n = 0; n < vectorFiles.size(); ++n) {
        Input& in = inputs_.emplace_back();
        in.path = std::move(vectorFiles[n]);
        in.first = count_;
        Stream f = openStream(in.path, "Vector");
        if (n == 0 && !texture) throw BadFilename("Bad Texture Filename: " + settings.textureFile);
        in.npy = components || isNpyPath(in.path);
        if (!in.npy) {
            in.rereadable = isRegular(f.get());
            if (!in.rereadable) in.text = std::move(f);
            ++count_;
            continue;
        }
        in.u.emplace(openStack(in.path, std::move(f), components ? 2 : 3));
        const GridShape grid = stackGridShape(*in.u, !components);
        if (components) {
            in.v.emplace(openStack(settings.vComponentFile, Stream(nullptr, &std::fclose), 2));
            if (stackGridShape(*in.v, false) != grid || in.v->frames() != in.u->frames() ||
                in.v->stacked() != in.u->stacked())
                throw InputError(in.v->name() + ": shape " + shapeText(in.v->header().shape) +
                                 " does not match shape " + shapeText(in.u->header().shape) + " of " + in.u->name());
        }
        in.header = in.u->header();
        in.frames = in.u->frames();
        stacked_ = stacked_ || in.u->stacked();
        in.rereadable = in.u->seekable() && (!in.v || in.v->seekable());
        if (firstShape && stackGridShape(*in.u, !components) != *arrayShape())
            throw InputError(in.u->name() + ": shape " + shapeText(in.header.shape) + " does not match shape " +
                             shapeText(firstShape->shape) + " of " + firstName);
        if (!firstShape) firstShape = in.header, firstName = in.u->name();
        if (in.rereadable) in.u.reset(), in.v.reset();  // opened again when read
        count_ += in.frames;
    }
    textureStream_ = std::move(texture);
    if (isNpyPath(settings.textureFile)) {
        textureArray_.emplace(fileno(textureStream_.get()), settings.textureFile, textureGridShape, true);
        const GridShape shape = textureGridShape(*textureArray_);
        if (firstShape && shape != *arrayShape())
            throw InputError(settings.textureFile + ": shape " + shapeText(textureArray_->header().shape) +
                             " does not match shape " + shapeText(firstShape->shape) + " of " + firstName);
    }
}

SeriesFields::~SeriesFields() = default;

std::string SeriesFields::pipe() const {
    for (const Input& in : inputs_)
        if (!in.rereadable) return in.path;
    return "";
}

std::optional<GridShape> SeriesFields::arrayShape() const {
    for (const Input& in : inputs_) {
        if (!in.npy) continue;
        const std::vector<std::int64_t>& s = in.header.shape;
        const std::size_t at = s.size() == (settings_.vComponentFile.empty() ? 4u : 3u) ? 1 : 0;
        return GridShape{static_cast<std::int32_t>(s[at]), static_cast<std::int32_t>(s[at + 1])};
    }
    if (textureArray_) return textureGridShape(*textureArray_);
    return std::nullopt;
}

void SeriesFields::requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const {
    // Every .npy vector input has the first one's grid (checked on opening).
    if (const std::optional<GridShape> shape = arrayShape(); shape && *shape != GridShape{rows, cols}) {
        for (const Input& in : inputs_)
            if (in.npy)
                throw InputError(inputName(in.path) + ": shape " + shapeText(in.header.shape) + " does not match " + size);
        throw InputError(textureArray_->name() + ": shape " + shapeText(textureArray_->header().shape) +
                         " does not match " + size);
    }
}

std::optional<Field> SeriesFields::next() {
    if (next_ >= count_) return std::nullopt;
    return field(next_++);
}

Field SeriesFields::field(std::int64_t k) {
    const RunSettings& s = settings_;
    Input& in = *std::prev(std::upper_bound(inputs_.begin(), inputs_.end(), k,
                                            [](std::int64_t index, const Input& input) { return index < input.first; }));
    prepareThreads(threadCount(s.threads));
    requireSize(s.rows, s.cols, "the grid size " + std::to_string(s.rows) + "x" + std::to_string(s.cols));
    Field field{RegGrid(s.rows, s.cols), 0.0, {}, {}, {}};
    RegGrid& grid = field.grid;
    if (!shared_ && !s.maskFile.empty()) mask_ = readMask(s.maskFile, s.rows, s.cols, s.threads);
    field.mask = mask_;
    const std::uint8_t* masked = mask_.empty() ? nullptr : mask_.data();
    double* vectors = &grid.vectors.data()->x;
    if (in.npy) {
        const bool components = !s.vComponentFile.empty();
        if (!in.u) {
            // Opened again: it must still be what was checked.
            in.u.emplace(openStack(in.path, Stream(nullptr, &std::fclose), components ? 2 : 3));
            if (components) in.v.emplace(openStack(s.vComponentFile, Stream(nullptr, &std::fclose), 2));
            for (NpyStack* stack : {&*in.u, in.v ? &*in.v : nullptr})
                if (stack && (stack->header().shape != in.header.shape || stack->header().dtype.descr != in.header.dtype.descr))
                    throw InputError(stack->name() + ": changed while the series was read: shape " +
                                     shapeText(stack->header().shape) + " of " + stack->header().dtype.descr +
                                     ", was " + shapeText(in.header.shape) + " of " + in.header.dtype.descr);
        }
        const NpyFile u = in.u->frame(k - in.first);
        field.largestMagnitude = components ? readNpyComponentsInto(u, in.v->frame(k - in.first), vectors, 3,
                                                                    {s.maskNan, s.threads, masked})
                                            : readNpyVectorsInto(u, vectors, 3, {s.maskNan, s.threads, masked});
        // A regular file is let go after its last field.
        if (in.rereadable && k + 1 == in.first + in.frames) in.u.reset(), in.v.reset();
    } else {
        Stream f = in.text ? std::move(in.text) : openStream(in.path, "Vector");
        std::optional<std::size_t> inFile;
        field.largestMagnitude = detail::readVectors(f.get(), inputName(in.path), grid, s.threads, &inFile);
        if (auto w = surplusWarning(f.get(), inputName(in.path), 2, s.rows, s.cols, inFile))
            field.warnings.push_back(*w);
    }
    if (!shared_) {
        if (textureArray_) {
            textureArray_->readElements();
            TextureArray t = readNpyTexture(*textureArray_, s.threads, masked);
            if (auto* whole = std::get_if<std::vector<std::int32_t>>(&t.values)) texture_ = std::move(*whole);
            else fractionalTexture_ = std::move(std::get<std::vector<double>>(t.values));
            textureArray_.reset();
        } else {
            std::optional<std::size_t> inFile;
            detail::readTexture(textureStream_.get(), inputName(s.textureFile), grid, s.threads, &inFile);
            if (auto w = surplusWarning(textureStream_.get(), inputName(s.textureFile), 1, s.rows, s.cols, inFile))
                field.warnings.push_back(*w);
            texture_.assign(grid.texture.data(), grid.texture.data() + grid.cellCount());
        }
        textureStream_.reset();
        shared_ = true;
    }
    if (!texture_.empty()) std::copy(texture_.begin(), texture_.end(), grid.texture.data());
    field.fractionalTexture = fractionalTexture_;
    return field;
}

namespace {

// field convolved with the settings; animated where sums is given.
RunResult convolveField(Field field, const RunSettings& settings, AnimationSums* sums, const Wave& wave) {
    RunResult run{std::move(field.grid), field.largestMagnitude, {}, settings.params, settings.coordinates,
                  std::move(field.warnings)};
    RegGrid& grid = run.grid;
    std::vector<std::uint8_t>& mask = run.mask;
    if (!field.mask.empty()) mask = std::move(field.mask);
    else if (!settings.maskFile.empty()) mask = readMask(settings.maskFile, grid.rows, grid.cols, settings.threads);
    const Vector* vectors = grid.vectors.data();
    if (settings.maskNan) {
        mask.resize(grid.cellCount());
        for (std::size_t c = 0; c < mask.size(); ++c)
            mask[c] = mask[c] || std::isnan(vectors[c].x) || std::isnan(vectors[c].y);
    }
    if (!mask.empty()) {
        // Cells without data do not set the colour scale.
        double largest = 0.0;
        for (std::size_t c = 0; c < mask.size(); ++c)
            if (!mask[c]) largest = std::max(largest, lengthSquared(vectors[c]));
        run.largestMagnitude = std::sqrt(largest);
    }
    RunOptions options{settings.threads, settings.progress};
    options.cancel = settings.cancel;
    const std::uint8_t* cellsMasked = mask.empty() ? nullptr : mask.data();
    if (field.steps) {
        // An animation traces the grid's vectors, which a run read this way may lack.
        if (sums) throw std::logic_error("a field read into a step table cannot be animated");
        FieldView view = viewOf(grid);
        if (!field.fractionalTexture.empty())
            view.texture = contiguousPlane(field.fractionalTexture.data(), grid.cols);
        computeLic(*field.steps, view.texture, grid.licSums.data(), grid.hitCounts.data(), options);
    } else if (sums || !field.fractionalTexture.empty() || settings.coordinates) {
        // A texture of fractions goes to the engine beside the grid, and so
        // does a field carried into cell units; the grid keeps the physical
        // vectors, whose magnitudes the colours show.
        FieldView view = viewOf(grid);
        if (!field.fractionalTexture.empty())
            view.texture = contiguousPlane(field.fractionalTexture.data(), grid.cols);
        if (cellsMasked) view.mask = contiguousPlane(cellsMasked, grid.cols);
        std::vector<double> x, y;
        if (settings.coordinates) view = mapToCells(view, *settings.coordinates, x, y);
        if (sums) {
            *sums = computeLicAnimation(view, settings.params, wave, options);
            std::copy(sums->base.begin(), sums->base.end(), grid.licSums.data());
            std::copy(sums->hits.begin(), sums->hits.end(), grid.hitCounts.data());
        } else {
            computeLic(view, settings.params, grid.licSums.data(), grid.hitCounts.data(), options);
        }
    } else {
        computeFastLic(grid, settings.params, options, cellsMasked);
    }
    return run;
}

}  // namespace

RunResult runLic(Field field, const RunSettings& settings) {
    return convolveField(std::move(field), settings, nullptr, {});
}

RunResult runAnimation(Field field, const RunSettings& settings, const Wave& wave, AnimationSums& sums) {
    return convolveField(std::move(field), settings, &sums, wave);
}

Image renderRun(const RunResult& run, const RenderOptions& options, const double* scalar, int threads,
                const std::atomic<bool>* cancel) {
    RenderInput input = renderInputOf(run.grid, run.largestMagnitude);
    input.scalar = scalar;
    input.threads = threads;
    // Cells without data are those the convolution left without a value;
    // the second pass of enhanced contrast leaves them out too (render()
    // finds them itself for everything else).
    std::vector<std::uint8_t> mask;
    std::vector<double> x, y;
    if (options.contrast.mode == Contrast::enhanced) {
        FieldView field = viewOf(run.grid);
        const std::size_t n = run.grid.cellCount();
        const double* lic = run.lic();
        if (std::any_of(lic, lic + n, [](double v) { return std::isnan(v); })) {
            mask.resize(n);
            for (std::size_t k = 0; k < n; ++k) mask[k] = std::isnan(lic[k]);
            field.mask = contiguousPlane(static_cast<const std::uint8_t*>(mask.data()), run.cols());
            input.mask = mask.data();
        }
        // The second pass traces as the first did.
        if (run.coordinates) field = mapToCells(field, *run.coordinates, x, y);
        input.secondPass = licPassOver(field, run.params, threads, cancel);
    }
    return render(input, options);
}

GridCoordinates readCoordinates(const std::string& npzFile, bool geographic) {
    const NpzArchive archive(npzFile);
    GridCoordinates c;
    c.geographic = geographic;
    for (const auto& [axis, name, what] : {std::tuple{&c.cols, "x", "the columns'"}, std::tuple{&c.rows, "y", "the rows'"}}) {
        if (!archive.contains(name))
            throw InputError(npzFile + ": holds no array named " + name + " (" + what + " coordinates" +
                             (geographic ? std::string(name) == "x" ? ", longitudes" : ", latitudes" : "") + ")");
        axis->name = npzFile + ": " + name;
        axis->values = readNpyValues(archive.open(name));
    }
    return c;
}

RunResult computeRun(const RunSettings& settings) {
    FieldFiles files(settings);
    return runLic(*files.next(), settings);
}

}  // namespace fastlic

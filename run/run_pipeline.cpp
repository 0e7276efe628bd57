#include "run/run_pipeline.h"

#include "run/globals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "io/input_files.h"
#include "io/mask_file.h"
#include "io/npy_reader.h"
#include "engine/fast_lic.h"
#include "base/parallel.h"
#include "io/image_writer.h"

namespace fastlic {

namespace {

// The latest run's grid; currentField points to it.
std::unique_ptr<RegGrid> latestGrid;
std::vector<std::uint8_t> latestMask;

// A .npy mask by its name, any other as text.
std::vector<std::uint8_t> readMask(const std::string& path, std::int32_t rows, std::int32_t cols,
                                   int threads) {
    if (!isNpyPath(path)) return readMaskText(path, rows, cols);
    MaskArray mask = readNpyMask(path, threads);
    if (mask.rows != rows || mask.cols != cols)
        throw InputError(path + ": shape " + shapeText({mask.rows, mask.cols}) + " does not match the grid size " +
                         std::to_string(rows) + "x" + std::to_string(cols));
    return std::move(mask.values);
}

// inputs: null for the text files, read by the one reader of both.
RegGrid& compute(const RunSettings& settings, RunInputs* inputs) {
    prepareThreads(threadCount(settings.threads));  // under way while the grid is allocated and read
    currentField = nullptr;
    latestGrid.reset();
    if (inputs)
        inputs->requireSize(settings.rows, settings.cols,
                            "the grid size " + std::to_string(settings.rows) + "x" + std::to_string(settings.cols));
    auto grid = std::make_unique<RegGrid>(settings.rows, settings.cols);
    if (inputs) {
        inputs->maskNan = settings.maskNan;
        inputs->threads = settings.threads;
    }
    maxMagnitude = inputs ? inputs->readInto(*grid)
                          : readInputFiles(settings.vectorFile, settings.textureFile, *grid, settings.threads);
    setColors();
    latestGrid = std::move(grid);
    currentField = latestGrid.get();
    latestMask.clear();
    if (!settings.maskFile.empty())
        latestMask = readMask(settings.maskFile, settings.rows, settings.cols, settings.threads);
    if (settings.maskNan) {
        latestMask.resize(currentField->cellCount());
        const Vector* vectors = currentField->vectors.data();
        for (std::size_t c = 0; c < latestMask.size(); ++c)
            latestMask[c] = latestMask[c] || std::isnan(vectors[c].x) || std::isnan(vectors[c].y);
    }
    if (!latestMask.empty()) {
        // Cells without data do not set the colour scale.
        double largest = 0.0;
        const Vector* vectors = currentField->vectors.data();
        for (std::size_t c = 0; c < latestMask.size(); ++c)
            if (!latestMask[c]) largest = std::max(largest, lengthSquared(vectors[c]));
        maxMagnitude = std::sqrt(largest);
    }
    const RunOptions options{settings.threads, settings.progress};
    const std::uint8_t* mask = latestMask.empty() ? nullptr : latestMask.data();
    if (inputs && !inputs->fractionalTexture().empty()) {
        // A texture of fractions goes to the engine beside the grid.
        FieldView view = viewOf(*currentField);
        view.texture = contiguousPlane(inputs->fractionalTexture().data(), currentField->cols);
        if (mask) view.mask = contiguousPlane(mask, currentField->cols);
        computeLic(view, settings.params, currentField->licSums.data(), currentField->hitCounts.data(), options);
    } else {
        computeFastLic(*currentField, settings.params, options, mask);
    }
    return *currentField;
}

}  // namespace

RunInputs::RunInputs(const RunSettings& settings)
    : vectorFile_(settings.vectorFile),
      textureFile_(settings.textureFile),
      streams_(detail::openInputFiles(settings.vectorFile, settings.textureFile)) {
    if (isNpyPath(vectorFile_)) {
        vectors_.emplace(fileno(streams_.vectors.get()), vectorFile_);
        vectorGridShape(*vectors_);
    }
    if (isNpyPath(textureFile_)) {
        texture_.emplace(fileno(streams_.texture.get()), textureFile_);
        const GridShape shape = textureGridShape(*texture_);
        if (vectors_ && shape != vectorGridShape(*vectors_))
            throw InputError(textureFile_ + ": shape " + shapeText(texture_->header().shape) +
                             " does not match shape " + shapeText(vectors_->header().shape) + " of " +
                             vectorFile_);
    }
}

std::optional<GridShape> RunInputs::arrayShape() const {
    if (vectors_) return vectorGridShape(*vectors_);
    if (texture_) return textureGridShape(*texture_);
    return std::nullopt;
}

void RunInputs::requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const {
    const auto check = [&](const std::optional<NpyFile>& file, GridShape shape) {
        if (shape != GridShape{rows, cols})
            throw InputError(file->name() + ": shape " + shapeText(file->header().shape) +
                             " does not match " + size);
    };
    if (vectors_) check(vectors_, vectorGridShape(*vectors_));
    if (texture_) check(texture_, textureGridShape(*texture_));
}

double RunInputs::readInto(RegGrid& grid) {
    double largest;
    if (vectors_) {
        largest = readNpyVectorsInto(*vectors_, &grid.vectors.data()->x, 3, {maskNan, threads});
        vectors_.reset();
    } else {
        largest = detail::readVectors(streams_.vectors.get(), inputName(vectorFile_), grid, threads);
    }
    if (texture_) {
        TextureArray t = readNpyTexture(*texture_, threads);
        if (auto* whole = std::get_if<std::vector<std::int32_t>>(&t.values))
            std::copy(whole->begin(), whole->end(), grid.texture.data());
        else
            fractional_ = std::move(std::get<std::vector<double>>(t.values));
        texture_.reset();
    } else {
        detail::readTexture(streams_.texture.get(), inputName(textureFile_), grid, threads);
    }
    streams_.vectors.reset();
    streams_.texture.reset();
    return largest;
}

RegGrid& computeRun(const RunSettings& settings) {
    if (!isNpyPath(settings.vectorFile) && !isNpyPath(settings.textureFile))
        return compute(settings, nullptr);
    RunInputs inputs(settings);
    return computeRun(settings, inputs);
}

RegGrid& computeRun(const RunSettings& settings, RunInputs& inputs) {
    return compute(settings, &inputs);
}

void runPipeline() {
    try {
        computeRun(RunSettings{});
        writeImage(*currentField);
    } catch (const BadFilename& e) {
        std::printf("%s\n", e.what());
        std::exit(-1);
    } catch (const InputError& e) {
        std::fprintf(stderr, "fastlic: %s\n", oneLine(e.what()).c_str());
        std::exit(-1);
    } catch (const OutputError& e) {
        std::fprintf(stderr, "fastlic: %s\n", oneLine(e.what()).c_str());
        std::exit(1);
    }
}

}  // namespace fastlic

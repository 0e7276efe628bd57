#include "app/run_pipeline.h"

#include "app/globals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "field/input_files.h"
#include "field/mask_file.h"
#include "lic/fast_lic.h"
#include "util/parallel.h"
#include "output/color_map.h"
#include "output/image_writer.h"

namespace fastlic {

namespace {

// The latest run's grid; currentField points to it.
std::unique_ptr<RegGrid> latestGrid;
std::vector<std::uint8_t> latestMask;

// A .npy mask by its name, any other as text.
std::vector<std::uint8_t> readMask(const std::string& path, std::int32_t rows, std::int32_t cols) {
    return readMaskText(path, rows, cols);
}

}  // namespace

RegGrid& computeRun(const RunSettings& settings) {
    // Every parallel stage after this one, the writers included, uses as
    // many threads as asked for.
    setThreadCount(settings.threads);
    prepareThreads(threadCount());  // under way while the grid is allocated and read
    currentField = nullptr;
    latestGrid.reset();
    auto grid = std::make_unique<RegGrid>(settings.rows, settings.cols);
    maxMagnitude = readInputFiles(settings.vectorFile, settings.textureFile, *grid);
    setColors();
    latestGrid = std::move(grid);
    currentField = latestGrid.get();
    latestMask.clear();
    if (!settings.maskFile.empty()) {
        latestMask = readMask(settings.maskFile, settings.rows, settings.cols);
        // Cells without data do not set the colour scale.
        double largest = 0.0;
        const Vector* vectors = currentField->vectors.data();
        for (std::size_t c = 0; c < latestMask.size(); ++c)
            if (!latestMask[c]) largest = std::max(largest, lengthSquared(vectors[c]));
        maxMagnitude = std::sqrt(largest);
    }
    computeFastLic(*currentField, settings.params, {settings.threads, settings.progress},
                   latestMask.empty() ? nullptr : latestMask.data());
    return *currentField;
}

void runPipeline() {
    try {
        computeRun(RunSettings{});
        writeImage(*currentField);
    } catch (const BadFilename& e) {
        std::printf("%s\n", e.what());
        std::exit(-1);
    } catch (const InputError& e) {
        std::fprintf(stderr, "fastlic: %s\n", e.what());
        std::exit(-1);
    } catch (const OutputError& e) {
        std::fprintf(stderr, "fastlic: %s\n", e.what());
        std::exit(1);
    }
}

}  // namespace fastlic

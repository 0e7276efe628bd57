#include "app/run_pipeline.h"

#include "app/globals.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "field/input_files.h"
#include "lic/fast_lic.h"
#include "util/parallel.h"
#include "output/color_map.h"
#include "output/image_writer.h"

namespace fastlic {

namespace {

// The latest run's grid; currentField points to it.
std::unique_ptr<RegGrid> latestGrid;

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
    computeFastLic(*currentField, settings.threads, settings.progress);
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
        std::fprintf(stderr, "fastlic: %s\n", oneLine(e.what()).c_str());
        std::exit(-1);
    } catch (const OutputError& e) {
        std::fprintf(stderr, "fastlic: %s\n", oneLine(e.what()).c_str());
        std::exit(1);
    }
}

}  // namespace fastlic

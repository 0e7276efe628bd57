#include "run/globals.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/fast_lic.h"
#include "io/image_writer.h"
#include "run/run_pipeline.h"

namespace fastlic {

RegGrid* currentField = nullptr;
double maxMagnitude = 0.0;
Colormap colorMap{std::vector<Point>(4), true};

namespace {
// The latest run; currentField points into it.
std::unique_ptr<RunResult> latestRun;
}  // namespace

void setColors() { colorMap = classicColormap(); }

void rk4Step(Point& p, double h) { rk4Step(*currentField, p, h); }

void traceStreamline(Streamline& s, std::int32_t row, std::int32_t column) {
    traceStreamline(*currentField, s, row, column);
}

void computeFastLic() { computeFastLic(*currentField); }

Image imageOf(const RegGrid& grid) { return render(renderInputOf(grid, maxMagnitude), {}, colorMap); }

void writeImage(const RegGrid& grid) {
    try {
        writePpm(imageOf(grid).view(), stdout);
    } catch (const OutputError& e) {
        throw OutputError(std::string("standard output: ") + e.what());
    }
}

const std::vector<std::string>& runWarnings() {
    static const std::vector<std::string> none;
    return latestRun ? latestRun->warnings : none;
}

void runPipeline() {
    try {
        currentField = nullptr;
        latestRun.reset();
        latestRun = std::make_unique<RunResult>(computeRun(RunSettings{}));
        for (const std::string& warning : latestRun->warnings) std::fprintf(stderr, "fastlic: %s\n", warning.c_str());
        currentField = &latestRun->grid;
        maxMagnitude = latestRun->largestMagnitude;
        setColors();
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

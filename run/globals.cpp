#include "run/globals.h"

#include <cstdio>
#include <string>

#include "engine/fast_lic.h"
#include "io/image_writer.h"

namespace fastlic {

RegGrid* currentField = nullptr;
double maxMagnitude = 0.0;
Colormap colorMap{std::vector<Point>(4), true};

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

}  // namespace fastlic

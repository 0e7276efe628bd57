// The step-by-step reference as a program, for side-by-side measurement:
// fscanf input, a normalisation per field sample, printf output.
//   fastlic-reference [--size ROWSxCOLS] [--lic FILE.npy] [--hits FILE.npy]
// reads the two fixed input files from the working directory and writes the
// PPM to standard output, or with --lic / --hits only the arrays.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/run_pipeline.h"
#include "io/input_files.h"
#include "engine/fast_lic.h"
#include "render/colormaps.h"
#include "io/image_writer.h"
#include "io/npy_writer.h"

int main(int argc, char** argv) {
    using namespace fastlic;
    std::int32_t rows = gridRows, cols = gridCols;
    const char* licPath = nullptr;
    const char* hitsPath = nullptr;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (std::strcmp(argv[a], "--size") == 0 && std::sscanf(argv[a + 1], "%dx%d", &rows, &cols) == 2) continue;
        if (std::strcmp(argv[a], "--lic") == 0) {
            licPath = argv[a + 1];
            continue;
        }
        if (std::strcmp(argv[a], "--hits") == 0) {
            hitsPath = argv[a + 1];
            continue;
        }
        std::fprintf(stderr,
                     "usage: fastlic-reference [--size ROWSxCOLS] [--lic FILE.npy] [--hits FILE.npy]\n");
        return 2;
    }
    try {
        RegGrid grid(rows, cols);
        const double largest = readInputFilesReference(vectorFileName, textureFileName, grid);
        computeFastLicReference(grid);
        const auto save = [&](const char* path, void (*write)(const RegGrid&, std::FILE*)) {
            std::FILE* f = std::fopen(path, "wb");
            if (!f) throw OutputError(std::string(path) + ": cannot create");
            write(grid, f);
            std::fclose(f);
        };
        if (licPath) save(licPath, writeLicNpy);
        if (hitsPath) save(hitsPath, writeHitsNpy);
        if (!licPath && !hitsPath) {
            writeImageReference(grid, stdout, largest, classicColormap());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fastlic-reference: %s\n", e.what());
        return 1;
    }
    return 0;
}

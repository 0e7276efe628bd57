// Writes a vector-field file and a texture file for the benchmarks and the
// exactness checks:  make-inputs KIND ROWS COLS DIR
// KIND: smooth (vortex and shear), random (every cell its own direction) or
// mixed (patches of zero, tiny unscaled, huge, random and smooth vectors).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/test_util.h"

int main(int argc, char** argv) {
    using namespace fastlic::testing;
    if (argc != 5) {
        std::fprintf(stderr, "usage: make-inputs smooth|random|mixed ROWS COLS DIR\n");
        return 2;
    }
    const std::string kind = argv[1];
    const std::int32_t rows = std::atoi(argv[2]), cols = std::atoi(argv[3]);
    const std::string dir = argv[4];
    VectorFn field;
    if (kind == "smooth")
        field = [=](std::int32_t i, std::int32_t j) { return smoothField(i, j, rows, cols); };
    else if (kind == "random")
        field = [=](std::int32_t i, std::int32_t j) { return randomField(i, j, cols, 17); };
    else if (kind == "mixed")
        field = [=](std::int32_t i, std::int32_t j) { return mixedField(i, j, rows, cols); };
    else {
        std::fprintf(stderr, "make-inputs: unknown kind %s\n", kind.c_str());
        return 2;
    }
    writeVectorFile(dir + "/ps.vec.256.256.3", rows, cols, field);
    writeTextureFile(dir + "/noise.256.256", rows, cols,
                     [=](std::int32_t i, std::int32_t j) { return noise(i, j, cols, 23); });
    return 0;
}

#include <cmath>
#include <cstdio>
#include <memory>

#include "io/input_files.h"

namespace fastlic {

double readInputFilesReference(const std::string& vectorFile, const std::string& textureFile,
                               RegGrid& grid) {
    double largest = 0.0;
    const detail::InputStreams in = detail::openInputFiles(vectorFile, textureFile);
    std::FILE* vf = in.vectors.get();
    std::FILE* tf = in.texture.get();
    double x = 0.0, y = 0.0;
    int t = 0;
    for (std::int32_t i = 0; i < grid.rows; ++i) {
        for (std::int32_t j = 0; j < grid.cols; ++j) {
            if (std::fscanf(vf, "%lf %lf\n", &x, &y) != 2)
                throw InputError(vectorFile + ": unreadable vector for cell " +
                                 std::to_string(i) + "," + std::to_string(j));
            grid.vectors[i][j].x = x;
            grid.vectors[i][j].y = y;
            const double m = std::sqrt(x * x + y * y);
            if (m > largest) largest = m;
            if (std::fscanf(tf, "%d", &t) != 1)
                throw InputError(textureFile + ": unreadable value for cell " +
                                 std::to_string(i) + "," + std::to_string(j));
            grid.texture[i][j] = t;
        }
    }
    return largest;
}

}  // namespace fastlic

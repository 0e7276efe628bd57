// Times the engine alone on arrays in memory, as the Python package calls
// it: (rows, cols) u and v, a texture, outputs on fresh pages each run.
//   engine-time U.npy V.npy TEXTURE.npy RUNS   prints the median seconds
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <variant>
#include <vector>

#include "base/zeroed_buffer.h"
#include "engine/lic.h"
#include "io/npy_reader.h"

int main(int argc, char** argv) {
    using namespace fastlic;
    if (argc != 5) {
        std::fprintf(stderr, "usage: engine-time U.npy V.npy TEXTURE.npy RUNS\n");
        return 2;
    }
    try {
        const NpyFile uFile(argv[1]);
        const auto rows = static_cast<std::int32_t>(uFile.header().shape.at(0));
        const auto cols = static_cast<std::int32_t>(uFile.header().shape.at(1));
        const std::vector<double> u = readNpyScalar(uFile), v = readNpyScalar(std::string(argv[2]));
        const TextureArray t = readNpyTexture(std::string(argv[3]));
        // x along the rows is v, as the package maps them.
        FieldView field{rows, cols, contiguousPlane(v.data(), cols), contiguousPlane(u.data(), cols), {}, {}};
        std::visit([&](const auto& values) { field.texture = contiguousPlane(values.data(), cols); }, t.values);
        std::vector<double> seconds;
        for (int run = 0; run < std::atoi(argv[4]); ++run) {
            const auto start = std::chrono::steady_clock::now();
            ZeroedBuffer<double> lic(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
            ZeroedBuffer<std::int32_t> hits(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
            computeLic(field, LicParams{}, lic.data(), hits.data(), RunOptions{});
            seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(seconds.begin(), seconds.end());
        std::printf("%.6f\n", seconds[seconds.size() / 2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "engine-time: %s\n", e.what());
        return 1;
    }
}

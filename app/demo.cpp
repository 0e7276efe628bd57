#include "app/demo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/run_pipeline.h"
#include "output/output_file.h"

namespace fastlic {

namespace {

struct Flow {
    double x, y;
};

// Two counter-rotating vortices and a saddle, in unit coordinates of the
// grid (u down the rows, v across the columns).
Flow demoFlow(double u, double v) {
    Flow f{0.0, 0.0};
    const struct {
        double u, v, strength;
    } vortices[] = {{0.32, 0.30, 1.0}, {0.32, 0.70, -0.6}};
    for (const auto& w : vortices) {
        const double du = u - w.u;
        const double dv = v - w.v;
        const double k = w.strength / (du * du + dv * dv + 0.0008);
        f.x += -dv * k;
        f.y += du * k;
    }
    const double su = u - 0.72;
    const double sv = v - 0.5;
    f.x += 3.0 * su;
    f.y += -3.0 * sv;
    return f;
}

// splitmix64: a fixed, portable generator (the standard distributions are
// not the same on every library).
std::uint64_t nextRandom(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// One line of the vector file, "%.6f %.6f\n" of cell (i, j); its length.
std::size_t vectorLine(char* line, std::int32_t i, std::int32_t j, std::int32_t rows,
                       std::int32_t cols) {
    const Flow f = demoFlow((i + 0.5) / rows, (j + 0.5) / cols);
    // Six decimals, as "%.6f" writes them: plenty for a demo.
    char* p = std::to_chars(line, line + 32, f.x, std::chars_format::fixed, 6).ptr;
    *p++ = ' ';
    p = std::to_chars(p, p + 32, f.y, std::chars_format::fixed, 6).ptr;
    *p++ = '\n';
    return static_cast<std::size_t>(p - line);
}

constexpr std::uint64_t textureSeed = 20261206;

// Texture value k, as the k + 1-th draw from the seed gives it.
unsigned textureValue(std::uint64_t k) {
    std::uint64_t state = textureSeed + k * 0x9e3779b97f4a7c15ULL;
    return static_cast<unsigned>(nextRandom(state) >> 56);
}

// The bytes of a file whose cell (i, j) takes bytes(i, j): summed over
// every cell of a small grid, and over an even sample of cells scaled up
// for a large one.
template <typename F>
std::uint64_t fileBytes(std::int32_t rows, std::int32_t cols, F bytes) {
    constexpr std::int32_t side = 256;
    const std::int32_t sampleRows = std::min(rows, side), sampleCols = std::min(cols, side);
    std::uint64_t sum = 0;
    for (std::int32_t a = 0; a < sampleRows; ++a)
        for (std::int32_t b = 0; b < sampleCols; ++b)
            sum += bytes(static_cast<std::int32_t>(static_cast<std::int64_t>(a) * rows / sampleRows),
                         static_cast<std::int32_t>(static_cast<std::int64_t>(b) * cols / sampleCols));
    const long double scale = static_cast<long double>(rows) * cols / (static_cast<long double>(sampleRows) * sampleCols);
    return static_cast<std::uint64_t>(static_cast<long double>(sum) * scale);
}

void check(std::FILE* out) {
    if (std::ferror(out)) throw OutputError(std::string("cannot write: ") + std::strerror(errno));
}

}  // namespace

void writeDemoVectors(std::FILE* out, std::int32_t rows, std::int32_t cols) {
    char line[80];
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j)
            std::fwrite(line, 1, vectorLine(line, i, j, rows, cols), out);
        check(out);
    }
}

void writeDemoTexture(std::FILE* out, std::int32_t rows, std::int32_t cols) {
    std::uint64_t state = textureSeed;
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            const auto value = static_cast<unsigned>(nextRandom(state) >> 56);
            std::fprintf(out, j + 1 < cols ? "%u " : "%u\n", value);
        }
        check(out);
    }
}

std::uint64_t demoVectorBytes(std::int32_t rows, std::int32_t cols) {
    return fileBytes(rows, cols, [&](std::int32_t i, std::int32_t j) {
        char line[80];
        return vectorLine(line, i, j, rows, cols);
    });
}

std::uint64_t demoTextureBytes(std::int32_t rows, std::int32_t cols) {
    return fileBytes(rows, cols, [&](std::int32_t i, std::int32_t j) {
        const unsigned v = textureValue(static_cast<std::uint64_t>(i) * cols + j);
        return std::uint64_t{2} + (v >= 10) + (v >= 100);
    });
}

void writeDemoInputs(const std::string& dir, std::int32_t rows, std::int32_t cols) {
    const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    const std::vector<std::string> made = dir.empty() ? std::vector<std::string>{} : makeDirectories(dir);
    try {
        OutputSet outputs;
        outputs.add("", base + vectorFileName,
                    [&](std::FILE* f) { writeDemoVectors(f, rows, cols); }, demoVectorBytes(rows, cols));
        outputs.add("", base + textureFileName,
                    [&](std::FILE* f) { writeDemoTexture(f, rows, cols); }, demoTextureBytes(rows, cols));
        outputs.open();
        outputs.write();
    } catch (...) {
        // A failed run leaves no new directory behind either.
        for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
        throw;
    }
}

}  // namespace fastlic

#include "run/demo.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run/demo_field.h"
#include "run/run_pipeline.h"
#include "io/output_file.h"

namespace fastlic {

namespace {

// One line of the vector file, cell (i, j) as "%.6f %.6f\n"; its length.
std::size_t vectorLine(char* line, std::int32_t rows, std::int32_t cols, std::int32_t i,
                       std::int32_t j) {
    const DemoVector f = demoFlowAt(rows, cols, i, j);
    char* p = formatDemoComponent(line, f.x);
    *p++ = ' ';
    p = formatDemoComponent(p, f.y);
    *p++ = '\n';
    return static_cast<std::size_t>(p - line);
}

// Texture value k: the generator's k + 1-th draw, reached directly.
unsigned textureValue(std::uint64_t k) { return DemoNoise(k * 0x9e3779b97f4a7c15ULL).next(); }

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
    const long double scale = static_cast<long double>(rows) * cols /
                              (static_cast<long double>(sampleRows) * sampleCols);
    return static_cast<std::uint64_t>(static_cast<long double>(sum) * scale);
}

// A full disk is found at the row it happens, not after gigabytes more.
void check(std::FILE* out) {
    if (std::ferror(out)) throw OutputError(std::string("cannot write: ") + std::strerror(errno));
}

}  // namespace

void writeDemoVectors(std::FILE* out, std::int32_t rows, std::int32_t cols) {
    char line[80];
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j)
            std::fwrite(line, 1, vectorLine(line, rows, cols, i, j), out);
        check(out);
    }
}

void writeDemoTexture(std::FILE* out, std::int32_t rows, std::int32_t cols) {
    DemoNoise noise;
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            const unsigned value = noise.next();
            std::fprintf(out, j + 1 < cols ? "%u " : "%u\n", value);
        }
        check(out);
    }
}

std::uint64_t demoVectorBytes(std::int32_t rows, std::int32_t cols) {
    return fileBytes(rows, cols, [&](std::int32_t i, std::int32_t j) {
        char line[80];
        return vectorLine(line, rows, cols, i, j);
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
    const std::vector<std::string> made =
        dir.empty() ? std::vector<std::string>{} : makeDirectories(dir);
    try {
        OutputSet outputs;
        outputs.add("", base + vectorFileName,
                    [&](std::FILE* f) { writeDemoVectors(f, rows, cols); },
                    demoVectorBytes(rows, cols));
        outputs.add("", base + textureFileName,
                    [&](std::FILE* f) { writeDemoTexture(f, rows, cols); },
                    demoTextureBytes(rows, cols));
        outputs.open();
        outputs.write();
    } catch (...) {
        // A failed run leaves no new directory behind either.
        for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
        throw;
    }
}

}  // namespace fastlic

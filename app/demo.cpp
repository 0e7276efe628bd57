#include "app/demo.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "app/run_pipeline.h"

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

using FilePtr = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

FilePtr create(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "w"), &std::fclose);
    if (!f) throw std::runtime_error(path + ": cannot create: " + std::strerror(errno));
    return f;
}

void close(FilePtr& f, const std::string& path) {
    const bool failed = std::ferror(f.get()) != 0;
    if (std::fclose(f.release()) != 0 || failed)
        throw std::runtime_error(path + ": cannot write: " + std::strerror(errno));
}

}  // namespace

void writeDemoInputs(const std::string& dir, std::int32_t rows, std::int32_t cols) {
    const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    const std::string vectorPath = base + vectorFileName;
    const std::string texturePath = base + textureFileName;

    FilePtr vf = create(vectorPath);
    char line[80];
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            const Flow f = demoFlow((i + 0.5) / rows, (j + 0.5) / cols);
            // Six decimals, as "%.6f" writes them: plenty for a demo.
            char* p = std::to_chars(line, line + 32, f.x, std::chars_format::fixed, 6).ptr;
            *p++ = ' ';
            p = std::to_chars(p, p + 32, f.y, std::chars_format::fixed, 6).ptr;
            *p++ = '\n';
            std::fwrite(line, 1, static_cast<std::size_t>(p - line), vf.get());
        }
    }
    close(vf, vectorPath);

    FilePtr tf = create(texturePath);
    std::uint64_t state = 20261206;
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            const auto value = static_cast<unsigned>(nextRandom(state) >> 56);
            std::fprintf(tf.get(), j + 1 < cols ? "%u " : "%u\n", value);
        }
    }
    close(tf, texturePath);
}

}  // namespace fastlic

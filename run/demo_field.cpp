#include "run/demo_field.h"

#include <charconv>

namespace fastlic {

DemoVector demoFlowAt(std::int32_t rows, std::int32_t cols, std::int32_t i, std::int32_t j) {
    // Two counter-rotating vortices and a saddle, in unit coordinates of the
    // grid (u down the rows, v across the columns).
    const double u = (i + 0.5) / rows;
    const double v = (j + 0.5) / cols;
    DemoVector f;
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

char* formatDemoComponent(char* out, double v) {
    return std::to_chars(out, out + 32, v, std::chars_format::fixed, 6).ptr;
}

namespace {

// Correctly rounded, as the reader converts.
double asWritten(double v) {
    char text[32];
    const char* end = formatDemoComponent(text, v);
    double read = 0.0;
    std::from_chars(text, end, read);
    return read;
}

}  // namespace

DemoVector demoVector(std::int32_t rows, std::int32_t cols, std::int32_t i, std::int32_t j) {
    const DemoVector f = demoFlowAt(rows, cols, i, j);
    return {asWritten(f.x), asWritten(f.y)};
}

std::uint8_t DemoNoise::next() {
    // splitmix64: a fixed, portable generator (the standard distributions
    // are not the same on every library); the top byte.
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::uint8_t>((z ^ (z >> 31)) >> 56);
}

}  // namespace fastlic

// The demo's field and noise, cell by cell: what the --demo files hold and
// what the Python package's demo_field and noise return.
#pragma once

#include <cstdint>

namespace fastlic {

struct DemoVector {
    double x = 0.0;  // along the rows
    double y = 0.0;  // along the columns
};

// The demo's smooth field (a vortex pair over a saddle) at the centre of
// cell (i, j) of a rows x cols grid, before its file rounds it.
DemoVector demoFlowAt(std::int32_t rows, std::int32_t cols, std::int32_t i, std::int32_t j);

// A component as the demo's file writes it, six decimals as "%.6f" does;
// returns the end of the text (at most 32 characters).
char* formatDemoComponent(char* out, double v);

// Cell (i, j)'s vector as the demo's file holds it: demoFlowAt's components
// formatted as above and read back, the values the reader then gets.
DemoVector demoVector(std::int32_t rows, std::int32_t cols, std::int32_t i, std::int32_t j);

// The demo's texture: uniform 0..255, row-major, from a fixed portable
// generator; seed 0 gives the bytes of the --demo texture file.
class DemoNoise {
public:
    explicit DemoNoise(std::uint64_t seed = 0) : state_(20261206 + seed) {}
    std::uint8_t next();

private:
    std::uint64_t state_;
};

}  // namespace fastlic

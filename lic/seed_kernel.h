// The method's arithmetic for one seed, on a prepared field: trace the
// streamline, map its 39 points to cells once, and work out the 19
// contributions (pixel, running average) that the seed would make, in the
// order the convolution adds them. Nothing here writes the grid, so seeds
// can be worked out in any order and on any thread; the same operations in
// the same order as the step-by-step reference keep every bit.
#pragma once

#include <cstdint>
#include <vector>

#include "field/reg_grid.h"
#include "util/zeroed_buffer.h"
#include "lic/fast_lic.h"

namespace fastlic::detail {

struct Direction {
    double x, y;
};

// What the kernel reads: per cell the forward increment u x 0.5 of rk4Step,
// where u is the unit vector of the cell (or the sample itself where it is
// near zero), and the texture.
//
// On grids of at least lockstepPad cells each way the table carries a halo
// of lockstepPad wrapped cells on every side, indexed by the truncated
// coordinates plus lockstepPad: every point a streamline reaches (within 10
// cells of its seed) then has its cell in the table without any wrapping
// or testing, and the halo reproduces the wrap-around exactly (truncation
// toward zero included: the halo row just above row 0 is row rows - 1 and
// is reached from x <= -1, while -1 < x < 0 truncates to row 0 itself).
struct PreparedField {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::int32_t pad = 0;     // lockstepPad, or 0 where the lockstep kernel does not apply
    std::int32_t stride = 0;  // cols + 2 x pad
    ZeroedBuffer<Direction> steps;
    std::vector<std::int32_t> rowStart;  // per padded row: its grid row x cols
    std::vector<std::int32_t> colOf;     // per padded column: its grid column
    const std::int32_t* texture = nullptr;

    // The table entry of an in-grid cell.
    const Direction& stepOf(std::int32_t row, std::int32_t col) const {
        return steps[static_cast<std::size_t>(row + pad) * static_cast<std::size_t>(stride) +
                     static_cast<std::size_t>(col + pad)];
    }
};

inline constexpr std::int32_t lockstepPad = 11;

void prepareField(const RegGrid& grid, PreparedField& field, int threads);

inline constexpr int maxContributions = 2 * slideSteps + 1;

// Contributions in the order they are added: the seed, positions +1..+9,
// then -1..-9; skipped steps leave no entry.
struct SeedContributions {
    std::int32_t size;
    std::int32_t cells[maxContributions];
    double values[maxContributions];
};


void seedContributions(const PreparedField& f, std::int32_t row, std::int32_t col,
                       SeedContributions& out);

// seedContributions for a batch of seeds at once, on a field with a halo
// (pad > 0). With every point inside and every window full, the same
// arithmetic needs no tests; several streamlines in lockstep keep the
// processor busy while each one waits for its next field sample. The batch
// is lockstepBatch() seeds, at most maxLockstepBatch.
inline constexpr int maxLockstepBatch = 16;
int lockstepBatch();
void lockstepSeedContributions(const PreparedField& f, const std::int32_t* rows,
                               const std::int32_t* cols, SeedContributions* const* out);

// The lockstep kernels, widest first; the widest the processor has is used
// unless tests narrow the choice to check the others too.
enum class Kernel { avx512, avx2, sse2 };
void useWidestKernelUpTo(Kernel widest);

}  // namespace fastlic::detail

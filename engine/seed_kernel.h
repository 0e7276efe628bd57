// The method's arithmetic for one seed, on a prepared field: trace the
// streamline, map its points to cells once, and work out the 2M + 1
// contributions (pixel, running average) that the seed would make, in the
// order the convolution adds them. Nothing here writes the sums or counts,
// so seeds can be worked out in any order and on any thread; the same
// operations in the same order as the step-by-step reference keep every bit.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/field_lookups.h"
#include "engine/lic.h"
#include "base/zeroed_buffer.h"

namespace fastlic::detail {

struct Direction {
    double x, y;
};

// The shape as the kernels use it.
struct Shape {
    std::int32_t L = 10;      // filter half length
    std::int32_t M = 9;       // slide steps
    std::int32_t reach = 19;  // L + M
    std::int32_t hitLimit = 12;

    std::int32_t contributions() const { return 2 * M + 1; }
    std::int32_t slots() const { return 2 * reach + 1; }
};

// What the kernels read: per cell the forward increment u x step of
// rk4Step, where u is the unit vector of the cell (or the sample itself
// where it is near zero), and the texture (int32 or double), row-major.
//
// Where the grid is at least pad cells each way, the table carries a halo
// of pad cells on every side, indexed by the truncated coordinates plus
// pad, each holding the cell its halo index stands for (zero in the
// exterior): every point a streamline reaches (less than reachCells of its
// seed) then has its cell in the table without any wrapping or testing,
// and the halo reproduces the periodic wrap exactly (truncation toward
// zero included: the halo row just above row 0 is row rows - 1 and is
// reached from x <= -1, while -1 < x < 0 truncates to row 0 itself). Seeds
// that may come near the exterior are marked careful.
template <typename T>
struct PreparedField {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::int32_t pad = 0;          // 0 where the lockstep kernels do not apply
    std::int32_t reachCells = 0;   // a whole number of cells beyond any point's distance from its seed
    std::int32_t stride = 0;       // cols + 2 x pad
    Shape shape;
    ZeroedBuffer<Direction> steps;
    Halo halo;
    const T* texture = nullptr;
    std::vector<T> textureCopy;  // where the caller's texture is not row-major

    // The options beyond the classic method, for the careful path; the
    // sampler's mask is mask.
    Sampler sampler;
    bool orientation = false;
    double stepSize = 0.5;
    std::vector<std::uint8_t> mask;      // row-major, 1 = no data; empty when none
    // Per seed: 1 where its streamline may come near the exterior, or
    // where the halo does not stand for what the mode samples, so the
    // lockstep kernels' assumptions fail; empty when none may.
    std::vector<std::uint8_t> careful;
    bool lockstepShape = true;           // nearest sampling without orientation
    bool linear = false;
    // Where !lockstepShape: per padded cell the unit vector (orientation
    // with nearest sampling) or the field's own vector (linear), for the
    // sampling lockstep kernels.
    ZeroedBuffer<Direction> vectors;

    PreparedField() : sampler(FieldView{}) {}

    // The table entry of an in-grid cell.
    const Direction& stepOf(std::int32_t row, std::int32_t col) const {
        return steps[static_cast<std::size_t>(row + pad) * static_cast<std::size_t>(stride) +
                     static_cast<std::size_t>(col + pad)];
    }
};

// Fills f from the view; throws FieldError for a vector that is not finite.
template <typename T>
void prepareField(const FieldView& view, const Plane<T>& texture, const LicParams& params,
                  PreparedField<T>& f, int threads);

// Where one seed's contributions go: size, then cells and values of
// capacity Shape::contributions(). Contributions in the order they are
// added: the seed, positions +1..+M, then -1..-M; skipped steps leave no
// entry.
struct SeedOut {
    std::int32_t* size;
    std::int32_t* cells;
    double* values;
};

// Working arrays of one thread, sized on first use.
struct KernelScratch {
    std::vector<std::int32_t> cells;
    std::vector<std::int32_t> truncated;
    std::vector<double> texture;
    std::vector<std::int32_t> careful;  // a band's seeds for the careful path
    std::vector<std::int32_t> spare;  // a batch's filler seed: size, then cells
    std::vector<double> spareValues;
};

template <typename T>
void seedContributions(const PreparedField<T>& f, std::int32_t row, std::int32_t col, SeedOut out,
                       KernelScratch& scratch);

// seedContributions for a batch of seeds at once, on a field with a halo
// (pad > 0). With every point inside and every window full, the same
// arithmetic needs no tests; several streamlines in lockstep keep the
// processor busy while each one waits for its next field sample. The batch
// is lockstepBatch() seeds, at most maxLockstepBatch.
inline constexpr int maxLockstepBatch = 16;
int lockstepBatch();
// Whether the lockstep kernels also sample between centres or orient (all
// but the scalar fallback do).
bool samplingLockstep();
void lockstepSeedContributions(const PreparedField<std::int32_t>& f, const std::int32_t* rows,
                               const std::int32_t* cols, const SeedOut* out, KernelScratch& scratch);
void lockstepSeedContributions(const PreparedField<double>& f, const std::int32_t* rows,
                               const std::int32_t* cols, const SeedOut* out, KernelScratch& scratch);

// The lockstep kernels' instruction sets on x86, widest first (one source,
// compiled for each); the widest the processor has is used unless tests
// narrow the choice to check the others too (scalar: seed by seed, for
// processors without SSE4). Other processors have their baseline's.
enum class Kernel { avx512, avx2, sse4, scalar };
void useWidestKernelUpTo(Kernel widest);

}  // namespace fastlic::detail

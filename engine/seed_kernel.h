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
#include "engine/step_table.h"
#include "base/zeroed_buffer.h"

namespace fastlic::detail {

using fastlic::Direction;

// The lockstep kernels form table offsets (twice the stride per row) from
// 16-bit halves, and the halo is no wider than the grid.
constexpr bool lockstepFits(std::int64_t rows, std::int64_t cols, std::int64_t pad) {
    return rows >= pad && cols >= pad && rows + 2 * pad <= 16383 && cols + 2 * pad <= 16383;
}

// The shape as the kernels use it.
struct Shape {
    std::int32_t L = 10;      // filter half length
    std::int32_t M = 9;       // slide steps
    std::int32_t reach = 19;  // L + M
    std::int32_t hitLimit = 12;
    // Windows weighted (any kernel but the box): each one's dot product.
    bool weighted = false;
    // Weighted windows with the two phase rows beside (animation).
    bool animated = false;

    std::int32_t contributions() const { return 2 * M + 1; }
    std::int32_t slots() const { return 2 * reach + 1; }
};

// How streamlines are traced: the field sampled at cell centres (nearest)
// or blended between them (linear), each with or without orientation.
// Derived once from the parameters; every choice that depends on it is a
// switch over all of its values.
enum class Mode : std::uint8_t { nearest, nearestOriented, linear, linearOriented };

constexpr Mode modeOf(const LicParams& p) {
    switch (p.interpolation) {
    case Interpolation::nearest: return p.orientation ? Mode::nearestOriented : Mode::nearest;
    case Interpolation::linear: return p.orientation ? Mode::linearOriented : Mode::linear;
    }
    return Mode::nearest;
}

constexpr bool oriented(Mode mode) {
    switch (mode) {
    case Mode::nearest:
    case Mode::linear: return false;
    case Mode::nearestOriented:
    case Mode::linearOriented: return true;
    }
    return false;
}

constexpr bool blends(Mode mode) {
    switch (mode) {
    case Mode::nearest:
    case Mode::nearestOriented: return false;
    case Mode::linear:
    case Mode::linearOriented: return true;
    }
    return false;
}

// What the kernels read: per cell what the mode samples (see table), and
// the texture (int32 or double), row-major.
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
    Mode mode = Mode::nearest;
    // Per padded cell: the forward increment u x step of rk4Step (nearest),
    // where u is the unit vector of the cell (or the sample itself where it
    // is near zero); u alone (nearest oriented); the field's own vector
    // (linear, to blend). Its own, or a StepTable's.
    ZeroedBuffer<Direction> ownTable;
    const Direction* table = nullptr;
    Halo halo;
    // Weighted windows: kernelWeights, and their sum in ascending order,
    // that of every full window.
    std::vector<double> weights;
    double weightTotal = 0.0;
    // Animated: the weights times cos and sin of 2 pi j / wavelength, and
    // for a steady wave those rows' weighted means over a full window (else 0).
    std::vector<double> cosWeights, sinWeights;
    double cosMean = 0.0, sinMean = 0.0;
    bool steady = false;
    const T* texture = nullptr;
    std::vector<T> textureCopy;  // where the caller's texture is not row-major

    // The field with its rules, for the careful path; its mask is mask.
    Sampler sampler;
    double stepSize = 0.5;
    std::vector<std::uint8_t> mask;      // row-major, 1 = no data; empty when none
    // Per seed: 1 where its streamline may come near the exterior, or
    // where the halo does not stand for what the mode samples, so the
    // lockstep kernels' assumptions fail; empty when none may.
    std::vector<std::uint8_t> careful;

    PreparedField() : sampler(FieldView{}) {}

    // The table entry of an in-grid cell.
    const Direction& entry(std::int32_t row, std::int32_t col) const {
        return table[static_cast<std::size_t>(row + pad) * static_cast<std::size_t>(stride) +
                     static_cast<std::size_t>(col + pad)];
    }
};

// Fills f from the view; throws FieldError for a vector that is not finite.
template <typename T>
void prepareField(const FieldView& view, const Plane<T>& texture, const LicParams& params,
                  PreparedField<T>& f, int threads);

// The same from a step table: no careful seeds, the field's vectors never
// read.
template <typename T>
void prepareField(const StepTable& steps, const Plane<T>& texture, PreparedField<T>& f);

// Makes a prepared field's windows the animated ones for the wave (its
// length in steps, finite and above 0): weighted (the box by weights of
// 1), with the phase rows.
template <typename T>
void prepareAnimation(PreparedField<T>& f, const LicParams& params, const Wave& wave);

// Where one seed's contributions go: size, then cells and values of
// capacity Shape::contributions(). Contributions in the order they are
// added: the seed, positions +1..+M, then -1..-M; skipped steps leave no
// entry.
struct SeedOut {
    std::int32_t* size;
    std::int32_t* cells;
    double* values;
    // Animated: each window's means by the phase rows, beside values.
    double* cosValues = nullptr;
    double* sinValues = nullptr;
};

// Working arrays of one thread, sized on first use.
struct KernelScratch {
    std::vector<std::int32_t> cells;
    std::vector<std::int32_t> truncated;
    std::vector<double> texture;
    std::vector<std::int32_t> careful;  // a band's seeds for the careful path
    std::vector<std::int32_t> spare;  // a batch's filler seed: size, then cells
    std::vector<double> spareValues;
    std::vector<double> windows;  // a batch's weighted window values
};

template <typename T>
void seedContributions(const PreparedField<T>& f, std::int32_t row, std::int32_t col, SeedOut out,
                       KernelScratch& scratch);

// seedContributions for a batch of seeds at once, on a field with a halo
// (pad > 0). With every point inside and every window full, the same
// arithmetic needs no tests; several streamlines in lockstep keep the
// processor busy while each one waits for its next field sample. One
// mode's kernel on one instruction set: batch seeds a call, at most
// maxLockstepBatch.
inline constexpr int maxLockstepBatch = 16;
template <typename T>
using LockstepFn = void (*)(const PreparedField<T>&, const std::int32_t* rows, const std::int32_t* cols,
                            const SeedOut* out, KernelScratch&);
struct LockstepKernel {
    int batch = 0;
    LockstepFn<std::int32_t> int32 = nullptr;
    LockstepFn<double> real = nullptr;

    // Without one, every seed takes the careful path.
    bool exists() const { return batch > 0; }
    void operator()(const PreparedField<std::int32_t>& f, const std::int32_t* rows, const std::int32_t* cols,
                    const SeedOut* out, KernelScratch& scratch) const {
        int32(f, rows, cols, out, scratch);
    }
    void operator()(const PreparedField<double>& f, const std::int32_t* rows, const std::int32_t* cols,
                    const SeedOut* out, KernelScratch& scratch) const {
        real(f, rows, cols, out, scratch);
    }
};

// The kernel of mode on the widest instruction set the processor runs, no
// wider than widest; none where that set has no kernel for the mode.
LockstepKernel lockstepKernel(Mode mode, InstructionSet widest);

}  // namespace fastlic::detail

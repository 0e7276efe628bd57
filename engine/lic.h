// fastlic's engine: the line integral convolution of a vector field given as
// arrays. No file formats, no global state: every call works on what it is
// given, and calls may run at once on several threads.
//
//     fastlic::LicParams params;            // the classic shape by default
//     params.filterHalfLength = 20;
//     fastlic::FieldView field = fastlic::FieldView::interleaved(rows, cols, xy, texture);
//     fastlic::LicResult r = fastlic::computeLic(field, params);
//     // r.lic[i * cols + j], r.hits[i * cols + j]
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "base/options.h"

namespace fastlic {

// What lies beyond an edge of the grid: the grid again (periodic, by the
// truncated remainder), or nothing (closed: a point is inside when
// 0 <= coordinate < size).
enum class Boundary : std::uint8_t { periodic, closed };

inline std::span<const options::Choice<Boundary>> choicesOf(Boundary) {
    static const options::Choice<Boundary> choices[] = {
        {Boundary::periodic, "periodic", "streamlines wrap around"},
        {Boundary::closed, "closed", "streamlines stop at the edge"},
    };
    return choices;
}

// How the field is sampled between cell centres: the cell's own vector
// (nearest), or the bilinear blend of the four nearest cell centres
// (linear), a + (b - a) x t along the columns, then along the rows, so a
// uniform field samples exactly as with nearest.
enum class Interpolation : std::uint8_t { nearest, linear };

inline std::span<const options::Choice<Interpolation>> choicesOf(Interpolation) {
    static const options::Choice<Interpolation> choices[] = {
        {Interpolation::nearest, "nearest", "the cell's vector"},
        {Interpolation::linear, "linear", "blend of the four nearest cell centres"},
    };
    return choices;
}

// The filter's weights over the window around position k, positions
// k - L..k + L: the box (every sample alike, slid along by its incremental
// update), a shape generated at L (kernelWeights says which weights), or
// the caller's own (custom).
enum class Kernel : std::uint8_t { box, triangle, hann, gaussian, sine, custom };

inline std::span<const options::Choice<Kernel>> choicesOf(Kernel) {
    static const options::Choice<Kernel> choices[] = {
        {Kernel::box, "box", "every sample alike, the classic method"},
        {Kernel::triangle, "triangle", "falling linearly from the centre"},
        {Kernel::hann, "hann", "raised cosine"},
        {Kernel::gaussian, "gaussian", "sigma L/2, cut at +-L"},
        {Kernel::sine, "sine", "half a period of a sine"},
    };
    return choices;
}

// The shape of the method and its options; the defaults are the classic
// method.
struct LicParams {
    // The box filter at position k covers positions k - L..k + L.
    std::int32_t filterHalfLength = 10;
    // The filter slides to positions +1..+M and -1..-M.
    std::int32_t slideSteps = 9;
    // A pixel is seeded while its hit count is below this.
    std::int32_t hitLimit = 12;
    // The Runge-Kutta step in cells; +step forward, -step backward.
    double step = 0.5;
    Boundary rowBoundary = Boundary::periodic;  // along x, axis 0
    Boundary colBoundary = Boundary::periodic;  // along y, axis 1
    // Directions without sign: while tracing one half of a streamline, a
    // sampled direction pointing against the previous one is negated.
    bool orientation = false;
    Interpolation interpolation = Interpolation::nearest;
    // Pass n + 1 convolves the LIC values of pass n.
    std::int32_t iterations = 1;
    // The most streamline points a run may trace (work()) where that is
    // also over workPerCell a cell: a bound on its time, raised by whoever
    // means to wait longer.
    double maxWork = 2e10;
    // A window's value is sum(w_j T(k + j)) / sum(w_j) over its inside
    // samples; the box keeps the classic arithmetic.
    Kernel kernel = Kernel::box;
    // Kernel::custom: 2L + 1 weights for positions -L..L, the positive ones
    // ahead along the field; finite, at least 0, not all 0.
    std::vector<double> weights = {};

    // Steps traced each way: the streamline has 2 x reach() + 1 points.
    std::int32_t reach() const { return filterHalfLength + slideSteps; }
    // Streamline points traced at most on a grid of that many cells: a
    // seed per cell, 2 x reach() + 1 points each, every pass.
    double work(std::int64_t cells) const {
        return static_cast<double>(cells) * (2.0 * reach() + 1.0) * iterations;
    }

    // Throws ParamError for the first field that cannot work.
    void validate() const;
    // validate(), the streamline no longer than the grid can give a
    // meaning to (reach() x step at most maxReachPerSide x the longer side),
    // and work(rows x cols) at most maxWork or workPerCell a cell.
    void validateFor(std::int32_t rows, std::int32_t cols) const;
};

// The weights a kernel other than the box takes for positions -L..L, at
// index j + L, every path of the method alike (the box: all 1):
//     triangle  L + 1 - |j|
//     hann      0.5 x (1 + cos(pi j / (L + 1)))
//     gaussian  exp(-0.5 x (j / s)^2), s = L / 2
//     sine      sin(pi (j + L + 1) / (2L + 2))
// custom ones as given, scaled by a power of two (which leaves every
// quotient's bits) so that none is above 1 and no sum overflows.
std::vector<double> kernelWeights(const LicParams& params);

// How far a streamline may reach, in lengths of the grid's longer side.
inline constexpr double maxReachPerSide = 100.0;
// Streamline points a cell that every grid may take, whatever maxWork.
inline constexpr double workPerCell = 1000.0;
// Steps each way, whatever the grid: keeps a streamline's arrays small.
inline constexpr std::int32_t maxReach = 1 << 20;
// The largest texture magnitude taken: a pixel's sum adds at most 2^31
// averages (the hit counts are 32-bit) and a window at most 2^21 + 1
// samples, so every sum stays below 2^1022, finite.
inline constexpr double maxTextureMagnitude = 0x1p990;  // about 1e298

// A parameter that cannot work. option() is its row's name in
// methodOptions() (engine/options.h), "" for the streamline's reach, which
// three of them make; problem() says what is wrong ("must be at least 1,
// got 0"); what() is both, the field as LicParams names it:
// "filterHalfLength: must be at least 1, got 0".
class ParamError : public std::invalid_argument {
public:
    ParamError(std::string option, std::string problem);
    const std::string& option() const { return option_; }
    const std::string& problem() const { return problem_; }

private:
    std::string option_;
    std::string problem_;
};

// A read-only two-dimensional array; strides in elements, either sign.
template <typename T>
struct Plane {
    const T* data = nullptr;
    std::ptrdiff_t rowStride = 0;
    std::ptrdiff_t colStride = 0;

    const T& operator()(std::int32_t i, std::int32_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * rowStride + static_cast<std::ptrdiff_t>(j) * colStride];
    }
    bool contiguous(std::int32_t cols) const { return colStride == 1 && rowStride == cols; }
};

template <typename T>
Plane<T> contiguousPlane(const T* data, std::int32_t cols) {
    return {data, cols, 1};
}

// The input of one convolution: rows x cols cells. Cell (i, j) covers the
// points with i <= x < i + 1 and j <= y < j + 1: its vector's x component
// runs along the rows (axis 0), its y component along the columns (axis 1).
// Integer textures convert to double exactly.
struct FieldView {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    Plane<double> x;
    Plane<double> y;
    std::variant<Plane<std::int32_t>, Plane<double>> texture;
    // Cells without data where nonzero; none when data is null. A masked
    // cell is outside for every lookup, never seeded, and gets a NaN LIC
    // value and no hits.
    Plane<std::uint8_t> mask;

    // Vectors as (x, y) pairs, row-major; a row-major texture.
    template <typename Texture>
    static FieldView interleaved(std::int32_t rows, std::int32_t cols, const double* xy,
                                 const Texture* texture) {
        return {rows, cols, {xy, 2 * static_cast<std::ptrdiff_t>(cols), 2},
                {xy + 1, 2 * static_cast<std::ptrdiff_t>(cols), 2}, contiguousPlane(texture, cols), {}};
    }
};

// Bad field data: sizes, a vector that is not finite, a texture value that
// is not finite or beyond maxTextureMagnitude. what() names the cell.
class FieldError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The run was stopped through RunOptions::cancel; the results are not
// complete.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("cancelled") {}
};

// A pixel's hit count would pass 2^31 - 1 (a sink that many streamlines
// run into, on a large grid with many slide steps); the run is refused
// rather than the count wrapped.
// option() is slide-steps, which sets how often one streamline may add
// to a pixel.
class CountOverflow : public ParamError {
public:
    CountOverflow();
};

// LIC values and hit counts, rows x cols, row-major.
struct LicResult {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<double> lic;
    std::vector<std::int32_t> hits;
    std::int64_t seeds = 0;  // streamlines traced
};

// The instruction sets of the engine's vector kernels on x86, widest
// first. The engine takes the widest the processor runs, no wider than the
// one asked for (widest: no limit); scalar traces seed by seed. Other
// processors have their baseline's, whatever is asked. The results are the
// same bits with every one.
enum class InstructionSet : std::uint8_t { widest, avx512, avx2, sse4, scalar };

struct RunOptions {
    int threads = 0;  // 0: every core
    // Told the fraction of the rows done from time to time, from one thread
    // at a time.
    std::function<void(double)> progress;
    InstructionSet instructionSet = InstructionSet::widest;
    // Looked at once per band of rows; once it is true the run stops and
    // throws Cancelled.
    const std::atomic<bool>* cancel = nullptr;
};

// The convolution into the caller's arrays of rows x cols values each,
// row-major; whatever they held is overwritten. The result is the same bits
// for every thread count. Returns the number of streamlines traced. Throws
// ParamError, FieldError, CountOverflow, Cancelled, std::bad_alloc.
std::int64_t computeLic(const FieldView& field, const LicParams& params, double* lic, std::int32_t* hits,
                const RunOptions& options = {});
LicResult computeLic(const FieldView& field, const LicParams& params,
                     const RunOptions& options = {});

// The memory a convolution of rows x cols on `threads` threads (0: every
// core) takes beyond its arrays of a few dozen bytes a cell: the ring of
// worked-out contributions (2 x slideSteps + 1 a seed, for a few bands a
// thread) and each thread's streamline arrays (2 x reach() + 1 points).
// For refusing a run before it starts.
std::uint64_t licWorkingBytes(const LicParams& params, std::int32_t rows, std::int32_t cols, int threads);

// Streaks that move along the field, for animation. Each window at
// position k of a streamline (the kernel's weights h_j, positions k - L..k +
// L, its inside samples) has at phase phi the value
//     V_k(phi) = sum h_j (1 + c_j(phi)) T(k + j) / sum h_j,
//     c_j(phi) = cos(2 pi j / wavelength + phi),
// so a pixel's frame is the mean of the V_k(phi) it receives. A steady wave
// takes out the wave's own mean over the window, m(phi) = sum h_j c_j(phi) /
// sum h_j (1 + c_j - m in place of 1 + c_j): a constant texture then stays
// that constant in every frame, rather than pulsing with the share of the
// wave the window does not cancel (2% for hann at wavelength L, 43% at
// 2L). As cos(a + phi) = cos a cos phi - sin a sin phi,
// three means per pixel give every frame: one trace, then a cheap pass a
// frame. Seeding, positions and hits are those of the static run with the
// same kernel; the pattern moves forward along the field, wavelength / n
// steps a frame of a loop of n.
struct AnimationSums {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    // Per pixel, row-major: the mean of sum h_j T / sum h_j (the static
    // LIC with that kernel, bit for bit), and of the same with the weights
    // h_j cos(2 pi j / wavelength) and h_j sin(2 pi j / wavelength).
    std::vector<double> base, cosine, sine;
    std::vector<std::int32_t> hits;
    std::int64_t seeds = 0;

    // The frame at phase phi: base + cos(phi) cosine - sin(phi) sine, each
    // pixel on its own (the same bits for every thread count); NaN where
    // masked.
    void frame(double phase, double* out, int threads = 0) const;
};

// The moving wave: its length in streamline steps (0: the filter half
// length) and whether it is steady (its mean over each window taken out).
struct Wave {
    double length = 0.0;
    bool steady = false;
};

// The wavelength an animation takes: the filter half length for 0, else
// the one given, which must be finite and above 0 (ParamError otherwise).
double animationWavelength(const LicParams& params, double wavelength);

// The phase of frame f of a loop of n: 2 pi (f mod n) / n, so that frame n
// is frame 0 exactly.
double loopPhase(std::int64_t f, std::int64_t n);

// The three means of the field's windows for the wave (its length in
// streamline steps; 0: the filter half length; else finite and above 0), the kernel
// the params' (the box's weights all 1). With several iterations the
// passes before the last are the static ones. Throws as computeLic, and
// ParamError("wavelength") for a bad wavelength.
AnimationSums computeLicAnimation(const FieldView& field, const LicParams& params, const Wave& wave,
                                  const RunOptions& options = {});

// The frame at phase written out plainly: V_k(phase) formed window by
// window, single-threaded and slow; hits as the static run's.
void computeLicAnimationReference(const FieldView& field, const LicParams& params, const Wave& wave,
                                  double phase, double* lic, std::int32_t* hits);

// The method written out step by step, one seed at a time: the reference
// the engine is held to bit for bit. Single-threaded and slow.
void computeLicReference(const FieldView& field, const LicParams& params, double* lic,
                         std::int32_t* hits);

}  // namespace fastlic

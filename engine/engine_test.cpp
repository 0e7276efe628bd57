// The engine against the step-by-step reference, bit for bit, across shapes
// of the method, sizes (the kernels' thresholds, bands, grids smaller than
// a band or than the halo), thread counts and lockstep kernels;
// and what the options beyond the classic method must do.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

#include "engine/fast_lic.h"
#include "engine/seed_kernel.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::firstDifference;
using B = Boundary;
using I = Interpolation;

// A field as arrays: (x, y) pairs and a texture.
struct Arrays {
    std::int32_t rows, cols;
    std::vector<double> xy;
    std::vector<std::int32_t> texture;
    FieldView view() const { return FieldView::interleaved(rows, cols, xy.data(), texture.data()); }
};

Arrays arrays(std::int32_t rows, std::int32_t cols, const testing::VectorFn& v, std::uint64_t seed = 5) {
    Arrays a{rows, cols, {}, {}};
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const Vector u = v(i, j);
            a.xy.insert(a.xy.end(), {u.x, u.y});
            a.texture.push_back(testing::noise(i, j, cols, seed));
        }
    return a;
}

// Smooth, random, and mixed (zero patches, tiny and huge vectors).
Arrays makeArrays(int kind, std::int32_t rows, std::int32_t cols) {
    return arrays(rows, cols, [&](std::int32_t i, std::int32_t j) {
        return kind == 0 ? testing::smoothField(i, j, rows, cols)
               : kind == 1 ? testing::randomField(i, j, cols, 3)
                           : testing::mixedField(i, j, rows, cols);
    });
}

// Blobs and scattered cells.
std::vector<std::uint8_t> blobMask(std::int32_t rows, std::int32_t cols) {
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(rows) * cols);
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const double di = i - rows * 0.4, dj = j - cols * 0.6;
            mask[static_cast<std::size_t>(i) * cols + j] =
                di * di + dj * dj < 0.02 * rows * cols || testing::noise(i, j, cols, 11) < 3;
        }
    return mask;
}

LicParams shape(std::int32_t L, std::int32_t M, std::int32_t H, double h) { return {L, M, H, h}; }

// The field of a as a step table, every fifth cell's halves written raw
// and joined, as a reader does with a vector split between two blocks.
StepTable stepTableOf(const Arrays& a, const LicParams& p) {
    StepTable table(p, a.rows, a.cols);
    for (std::int32_t i = 0; i < a.rows; ++i)
        for (std::int32_t j = 0; j < a.cols; ++j) {
            const std::size_t c = static_cast<std::size_t>(i) * a.cols + j;
            if (c % 5 == 0) {
                *table.at(i, j) = {a.xy[2 * c], a.xy[2 * c + 1]};
                table.join(i, j);
            } else {
                table.set(i, j, a.xy[2 * c], a.xy[2 * c + 1]);
            }
        }
    table.finish(2);
    return table;
}

// "" when the engine, from the field's vectors and (where it fits) from a
// step table, matches the reference on every field at this size; otherwise
// (L, M, H, h, rows, cols, field, threads, masked, table) and the first difference.
std::string compare(const LicParams& p, std::int32_t rows, std::int32_t cols, std::vector<int> threads,
                    bool masked = false, InstructionSet set = InstructionSet::widest) {
    const std::vector<std::uint8_t> mask = blobMask(rows, cols);
    for (int kind = 0; kind < 3; ++kind) {
        const Arrays a = makeArrays(kind, rows, cols);
        FieldView view = a.view();
        if (masked) view.mask = contiguousPlane(mask.data(), cols);
        LicResult expected{rows, cols, std::vector<double>(a.texture.size()), std::vector<std::int32_t>(a.texture.size())};
        computeLicReference(view, p, expected.lic.data(), expected.hits.data());
        const bool tabled = !masked && StepTable::fits(p, rows, cols);
        const std::optional<StepTable> table = tabled ? std::optional(stepTableOf(a, p)) : std::nullopt;
        for (int t : threads)
            for (const bool fromTable : {false, true}) {
                if (fromTable && !tabled) continue;
                LicResult actual{rows, cols, std::vector<double>(expected.lic.size(), -7.0),
                                 std::vector<std::int32_t>(expected.hits.size(), -7)};
                if (fromTable)
                    computeLic(*table, contiguousPlane(a.texture.data(), cols), actual.lic.data(), actual.hits.data(),
                               {t, {}, set});
                else
                    actual = computeLic(view, p, {t, {}, set});
                if (const std::string d = firstDifference(expected, actual); !d.empty())
                    return ::testing::PrintToString(std::tuple{p.filterHalfLength, p.slideSteps, p.hitLimit, p.step,
                                                               rows, cols, kind, t, masked, fromTable}) + ": " + d;
            }
    }
    return "";
}

TEST(Engine, MatchesReferenceAcrossShapesSizesAndThreads) {
    // The classic shape below, at and above its halo (11), one band and
    // many, wide and narrow, a column count the batches do not divide.
    for (auto [rows, cols] : {std::pair{1, 1}, {3, 7}, {10, 10}, {11, 11}, {12, 13}, {64, 1024},
                              {1100, 19}, {97, 203}})
        EXPECT_EQ(compare({}, rows, cols, {1, 2, 4}), "");
    // The shortest filter, no slide, one hit; steps that are not a power of
    // two; long streamlines on grids smaller than their reach.
    for (const LicParams& p : {shape(1, 0, 1, 0.5), shape(5, 4, 12, 0.5), shape(20, 19, 12, 0.5),
                               shape(10, 9, 3, 0.25), shape(10, 9, 12, 1.0), shape(3, 7, 2, 0.7),
                               shape(30, 30, 20, 1.0), shape(2, 13, 40, 0.3)})
        for (auto [rows, cols] : {std::pair{1, 1}, {5, 9}, {23, 41}, {40, 300}, {130, 70}})
            EXPECT_EQ(compare(p, rows, cols, {1, 3}), "");
}

// The options alone and combined: walls, orientation, linear sampling,
// passes, with and without a mask.
TEST(Engine, OptionsMatchReference) {
    const struct {
        LicParams params;
        bool masked;
    } options[] = {
        {{10, 9, 12, 0.5, B::closed, B::closed}, false},
        {{10, 9, 12, 0.5, B::closed, B::periodic}, false},
        {{5, 4, 12, 0.5, B::periodic, B::closed}, false},
        {{}, true},
        {{7, 3, 4, 0.7, B::periodic, B::periodic, true}, false},
        {{10, 9, 12, 0.5, B::periodic, B::periodic, false, I::linear}, false},
        {{5, 4, 12, 0.5, B::periodic, B::periodic, false, I::nearest, 2}, false},
        {{5, 4, 12, 0.5, B::closed, B::closed, true}, true},
        {{7, 3, 4, 0.7, B::closed, B::periodic, true, I::linear, 2}, true},
        {{10, 9, 12, 0.5, B::closed, B::closed, false, I::linear}, true},
    };
    for (const auto& o : options)
        for (auto [rows, cols] : {std::pair{1, 1}, {4, 9}, {23, 41}, {70, 130}})
            EXPECT_EQ(compare(o.params, rows, cols, {1, 3}, o.masked), "");
}

TEST(Engine, EveryLockstepKernelMatchesReference) {
    using S = InstructionSet;
    using M = detail::Mode;
    for (auto set : {S::scalar, S::sse4, S::avx2, S::avx512}) {
        for (auto mode : {M::nearest, M::nearestOriented, M::linear, M::linearOriented})
            EXPECT_EQ(detail::lockstepKernel(mode, set).exists(), set != S::scalar);
        for (const LicParams& p : {LicParams{}, shape(5, 4, 12, 0.5), shape(20, 19, 6, 0.75)}) {
            EXPECT_EQ(compare(p, 256, 256, {2}, false, set), "");
            EXPECT_EQ(compare(p, 61, 83, {1}, false, set), "");
        }
        // Seeds near walls and masks leave the lockstep path; oriented and
        // linear sampling have kernels of their own.
        EXPECT_EQ(compare({10, 9, 12, 0.5, B::closed, B::periodic}, 97, 120, {2}, true, set), "");
        EXPECT_EQ(compare({10, 9, 12, 0.5, B::periodic, B::periodic, true}, 97, 120, {2}, false, set), "");
        EXPECT_EQ(compare({5, 4, 12, 0.3, B::periodic, B::closed, false, I::linear}, 97, 120, {2}, true, set), "");
        EXPECT_EQ(compare({10, 9, 12, 0.5, B::periodic, B::periodic, true, I::linear}, 97, 120, {2}, false, set), "");
    }
}

// Weighted windows: every named kernel and an asymmetric array, alone and
// with walls, a mask, orientation and linear sampling, across thread
// counts and lockstep kernels (the classic shape unrolls; L = 7 does not).
TEST(Engine, KernelsMatchReference) {
    using S = InstructionSet;
    // Nothing behind or at the centre: by walls and masks, windows whose
    // inside weights sum to 0 (no contribution, no hit).
    std::vector<double> asymmetric(15);
    for (std::int32_t k = 9; k < 15; ++k) asymmetric[k] = 1 + testing::noise(k, 0, 1, 9);
    const struct {
        LicParams params;
        bool masked;
    } options[] = {
        {{}, false},
        {{10, 9, 12, 0.5, B::closed, B::closed}, false},
        {{}, true},
        {{10, 9, 12, 0.5, B::periodic, B::periodic, true}, false},
        {{5, 4, 6, 0.7, B::closed, B::periodic, true, I::linear}, true},
    };
    for (const Kernel kernel : {Kernel::triangle, Kernel::hann, Kernel::gaussian, Kernel::sine, Kernel::custom})
        for (const auto& o : options)
            for (const S set : {S::widest, S::avx2, S::sse4, S::scalar}) {
                LicParams p = o.params;
                p.kernel = kernel;
                if (kernel == Kernel::custom) p.weights = asymmetric, p.filterHalfLength = 7;
                EXPECT_EQ(compare(p, 61, 83, {1, 3}, o.masked, set), "") << static_cast<int>(kernel);
            }
}

// A constant stays that constant through every kernel, by walls and masks;
// the box as weights is the box up to rounding; bad weights are refused.
TEST(Engine, KernelsKeepConstantsAndRefuseBadWeights) {
    const Arrays smooth = makeArrays(0, 40, 50);
    Arrays constant = smooth;
    std::fill(constant.texture.begin(), constant.texture.end(), 77);
    const std::vector<std::uint8_t> mask = blobMask(40, 50);
    for (const Kernel kernel : {Kernel::triangle, Kernel::hann, Kernel::gaussian, Kernel::sine, Kernel::custom}) {
        LicParams p{10, 9, 12, 0.5, B::closed, B::periodic};
        p.kernel = kernel;
        if (kernel == Kernel::custom) p.weights = {0.0, 0.0, 3.0, 1e300, 0.5};
        if (kernel == Kernel::custom) p.filterHalfLength = 2;
        FieldView view = constant.view();
        view.mask = contiguousPlane(mask.data(), 50);
        const LicResult r = computeLic(view, p);
        for (std::size_t c = 0; c < r.lic.size(); ++c)
            ASSERT_TRUE(mask[c] || std::fabs(r.lic[c] - 77.0) < 1e-12) << c << ": " << r.lic[c];
    }
    LicParams weights;
    weights.kernel = Kernel::custom;
    weights.weights.assign(21, 2.5);
    const LicResult box = computeLic(smooth.view(), {}), weighted = computeLic(smooth.view(), weights);
    EXPECT_EQ(box.hits, weighted.hits);
    for (std::size_t c = 0; c < box.lic.size(); ++c) ASSERT_NEAR(box.lic[c], weighted.lic[c], 1e-12 * box.lic[c]);
    const double nan = std::nan("");
    for (const auto& [w, L, message] : std::initializer_list<std::tuple<std::vector<double>, int, std::string>>{
             {{1, 2}, 1, "kernel: must have an odd number of weights, at least 3 (2L + 1 for a filter half length L), got 2"},
             {{1}, 1, "kernel: must have an odd number of weights, at least 3 (2L + 1 for a filter half length L), got 1"},
             {{1, nan, 1}, 1, "kernel: weights must be finite and at least 0, got nan at index 1"},
             {{1, 1, -0.5}, 1, "kernel: weights must be finite and at least 0, got -0.5 at index 2"},
             {{0, 0, 0}, 1, "kernel: weights must have a sum above 0, got all 0"},
             {{1, 1, 1, 1, 1}, 3, "kernel: 5 weights make the filter half length 2, not the 3 that filterHalfLength or length sets"}}) {
        weights.weights = w;
        weights.filterHalfLength = L;
        std::string seen;
        try {
            weights.validate();
        } catch (const ParamError& e) {
            seen = e.what();
        }
        EXPECT_EQ(seen, message);
    }
}

TEST(Engine, LargeGridMatchesReference) { EXPECT_EQ(compare({}, 512, 512, {2}), ""); }

// Textures whose sums could overflow are refused (the reference alike);
// the largest taken gives finite values; a cancelled run stops.
TEST(Engine, RefusesTexturesBeyondTheSumsAndStopsWhenCancelled) {
    const Arrays a = makeArrays(0, 12, 13);
    std::vector<double> texture(a.texture.begin(), a.texture.end()), lic(texture.size());
    std::vector<std::int32_t> hits(texture.size());
    const std::string beyond = ", more than 2^990 (about 1.05e298) in magnitude", at = "texture at row 3, column 4 is ";
    for (const auto& [value, cancel, message] : {std::tuple{0x1p990, false, std::string()}, {-0x1p990, false, ""},
                                                  {0x1p991, false, at + "2.0927902484106784e+298" + beyond},
                                                  {-1e308, false, at + "-1e+308" + beyond}, {1.0, true, "cancelled"}})
        for (const bool reference : {false, !cancel}) {
            texture[3 * 13 + 4] = value;
            FieldView view = a.view();
            view.texture = contiguousPlane(texture.data(), 13);
            const std::atomic<bool> stop{cancel};
            std::string seen;
            try {
                reference ? computeLicReference(view, {}, lic.data(), hits.data())
                          : void(computeLic(view, {}, lic.data(), hits.data(), {2, {}, InstructionSet::widest, &stop}));
            } catch (const std::exception& e) {
                seen = e.what();
            }
            EXPECT_EQ(seen, message) << value;
            EXPECT_TRUE(!seen.empty() || std::all_of(lic.begin(), lic.end(), [](double v) { return std::isfinite(v); }));
        }
}

// Cancelled part way, with threads asleep waiting for a ring entry or the
// last additions (more threads than cores never spin): every thread stops.
TEST(Engine, StopsWhenCancelledPartWay) {
    const Arrays a = makeArrays(2, 96, 64);
    for (const int threads : {2, 3, 8}) {
        std::atomic<bool> stop{false};
        RunOptions options{threads, [&](double done) { stop = done > 0.2; }, InstructionSet::widest, &stop};
        std::string seen;
        try {
            computeLic(a.view(), {}, options);
        } catch (const Cancelled& e) {
            seen = e.what();
        }
        EXPECT_EQ(seen, "cancelled") << threads;
    }
}

// Strided, transposed and reversed views and textures of other types are
// held to the plain bits by the Python tests, which pass NumPy's strides.
TEST(Engine, CallsShareNothing) {
    const Arrays a = makeArrays(2, 40, 50);
    const LicResult first = computeLic(a.view(), {});
    computeLic(makeArrays(0, 60, 30).view(), shape(4, 2, 5, 1.0));
    EXPECT_EQ(firstDifference(first, computeLic(a.view(), {})), "");
}

TEST(Options, ClosedWallStopsStreaksWithoutDarkening) {
    Arrays f = arrays(64, 48, [](auto, auto) { return Vector(1, 0, 0); }, 7);
    const LicParams p{10, 9, 12, 0.5, B::closed, B::periodic};
    const LicResult r = computeLic(f.view(), p);
    const auto [low, high] = std::minmax_element(f.texture.begin(), f.texture.end());
    for (std::int32_t j = 0; j < f.cols; ++j)
        for (std::int32_t i : {0, 1, 62, 63}) {
            const double v = r.lic[static_cast<std::size_t>(i) * f.cols + j];
            EXPECT_TRUE(v >= *low && v <= *high) << i << "," << j << ": " << v;
        }
    // Row 0 sees nothing of the last rows: brightening them leaves it.
    std::fill(f.texture.begin() + 54 * f.cols, f.texture.end(), 255);
    const LicResult walled = computeLic(f.view(), p);
    EXPECT_TRUE(std::equal(r.lic.begin(), r.lic.begin() + f.cols, walled.lic.begin()));
}

TEST(Options, MaskedRingLeavesItsInsideWithoutValues) {
    const Arrays f = arrays(40, 40, [](auto i, auto j) { return testing::smoothField(i, j, 40, 40); }, 7);
    std::vector<std::uint8_t> mask(1600);
    for (std::size_t c = 0; c < mask.size(); ++c) {
        const double d = std::hypot(c / 40 - 20.0, c % 40 - 20.0);
        mask[c] = d < 12 && d > 9;
    }
    FieldView v = f.view();
    v.mask = contiguousPlane(mask.data(), 40);
    const LicResult r = computeLic(v, {});
    for (std::size_t c = 0; c < mask.size(); ++c)
        ASSERT_EQ(mask[c] ? std::isnan(r.lic[c]) && r.hits[c] == 0 : std::isfinite(r.lic[c]) && r.hits[c] >= 1,
                  true) << c;
}

TEST(Options, OrientationIgnoresTheSignOfVectors) {
    const auto smooth = [](std::int32_t i, std::int32_t j) { return testing::smoothField(i, j, 64, 64); };
    const Arrays plain = arrays(64, 64, smooth, 7);
    const Arrays flipped = arrays(64, 64, [&](std::int32_t i, std::int32_t j) {
        return smooth(i, j) * ((i / 8 + j / 8) % 2 ? -1.0 : 1.0);
    }, 7);
    const LicParams p{10, 9, 12, 0.5, B::periodic, B::periodic, true};
    // A seed in a flipped block traces its halves the other way round, so
    // its contributions arrive in another order: equal up to rounding.
    const LicResult a = computeLic(plain.view(), p), b = computeLic(flipped.view(), p);
    EXPECT_EQ(a.hits, b.hits);
    for (std::size_t c = 0; c < a.lic.size(); ++c) ASSERT_NEAR(a.lic[c], b.lic[c], 1e-9) << c;
    // Without orientation the flips break the streaks.
    EXPECT_NE(computeLic(flipped.view(), {}).hits, computeLic(plain.view(), {}).hits);
}

TEST(Options, LinearSamplingOfUniformFieldIsNearestAndPassesRepeat) {
    const Arrays f = arrays(50, 30, [](auto, auto) { return Vector(0.3, -0.7, 0); }, 7);
    EXPECT_EQ(firstDifference(computeLic(f.view(), {}),
                              computeLic(f.view(), {10, 9, 12, 0.5, B::periodic, B::periodic, false, I::linear})), "");
    const Arrays g = arrays(45, 70, [](auto i, auto j) { return testing::mixedField(i, j, 45, 70); }, 7);
    const LicResult first = computeLic(g.view(), {});
    FieldView again = g.view();
    again.texture = contiguousPlane(first.lic.data(), g.cols);
    EXPECT_EQ(firstDifference(computeLic(again, {}),
                              computeLic(g.view(), {10, 9, 12, 0.5, B::periodic, B::periodic, false, I::nearest, 2})), "");
}

// Moving streaks: the frames against the formula written out window by
// window (the sums reorder it, so within 1e-12 of the picture's scale;
// hits exact), at the loop's end (2 pi, which must be frame 0) too; the
// static part bit for bit the static run; the same bits for every thread
// count and on the careful path alone.
TEST(Animation, FramesMatchReference) {
    const struct {
        LicParams params;
        bool masked;
    } options[] = {
        {{}, false},
        {{10, 9, 12, 0.5, B::closed, B::closed}, true},
        {{5, 4, 6, 0.7, B::periodic, B::closed, true, I::linear, 2}, false},
    };
    for (const Kernel kernel : {Kernel::box, Kernel::hann, Kernel::gaussian, Kernel::custom})
        for (const auto& o : options)
            for (const Wave wave : {Wave{0.0}, Wave{23.5}, Wave{23.5, true}}) {
                LicParams p = o.params;
                p.kernel = kernel;
                if (kernel == Kernel::custom) p.weights = {0, 0, 1, 3, 2, 5, 1}, p.filterHalfLength = 3;
                const Arrays a = makeArrays(2, 37, 53);
                const std::vector<std::uint8_t> mask = blobMask(37, 53);
                FieldView view = a.view();
                if (o.masked) view.mask = contiguousPlane(mask.data(), 53);
                const AnimationSums sums = computeLicAnimation(view, p, wave, {1, {}});
                const AnimationSums careful = computeLicAnimation(view, p, wave, {3, {}, InstructionSet::scalar});
                const auto same = [](const std::vector<double>& x, const std::vector<double>& y) {
                    return std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
                };
                EXPECT_TRUE(sums.hits == careful.hits && same(sums.base, careful.base) &&
                            same(sums.cosine, careful.cosine) && same(sums.sine, careful.sine));
                if (kernel != Kernel::box) {
                    EXPECT_EQ(firstDifference(computeLic(view, p), {37, 53, sums.base, sums.hits}), "");
                }
                std::vector<double> frame(sums.base.size()), expected(frame.size());
                std::vector<std::int32_t> hits(frame.size());
                for (const int f : {0, 2, 6}) {
                    computeLicAnimationReference(view, p, wave, 2 * 3.14159265358979323846 * f / 6, expected.data(),
                                                 hits.data());
                    sums.frame(loopPhase(f, 6), frame.data(), 2);
                    ASSERT_EQ(hits, sums.hits);
                    for (std::size_t c = 0; c < frame.size(); ++c)
                        ASSERT_TRUE(o.masked && mask[c] ? std::isnan(frame[c]) : std::fabs(frame[c] - expected[c]) <= 256e-12)
                            << static_cast<int>(kernel) << " " << wave.length << " " << wave.steady << " " << f << " " << c << ": " << frame[c]
                            << " " << expected[c];
                }
            }
}

// A uniform flow along the rows: each frame is the one before moved
// wavelength / n steps forward (here one row), at every frame of the loop
// and across its seam; under a steady wave a constant texture stays
// constant at any phase.
TEST(Animation, StreaksMoveForwardAndConstantsStay) {
    Arrays f = arrays(96, 40, [](auto, auto) { return Vector(1, 0, 0); }, 3);
    LicParams p;
    p.kernel = Kernel::hann;
    const AnimationSums sums = computeLicAnimation(f.view(), p, {10.0});
    const std::int32_t n = 5;  // 2 steps of 0.5: one row a frame
    std::vector<double> before(sums.base.size()), after(before.size());
    for (std::int32_t k = 0; k < n; ++k) {
        sums.frame(loopPhase(k, n), before.data());
        sums.frame(loopPhase(k + 1, n), after.data());
        // The correlation of after with before moved d rows, periodic.
        double best = -HUGE_VAL;
        int peak = 0;
        for (int d = -4; d <= 4; ++d) {
            double c = 0.0;
            for (std::int32_t i = 0; i < 96; ++i)
                for (std::int32_t j = 0; j < 40; ++j)
                    c += (after[static_cast<std::size_t>(i) * 40 + j] - 127.5) *
                         (before[static_cast<std::size_t>((i - d + 96) % 96) * 40 + j] - 127.5);
            if (c > best) best = c, peak = d;
        }
        EXPECT_EQ(peak, 1) << k;
    }
    std::fill(f.texture.begin(), f.texture.end(), 77);
    const std::vector<std::uint8_t> mask = blobMask(96, 40);
    FieldView view = f.view();
    view.mask = contiguousPlane(mask.data(), 40);
    for (const Kernel kernel : {Kernel::box, Kernel::hann})
        for (const double wavelength : {0.0, 20.0, 3.0}) {
            p.kernel = kernel;
            p.rowBoundary = B::closed;
            const AnimationSums constant = computeLicAnimation(view, p, {wavelength, true});
            for (const int k : {0, 1, 3}) {
                constant.frame(loopPhase(k, 4), after.data());
                for (std::size_t c = 0; c < after.size(); ++c)
                    ASSERT_TRUE(mask[c] || std::fabs(after[c] - 77.0) < 1e-12) << c << ": " << after[c];
            }
        }
    EXPECT_THROW(computeLicAnimation(view, p, {-1.0}), ParamError);
}

}  // namespace
}  // namespace fastlic

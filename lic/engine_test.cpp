// The engine against the step-by-step reference, bit for bit, across shapes
// of the method, sizes (the kernels' thresholds, bands, grids smaller than
// a band or than the halo), thread counts, lockstep kernels and layouts.
#include <gtest/gtest.h>

#include <vector>

#include "lic/fast_lic.h"
#include "lic/seed_kernel.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::firstDifference;

// A field of the exactness tests as arrays: (x, y) pairs and a texture.
struct Arrays {
    std::int32_t rows, cols;
    std::vector<double> xy;
    std::vector<std::int32_t> texture;
    FieldView view() const { return FieldView::interleaved(rows, cols, xy.data(), texture.data()); }
};

Arrays makeArrays(int kind, std::int32_t rows, std::int32_t cols) {
    Arrays a{rows, cols, {}, {}};
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const Vector v = kind == 0   ? testing::smoothField(i, j, rows, cols)
                             : kind == 1 ? testing::randomField(i, j, cols, 3)
                                         : testing::mixedField(i, j, rows, cols);
            a.xy.push_back(v.x);
            a.xy.push_back(v.y);
            a.texture.push_back(testing::noise(i, j, cols, 5));
        }
    return a;
}

LicParams shape(std::int32_t L, std::int32_t M, std::int32_t H, double h) { return {L, M, H, h}; }

std::string describe(const LicParams& p, std::int32_t rows, std::int32_t cols, int kind, int threads) {
    return "L=" + std::to_string(p.filterHalfLength) + " M=" + std::to_string(p.slideSteps) +
           " H=" + std::to_string(p.hitLimit) + " h=" + std::to_string(p.step) + " " +
           std::to_string(rows) + "x" + std::to_string(cols) + " field " + std::to_string(kind) + ", " +
           std::to_string(threads) + " threads: ";
}

// "" when the engine matches the reference on every field at this size.
std::string compare(const LicParams& p, std::int32_t rows, std::int32_t cols, std::vector<int> threads) {
    for (int kind = 0; kind < 3; ++kind) {
        const Arrays a = makeArrays(kind, rows, cols);
        LicResult expected{rows, cols, std::vector<double>(a.xy.size() / 2), std::vector<std::int32_t>(a.xy.size() / 2)};
        computeLicReference(a.view(), p, expected.lic.data(), expected.hits.data());
        for (int t : threads) {
            const std::string d = firstDifference(expected, computeLic(a.view(), p, {t, {}}));
            if (!d.empty()) return describe(p, rows, cols, kind, t) + d;
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
    // Other shapes: the shortest filter, no slide, one hit; steps that are
    // not a power of two; long streamlines on grids smaller than their reach.
    const LicParams shapes[] = {shape(1, 0, 1, 0.5),  shape(5, 4, 12, 0.5),  shape(20, 19, 12, 0.5),
                                shape(10, 9, 3, 0.25), shape(10, 9, 12, 1.0), shape(3, 7, 2, 0.7),
                                shape(30, 30, 20, 1.0), shape(2, 13, 40, 0.3)};
    for (const LicParams& p : shapes)
        for (auto [rows, cols] : {std::pair{1, 1}, {5, 9}, {23, 41}, {40, 300}, {130, 70}})
            EXPECT_EQ(compare(p, rows, cols, {1, 3}), "");
}

// The options beyond the classic method, alone and combined, with a mask
// of blobs and scattered cells.
struct Options {
    LicParams params;
    bool masked;
};

LicParams with(LicParams p, Boundary rows, Boundary cols, bool orientation, Interpolation interpolation,
               std::int32_t iterations) {
    p.rowBoundary = rows;
    p.colBoundary = cols;
    p.orientation = orientation;
    p.interpolation = interpolation;
    p.iterations = iterations;
    return p;
}

std::vector<std::uint8_t> blobMask(std::int32_t rows, std::int32_t cols) {
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(rows) * cols);
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const double di = i - rows * 0.4, dj = j - cols * 0.6;
            const bool blob = di * di + dj * dj < 0.02 * rows * cols;
            mask[static_cast<std::size_t>(i) * cols + j] = blob || testing::noise(i, j, cols, 11) < 3;
        }
    return mask;
}

std::string compareOptions(const Options& o, std::int32_t rows, std::int32_t cols, std::vector<int> threads) {
    const std::vector<std::uint8_t> mask = blobMask(rows, cols);
    for (int kind = 0; kind < 3; ++kind) {
        const Arrays a = makeArrays(kind, rows, cols);
        FieldView view = a.view();
        if (o.masked) view.mask = contiguousPlane(mask.data(), cols);
        LicResult expected{rows, cols, std::vector<double>(a.texture.size()), std::vector<std::int32_t>(a.texture.size())};
        computeLicReference(view, o.params, expected.lic.data(), expected.hits.data());
        for (int t : threads) {
            const std::string d = firstDifference(expected, computeLic(view, o.params, {t, {}}));
            if (!d.empty())
                return describe(o.params, rows, cols, kind, t) + (o.masked ? "masked, " : "") + d;
        }
    }
    return "";
}

TEST(Engine, OptionsMatchReference) {
    using B = Boundary;
    using I = Interpolation;
    const LicParams classic, small = shape(5, 4, 12, 0.5), odd = shape(7, 3, 4, 0.7);
    const Options options[] = {
        {with(classic, B::closed, B::closed, false, I::nearest, 1), false},
        {with(classic, B::closed, B::periodic, false, I::nearest, 1), false},
        {with(small, B::periodic, B::closed, false, I::nearest, 1), false},
        {classic, true},
        {with(odd, B::periodic, B::periodic, true, I::nearest, 1), false},
        {with(classic, B::periodic, B::periodic, false, I::linear, 1), false},
        {with(small, B::periodic, B::periodic, false, I::nearest, 2), false},
        {with(small, B::closed, B::closed, true, I::nearest, 1), true},
        {with(odd, B::closed, B::periodic, true, I::linear, 2), true},
        {with(classic, B::closed, B::closed, false, I::linear, 1), true},
    };
    for (const Options& o : options)
        for (auto [rows, cols] : {std::pair{1, 1}, {4, 9}, {23, 41}, {70, 130}})
            EXPECT_EQ(compareOptions(o, rows, cols, {1, 3}), "");
}

TEST(Engine, EveryLockstepKernelMatchesReference) {
    for (auto kernel : {detail::Kernel::sse2, detail::Kernel::avx2, detail::Kernel::avx512}) {
        detail::useWidestKernelUpTo(kernel);
        for (const LicParams& p : {LicParams{}, shape(5, 4, 12, 0.5), shape(20, 19, 6, 0.75)}) {
            EXPECT_EQ(compare(p, 256, 256, {2}), "");
            EXPECT_EQ(compare(p, 61, 83, {1}), "");
        }
        // Seeds near walls and masks leave the lockstep path; oriented and
        // linear sampling have kernels of their own.
        using B = Boundary;
        using I = Interpolation;
        for (const Options& o : {Options{with({}, B::closed, B::periodic, false, I::nearest, 1), true},
                                 Options{with({}, B::periodic, B::periodic, true, I::nearest, 1), false},
                                 Options{with(shape(5, 4, 12, 0.3), B::periodic, B::closed, false, I::linear, 1), true},
                                 Options{with({}, B::periodic, B::periodic, true, I::linear, 1), false}})
            EXPECT_EQ(compareOptions(o, 97, 120, {2}), "");
    }
    detail::useWidestKernelUpTo(detail::Kernel::avx512);
}

TEST(Engine, LargeGridMatchesReference) { EXPECT_EQ(compare({}, 512, 512, {2}), ""); }

// Strided and transposed views, and a texture of doubles, give the bits of
// the plain row-major arrays.
TEST(Engine, LayoutsAndTextureTypesGiveTheSameBits) {
    const std::int32_t rows = 37, cols = 53;
    const Arrays a = makeArrays(0, rows, cols);
    const LicParams p = shape(6, 5, 12, 0.5);
    const LicResult plain = computeLic(a.view(), p);

    // Column-major copies: x and y planes apart, the texture as doubles.
    std::vector<double> x(a.texture.size()), y(a.texture.size()), t(a.texture.size());
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const std::size_t c = static_cast<std::size_t>(i) * cols + j, f = static_cast<std::size_t>(j) * rows + i;
            x[f] = a.xy[2 * c];
            y[f] = a.xy[2 * c + 1];
            t[f] = a.texture[c];
        }
    const FieldView transposed{rows, cols, {x.data(), 1, rows}, {y.data(), 1, rows}, Plane<double>{t.data(), 1, rows}, {}};
    EXPECT_EQ(firstDifference(plain, computeLic(transposed, p)), "");
    // Rows read backwards through a negative stride of a flipped copy.
    std::vector<double> flipped(a.xy.size());
    for (std::int32_t i = 0; i < rows; ++i)
        std::copy_n(a.xy.begin() + 2 * i * cols, 2 * cols, flipped.begin() + 2 * (rows - 1 - i) * cols);
    const double* last = flipped.data() + 2 * (rows - 1) * cols;
    const FieldView backwards{rows, cols, {last, -2 * cols, 2}, {last + 1, -2 * cols, 2},
                              contiguousPlane(a.texture.data(), cols), {}};
    EXPECT_EQ(firstDifference(plain, computeLic(backwards, p)), "");
}

TEST(Engine, CallsShareNothing) {
    const Arrays a = makeArrays(2, 40, 50), b = makeArrays(0, 60, 30);
    const LicResult first = computeLic(a.view(), {});
    computeLic(b.view(), shape(4, 2, 5, 1.0));
    EXPECT_EQ(firstDifference(first, computeLic(a.view(), {})), "");
}

}  // namespace
}  // namespace fastlic

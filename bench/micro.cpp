// Micro-benchmarks of the engine's parts, each beside its reference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "run/demo.h"
#include "io/input_files.h"
#include "engine/fast_lic.h"
#include "engine/seed_kernel.h"
#include "render/render.h"
#include "io/image_writer.h"
#include "tests/test_util.h"

namespace {

using namespace fastlic;

std::unique_ptr<RegGrid> demoGrid(std::int32_t size) {
    static testing::TempDir dir;
    writeDemoInputs(dir.path(), size, size);
    auto grid = std::make_unique<RegGrid>(size, size);
    readInputFiles(dir.file("ps.vec.256.256.3"), dir.file("noise.256.256"), *grid);
    return grid;
}

// The field and texture of grid in a new grid with zero counts and sums.
std::unique_ptr<RegGrid> unconvolvedCopy(const RegGrid& grid) {
    auto work = std::make_unique<RegGrid>(grid.rows, grid.cols);
    std::copy_n(grid.vectors.data(), grid.cellCount(), work->vectors.data());
    std::copy_n(grid.texture.data(), grid.cellCount(), work->texture.data());
    return work;
}

void BM_Rk4StepReference(benchmark::State& state) {
    auto grid = demoGrid(256);
    Point p = seedPoint(100, 100);
    for (auto _ : state) {
        rk4Step(*grid, p, 0.5);
        if (p.x > 240) p = seedPoint(100, 100);
        benchmark::DoNotOptimize(p);
    }
}
BENCHMARK(BM_Rk4StepReference);

// Seeds in scan order of the 256 x 256 grid, again and again; with
// convolve, the 19 convolution steps after each trace.
template <bool convolve>
void BM_SeedReference(benchmark::State& state) {
    auto grid = demoGrid(256);
    LicTarget target = targetOf(*grid);
    Streamline s;
    std::int32_t n = 0;
    for (auto _ : state) {
        traceStreamline(*grid, s, (n >> 8) & 255, n & 255);
        benchmark::DoNotOptimize(s);
        ++n;
        if (!convolve) continue;
        std::int32_t count;
        double average = convolveCenter(target, s, count);
        const double centre = average;
        const std::int32_t centreCount = count;
        for (std::int32_t k = 1; k <= 9; ++k) convolveForward(target, s, average, k, count);
        average = centre;
        count = centreCount;
        for (std::int32_t k = 1; k <= 9; ++k) convolveBackward(target, s, average, -k, count);
    }
}
BENCHMARK(BM_SeedReference<false>)->Name("BM_TraceStreamlineReference");
BENCHMARK(BM_SeedReference<true>)->Name("BM_SeedReference");

// One seed's contributions on the engine's table, one by one or (range 0
// the instruction set, avx512 to sse4) in lockstep batches; per seed.
void BM_SeedEngine(benchmark::State& state) {
    auto grid = demoGrid(256);
    const FieldView view = viewOf(*grid);
    detail::PreparedField<std::int32_t> field;
    detail::prepareField(view, std::get<Plane<std::int32_t>>(view.texture), LicParams{}, field, 1);
    const bool lockstep = state.range(0) >= 0;
    const detail::LockstepKernel kernel =
        detail::lockstepKernel(field.mode, static_cast<InstructionSet>(lockstep ? state.range(0) : 0));
    const int batch = lockstep ? kernel.batch : 1;
    std::vector<std::int32_t> sizes(detail::maxLockstepBatch), cells(detail::maxLockstepBatch * 19);
    std::vector<double> values(detail::maxLockstepBatch * 19);
    detail::SeedOut out[detail::maxLockstepBatch];
    for (int b = 0; b < batch; ++b) out[b] = {&sizes[b], &cells[b * 19], &values[b * 19]};
    detail::KernelScratch scratch;
    std::int32_t n = 0;
    for (auto _ : state) {
        std::int32_t rows[detail::maxLockstepBatch], cols[detail::maxLockstepBatch];
        for (int b = 0; b < batch; ++b, ++n) {
            rows[b] = (n >> 8) & 255;
            cols[b] = n & 255;
        }
        if (lockstep)
            kernel(field, rows, cols, out, scratch);
        else
            detail::seedContributions(field, rows[0], cols[0], out[0], scratch);
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SeedEngine)->Arg(-1)->Name("BM_SeedEngineOneByOne");
BENCHMARK(BM_SeedEngine)->Arg(1)->Arg(2)->Arg(3)->Name("BM_SeedEngineLockstep");

void BM_ComputeFastLicReference(benchmark::State& state) {
    auto grid = demoGrid(static_cast<std::int32_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto work = unconvolvedCopy(*grid);
        state.ResumeTiming();
        computeFastLicReference(*work);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(0));
}
BENCHMARK(BM_ComputeFastLicReference)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);

void BM_ComputeFastLic(benchmark::State& state) {
    auto grid = demoGrid(static_cast<std::int32_t>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        auto work = unconvolvedCopy(*grid);
        state.ResumeTiming();
        computeFastLic(*work, {}, {static_cast<int>(state.range(1)), {}});
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * state.range(0));
}
BENCHMARK(BM_ComputeFastLic)
    ->Args({256, 1})->Args({256, 2})->Args({1024, 1})->Args({1024, 2})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Other shapes beside the classic one (size, L, M): per_point is the
// time per streamline point traced.
void BM_ComputeLicShape(benchmark::State& state) {
    const auto size = static_cast<std::int32_t>(state.range(0));
    auto grid = demoGrid(size);
    const LicParams params{static_cast<std::int32_t>(state.range(1)), static_cast<std::int32_t>(state.range(2)), 12, 0.5};
    std::vector<double> lic(grid->cellCount());
    std::vector<std::int32_t> hits(grid->cellCount());
    std::int64_t seeds = 0;
    for (auto _ : state) seeds = computeLic(viewOf(*grid), params, lic.data(), hits.data(), {1, {}});
    const double points = static_cast<double>(seeds) * (2 * params.reach() + 1);
    state.counters["seeds"] = static_cast<double>(seeds);
    state.counters["per_point"] = benchmark::Counter(points * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ComputeLicShape)
    ->Args({1024, 10, 9})->Args({1024, 20, 19})->Args({1024, 5, 4})
    ->Args({2048, 10, 9})->Args({2048, 20, 19})->Args({2048, 5, 4})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// The smooth field with a noise texture at size x size, kept between
// runs of the same size.
const RegGrid& smoothGrid(std::int32_t size) {
    static std::unique_ptr<RegGrid> grid;
    if (!grid || grid->rows != size)
        grid = testing::makeGrid(
            size, size, [=](auto i, auto j) { return testing::smoothField(i, j, size, size); },
            [=](auto i, auto j) { return testing::noise(i, j, size, 23); });
    return *grid;
}

// Kernels beside the box on the smooth field, one thread (size, kernel,
// L, M): kernel is the Kernel's number, 5 an array of 2L + 1 uneven
// weights.
void BM_ComputeLicKernel(benchmark::State& state) {
    const auto size = static_cast<std::int32_t>(state.range(0));
    const RegGrid* grid = &smoothGrid(size);
    LicParams params{static_cast<std::int32_t>(state.range(2)), static_cast<std::int32_t>(state.range(3)), 12, 0.5};
    params.kernel = static_cast<Kernel>(state.range(1));
    if (params.kernel == Kernel::custom)
        for (std::int32_t k = 0; k <= 2 * params.filterHalfLength; ++k)
            params.weights.push_back(1.0 + testing::noise(k, 0, 1, 3));
    std::vector<double> lic(grid->cellCount());
    std::vector<std::int32_t> hits(grid->cellCount());
    for (auto _ : state) computeLic(viewOf(*grid), params, lic.data(), hits.data(), {1, {}});
    state.SetLabel(std::string(params.kernel == Kernel::custom ? "custom" : options::nameOf(params.kernel)));
}
BENCHMARK(BM_ComputeLicKernel)
    ->ArgsProduct({{2048}, {0, 1, 2, 3, 4, 5}, {10}, {9}})
    ->ArgsProduct({{2048}, {0, 2}, {20}, {19}})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Animation on the smooth field, one thread (size, frames): 0 frames is
// one static hann picture; n is the three sums and n frame passes.
void BM_Animation(benchmark::State& state) {
    const auto size = static_cast<std::int32_t>(state.range(0));
    const auto frames = static_cast<std::int32_t>(state.range(1));
    const RegGrid* grid = &smoothGrid(size);
    LicParams params;
    params.kernel = Kernel::hann;
    std::vector<double> lic(grid->cellCount());
    std::vector<std::int32_t> hits(grid->cellCount());
    for (auto _ : state) {
        if (frames == 0) {
            computeLic(viewOf(*grid), params, lic.data(), hits.data(), {1, {}});
            continue;
        }
        const AnimationSums sums = computeLicAnimation(viewOf(*grid), params, {}, {1, {}});
        for (std::int32_t f = 0; f < frames; ++f) sums.frame(loopPhase(f, frames), lic.data(), 1);
        benchmark::DoNotOptimize(lic.data());
    }
}
BENCHMARK(BM_Animation)->ArgsProduct({{1024}, {0, 1, 32}})->Unit(benchmark::kMillisecond)->UseRealTime();

double readFiles(const std::string& vectors, const std::string& texture, RegGrid& grid) {
    return readInputFiles(vectors, texture, grid);
}

template <double (*Read)(const std::string&, const std::string&, RegGrid&)>
void BM_Read(benchmark::State& state) {
    static testing::TempDir dir;
    writeDemoInputs(dir.path(), 256, 256);
    RegGrid grid(256, 256);
    for (auto _ : state) Read(dir.file("ps.vec.256.256.3"), dir.file("noise.256.256"), grid);
    state.SetItemsProcessed(state.iterations() * 256 * 256);
}
BENCHMARK(BM_Read<readInputFilesReference>)->Name("BM_ReadReference")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read<readFiles>)->Name("BM_Read")->Unit(benchmark::kMillisecond)->UseRealTime();

// The classic image: rendered, then written as PPM.
void writeClassic(const RegGrid& grid, std::FILE* out, double largest, const Colormap& map) {
    writePpm(render(renderInputOf(grid, largest), {}, map).view(), out);
}

template <void (*Write)(const RegGrid&, std::FILE*, double, const Colormap&)>
void BM_Write(benchmark::State& state) {
    auto grid = demoGrid(256);
    computeFastLic(*grid, {}, {1, {}});
    double largest = 0.0;
    for (std::size_t c = 0; c < grid->cellCount(); ++c)
        largest = std::max(largest, length(grid->vectors.data()[c]));
    const Colormap colors = classicColormap();
    std::FILE* sink = std::fopen("/dev/null", "w");
    for (auto _ : state) Write(*grid, sink, largest, colors);
    std::fclose(sink);
    state.SetItemsProcessed(state.iterations() * 256 * 256);
}
BENCHMARK(BM_Write<writeImageReference>)->Name("BM_WriteReference")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write<writeClassic>)->Name("BM_Write")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

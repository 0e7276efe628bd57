// End-to-end: the built fastlic binary, run in a temporary directory.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "run/run_pipeline.h"
#include "io/input_files.h"
#include "engine/fast_lic.h"
#include "render/render.h"
#include "io/image_writer.h"
#include "io/png_writer.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::readText;
using testing::TempDir;

using Result = testing::ProcessResult;

class Cli : public ::testing::Test {
protected:
    Result run(const std::vector<std::string>& args) { return testing::ChildProcess(FASTLIC_BINARY, dir.path(), args).wait(); }
    TempDir dir;
};

void writeInputs(const TempDir& dir, std::int32_t rows, std::int32_t cols) {
    testing::writeVectorFile(dir.file(vectorFileName), rows, cols, [=](auto i, auto j) {
        return testing::smoothField(i, j, rows, cols);
    });
    testing::writeTextureFile(dir.file(textureFileName), rows, cols,
                              [=](auto i, auto j) { return testing::noise(i, j, cols, 8); });
}

// The image of the inputs in dir (or under prefix) by the step-by-step
// reference run: its PPM by the reference writer, or the library's PNG.
std::string expectedImage(const TempDir& dir, std::int32_t rows = 256, std::int32_t cols = 256,
                          const std::string& prefix = "", bool png = false) {
    RegGrid g(rows, cols);
    const double largest =
        readInputFilesReference(dir.file(prefix + vectorFileName), dir.file(prefix + textureFileName), g);
    computeFastLicReference(g);
    std::FILE* f = std::tmpfile();
    if (png)
        writePng(render(renderInputOf(g, largest), {}).view(), f);
    else
        writeImageReference(g, f, largest, classicColormap());
    std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    return text;
}

// Without arguments: the PPM of the fixed files on standard output; -o
// writes the same run to a PPM or PNG file.
TEST_F(Cli, DemoThenRunGivesTheReferenceImage) {
    Result r = run({"--demo", "."});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == expectedImage(dir)) << "the PPM differs from the reference";
    EXPECT_NE(r.out.find("\n0 0 "), std::string::npos);  // the demo's colours show

    ASSERT_EQ(run({"--demo", "in", "--size", "40x70"}).status, 0);
    for (const std::string image : {"out.ppm", "x.png"}) {
        r = run({"--size", "40x70", "--vectors", "in/ps.vec.256.256.3", "--texture", "in/noise.256.256", "-o", image});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(readText(dir.file(image)) == expectedImage(dir, 40, 70, "in/", image == "x.png")) << image;
    }
    // Files larger than the grid: read as far as it goes, with a warning each.
    r = run({"--size", "20x35", "--vectors", "in/ps.vec.256.256.3", "--texture", "in/noise.256.256", "--lic", "l.npy"});
    EXPECT_EQ(r.status, 0);
    const std::string times = "; that is exactly 4 times what the grid needs: is the grid size right?\n";
    EXPECT_EQ(r.err, "fastlic: warning: in/ps.vec.256.256.3 holds 5600 values, a 20x35 grid uses the first 1400 "
                     "and ignores the rest" + times + "fastlic: warning: in/noise.256.256 holds 2800 values, a "
                     "20x35 grid uses the first 700 and ignores the rest" + times);
}

// The same field as text and as .npy gives the same bytes, in any mix; the
// size comes from the arrays. float32 vectors give the result of their
// values widened to double.
TEST_F(Cli, NpyInputsGiveTheBytesOfTheSameText) {
    const std::int32_t rows = 40, cols = 56;
    std::vector<double> xy;
    std::vector<float> xy32;
    std::vector<std::int32_t> texture;
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            // (0.6, 0.8) puts streamline points on cell edges, where the
            // rounding of float32 shows.
            const Vector v = i < 20 ? Vector{0.6, 0.8, 0.0} : testing::randomField(i, j, cols, 5);
            xy.insert(xy.end(), {v.x, v.y});
            xy32.insert(xy32.end(), {static_cast<float>(v.x), static_cast<float>(v.y)});
            texture.push_back(testing::noise(i, j, cols, 8));
        }
    const auto at = [&](const auto& values) {
        return [&](std::int32_t i, std::int32_t j) {
            const std::size_t k = static_cast<std::size_t>(i * cols + j) * 2;
            return Vector{values[k], values[k + 1], 0.0};
        };
    };
    testing::writeVectorFile(dir.file("v.txt"), rows, cols, at(xy));
    testing::writeVectorFile(dir.file("v32.txt"), rows, cols, at(xy32));
    testing::writeTextureFile(dir.file("t.txt"), rows, cols,
                              [&](auto i, auto j) { return texture[static_cast<std::size_t>(i * cols + j)]; });
    using testing::npyBytes, testing::npyData, testing::npyDict;
    testing::writeText(dir.file("v.npy"), npyBytes(npyDict("<f8", "(40, 56, 2)"), npyData(xy)));
    testing::writeText(dir.file("v32.npy"), npyBytes(npyDict("<f4", "(40, 56, 2)"), npyData(xy32)));
    testing::writeText(dir.file("t.npy"), npyBytes(npyDict("<i4", "(40, 56)"), npyData(texture)));

    const auto outputs = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"-o", "out.ppm", "--lic", "lic.npy", "--hits", "hits.npy"});
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return readText(dir.file("out.ppm")) + readText(dir.file("lic.npy")) + readText(dir.file("hits.npy"));
    };
    const std::string text = outputs({"--size", "40x56", "--vectors", "v.txt", "--texture", "t.txt"});
    EXPECT_TRUE(outputs({"--vectors", "v.npy", "--texture", "t.npy"}) == text);
    EXPECT_TRUE(outputs({"--vectors", "v.npy", "--texture", "t.txt"}) == text);
    EXPECT_TRUE(outputs({"--vectors", "v.txt", "--texture", "t.npy", "--size", "40x56"}) == text);
    const std::string single = outputs({"--vectors", "v32.npy", "--texture", "t.npy"});
    EXPECT_TRUE(single == outputs({"--size", "40x56", "--vectors", "v32.txt", "--texture", "t.txt"}));
    EXPECT_FALSE(single == text);  // the widened values make a difference

    testing::writeText(dir.file("t55.npy"), npyBytes(npyDict("|u1", "(40, 55)"), std::string(40 * 55, '\1')));
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--vectors", "v.npy", "--texture", "t.npy", "--size", "40x55"},
              "v.npy: shape (40, 56, 2) does not match --size 40x55"},
             {{"--vectors", "v.npy", "--texture", "t55.npy"},
              "t55.npy: shape (40, 55) does not match shape (40, 56, 2) of v.npy"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "fastlic: " + message + "\n");
        EXPECT_EQ(r.out, "");
    }
}

// Each method option reaches the engine: the --lic and --hits arrays are
// the library's on the same field, and nothing else is written. NaN vectors in a .npy file mark cells without data, as
// a mask does; a .npy texture of fractions reaches the engine as doubles.
TEST_F(Cli, MethodOptionsGiveTheLibrarysResult) {
    const std::int32_t rows = 37, cols = 52;
    writeInputs(dir, rows, cols);
    RegGrid g(rows, cols);
    readInputFiles(dir.file(vectorFileName), dir.file(textureFileName), g);
    std::vector<std::uint8_t> mask;
    std::vector<double> xy, fractions, holed;
    std::string text;
    for (std::int32_t i = 0; i < rows; ++i, text += '\n')
        for (std::int32_t j = 0; j < cols; ++j) {
            mask.push_back((i - 18) * (i - 18) + (j - 30) * (j - 30) < 40);
            text += mask.back() ? "1 " : "0 ";
            xy.insert(xy.end(), {mask.back() ? std::nan("") : g.vectors[i][j].x,
                                 mask.back() ? HUGE_VAL : g.vectors[i][j].y});
            fractions.push_back(g.texture[i][j] / 7.0);
            holed.push_back(mask.back() ? std::nan("") : fractions.back());
        }
    using testing::npyBytes, testing::npyData, testing::npyDict;
    testing::writeText(dir.file("mask.txt"), text);
    testing::writeText(dir.file("mask.npy"), npyBytes(npyDict("|b1", "(37, 52)"), npyData(mask)));
    testing::writeText(dir.file("v.npy"), npyBytes(npyDict("<f8", "(37, 52, 2)"), npyData(xy)));
    testing::writeText(dir.file("t.npy"), npyBytes(npyDict("<f8", "(37, 52)"), npyData(fractions)));
    testing::writeText(dir.file("holed.npy"), npyBytes(npyDict("<f8", "(37, 52)"), npyData(holed)));
    const LicParams walls{10, 9, 12, 0.5, Boundary::closed, Boundary::closed};
    testing::writeText(dir.file("k.txt"), "0 0.5 1\n2,4\n");
    const auto kernel = [](LicParams p, Kernel k, std::vector<double> w = {}) {
        p.kernel = k;
        p.weights = std::move(w);
        return p;
    };
    const struct {
        std::vector<std::string> args;
        LicParams params;
        bool masked = false, fractional = false;
    } cases[] = {
        {{}, {}},
        {{"--filter-half-length", "4", "--slide-steps", "3", "--hit-limit", "2", "--step", "0.75"}, {4, 3, 2, 0.75}},
        {{"--boundary", "closed", "--mask", "mask.txt"}, walls, true},
        {{"--boundary", "closed", "--mask", "mask.npy"}, walls, true},
        {{"--boundary", "cols=closed", "--orientation", "--interpolation", "linear", "--iterations", "2"},
         {10, 9, 12, 0.5, Boundary::periodic, Boundary::closed, true, Interpolation::linear, 2}},
        {{"--vectors", "v.npy", "--mask-nan", "--boundary", "closed"}, walls, true},  // (nan, inf): no data
        // Masked cells hold no data: NaN and infinities there are not errors.
        {{"--vectors", "v.npy", "--texture", "holed.npy", "--mask", "mask.npy", "--boundary", "closed"}, walls, true, true},
        {{"--texture", "t.npy", "--step", "0.3"}, {10, 9, 12, 0.3}, false, true},
        {{"--step", "0.4", "--length", "6.2", "--kernel", "hann"}, kernel({8, 7, 12, 0.4}, Kernel::hann)},
        {{"--kernel", "k.txt", "--slide-steps", "3", "--boundary", "closed", "--mask", "mask.txt"},
         kernel({2, 3, 12, 0.5, Boundary::closed, Boundary::closed}, Kernel::custom, {0, 0.5, 1, 2, 4}), true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--size", "37x52", "--lic", "l.npy", "--hits", "h.npy"});
        const Result r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        FieldView view = viewOf(g);
        if (c.masked) view.mask = contiguousPlane(mask.data(), cols);
        if (c.fractional) view.texture = contiguousPlane(fractions.data(), cols);
        const LicResult expected = computeLic(view, c.params);
        EXPECT_TRUE(readText(dir.file("l.npy")) == npyBytes(npyDict("<f8", "(37, 52)"), npyData(expected.lic)) &&
                    readText(dir.file("h.npy")) == npyBytes(npyDict("<i4", "(37, 52)"), npyData(expected.hits)))
            << ::testing::PrintToString(c.args);
    }
}

// --frames: the stack is the library's loop (hann unless a kernel is
// given), the animated PNG has as many frames; a pattern of vector files is
// a series, one static frame each, or moving with --phase-step.
TEST_F(Cli, AnimationsAreTheLibrarysFrames) {
    writeInputs(dir, 30, 41);
    testing::writeVectorFile(dir.file("v1.vec"), 30, 41, [](auto i, auto j) { return testing::randomField(i, j, 41, 3); });
    RegGrid g(30, 41), h(30, 41);
    readInputFiles(dir.file(vectorFileName), dir.file(textureFileName), g);
    readInputFiles(dir.file("v1.vec"), dir.file(textureFileName), h);
    std::rename(dir.file(vectorFileName).c_str(), dir.file("v0.vec").c_str());
    LicParams hann;
    hann.kernel = Kernel::hann;
    const auto loop = [&](const LicParams& p, double wavelength, int n, bool steady = false) {
        const AnimationSums sums = computeLicAnimation(viewOf(g), p, {wavelength, steady});
        std::vector<double> frames(sums.base.size() * n);
        for (int k = 0; k < n; ++k) sums.frame(loopPhase(k, n), frames.data() + sums.base.size() * k);
        return frames;
    };
    const auto moving = [&](double step) {
        std::vector<double> frames(30 * 41 * 2);
        computeLicAnimation(viewOf(g), hann, {}).frame(0, frames.data());
        computeLicAnimation(viewOf(h), hann, {}).frame(step, frames.data() + 30 * 41);
        return frames;
    };
    std::vector<double> series = computeLic(viewOf(g), hann).lic, second = computeLic(viewOf(h), hann).lic;
    series.insert(series.end(), second.begin(), second.end());
    // The same two fields as one stack, as u and v stacks, and as a stack
    // through a pipe (it fits in the pipe's buffer).
    std::vector<double> xy, us, vs;
    for (const RegGrid* field : {&g, &h})
        for (std::size_t k = 0; k < field->cellCount(); ++k) {
            const Vector& w = field->vectors.data()[k];
            xy.insert(xy.end(), {w.x, w.y});
            us.push_back(w.y);
            vs.push_back(w.x);
        }
    const std::string stack = testing::npyBytes(testing::npyDict("<f8", "(2, 30, 41, 2)"), testing::npyData(xy));
    testing::writeText(dir.file("s.npy"), stack);
    testing::writeText(dir.file("u.npy"), testing::npyBytes(testing::npyDict("<f8", "(2, 30, 41)"), testing::npyData(us)));
    testing::writeText(dir.file("v.npy"), testing::npyBytes(testing::npyDict("<f8", "(2, 30, 41)"), testing::npyData(vs)));
    ASSERT_EQ(mkfifo(dir.file("p.npy").c_str(), 0644), 0);
    const struct {
        std::vector<std::string> args;
        std::string shape;
        std::vector<double> frames;
    } cases[] = {
        {{"--vectors", "v0.vec", "--frames", "4", "--wavelength", "7", "-o", "a.png"}, "(4, 30, 41)", loop(hann, 7, 4)},
        {{"--vectors", "v0.vec", "--frames", "3", "--kernel", "box"}, "(3, 30, 41)", loop({}, 0, 3)},
        {{"--vectors", "v0.vec", "--frames", "3", "--steady"}, "(3, 30, 41)", loop(hann, 0, 3, true)},
        {{"--vectors", "v?.vec", "-o", "a.png"}, "(2, 30, 41)", series},
        {{"--vectors", "v0.vec", "--vectors", "v1.vec", "--phase-step", "0.5"}, "(2, 30, 41)", moving(0.5)},
        {{"--vectors", "s.npy", "-o", "b.png"}, "(2, 30, 41)", series},
        {{"--u", "u.npy", "--v", "v.npy", "-o", "c%d.png"}, "(2, 30, 41)", series},
        {{"--vectors", "p.npy", "-o", "d.gif", "--colormap-range", "0:9"}, "(2, 30, 41)", series},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--size", "30x41", "--lic", "l.npy"});
        const int pipe = c.args[1] == "p.npy" ? open(dir.file("p.npy").c_str(), O_RDWR | O_NONBLOCK) : -1;
        if (pipe >= 0) {
            ASSERT_EQ(write(pipe, stack.data(), stack.size()), static_cast<ssize_t>(stack.size()));
        }
        const Result r = run(args);
        if (pipe >= 0) close(pipe);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(readText(dir.file("l.npy")) == testing::npyBytes(testing::npyDict("<f8", c.shape.c_str()),
                                                                    testing::npyData(c.frames)))
            << ::testing::PrintToString(c.args);
    }
    // The animated PNG's control chunk: as many frames, played forever.
    const std::string png = readText(dir.file("a.png"));
    const std::size_t at = png.find("acTL");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(png.substr(at + 4, 8), std::string("\0\0\0\x02\0\0\0\0", 8));
    // A stack's pictures are those of its fields given one by one.
    EXPECT_TRUE(readText(dir.file("b.png")) == png);
    EXPECT_EQ(run({"--vectors", "v0.vec", "--vectors", "v1.vec", "-o", "e%d.png", "--size", "30x41"}).status, 0);
    for (const char* k : {"0", "1"})
        EXPECT_TRUE(readText(dir.file(std::string("c") + k + ".png")) == readText(dir.file(std::string("e") + k + ".png")));
}

TEST_F(Cli, ProgressLineOnlyOnATerminal) {
    ASSERT_EQ(run({"--demo", ".", "--size", "1500x1500"}).status, 0);
    // Standard error a pseudo-terminal, a run of seconds: the line appears and is cleared.
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        execl(FASTLIC_BINARY, FASTLIC_BINARY, "--size", "1500x1500", "--lic", "l.npy", "--threads", "1",
              "--iterations", "4", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
        seen.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(terminal);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(seen.find("fastlic: convolving"), std::string::npos) << seen;
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.substr(seen.size() - 4), "\r\033[K");
    // Not a terminal: nothing.
    const Result r = run({"--size", "1500x1500", "--lic", "l.npy"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(Cli, HelpAndVersion) {
    const Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--vectors"), std::string::npos);
    EXPECT_NE(help.out.find("--lic"), std::string::npos);
    EXPECT_NE(help.out.find("A file named - is standard input or output; a file called - is ./-"),
              std::string::npos);
    const Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("fastlic ", 0), 0u);
}

}  // namespace
}  // namespace fastlic

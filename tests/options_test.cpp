// The method's options from the console: each value reaches the engine
// (the --lic array equals the library's on the same field), and every bad
// value is one line with status 2.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/run_pipeline.h"
#include "field/input_files.h"
#include "lic/fast_lic.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::TempDir;

constexpr std::int32_t rows = 37, cols = 52;

bool hole(std::int32_t i, std::int32_t j) { return (i - 18) * (i - 18) + (j - 30) * (j - 30) < 40; }

std::string npy(const std::string& descr, const std::string& shape, const std::string& data) {
    return testing::npyBytes(testing::npyDict(descr, shape), data);
}

// The text inputs, and the same as .npy: a mask, vectors with NaN in the
// masked cells, a texture of fractions.
void writeInputs(const TempDir& dir, const RegGrid& g, std::vector<std::uint8_t>& mask, std::vector<double>& texture) {
    std::string text, flags;
    std::vector<double> xy;
    for (std::int32_t i = 0; i < rows; ++i, text += '\n')
        for (std::int32_t j = 0; j < cols; ++j) {
            mask.push_back(hole(i, j));
            text += hole(i, j) ? "1 " : "0 ";
            flags += static_cast<char>(hole(i, j));
            xy.insert(xy.end(), {hole(i, j) ? std::nan("") : g.vectors[i][j].x, g.vectors[i][j].y});
            texture.push_back(g.texture[i][j] / 7.0);
        }
    testing::writeText(dir.file("mask.txt"), text);
    testing::writeText(dir.file("mask.npy"), npy("|b1", "(37, 52)", flags));
    testing::writeText(dir.file("v.npy"), npy("<f8", "(37, 52, 2)", testing::npyData(xy)));
    testing::writeText(dir.file("t.npy"), npy("<f8", "(37, 52)", testing::npyData(texture)));
}

// The fixed text inputs, and the field they hold.
RegGrid writeTextInputs(const TempDir& dir) {
    testing::writeVectorFile(dir.file(vectorFileName), rows, cols,
                             [](auto i, auto j) { return testing::smoothField(i, j, rows, cols); });
    testing::writeTextureFile(dir.file(textureFileName), rows, cols,
                              [](auto i, auto j) { return testing::noise(i, j, cols, 8); });
    RegGrid g(rows, cols);
    readInputFiles(dir.file(vectorFileName), dir.file(textureFileName), g);
    return g;
}

TEST(Options, ConsoleGivesTheLibrarysResult) {
    TempDir dir;
    const RegGrid g = writeTextInputs(dir);
    std::vector<std::uint8_t> mask;
    std::vector<double> fractions;
    writeInputs(dir, g, mask, fractions);
    const LicParams walls{10, 9, 12, 0.5, Boundary::closed, Boundary::closed};
    const struct {
        std::vector<std::string> args;
        LicParams params;
        bool masked, fractional;
    } cases[] = {
        {{"--filter-half-length", "4", "--slide-steps", "3", "--hit-limit", "2", "--step", "0.75"}, {4, 3, 2, 0.75}, false, false},
        {{"--boundary", "closed", "--mask", "mask.txt"}, walls, true, false},
        {{"--boundary", "closed", "--mask", "mask.npy"}, walls, true, false},
        {{"--boundary", "cols=closed", "--orientation", "--interpolation", "linear", "--iterations", "2"},
         {10, 9, 12, 0.5, Boundary::periodic, Boundary::closed, true, Interpolation::linear, 2}, false, false},
        // NaN vectors in a .npy file mark cells without data, as a mask does.
        {{"--vectors", "v.npy", "--mask-nan", "--boundary", "closed"}, walls, true, false},
        // A .npy texture of fractions reaches the engine as doubles.
        {{"--texture", "t.npy", "--step", "0.3"}, {10, 9, 12, 0.3}, false, true},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--size", "37x52", "--lic", "l.npy"});
        const testing::ProcessResult r = testing::runProcess(FASTLIC_BINARY, dir.path(), args);
        ASSERT_EQ(r.status, 0) << r.err;
        FieldView view = viewOf(g);
        if (c.masked) view.mask = contiguousPlane(mask.data(), cols);
        if (c.fractional) view.texture = contiguousPlane(fractions.data(), cols);
        const LicResult expected = computeLic(view, c.params);
        const std::string bytes(reinterpret_cast<const char*>(expected.lic.data()), expected.lic.size() * 8);
        const std::string written = testing::readText(dir.file("l.npy"));
        EXPECT_TRUE(written.substr(written.size() - bytes.size()) == bytes) << c.args[0] << " " << c.args[1];
    }
}

TEST(Options, BadValuesAreOneLineWithStatusTwo) {
    TempDir dir;
    writeTextInputs(dir);
    testing::writeText(dir.file("short.txt"), "0 1\n1 0\n");
    testing::writeText(dir.file("word.txt"), "0 1\n0 x\n");
    testing::writeText(dir.file("cr.txt"), "0 1\r\n0 1\r0 0x\r");  // line ends CR LF and CR
    testing::writeText(dir.file("wide.npy"), npy("|u1", "(37, 53)", std::string(37 * 53, '\0')));
    const struct {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"--filter-half-length", "0"}, 2, "--filter-half-length: must be at least 1, got 0"},
        {{"--slide-steps", "-1"}, 2, "--slide-steps: must be at least 0, got -1"},
        {{"--hit-limit", "0"}, 2, "--hit-limit: must be at least 1, got 0"},
        {{"--step", "inf"}, 2, "--step: must be a finite number above 0, got inf"},
        {{"--iterations", "0"}, 2, "--iterations: must be at least 1, got 0"},
        {{"--filter-half-length", "3000", "--slide-steps", "3000", "--step", "1"}, 2,
         "--filter-half-length, --slide-steps and --step: the streamline reaches 6000 cells each way, more "
         "than 100 times the grid's longer side (5200 cells)"},
        {{"--boundary", "open"}, 2,
         "--boundary: expected periodic, closed or rows=periodic|closed,cols=periodic|closed, found \"open\""},
        {{"--boundary", "rows=closed,rows=closed"}, 2,
         "--boundary: expected periodic, closed or rows=periodic|closed,cols=periodic|closed, found "
         "\"rows=closed,rows=closed\""},
        {{"--interpolation", "cubic"}, 2, "--interpolation: expected nearest or linear, found \"cubic\""},
        {{"--mask-nan"}, 2, "--mask-nan: needs --vectors FILE.npy (text vector files may not hold NaN)"},
        {{"--mask", "short.txt"}, 255, "short.txt: 4 values, the grid has 37 x 52"},
        {{"--mask", "wide.npy"}, 255, "wide.npy: shape (37, 53) does not match the grid size 37x52"},
        {{"--mask", "word.txt"}, 255, "word.txt:2: expected a whole number (0: data, nonzero: no data), found \"x\""},
        {{"--mask", "cr.txt"}, 255, "cr.txt:3: expected a whole number (0: data, nonzero: no data), found \"0x\""},
        {{"--mask", ""}, 2, "--mask: empty file name (see fastlic --help)"},
        {{"--mask", "short.txt", "--hits", "short.txt"}, 2, "--mask short.txt and --hits short.txt name the same file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--size", "37x52", "--lic", "l.npy"});
        const testing::ProcessResult r = testing::runProcess(FASTLIC_BINARY, dir.path(), args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_EQ(r.err, std::string("fastlic: ") + c.message + "\n");
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
}  // namespace fastlic

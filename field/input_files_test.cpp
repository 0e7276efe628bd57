#include "field/input_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::TempDir;
using testing::writeText;

class InputFiles : public ::testing::Test {
protected:
    std::string vec() const { return dir.file("v"); }
    std::string tex() const { return dir.file("t"); }

    // The message of the InputError that reading gives, or "" if none.
    std::string errorOf(const std::string& vectors, const std::string& texture, int rows = 2,
                        int cols = 2) {
        writeText(vec(), vectors);
        writeText(tex(), texture);
        RegGrid g(rows, cols);
        try {
            readInputFiles(vec(), tex(), g);
        } catch (const InputError& e) {
            return e.what();
        }
        return "";
    }

    TempDir dir;
    const std::string fourTextures = "1 2 3 4\n";
};

TEST_F(InputFiles, FillsCellsRowMajorAndFindsLargestMagnitude) {
    writeText(vec(), "3 4\n-1 0.5\n0 0\n1e-3 -2\nignored 7\n");
    writeText(tex(), "10 20\n30 -5 999 rest\n");
    RegGrid g(2, 2);
    maxMagnitude = 1e9;  // nothing carries over from earlier runs
    readInputFiles(vec(), tex(), g);
    EXPECT_EQ(g.vectors[0][0], Vector(3, 4, 0));
    EXPECT_EQ(g.vectors[0][1], Vector(-1, 0.5, 0));
    EXPECT_EQ(g.vectors[1][0], Vector(0, 0, 0));
    EXPECT_EQ(g.vectors[1][1], Vector(1e-3, -2, 0));
    EXPECT_EQ(g.texture[0][0], 10);
    EXPECT_EQ(g.texture[1][1], -5);
    EXPECT_EQ(maxMagnitude, 5.0);
}

TEST_F(InputFiles, AcceptsAnyWhiteSpaceLayout) {
    const std::string layouts[] = {
        "3 4 -1 0.5 0 0 7 8",                  // one line
        "3\n4\n-1\n0.5\n0\n0\n7\n8\n",         // one number per line
        "3 4\r\n-1 0.5\r\n0 0\r\n7 8\r\n",     // CR LF
        "  3\t4\n\n\v-1   0.5\f0 0\n+7 8e0",   // mixed, signs and exponents
    };
    for (const auto& text : layouts) {
        writeText(vec(), text);
        writeText(tex(), "1\r\n2\r\n3\r\n+4");
        RegGrid g(2, 2);
        readInputFiles(vec(), tex(), g);
        EXPECT_EQ(g.vectors[0][1], Vector(-1, 0.5, 0)) << text;
        EXPECT_EQ(g.vectors[1][1], Vector(7, 8, 0)) << text;
        EXPECT_EQ(g.texture[1][1], 4) << text;
    }
}

TEST_F(InputFiles, ParsesNumbersAsFormattedInputDoes) {
    writeText(vec(), "0.1 .5\n-0 1.\n2.2250738585072011e-308 4.9e-324\n1e-400 1E+2\n");
    writeText(tex(), fourTextures);
    RegGrid g(2, 2);
    readInputFiles(vec(), tex(), g);
    EXPECT_EQ(g.vectors[0][0].x, 0.1);
    EXPECT_EQ(g.vectors[0][0].y, 0.5);
    EXPECT_TRUE(std::signbit(g.vectors[0][1].x));
    EXPECT_EQ(g.vectors[1][0].y, 4.9e-324);
    EXPECT_EQ(g.vectors[1][1].x, 0.0);  // underflow gives zero, not an error
    EXPECT_EQ(g.vectors[1][1].y, 100.0);
}

// What the error tests of the program do not reach: hexadecimal, which
// "%lf" would take, a long word cut short in the message, the ends of the
// 32-bit range.
TEST_F(InputFiles, ReportsWordsOutsideTheNumberSyntax) {
    EXPECT_EQ(errorOf("1 2 3 0x10 5 6 7 8", fourTextures),
              vec() + ":1: expected a number, found \"0x10\"");
    EXPECT_EQ(errorOf("1 2 " + std::string(5000, 'z') + " 4 5 6 7 8", fourTextures),
              vec() + ":1: expected a number, found \"" + std::string(32, 'z') + "...\"");
    EXPECT_EQ(errorOf("1 2 3 4 5 6 7 8", "1 2 -2147483648 2147483647"), "");
}

TEST_F(InputFiles, ReadsWordsAcrossChunkBoundaries) {
    // A grid large enough that the file spans several read chunks.
    const std::int32_t rows = 300, cols = 700;
    testing::writeVectorFile(vec(), rows, cols, [](auto i, auto j) {
        return testing::smoothField(i, j, 300, 700);
    });
    testing::writeTextureFile(tex(), rows, cols, [](auto i, auto j) { return testing::noise(i, j, 700, 3); });
    RegGrid fast(rows, cols), reference(rows, cols);
    readInputFiles(vec(), tex(), fast);
    const double fastMax = maxMagnitude;
    readInputFilesReference(vec(), tex(), reference);
    EXPECT_EQ(fastMax, maxMagnitude);
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            ASSERT_EQ(fast.vectors[i][j], reference.vectors[i][j]) << i << ", " << j;
            ASSERT_EQ(fast.texture[i][j], reference.texture[i][j]) << i << ", " << j;
        }
}

TEST_F(InputFiles, CountsLinesAcrossBlocks) {
    // Several megabytes before the bad word: the line is counted through
    // every block before it, and values after the last needed one are ignored.
    const std::int32_t rows = 400, cols = 500;
    std::string text;
    for (std::int32_t n = 0; n < rows * cols; ++n) text += "0.25 -1.5e-3\n";
    std::string bad = text;
    bad.replace(bad.size() - 3 * 13, 4, "0.2x");  // on the third line from the end
    writeText(vec(), bad);
    testing::writeTextureFile(tex(), rows, cols, [](auto, auto) { return 1; });
    RegGrid g(rows, cols);
    try {
        readInputFiles(vec(), tex(), g);
        ADD_FAILURE() << "no error";
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()),
                  vec() + ":" + std::to_string(rows * cols - 2) + ": expected a number, found \"0.2x\"");
    }
    writeText(vec(), text + "garbage after the last value\n");
    readInputFiles(vec(), tex(), g);
    EXPECT_EQ(g.vectors[rows - 1][cols - 1], Vector(0.25, -1.5e-3, 0));
}

}  // namespace
}  // namespace fastlic

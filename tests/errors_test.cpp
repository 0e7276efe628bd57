// Bad input and bad options, seen from outside: every failure is one line on
// standard error, nothing on standard output, and the directory as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::readText;
using testing::writeText;
using Args = std::vector<std::string>;

class Errors : public ::testing::Test {
protected:
    // A 10 x 10 run with the given inputs that asks for every output file.
    static Args runWith(const std::string& vectors, const std::string& texture) {
        return {"--size", "10x10", "--vectors", vectors, "--texture", texture,
                "-o",     "out.ppm", "--lic",   "lic.npy", "--hits",  "hits.npy"};
    }
    void expectFailure(const Args& args, int status, const std::string& message) {
        EXPECT_EQ(dir.failure(args, status, message), "") << message;
    }
    // The vector (or texture) file holds text; the run fails with "fastlic: bad" + what.
    void expectInputError(bool vectors, const std::string& text, const std::string& what) {
        writeText(dir.file("bad"), text);
        expectFailure(vectors ? runWith("bad", "t") : runWith("v", "bad"), 255, "fastlic: bad" + what + "\n");
    }
    testing::RunDir dir{FASTLIC_BINARY};
};

TEST_F(Errors, ValidInputsWriteEveryOutput) {
    const testing::ProcessResult r = dir.run(runWith("v", "t"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readText(dir.file("out.ppm")).substr(0, 13), "P3\t10\t10\t255\n");
    EXPECT_EQ(readText(dir.file("hits.npy")).substr(0, 6), "\x93NUMPY");
    EXPECT_EQ(testing::listDir(dir.path()), (Args{"hits.npy", "lic.npy", "out.ppm", "t", "v"}));
}

TEST_F(Errors, MalformedInputFiles) {
    std::string shortV = readText(dir.file("v"));
    shortV.resize(shortV.rfind(' '));  // the last y is missing
    const struct {
        bool vectors;
        std::string text, what;
    } cases[] = {
        {true, "", ": empty file, expected 200 values"},
        {false, "", ": empty file, expected 100 values"},
        {true, shortV, ": ended after 199 of 200 values"},
        {false, "1 2 3\n", ": ended after 3 of 100 values"},
        {true, std::string("\x7f" "ELF\x02\x01\x01\0\0\0 1", 12),
         ":1: expected a number, found \"\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\""},
        {false, "12 \xff\xfe\n", ":1: expected an integer, found \"\\xff\\xfe\""},
        {true, "0 1\n0 1\n1.5x 2\n", ":3: expected a number, found \"1.5x\""},
        {true, "0 1\r\n2 3,5\r\n", ":2: expected a number, found \"3,5\""},
        // Lines end at LF, CR LF or a bare CR, also where a vector is too large.
        {true, "0 1\r1 2\r1.5x 2\r", ":3: expected a number, found \"1.5x\""},
        {true, "0 1\r\n\r\n1 2\r\r1.5x 2\n", ":5: expected a number, found \"1.5x\""},
        {true, "0 1\r\r1e200 1e200\r", ":3: vector (1e+200, 1e+200) too large: its squared length overflows"},
        {true, "1e200 1e200\n", ":1: vector (1e+200, 1e+200) too large: its squared length overflows"},
        {false, "7\r\r12x\n", ":3: expected an integer, found \"12x\""},
        {false, "7\n12x\n", ":2: expected an integer, found \"12x\""},
        {false, "7 1.5", ":1: expected an integer, found \"1.5\""},
        {true, "- 1\n", ":1: expected a number, found \"-\""},
        {true, "1 +\n", ":1: expected a number, found \"+\""},
        {true, "1e 1\n", ":1: expected a number, found \"1e\""},
        {true, "1 2.5e+\n", ":1: expected a number, found \"2.5e+\""},
        {true, ". 1\n", ":1: expected a number, found \".\""},
        {false, "\n-\n", ":2: expected an integer, found \"-\""},
        {true, "1e400 0\n", ":1: number out of range: \"1e400\""},
        {true, "0 -1e400\n", ":1: number out of range: \"-1e400\""},
        {false, "2147483648\n", ":1: integer out of range: \"2147483648\""},
        {false, "-2147483649\n", ":1: integer out of range: \"-2147483649\""},
        {true, "0 1\nnan 1\n", ":2: not a finite number: \"nan\""},
        {true, "inf 0\n", ":1: not a finite number: \"inf\""},
        {true, "0 -Infinity\n", ":1: not a finite number: \"-Infinity\""},
        {false, "nan\n", ":1: expected an integer, found \"nan\""},
    };
    for (const auto& c : cases) expectInputError(c.vectors, c.text, c.what);
}

TEST_F(Errors, DirectoriesAndSpecialFilesAsInput) {
    std::filesystem::create_directory(dir.file("sub"));
    expectFailure(runWith("sub", "t"), 255, "fastlic: sub: cannot read: Is a directory\n");
    expectFailure(runWith("v", "sub"), 255, "fastlic: sub: cannot read: Is a directory\n");
    expectFailure(runWith("/dev/null", "t"), 255, "fastlic: /dev/null: empty file, expected 200 values\n");
    // Endless zero bytes: one overlong word, not an endless read.
    expectFailure(runWith("v", "/dev/zero"), 255,
                  "fastlic: /dev/zero:1: expected an integer, found a word of over 1 MiB\n");
}

// A file that cannot be opened keeps the fixed message on standard output.
TEST_F(Errors, UnreadableFile) {
    writeText(dir.file("secret"), "1 2\n");
    chmod(dir.file("secret").c_str(), 0);
    testing::ProcessOptions asNobody;
    asNobody.dropRoot = true;
    for (const bool vectors : {true, false}) {
        const Args args{"--size", "10x10", "--vectors", vectors ? "secret" : "v", "--texture", vectors ? "t" : "secret"};
        const std::vector<std::string> before = testing::listDir(dir.path());
        const testing::ProcessResult r = dir.run(args, asNobody);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, vectors ? "Bad Vector Filename: secret\n" : "Bad Texture Filename: secret\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(testing::listDir(dir.path()), before);
    }
}

// A long line of short words is fine; one word of more than 1 MiB is not.
TEST_F(Errors, VeryLongLines) {
    writeText(dir.file("long"), std::string(3 << 20, ' ') + readText(dir.file("v")));
    const testing::ProcessResult r = dir.run({"--size", "10x10", "--vectors", "long", "--texture", "t"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 13), "P3\t10\t10\t255\n");
    const std::string tiny = "0." + std::string((1 << 20) - 3, '0') + "1";  // 1 MiB, 0 as a double
    for (const std::string& word : {tiny, std::string(1 << 20, '0')}) {
        writeText(dir.file("long"), word + " " + readText(dir.file("v")));
        EXPECT_EQ(dir.run({"--size", "10x10", "--vectors", "long", "--texture", "t"}).status, 0);
        expectInputError(true, "1 " + word + "7\n", ":1: expected a number, found a word of over 1 MiB");
        expectInputError(false, "1\n\n" + word + "7\n", ":3: expected an integer, found a word of over 1 MiB");
    }
}

TEST_F(Errors, BadSizeAndImageOptions) {
    for (const std::string size : {"0x10", "10x0", "-3x5", "10", "10x", "x10", "axb", "10x10x",
                                   "1e1x10", " 10x10", "99999999999999999999x1", "50000x50000"})
        expectFailure({"--size", size, "--vectors", "v", "--texture", "t", "-o", "out.ppm"}, 2,
                      "fastlic: --size: expected ROWSxCOLS, two positive whole numbers whose "
                      "product is below 2^31, found \"" + size + "\"\n");
    const std::string maps = "classic, viridis, magma, inferno, plasma, cividis, grey, gray, coolwarm";
    const std::string clip = "--clip: expected a percentage from 0 up to (not including) 50, found ";
    const std::string tiles = "--tiles: expected ROWSxCOLS or N, whole numbers from 1 to 1024, found ";
    const std::string range = "--colormap-range: expected LO:HI, two numbers with LO below HI, found ";
    const std::string mask = "--mask-color: expected R,G,B, three whole numbers from 0 to 255, found ";
    const std::pair<Args, std::string> cases[] = {
        {{"--contrast", "sharp"}, "--contrast: expected none, stretch, equalize, adaptive or enhanced, found \"sharp\""},
        {{"--clip", "50"}, clip + "\"50\""},
        {{"--clip", "-1"}, clip + "\"-1\""},
        {{"--tiles", "0x4"}, tiles + "\"0x4\""},
        {{"--tiles", "8x"}, tiles + "\"8x\""},
        {{"--clip-limit", "0.5"}, "--clip-limit: expected a number of at least 1, found \"0.5\""},
        {{"--enhance-sigma", "0"}, "--enhance-sigma: expected a number of pixels above 0, up to 1000, found \"0\""},
        {{"--colormap", "jet"}, "--colormap: unknown colour map \"jet\" (choose from " + maps + "; NAME_r reverses)"},
        {{"--colormap-range", "2:1"}, range + "\"2:1\""},
        {{"--colormap-range", "nan:1"}, range + "\"nan:1\""},
        {{"--colormap-range", "0:1", "--log"}, "--log: the colour range must lie above zero, found \"0:1\""},
        {{"--color-by", "speed"}, "--color-by: expected magnitude, none or a .npy file, found \"speed\""},
        {{"--blend", "screen"}, "--blend: expected multiply or overlay, found \"screen\""},
        {{"--alpha", "1.5"}, "--alpha: expected a number from 0 to 1, found \"1.5\""},
        {{"--background", "white"}, "--background: expected opaque or transparent, found \"white\""},
        {{"--background", "transparent"}, "--background transparent: needs a PNG image (-o FILE.png)"},
        {{"--mask-color", "1,2"}, mask + "\"1,2\""},
        {{"--mask-color", "1,2,256"}, mask + "\"1,2,256\""},
        {{"--colorbar", "--color-by", "none"}, "--colorbar: there is no colour scale with --color-by none"},
    };
    for (const auto& [extra, message] : cases) {
        Args args = {"--size", "10x10", "--vectors", "v", "--texture", "t", "-o", "out.ppm"};
        args.insert(args.end(), extra.begin(), extra.end());
        expectFailure(args, 2, "fastlic: " + message + "\n");
    }
}

TEST_F(Errors, SizeTooLargeForMemory) {
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE);
    if (memory > 121e9) GTEST_SKIP() << "this machine has room for the largest grid";
    const testing::ProcessResult r = dir.run({"--size", "46340x46340", "--vectors", "v", "--texture", "t"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    const std::string head = "fastlic: --size 46340x46340: the grid needs 120.3 GB of memory, this machine has ";
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_EQ(r.err.substr(r.err.size() - 4), " GB\n");
}

}  // namespace
}  // namespace fastlic

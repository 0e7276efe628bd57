// Bad input and bad options, seen from outside: the built fastlic binary
// run in a temporary directory (outputs: outputs_test.cpp). Every failure is
// one line on standard error, nothing on standard output, and leaves the
// directory as it was.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::listDir;
using testing::ProcessOptions;
using testing::ProcessResult;
using testing::readText;
using testing::writeText;

using Args = std::vector<std::string>;

class Errors : public ::testing::Test {
protected:
    void SetUp() override {
        // Open to every user: some cases run the program as nobody.
        chmod(dir.path().c_str(), 0755);
        testing::writeVectorFile(dir.file("v"), 10, 10, [](auto i, auto j) {
            return testing::smoothField(i, j, 10, 10);
        });
        testing::writeTextureFile(dir.file("t"), 10, 10,
                                  [](auto i, auto j) { return testing::noise(i, j, 10, 3); });
        writeText(dir.file("out.ppm"), "old image");
        writeText(dir.file("lic.npy"), "old array");
    }

    ProcessResult run(const Args& args, const ProcessOptions& options = {}) {
        return testing::runProcess(FASTLIC_BINARY, dir.path(), args, options);
    }

    // A 10 x 10 run with the given inputs that asks for every output file.
    Args runWith(const std::string& vectors, const std::string& texture) {
        return {"--size", "10x10", "--vectors", vectors, "--texture", texture,
                "-o",     "out.ppm", "--lic",   "lic.npy", "--hits",  "hits.npy"};
    }

    // The run fails with status and exactly message on standard error;
    // nothing is on standard output and no file appeared or changed.
    void expectFailure(const Args& args, int status, const std::string& message,
                       const ProcessOptions& options = {}) {
        const std::vector<std::string> before = listDir(dir.path());
        const ProcessResult r = run(args, options);
        EXPECT_EQ(r.status, status) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "") << message;
        EXPECT_EQ(listDir(dir.path()), before) << message;
        EXPECT_EQ(readText(dir.file("out.ppm")), "old image");
        EXPECT_EQ(readText(dir.file("lic.npy")), "old array");
    }

    // The vector file holds text; the run fails with "fastlic: v" + what.
    void expectVectorError(const std::string& text, const std::string& what) {
        writeText(dir.file("bad"), text);
        expectFailure(runWith("bad", "t"), 255, "fastlic: bad" + what + "\n");
    }
    void expectTextureError(const std::string& text, const std::string& what) {
        writeText(dir.file("bad"), text);
        expectFailure(runWith("v", "bad"), 255, "fastlic: bad" + what + "\n");
    }

    testing::TempDir dir;
};

TEST_F(Errors, ValidInputsWriteEveryOutput) {
    const ProcessResult r = run(runWith("v", "t"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readText(dir.file("out.ppm")).substr(0, 13), "P3\t10\t10\t255\n");
    EXPECT_EQ(readText(dir.file("hits.npy")).substr(0, 6), "\x93NUMPY");
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"hits.npy", "lic.npy", "out.ppm", "t", "v"}));
}

TEST_F(Errors, EmptyFile) {
    expectVectorError("", ": empty file, expected 200 values");
    expectTextureError("", ": empty file, expected 100 values");
}

TEST_F(Errors, DirectoryAsInput) {
    std::filesystem::create_directory(dir.file("sub"));
    expectFailure(runWith("sub", "t"), 255, "fastlic: sub: cannot read: Is a directory\n");
    expectFailure(runWith("v", "sub"), 255, "fastlic: sub: cannot read: Is a directory\n");
}

TEST_F(Errors, SpecialFilesAsInput) {
    expectFailure(runWith("/dev/null", "t"), 255,
                  "fastlic: /dev/null: empty file, expected 200 values\n");
    // Endless zero bytes: one overlong word, not an endless read.
    expectFailure(runWith("v", "/dev/zero"), 255,
                  "fastlic: /dev/zero:1: expected an integer, found a word of over 1 MiB\n");
}

// A file that cannot be opened keeps the fixed message on standard output.
TEST_F(Errors, UnreadableFile) {
    writeText(dir.file("secret"), "1 2\n");
    chmod(dir.file("secret").c_str(), 0);
    ProcessOptions asNobody;
    asNobody.dropRoot = true;
    const Args vectorArgs{"--size", "10x10", "--vectors", "secret", "--texture", "t"};
    const Args textureArgs{"--size", "10x10", "--vectors", "v", "--texture", "secret"};
    for (const auto& [args, message] : {std::pair{vectorArgs, "Bad Vector Filename: secret\n"},
                                        std::pair{textureArgs, "Bad Texture Filename: secret\n"}}) {
        const std::vector<std::string> before = listDir(dir.path());
        const ProcessResult r = run(args, asNobody);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, message);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(listDir(dir.path()), before);
    }
}

TEST_F(Errors, BinaryData) {
    expectVectorError(std::string("\x7f" "ELF\x02\x01\x01\0\0\0 1", 12),
                      ":1: expected a number, found \"\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\"");
    expectTextureError("12 \xff\xfe\n", ":1: expected an integer, found \"\\xff\\xfe\"");
}

TEST_F(Errors, TextAfterANumber) {
    expectVectorError("0 1\n0 1\n1.5x 2\n", ":3: expected a number, found \"1.5x\"");
    expectVectorError("0 1\r\n2 3,5\r\n", ":2: expected a number, found \"3,5\"");
    // Lines end at LF, CR LF or a bare CR, also where a vector is too large.
    expectVectorError("0 1\r1 2\r1.5x 2\r", ":3: expected a number, found \"1.5x\"");
    expectVectorError("0 1\r\n\r\n1 2\r\r1.5x 2\n", ":5: expected a number, found \"1.5x\"");
    expectVectorError("0 1\r\r1e200 1e200\r",
                      ":3: vector (1e+200, 1e+200) too large: its squared length overflows");
    expectTextureError("7\r\r12x\n", ":3: expected an integer, found \"12x\"");
    expectTextureError("7\n12x\n", ":2: expected an integer, found \"12x\"");
    expectTextureError("7 1.5", ":1: expected an integer, found \"1.5\"");
}

TEST_F(Errors, LoneSignOrExponentWithoutDigits) {
    expectVectorError("- 1\n", ":1: expected a number, found \"-\"");
    expectVectorError("1 +\n", ":1: expected a number, found \"+\"");
    expectVectorError("1e 1\n", ":1: expected a number, found \"1e\"");
    expectVectorError("1 2.5e+\n", ":1: expected a number, found \"2.5e+\"");
    expectVectorError(". 1\n", ":1: expected a number, found \".\"");
    expectTextureError("\n-\n", ":2: expected an integer, found \"-\"");
}

TEST_F(Errors, OutOfRange) {
    expectVectorError("1e400 0\n", ":1: number out of range: \"1e400\"");
    expectVectorError("0 -1e400\n", ":1: number out of range: \"-1e400\"");
    expectTextureError("2147483648\n", ":1: integer out of range: \"2147483648\"");
    expectTextureError("-2147483649\n", ":1: integer out of range: \"-2147483649\"");
    expectVectorError("1e200 1e200\n",
                      ":1: vector (1e+200, 1e+200) too large: its squared length overflows");
}

TEST_F(Errors, NotANumberAndInfinities) {
    expectVectorError("0 1\nnan 1\n", ":2: not a finite number: \"nan\"");
    expectVectorError("inf 0\n", ":1: not a finite number: \"inf\"");
    expectVectorError("0 -Infinity\n", ":1: not a finite number: \"-Infinity\"");
    expectTextureError("nan\n", ":1: expected an integer, found \"nan\"");
}

TEST_F(Errors, VeryLongLines) {
    // A long line of short words is fine; one word without white space for
    // more than the reader's buffer is not.
    writeText(dir.file("long"), std::string(3 << 20, ' ') + readText(dir.file("v")));
    const ProcessResult r = run({"--size", "10x10", "--vectors", "long", "--texture", "t"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 13), "P3\t10\t10\t255\n");
    // A word of 1 MiB is still converted; one byte more is not.
    const std::string tiny = "0." + std::string((1 << 20) - 3, '0') + "1";  // 1 MiB, 0 as a double
    for (const std::string& word : {tiny, std::string(1 << 20, '0')}) {
        writeText(dir.file("long"), word + " " + readText(dir.file("v")));
        EXPECT_EQ(run({"--size", "10x10", "--vectors", "long", "--texture", "t"}).status, 0);
        expectVectorError("1 " + word + "7\n", ":1: expected a number, found a word of over 1 MiB");
        expectTextureError("1\n\n" + word + "7\n", ":3: expected an integer, found a word of over 1 MiB");
    }
}

TEST_F(Errors, TooFewValues) {
    std::string text = readText(dir.file("v"));
    text.resize(text.rfind(' '));  // the last y is missing
    expectVectorError(text, ": ended after 199 of 200 values");
    expectTextureError("1 2 3\n", ": ended after 3 of 100 values");
}

TEST_F(Errors, MalformedSize) {
    for (const std::string size : {"0x10", "10x0", "-3x5", "10", "10x", "x10", "axb", "10x10x",
                                   "1e1x10", " 10x10", "99999999999999999999x1", "50000x50000"})
        expectFailure({"--size", size, "--vectors", "v", "--texture", "t", "-o", "out.ppm"}, 2,
                      "fastlic: --size: expected ROWSxCOLS, two positive whole numbers whose "
                      "product is below 2^31, found \"" + size + "\"\n");
}

TEST_F(Errors, BadImageOptions) {
    const std::string maps = "classic, viridis, magma, inferno, plasma, cividis, grey, gray, coolwarm";
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--contrast", "sharp"}, "--contrast: expected none, stretch, equalize, adaptive or enhanced, found \"sharp\""},
        {{"--clip", "50"}, "--clip: expected a percentage from 0 up to (not including) 50, found \"50\""},
        {{"--clip", "-1"}, "--clip: expected a percentage from 0 up to (not including) 50, found \"-1\""},
        {{"--tiles", "0x4"}, "--tiles: expected ROWSxCOLS or N, whole numbers from 1 to 1024, found \"0x4\""},
        {{"--tiles", "8x"}, "--tiles: expected ROWSxCOLS or N, whole numbers from 1 to 1024, found \"8x\""},
        {{"--clip-limit", "0.5"}, "--clip-limit: expected a number of at least 1, found \"0.5\""},
        {{"--enhance-sigma", "0"}, "--enhance-sigma: expected a number of pixels above 0, up to 1000, found \"0\""},
        {{"--colormap", "jet"}, "--colormap: unknown colour map \"jet\" (choose from " + maps + "; NAME_r reverses)"},
        {{"--colormap-range", "2:1"}, "--colormap-range: expected LO:HI, two numbers with LO below HI, found \"2:1\""},
        {{"--colormap-range", "nan:1"}, "--colormap-range: expected LO:HI, two numbers with LO below HI, found \"nan:1\""},
        {{"--colormap-range", "0:1", "--log"}, "--log: the colour range must lie above zero, found \"0:1\""},
        {{"--color-by", "speed"}, "--color-by: expected magnitude, none or a .npy file, found \"speed\""},
        {{"--blend", "screen"}, "--blend: expected multiply or overlay, found \"screen\""},
        {{"--alpha", "1.5"}, "--alpha: expected a number from 0 to 1, found \"1.5\""},
        {{"--background", "white"}, "--background: expected opaque or transparent, found \"white\""},
        {{"--background", "transparent"}, "--background transparent: needs a PNG image (-o FILE.png)"},
        {{"--mask-color", "1,2"}, "--mask-color: expected R,G,B, three whole numbers from 0 to 255, found \"1,2\""},
        {{"--mask-color", "1,2,256"}, "--mask-color: expected R,G,B, three whole numbers from 0 to 255, found \"1,2,256\""},
        {{"--colorbar", "--color-by", "none"}, "--colorbar: there is no colour scale with --color-by none"},
    };
    for (const auto& c : cases) {
        Args args = {"--size", "10x10", "--vectors", "v", "--texture", "t", "-o", "out.ppm"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        expectFailure(args, 2, "fastlic: " + c.message + "\n");
    }
}

TEST_F(Errors, SizeTooLargeForMemory) {
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE);
    if (memory > 121e9) GTEST_SKIP() << "this machine has room for the largest grid";
    const ProcessResult r = run({"--size", "46340x46340", "--vectors", "v", "--texture", "t"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    const std::string head = "fastlic: --size 46340x46340: the grid needs 120.3 GB of memory, this machine has ";
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_EQ(r.err.substr(r.err.size() - 4), " GB\n");
}

}  // namespace
}  // namespace fastlic

// The console program from outside: bad options and inputs, and outputs of
// every kind. A failure is one line on standard error, nothing on standard
// output, and every file left as it was.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::ProcessOptions;
using testing::ProcessResult;
using testing::readText;
using testing::writeText;
using Args = std::vector<std::string>;

const std::string npyMagic = "\x93NUMPY";

struct stat statOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// The names in dir, sorted.
std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// base, then extra.
Args plus(Args base, const Args& extra) {
    base.insert(base.end(), extra.begin(), extra.end());
    return base;
}

// Each test in a directory of its own, open to every user: a 10 x 10 "v"
// and "t", and out.ppm and lic.npy holding old text that a failed run must leave.
class Console : public ::testing::Test {
protected:
    Console() {
        chmod(dir.path().c_str(), 0755);
        testing::writeVectorFile(dir.file("v"), 10, 10, [](auto i, auto j) { return testing::smoothField(i, j, 10, 10); });
        testing::writeTextureFile(dir.file("t"), 10, 10, [](auto i, auto j) { return testing::noise(i, j, 10, 3); });
        writeText(dir.file("out.ppm"), "old image");
        writeText(dir.file("lic.npy"), "old array");
    }
    static Args run10(const Args& extra) { return plus({"--size", "10x10", "--vectors", "v", "--texture", "t"}, extra); }
    // A 10 x 10 run with the given inputs that asks for every output file.
    static Args runWith(const std::string& vectors, const std::string& texture) {
        return {"--size", "10x10", "--vectors", vectors, "--texture", texture,
                "-o",     "out.ppm", "--lic",   "lic.npy", "--hits",  "hits.npy"};
    }
    ProcessResult run(const Args& args, const ProcessOptions& options = {}) {
        return testing::ChildProcess(FASTLIC_BINARY, dir.path(), args, options).wait();
    }
    // args fail with status and exactly message on standard error, out on
    // standard output, and no file added or changed.
    void expectFailure(const Args& args, int status, const std::string& message, const ProcessOptions& options = {},
                       const std::string& out = "") {
        const std::vector<std::string> before = listDir(dir.path());
        const ProcessResult r = run(args, options);
        EXPECT_EQ(r.status, status) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, out) << message;
        EXPECT_EQ(listDir(dir.path()), before) << message;
        EXPECT_TRUE(readText(dir.file("out.ppm")) == "old image" && readText(dir.file("lic.npy")) == "old array")
            << message;
    }

    // A node of the null (minor 3) or full (minor 7) device of our own: the
    // system's nodes are never given as outputs, so that a fault could not
    // replace them.
    bool makeDevice(const std::string& name, unsigned minor) {
        return mknod(dir.file(name).c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0;
    }

    testing::TempDir dir;
};
class Errors : public Console {};
class Outputs : public Console {};

// Status 2 before any input is read: the inputs named here do not exist.
TEST_F(Errors, BadOptions) {
    for (const std::string size : {"0x10", "10x0", "-3x5", "10", "10x", "x10", "axb", "10x10x", "1e1x10",
                                   " 10x10", "10x 10", "99999999999999999999x1", "50000x50000"})
        expectFailure({"--size", size}, 2,
                      "fastlic: --size: expected ROWSxCOLS, two positive whole numbers whose "
                      "product is below 2^31, found \"" + size + "\"\n");
    for (const std::string option : {"--vectors", "--texture", "--mask", "-o", "--lic", "--hits", "--demo"})
        expectFailure({"--size", "10x10", option, ""}, 2,
                      "fastlic: " + (option == "-o" ? "--output" : option) + ": empty file name (see fastlic --help)\n");
    symlink("out.ppm", dir.file("link.ppm").c_str());
    symlink("new.npy", dir.file("dangling.npy").c_str());
    writeText(dir.file("w.txt"), "1, -1 1\n");
    const std::string maps = "classic, viridis, magma, inferno, plasma, cividis, grey, gray, coolwarm";
    const std::string clip = "--clip: expected a percentage from 0 up to (not including) 50, found ";
    const std::string tiles = "--tiles: expected ROWSxCOLS or N, whole numbers from 1 to 1024, found ";
    const std::string range = "--colormap-range: expected LO:HI, two numbers with LO below HI, found ";
    const std::string mask = "--mask-color: expected R,G,B, three whole numbers from 0 to 255, found ";
    const std::string boundary = "--boundary: expected periodic, closed or rows=periodic|closed,cols=periodic|closed, found ";
    const std::pair<Args, std::string> cases[] = {
        {{"--nonsense"}, "The following argument was not expected: --nonsense (see fastlic --help)"},
        {{"--size"}, "--size: 1 required TEXT missing (see fastlic --help)"},
        {{"--threads", "0"}, "--threads: must be from 1 to 1024, got 0"},
        {{"--threads", "0x10"}, "--threads: expected an integer, found \"0x10\""},
        {{"--threads", ""}, "--threads: expected an integer, found \"\""},
        {{"-o", "image.jpg"}, "-o: the image file must end in .ppm or .png, found \"image.jpg\""},
        {{"--filter-half-length", "0"}, "--filter-half-length: must be at least 1, got 0"},
        {{"--step", "inf"}, "--step: must be a finite number above 0, got inf"},
        // Refused before any data is read: no vector file exists here.
        {{"--iterations", "2147483647"},
         "--max-work: the run would trace up to 8375186223300 streamline points (cells x (2 x (filter half "
         "length + slide steps) + 1) x iterations), more than the limit of 20000000000; give a larger --max-work "
         "to run it"},
        // One number syntax: decimal, no spaces, not empty.
        {{"--filter-half-length", "0x10"}, "--filter-half-length: expected an integer, found \"0x10\""},
        {{"--slide-steps", ""}, "--slide-steps: expected an integer, found \"\""},
        {{"--iterations", " 5"}, "--iterations: expected an integer, found \" 5\""},
        {{"--hit-limit", "99999999999"}, "--hit-limit: integer out of range: \"99999999999\""},
        {{"--step", "0x1p-1"}, "--step: expected a number, found \"0x1p-1\""},
        {{"--step", ""}, "--step: expected a number, found \"\""},
        {{"--filter-half-length", "3000", "--slide-steps", "3000", "--step", "1"},
         "--filter-half-length, --slide-steps and --step: the streamline reaches 6000 cells each way, more "
         "than 100 times the grid's longer side (1000 cells)"},
        {{"--boundary", "open"}, boundary + "\"open\""},
        {{"--boundary", "rows=closed,rows=closed"}, boundary + "\"rows=closed,rows=closed\""},
        {{"--length", "10", "--filter-half-length", "5"}, "--length: cannot be given with --filter-half-length"},
        {{"--length", "0.2"}, "--length: must be a number of cells at least the step, got 0.2"},
        {{"--kernel", "w.txt"}, "--kernel: weights must be finite and at least 0, got -1 at index 1"},
        {{"--kernel", "hanning"}, "--kernel: expected box, triangle, hann, gaussian, sine or a file of weights, found \"hanning\""},
        {{"--interpolation", "cubic"}, "--interpolation: expected nearest or linear, found \"cubic\""},
        {{"--mask-nan"}, "--mask-nan: needs --vectors FILE.npy (text vector files may not hold NaN)"},
        {{"--contrast", "sharp"}, "--contrast: expected none, stretch, equalize, adaptive or enhanced, found \"sharp\""},
        {{"--clip", "50"}, clip + "\"50\""},
        {{"--tiles", "0x4"}, tiles + "\"0x4\""},
        {{"--clip-limit", "0.5"}, "--clip-limit: expected a number of at least 1, found \"0.5\""},
        {{"--enhance-sigma", "0.1"}, "--enhance-sigma: expected a number of pixels from 0.2 to 1000, found \"0.1\""},
        {{"--colormap", "jet"}, "--colormap: unknown colour map \"jet\" (choose from " + maps + "; NAME_r reverses)"},
        {{"--colormap-range", "2:1"}, range + "\"2:1\""},
        {{"--colormap-range", ""}, range + "\"\""},
        {{"--colormap-range", "0:1", "--log"}, "--log: the colour range must lie above zero, found \"0:1\""},
        {{"--color-by", "speed"}, "--color-by: expected magnitude, vorticity, none or a .npy file, found \"speed\""},
        {{"--alpha", "1.5"}, "--alpha: expected a number from 0 to 1, found \"1.5\""},
        {{"--background", "transparent", "-o", "out.ppm"}, "--background transparent: needs a PNG image (-o FILE.png)"},
        {{"--mask-color", "1,2,256"}, mask + "\"1,2,256\""},
        {{"--colorbar", "--color-by", "none"}, "--colorbar: there is no colour scale with --color-by none"},
        {{"--demo", "-"}, "--demo: the demo is two files and cannot go to standard output; name a directory"},
        // One file named twice, however it is named.
        {{"--lic", "a.npy", "--hits", "./a.npy"}, "--lic a.npy and --hits ./a.npy name the same file"},
        {{"-o", "out.ppm", "--lic", "link.ppm"}, "-o out.ppm and --lic link.ppm name the same file"},
        {{"--lic", "dangling.npy", "--hits", "new.npy"}, "--lic dangling.npy and --hits new.npy name the same file"},
        {{"-o", "-", "--lic", "-"}, "-o - and --lic - name the same file"},
        {{"-o", "/proc/self/fd/1", "--hits", "-"}, "-o /proc/self/fd/1 and --hits - name the same file"},
        {{"-o", "-", "--lic", "/dev/stdout"}, "-o - and --lic /dev/stdout name the same file"},
        {{"--vectors", "v", "--lic", "v"}, "--vectors v and --lic v name the same file"},
        {{"--mask", "t", "--hits", "t"}, "--mask t and --hits t name the same file"},
        {{"--vectors", "-", "--texture", "-"}, "--vectors - and --texture - read the same stream"},
        {{"--texture", "-", "--kernel", "-"}, "--kernel - and --texture - read the same stream"},
        {{"--wavelength", "3", "--lic", "l.npy"}, "--wavelength: needs --frames N or several --vectors files"},
        {{"--frames", "0"}, "--frames: must be at least 1, got 0"},
        {{"--frames", "3", "--fps", "0"}, "--fps: must be a number above 0 and at most 1000, got 0"},
        {{"--frames", "3", "-o", "a.ppm"}, "-o: an animation must end in .png, .apng, .mp4, .webm or .gif or be a "
                                           "frame pattern such as frame%04d.png, found \"a.ppm\""},
        {{"--frames", "3", "--lic", "l.npy", "--hits", "h.npy"}, "--hits: not written for an animation"},
        {{"--frames", "3", "-o", "a.gif", "--contrast", "adaptive"},
         "--contrast: an animation takes none or stretch (one mapping for every frame), got adaptive"},
        {{"--vectors", "none*.vec"}, "--vectors: no file matches \"none*.vec\""},
    };
    for (const auto& [extra, message] : cases) {
        Args args{"--size", "10x10"};
        args.insert(args.end(), extra.begin(), extra.end());
        expectFailure(args, 2, "fastlic: " + message + "\n");
    }
}

TEST_F(Errors, MalformedInputFiles) {
    const auto npy = [](const char* descr, const char* shape, const std::string& data) {
        return testing::npyBytes(testing::npyDict(descr, shape), data);
    };
    std::string shortV = readText(dir.file("v"));
    shortV.resize(shortV.rfind(' '));  // the last y is missing
    const struct {
        char role;
        std::string text, what, name = "bad";
    } cases[] = {
        {'v', "", ": empty file, expected 200 values"},
        {'t', "", ": empty file, expected 100 values"},
        {'v', shortV, ": ended after 199 of 200 values"},
        {'t', "1 2 3\n", ": ended after 3 of 100 values"},
        {'v', std::string("\x7f" "ELF\x02\x01\x01\0\0\0 1", 12),
         ":1: expected a number, found \"\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\""},
        {'t', "12 \xff\xfe\n", ":1: expected an integer, found \"\\xff\\xfe\""},
        {'v', "0 1\n0 1\n1.5x 2\n", ":3: expected a number, found \"1.5x\""},
        {'v', "1 2 3 0x10\n", ":1: expected a number, found \"0x10\""},  // which "%lf" would take
        {'v', "1 2 " + std::string(5000, 'z') + "\n", ":1: expected a number, found \"" + std::string(32, 'z') + "...\""},
        {'v', "0 1\r\n2 3,5\r\n", ":2: expected a number, found \"3,5\""},
        // Lines end at LF, CR LF or a bare CR, also where a vector is too large.
        {'v', "0 1\r1 2\r1.5x 2\r", ":3: expected a number, found \"1.5x\""},
        {'v', "0 1\r\n\r\n1 2\r\r1.5x 2\n", ":5: expected a number, found \"1.5x\""},
        {'v', "0 1\r\r1e200 1e200\r", ":3: vector (1e+200, 1e+200) too large: its squared length overflows"},
        {'t', "7\r\r12x\n", ":3: expected an integer, found \"12x\""},
        {'t', "7\n12x\n", ":2: expected an integer, found \"12x\""},
        {'t', "7 1.5", ":1: expected an integer, found \"1.5\""},
        {'v', "- 1\n", ":1: expected a number, found \"-\""},
        {'v', "1 +\n", ":1: expected a number, found \"+\""},
        {'v', "1e 1\n", ":1: expected a number, found \"1e\""},
        {'v', "1 2.5e+\n", ":1: expected a number, found \"2.5e+\""},
        {'v', ". 1\n", ":1: expected a number, found \".\""},
        {'t', "\n-\n", ":2: expected an integer, found \"-\""},
        {'v', "1e400 0\n", ":1: number out of range: \"1e400\""},
        {'v', "0 -1e400\n", ":1: number out of range: \"-1e400\""},
        {'t', "2147483648\n", ":1: integer out of range: \"2147483648\""},
        {'t', "-2147483649\n", ":1: integer out of range: \"-2147483649\""},
        {'v', "0 1\nnan 1\n", ":2: not a finite number: \"nan\""},
        {'v', "inf 0\n", ":1: not a finite number: \"inf\""},
        {'v', "0 -Infinity\n", ":1: not a finite number: \"-Infinity\""},
        {'t', "nan\n", ":1: expected an integer, found \"nan\""},
        {'m', "0 1\n1 0\n", ": 4 values, the grid has 10 x 10"},
        {'m', "0 1\n0 x\n", ":2: expected a whole number (0: data, nonzero: no data), found \"x\""},
        {'m', "0 1\r\n0 1\r0 0x\r", ":3: expected a whole number (0: data, nonzero: no data), found \"0x\""},
        {'m', npy("|u1", "(10, 11)", std::string(110, '\0')), ": shape (10, 11) does not match the grid size 10x10",
         "bad.npy"},
        {'c', npy("<f8", "(11, 10)", std::string(880, '\0')), ": shape (11, 10) does not match the grid size 10x10",
         "bad.npy"},
        // NUL and bytes above 0x7e escaped as in every file's message; a NaN without its sign.
        {'m', std::string("0 1\n0 a\0b\xff\n", 11),
         ":2: expected a whole number (0: data, nonzero: no data), found \"a\\x00b\\xff\""},
        {'t', npy("<f8", "(10, 10)", std::string("\0\0\0\0\0\0\xf8\xff", 8) + std::string(792, '\0')),
         ": value at row 0, column 0 is not finite (nan)", "bad.npy"},
        {'t', npy("<f8", "(10, 10)", std::string("\x9c\x75\x00\x88\x3c\xe4\x37\x7e", 8) + std::string(792, '\0')),
         ": value at row 0, column 0 (1e+300) is more than 2^990 (about 1.05e298) in magnitude", "bad.npy"},
        // Stacks of fields: headers and sizes refused before any data is read.
        {'v', npy("<f8", "(0, 10, 10, 2)", ""), ": shape (0, 10, 10, 2) has no frames", "bad.npy"},
        {'v', npy("<f8", "(2, 10, 10, 3)", ""),
         ": shape (2, 10, 10, 3) where (frames, rows, cols, 2) is expected ([..., 0] along the rows, [..., 1] along "
         "the columns)", "bad.npy"},
        {'v', npy("<i4", "(2, 10, 10, 2)", ""), ": dtype '<i4' where float32 or float64 is expected", "bad.npy"},
        {'v', testing::npyBytes(testing::npyDict("<f8", "(2, 10, 10, 2)", true), std::string(3200, '\0')),
         ": a stack in Fortran order is not read a frame at a time; save it in C order (numpy.ascontiguousarray)",
         "bad.npy"},
        {'v', npy("<f8", "(2, 10, 10, 2)", std::string(3000, '\0')), ": truncated: 3000 of 3200 data bytes", "bad.npy"},
        {'v', npy("<f8", "(3, 10, 9, 2)", std::string(4320, '\0')), ": shape (3, 10, 9, 2) does not match --size 10x10", "bad.npy"},
        // The shape is refused before any data is read: these hold none.
        {'m', npy("<i8", "(1, 200000000)", ""), ": shape (1, 200000000) does not match the grid size 10x10",
         "bad.npy"},
        {'c', npy("<i8", "(1, 200000000)", ""), ": shape (1, 200000000) does not match the grid size 10x10",
         "bad.npy"},
    };
    // The file (bad) given as the vectors ('v'), texture ('t'), mask ('m') or colour array ('c').
    for (const auto& c : cases) {
        writeText(dir.file(c.name), c.text);
        Args args = runWith(c.role == 'v' ? c.name : "v", c.role == 't' ? c.name : "t");
        if (c.role == 'm') args.insert(args.end(), {"--mask", c.name});
        if (c.role == 'c') args.insert(args.end(), {"--color-by", c.name});
        expectFailure(args, 255, "fastlic: " + c.name + c.what + "\n");
        // Without an image the colour array is not read.
        EXPECT_EQ(c.role == 'c' ? run(run10({"--lic", "other.npy", "--color-by", c.name})).status : 0, 0) << c.what;
    }
    // In a colour array, as in Python's, NaN is a pixel without a value.
    writeText(dir.file("nan.npy"), npy("<f8", "(10, 10)", std::string("\0\0\0\0\0\0\xf8\xff", 8) + std::string(792, '\0')));
    EXPECT_EQ(run(run10({"-o", "x.png", "--color-by", "nan.npy"})).status, 0);
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

// A file that cannot be opened keeps the fixed message on standard output,
// the vector file's first.
TEST_F(Errors, UnreadableOrMissingFiles) {
    writeText(dir.file("secret"), "1 2\n");
    chmod(dir.file("secret").c_str(), 0);
    ProcessOptions asNobody;
    asNobody.dropRoot = true;
    const std::pair<Args, std::string> cases[] = {
        {{"--size", "10x10", "--vectors", "secret", "--texture", "t"}, "Bad Vector Filename: secret\n"},
        {{"--size", "10x10", "--vectors", "v", "--texture", "secret"}, "Bad Texture Filename: secret\n"},
        {{}, "Bad Vector Filename: ps.vec.256.256.3\n"},  // neither fixed file is there
        {{}, "Bad Texture Filename: noise.256.256\n"},    // the vector file is
    };
    for (const auto& [args, message] : cases) {
        if (message.find("noise") != std::string::npos) writeText(dir.file("ps.vec.256.256.3"), "1 2\n");
        expectFailure(args, 255, "", asNobody, message);
    }
}

TEST_F(Errors, SizeTooLargeForMemory) {
    // A pipe's header alone, its writer holding it open: refused before
    // any data is waited for.
    ASSERT_EQ(mkfifo(dir.file("fifo.npy").c_str(), 0644), 0);
    // A stack through a pipe: its frames in order, and no second pass.
    std::string nanFrame(1600, '\0');
    nanFrame.replace(0, 8, std::string("\0\0\0\0\0\0\xf8\x7f", 8));
    const Args stack{"--vectors", "fifo.npy", "--texture", "t", "--size", "10x10"};
    for (const auto& [dtype, shape, data, args, status, message] :
         {std::tuple<std::string, std::string, std::string, Args, int, std::string>{
              "|b1", "(3037000500, 3037000500)", "", run10({"--mask", "fifo.npy"}), 255,
              "fifo.npy: shape (3037000500, 3037000500) has more cells than a grid holds (2^31 - 1)"},
          {"<f8", "(4, 4, 2)", "", stack, 255, "fifo.npy: shape (4, 4, 2) does not match --size 10x10"},
          {"<f8", "(3, 4, 4, 2)", "", stack, 255, "fifo.npy: shape (3, 4, 4, 2) does not match --size 10x10"},
          {"<f8", "(2, 10, 10, 2)", std::string(1600, '\0') + nanFrame, plus(stack, {"--lic", "l.npy"}), 255,
           "fifo.npy[1]: vector at row 0, column 0 is not finite (nan, 0)"},
          {"<f8", "(2, 10, 10, 2)", "", plus(stack, {"-o", "a.gif"}), 2,
           "--vectors fifo.npy: a pipe is read once, and the colour scale of a series needs every field's largest "
           "magnitude before the first frame: give --colormap-range LO:HI, or a regular file"},
          {"<f8", "(12, 12)", "", {"--vectors", "v", "--texture", "fifo.npy", "--size", "10x10"}, 255,
           "fifo.npy: shape (12, 12) does not match --size 10x10"}}) {
        const int fifo = open(dir.file("fifo.npy").c_str(), O_RDWR | O_NONBLOCK);
        writeText(dir.file("fifo.npy"), testing::npyBytes(testing::npyDict(dtype, shape), data));
        expectFailure(args, status, "fastlic: " + message + "\n");
        close(fifo);
    }
    const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE);
    if (memory > 121e9) GTEST_SKIP() << "this machine has room for the largest grid";
    const std::string big = testing::npyBytes(testing::npyDict("|u1", "(46340, 46340)"), "");  // sparse
    writeText(dir.file("big.npy"), big);
    ASSERT_EQ(truncate(dir.file("big.npy").c_str(), static_cast<off_t>(big.size()) + 46340LL * 46340), 0);
    for (const auto& [args, head] : {std::pair<Args, std::string>{{"--size", "46340x46340", "--vectors", "v", "--texture", "t"},
                                      "--size 46340x46340: the grid needs 120.3 GB of memory, this machine has "},
                                     {{"--vectors", "v", "--texture", "big.npy"},
                                      "big.npy: shape (46340, 46340): the grid needs 120.3 GB of memory, this machine has "},
                                     {run10({"--slide-steps", "1000000", "--step", "0.0001", "--threads", "1024"}),
                                      "--slide-steps 1000000: the streamline buffers need "}}) {
        const ProcessResult r = run(args);
        EXPECT_EQ(std::tuple(r.status, r.out, r.err.substr(0, 9 + head.size()), r.err.substr(r.err.size() - 4)),
                  std::tuple(2, "", "fastlic: " + head, " GB\n"));
    }
}

// "-" is standard input for an input and standard output for every output
// (a file called - is ./-); devices, pipes and standard output named as a
// file are written through, not replaced.
TEST_F(Outputs, StandardStreamsDevicesAndPipesAreWrittenThrough) {
    ASSERT_EQ(run(run10({"--lic", "ref.npy"})).status, 0);
    const std::string array = readText(dir.file("ref.npy"));
    ProcessOptions fromV;
    fromV.stdinPath = dir.file("v");
    ProcessResult r = run({"--size", "10x10", "--vectors", "-", "--texture", "t", "--lic", "-", "--hits", "./-"}, fromV);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == array);
    EXPECT_EQ(readText(dir.file("-")).substr(0, 6), npyMagic);

    // A FIFO with its reader waiting (read and write: its open never waits,
    // and the array fits in the pipe).
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    const int fifo = open(dir.file("fifo").c_str(), O_RDWR | O_NONBLOCK);
    r = run(run10({"--lic", "fifo"}));
    std::string fromFifo(2 * array.size(), '\0');
    fromFifo.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(fifo, fromFifo.data(), fromFifo.size()))));
    close(fifo);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fromFifo == array);
    EXPECT_TRUE(S_ISFIFO(statOf(dir.file("fifo")).st_mode));

    // Standard output appended to a log, named three ways: the array goes
    // after what the log held, and the log stays the same file.
    const std::string log = dir.file("log");
    ProcessOptions toLog;
    toLog.stdoutPath = log;
    toLog.appendStdout = true;
    for (const std::string& name : {std::string("/dev/stdout"), std::string("/proc/self/fd/1"), log}) {
        writeText(log, "earlier line\n");
        const ino_t inode = statOf(log).st_ino;
        r = run(run10({"--lic", name}), toLog);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_TRUE(readText(log) == "earlier line\n" + array) << name;
        EXPECT_EQ(statOf(log).st_ino, inode) << name;
    }

    // A null device, for every output at once.
    if (!makeDevice("null", 3)) GTEST_SKIP() << "cannot make a device node here";
    r = run(run10({"-o", "null", "--lic", "null", "--hits", "null"}));
    EXPECT_EQ(r.status, 0) << r.err;
    const struct stat null = statOf(dir.file("null"));
    EXPECT_TRUE(S_ISCHR(null.st_mode) && null.st_rdev == makedev(1, 3));
}

TEST_F(Outputs, StandardStreamsClosedOrFull) {
    ProcessOptions full, closed, closedIn;  // standard input is closed unless given
    full.stdoutPath = "/dev/full";
    closed.closeStdout = true;
    if (!makeDevice("full", 7)) GTEST_SKIP() << "cannot make a device node here";
    const std::string noSpace = "No space left on device\n", badDescriptor = "Bad file descriptor\n";
    const struct {
        Args args;
        ProcessOptions options;
        int status;
        std::string message;
    } cases[] = {
        {run10({}), full, 1, "standard output: cannot write the image: " + noSpace},
        {run10({}), closed, 1, "standard output: cannot write: " + badDescriptor},
        {run10({"-o", "-", "--lic", "new.npy"}), closed, 1, "standard output: cannot write: " + badDescriptor},
        {{"--help"}, full, 1, "standard output: cannot write: " + noSpace},
        {{"--version"}, full, 1, "standard output: cannot write: " + noSpace},
        {{"--size", "10x10", "--vectors", "-", "--texture", "t"}, closedIn, 255,
         "standard input: cannot read: " + badDescriptor},
        // Standard output comes last: empty when a later output fails.
        {run10({"-o", "-", "--lic", "full"}), {}, 1, "full: cannot write the array: " + noSpace},
        {run10({"-o", "out.ppm", "--lic", "lic.npy", "--hits", "full"}), {}, 1,
         "full: cannot write the array: " + noSpace},
        // Opened before the run (io/output_file_test.cpp has the reasons).
        {run10({"-o", "out.ppm", "--lic", "lic.npy", "--hits", "missing/h.npy"}), {}, 1,
         "missing/h.npy: cannot create: No such file or directory\n"},
    };
    for (const auto& c : cases) expectFailure(c.args, c.status, "fastlic: " + c.message, c.options);

    // A closed standard output does not lend its number to an output file.
    ProcessResult r = run(run10({"--lic", "new.npy"}), closed);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readText(dir.file("new.npy")).substr(0, 6), npyMagic);

    // The fixed run without arguments as well.
    testing::writeVectorFile(dir.file("ps.vec.256.256.3"), 256, 256,
                             [](auto i, auto j) { return testing::smoothField(i, j, 256, 256); });
    testing::writeTextureFile(dir.file("noise.256.256"), 256, 256, [](auto, auto) { return 9; });
    expectFailure({}, 1, "fastlic: standard output: cannot write the image: " + noSpace, full);
    expectFailure({}, 1, "fastlic: standard output: cannot write the image: " + badDescriptor, closed);
}

// The outputs are replaced together or not at all, whenever a signal
// comes; and an output being written leaves nothing behind, even for
// SIGKILL. (A SIGKILL in the moment of the renames themselves, which no
// program can hold back, is not tried.)
TEST_F(Outputs, SignalsLeaveEveryOldFileOrEveryNewOne) {
    const std::int32_t n = 300;
    testing::writeVectorFile(dir.file("v"), n, n, [&](auto i, auto j) { return testing::smoothField(i, j, n, n); });
    testing::writeTextureFile(dir.file("t"), n, n, [&](auto i, auto j) { return testing::noise(i, j, n, 5); });
    writeText(dir.file("hits.npy"), "old hits");
    const Args args{"--size", "300x300", "--vectors", "v", "--texture", "t",
                    "-o",     "out.ppm", "--lic",     "lic.npy", "--hits", "hits.npy"};
    const std::vector<std::string> names = listDir(dir.path());
    const auto reset = [&] {
        writeText(dir.file("out.ppm"), "old image");
        writeText(dir.file("lic.npy"), "old array");
        writeText(dir.file("hits.npy"), "old hits");
    };
    const auto oldOnes = [&] {
        return (readText(dir.file("out.ppm")) == "old image") + (readText(dir.file("lic.npy")) == "old array") +
               (readText(dir.file("hits.npy")) == "old hits");
    };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run(args).status, 0);
    const auto duration = std::chrono::steady_clock::now() - start;

    const int signals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGALRM, SIGPIPE};
    for (int k = 0; k < 24; ++k) {
        reset();
        testing::ChildProcess child(FASTLIC_BINARY, dir.path(), args);
        std::this_thread::sleep_for(duration * k / 20);
        kill(child.pid(), signals[k % 6]);
        const ProcessResult r = child.wait();
        const int old = oldOnes();
        EXPECT_TRUE(old == 0 || old == 3) << old << " of 3 old after signal " << signals[k % 6] << " at "
                                          << k << "/20 of the run";
        EXPECT_EQ(listDir(dir.path()), names);
        EXPECT_EQ(r.out + r.err, r.status == 0 ? r.out : "");
    }

    // While the files are written, or complete but without a name while
    // the run waits for a pipe's reader: nothing is left.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    Args withPipe = args;
    withPipe.back() = "fifo";  // --hits: more than the pipe holds
    const std::vector<std::string> withFifo = listDir(dir.path());
    const auto unnamed = [](pid_t pid) {
        std::set<ino_t> files;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            struct stat st {};
            if (stat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 0 && st.st_size > 0)
                files.insert(st.st_ino);
        }
        return static_cast<int>(files.size());
    };
    int k = 0;
    for (const int sig : {SIGTERM, SIGKILL, SIGTERM, SIGKILL}) {
        reset();
        // A reader that never reads (its open does not wait).
        const int reader = open(dir.file("fifo").c_str(), O_RDWR);
        testing::ChildProcess child(FASTLIC_BINARY, dir.path(), withPipe);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int complete = 0;
        while ((complete = unnamed(child.pid())) < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(complete, 2) << "the image and the array were never both written";
        // Killed while writing the array, or (most often) at the pipe.
        std::this_thread::sleep_for(std::chrono::milliseconds(k++ % 2 * 50));
        kill(child.pid(), sig);
        const ProcessResult r = child.wait();
        close(reader);
        EXPECT_EQ(r.status, 128 + sig) << r.err;
        EXPECT_EQ(oldOnes(), 3) << "signal " << sig;
        EXPECT_EQ(listDir(dir.path()), withFifo) << "signal " << sig;
    }
}

// A file system of 64 KiB of our own: outputs whose size is known are
// refused before the run, and one that fills it leaves the old file.
TEST_F(Outputs, AFullFileSystem) {
    const std::string small = dir.file("small");
    std::filesystem::create_directory(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a file system here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    writeText(small + "/out.ppm", "old image");
    testing::writeVectorFile(dir.file("v"), 100, 100, [](auto i, auto j) { return testing::smoothField(i, j, 100, 100); });
    testing::writeTextureFile(dir.file("t"), 100, 100, [](auto i, auto j) { return testing::noise(i, j, 100, 3); });
    const auto with = [](const Args& extra) { return plus({"--size", "100x100", "--vectors", "v", "--texture", "t"}, extra); };
    // 15 of the 16 pages free; 10000 cells of 8 bytes.
    expectFailure(with({"--lic", "small/lic.npy"}), 1,
                  "fastlic: small/lic.npy: cannot write: needs 80.0 kB, the file system has 61.4 kB free\n");
    expectFailure(with({"-o", "small/x.ppm", "--hits", "small/h.npy"}), 1,
                  "fastlic: small/h.npy: cannot write: needs 100.0 kB with the outputs before it, the "
                  "file system has 61.4 kB free\n");
    // The image's least size passes; its text does not fit.
    expectFailure(with({"-o", "small/out.ppm"}), 1,
                  "fastlic: small/out.ppm: cannot write the image: No space left on device\n");
    const ProcessResult demo = run({"--demo", "small/new/demo", "--size", "100x100"});
    EXPECT_EQ(demo.status, 1);
    EXPECT_EQ(demo.err.rfind("fastlic: small/new/demo/ps.vec.256.256.3: cannot write: needs ", 0), 0u) << demo.err;
    EXPECT_EQ(listDir(small), std::vector<std::string>{"out.ppm"});
    EXPECT_EQ(readText(small + "/out.ppm"), "old image");
}

TEST_F(Outputs, DemoFilesAreReplacedWholeAndTheirDirectoryMade) {
    writeText(dir.file("file"), "");
    expectFailure({"--demo", "file/sub"}, 1, "fastlic: file: not a directory\n");
    ASSERT_EQ(run({"--demo", "a/b", "--size", "12x9"}).status, 0);
    std::filesystem::create_directory(dir.file("old"));
    writeText(dir.file("old/ps.vec.256.256.3"), "old");
    const ProcessResult r = run({"--demo", "old", "--size", "12x9"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listDir(dir.file("old")), (std::vector<std::string>{"noise.256.256", "ps.vec.256.256.3"}));
    for (const char* name : {"/ps.vec.256.256.3", "/noise.256.256"})
        EXPECT_TRUE(readText(dir.file("old") + name) == readText(dir.file("a/b") + name)) << name;
}

}  // namespace
}  // namespace fastlic

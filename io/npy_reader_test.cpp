#include "io/npy_reader.h"

#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "io/npz_reader.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::npyBytes;
using testing::npyData;
using testing::npyDict;
using testing::TempDir;

// The elements of a (rows, cols, comps) array, f(i, j, c), in C or Fortran order.
template <typename T, typename F>
std::vector<T> inOrder(int rows, int cols, int comps, bool fortran, F f) {
    std::vector<T> v(static_cast<std::size_t>(rows * cols * comps));
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j)
            for (int c = 0; c < comps; ++c)
                v[static_cast<std::size_t>(fortran ? i + rows * (j + cols * c) : (i * cols + j) * comps + c)] =
                    static_cast<T>(f(i, j, c));
    return v;
}

// A 2 x 3 array given row-major, stored in the order and byte order asked.
template <typename T>
std::string plane(const std::vector<T>& rowMajor, bool fortran = false, bool big = false) {
    return npyData(inOrder<T>(2, 3, 1, fortran, [&](int i, int j, int) { return rowMajor[i * 3 + j]; }), big);
}

// float32 values are widened exactly.
TEST(NpyReader, VectorsInEveryLayoutVersionAndByteOrder) {
    TempDir dir;
    const std::string path = dir.file("v.npy");
    const auto value = [](int i, int j, int c) { return (c ? -0.1 : 0.3) * (i * 7 + j + 1); };
    for (const auto& [descr, fortran, version] : {std::tuple{"<f8", false, 1}, {">f8", true, 2}, {"<f4", true, 3}, {">f4", false, 1}}) {
        const bool single = descr[2] == '4', big = descr[0] == '>';
        const std::string data = single ? npyData(inOrder<float>(3, 4, 2, fortran, value), big)
                                        : npyData(inOrder<double>(3, 4, 2, fortran, value), big);
        testing::writeText(path, npyBytes(npyDict(descr, "(3, 4, 2)", fortran), data, version));
        const VectorArray a = readNpyVectors(path);
        EXPECT_EQ(std::pair(a.rows, a.cols), std::pair(3, 4)) << descr;
        std::vector<double> expected = inOrder<double>(3, 4, 2, false, value);
        if (single) for (double& e : expected) e = static_cast<float>(e);
        EXPECT_EQ(a.xy, expected) << descr;
        const double x = expected[22], y = expected[23];  // the largest
        EXPECT_EQ(a.maxMagnitude, std::sqrt(x * x + y * y)) << descr;
    }
}

TEST(NpyReader, TexturesKeepIntegersExactAndMasksAreNonzero) {
    using Ints = std::vector<std::int32_t>;
    using Doubles = std::vector<double>;
    struct Case {
        const char* descr;
        bool fortran;
        std::string data;  // row-major values 0..5 of a 2 x 3 array, as stored
        std::variant<Ints, Doubles> expected;
    };
    const std::int64_t big = std::int64_t{1} << 40;
    const std::uint64_t top = (std::uint64_t{1} << 63) + 2048;  // exact as a double
    const Case cases[] = {
        {"|b1", false, plane<std::uint8_t>({0, 1, 2, 0, 0, 1}), Ints{0, 1, 1, 0, 0, 1}},
        {"|i1", true, plane<std::int8_t>({-128, 127, 0, 1, -1, 5}, true), Ints{-128, 127, 0, 1, -1, 5}},
        {">i2", false, plane<std::int16_t>({-32768, 32767, 0, 1, 2, 3}, false, true), Ints{-32768, 32767, 0, 1, 2, 3}},
        {"<u2", true, plane<std::uint16_t>({65535, 0, 1, 2, 3, 4}, true), Ints{65535, 0, 1, 2, 3, 4}},
        {">i4", true, plane<std::int32_t>({INT32_MIN, INT32_MAX, 0, 1, 2, 3}, true, true),
         Ints{INT32_MIN, INT32_MAX, 0, 1, 2, 3}},
        {"<i8", false, plane<std::int64_t>({-5, INT32_MAX, INT32_MIN, 0, 255, 7}), Ints{-5, INT32_MAX, INT32_MIN, 0, 255, 7}},
        {">u4", false, plane<std::uint32_t>({4000000000u, 0, 1, 2, 3, 4}, false, true), Doubles{4e9, 0, 1, 2, 3, 4}},
        {"<i8", true, plane<std::int64_t>({big, -big, 0, 1, 2, 3}, true), Doubles{0x1p40, -0x1p40, 0, 1, 2, 3}},
        {">u8", false, plane<std::uint64_t>({top, 0, 1, 2, 3, 4}, false, true), Doubles{0x1p63 + 2048, 0, 1, 2, 3, 4}},
        {"<f4", true, plane<float>({0.5f, -1.25f, 1e30f, 0.1f, 0, 255}, true),
         Doubles{0.5, -1.25, static_cast<double>(1e30f), static_cast<double>(0.1f), 0, 255}},
        {">f8", false, plane<double>({0.1, -0.0, 1e298, 3, 4, 5}, false, true), Doubles{0.1, -0.0, 1e298, 3, 4, 5}},
    };
    TempDir dir;
    const std::string path = dir.file("t.npy");
    for (const Case& c : cases) {
        testing::writeText(path, npyBytes(npyDict(c.descr, "(2, 3)", c.fortran), c.data));
        const TextureArray t = readNpyTexture(path);
        EXPECT_EQ(t.rows, 2);
        EXPECT_EQ(t.cols, 3);
        EXPECT_TRUE(t.values == c.expected) << c.descr << (c.fortran ? " fortran" : "");
        if (c.descr[1] == 'f') continue;
        Ints flags;
        std::visit([&](const auto& v) { for (auto x : v) flags.push_back(x != 0); }, c.expected);
        const MaskArray m = readNpyMask(path);
        EXPECT_EQ(std::vector<std::int32_t>(m.values.begin(), m.values.end()), flags) << c.descr;
    }
}

TEST(NpyReader, BadFilesGiveOneLineNamingTheFile) {
    enum class Reader { vectors, texture, textureInto, mask };
    struct Case {
        Reader reader;
        std::string bytes;
        std::string message;    // after "x.npy: "
        std::size_t sparseTo = 0;  // the file's size, where more than its bytes
    };
    const std::string okDict = npyDict("<f8", "(1, 2, 2)");
    const std::string vec4 = npyData<double>({0, 1, 2, 3});
    const auto bad = [](const std::string& dict) { return npyBytes(dict, std::string(256, '\0')); };
    const auto texture = [](const char* descr, const std::string& data) {
        return npyBytes(npyDict(descr, "(2, 3)"), data);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {Reader::vectors, "", "empty file"},
        {Reader::vectors, "1 2\n3 4\n", "not a .npy file (bad magic)"},
        {Reader::vectors, "\x93NUMPY", "truncated: 6 of 10 header bytes"},
        {Reader::vectors, std::string("\x93NUMPY\x02\0\x10\0", 10), "truncated: 10 of 12 header bytes"},
        {Reader::vectors, std::string("\x93NUMPY\x04\0", 8) + std::string(100, ' '), "unsupported .npy format version 4.0"},
        {Reader::vectors, npyBytes(okDict, vec4).substr(0, 40), "truncated: 40 of 128 header bytes"},
        {Reader::vectors, npyBytes(okDict, vec4).substr(0, 152), "truncated: 24 of 32 data bytes"},
        {Reader::vectors, bad(npyDict("<c16", "(1, 2)")), "unsupported dtype '<c16'"},
        {Reader::vectors, bad(npyDict("|O", "(1, 2)")), "unsupported dtype '|O'"},
        {Reader::vectors, bad("{'descr': [('x', '<f8'), ('y', '<f8')], 'fortran_order': False, 'shape': (2,)}"),
         "unsupported dtype: structured arrays are not read"},
        {Reader::vectors, bad("{'descr': '<f8', 'fortran_order': False}"), "malformed header: no 'shape'"},
        {Reader::vectors, bad("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), 'x': 1}"),
         "malformed header at byte 66: unknown key 'x'"},
        {Reader::vectors, bad("{'descr': '<f8', 'fortran_order': 0, 'shape': (2,)}"),
         "malformed header at byte 45: 'fortran_order' must be True or False"},
        {Reader::vectors, bad("{'descr': '<f8', 'fortran_order': False, 'shape': (2)}"),
         "malformed header at byte 63: 'shape' must be a tuple of whole numbers"},
        {Reader::vectors, bad("{'descr': '<f8', 'fortran_order': False, 'shape': (-2,)}"),
         "malformed header at byte 61: 'shape' must be a tuple of whole numbers"},
        {Reader::vectors, bad("{'descr': '<f8' 'fortran_order': False}"), "malformed header at byte 26: expected ',' or '}'"},
        {Reader::vectors, bad("version 1.0"), "malformed header at byte 10: expected '{'"},
        {Reader::vectors, bad(npyDict("<f8", "(4, 5)")), "shape (4, 5) where (rows, cols, 2) is expected ([..., 0] along the rows, [..., 1] along the columns)"},
        {Reader::vectors, bad(npyDict("<f8", "(0, 3, 2)")), "shape (0, 3, 2) has no cells"},
        {Reader::vectors, bad(npyDict("<f8", "(65536, 32768, 2)")),
         "shape (65536, 32768, 2) has more cells than a grid holds (2^31 - 1)", std::size_t{1} << 36},
        {Reader::vectors, bad(npyDict("<i4", "(1, 2, 2)")), "dtype '<i4' where float32 or float64 is expected"},
        {Reader::vectors, npyBytes(okDict, npyData<double>({0, 1, nan, 0.5})),
         "vector at row 0, column 1 is not finite (nan, 0.5)"},
        {Reader::vectors, npyBytes(npyDict(">f4", "(1, 2, 2)"), npyData<float>({1, -INFINITY, 0, 0}, true)),
         "vector at row 0, column 0 is not finite (1, -inf)"},
        {Reader::vectors, npyBytes(okDict, npyData<double>({1e200, 1, nan, 0})),
         "vector at row 0, column 0 (1e+200, 1) too large: its squared length overflows"},
        {Reader::texture, bad(npyDict("<f8", "(2, 3, 2)")), "shape (2, 3, 2) where (rows, cols) is expected"},
        {Reader::texture, texture("<f8", plane<double>({0, 1, 2, inf, nan, 5})),
         "value at row 1, column 0 is not finite (inf)"},
        {Reader::texture, texture("<u8", plane<std::uint64_t>({0, (std::uint64_t{1} << 53) + 1, 2, 3, 4, 5})),
         "value at row 0, column 1 (9007199254740993) is not exact as a double"},
        {Reader::textureInto, texture("<i8", plane<std::int64_t>({0, 1, 2, 3, -3000000000, 5})),
         "value at row 1, column 1 (-3000000000) is outside the int32 range"},
        {Reader::textureInto, texture("<f4", plane<float>({0, 1, 2.5f, 3, 4, 5})),
         "value at row 0, column 2 (2.5) is not a whole number; fractional textures are not supported yet"},
        {Reader::mask, texture("<f8", plane<double>({0, 1, 2, 3, 4, 5})), "dtype '<f8' where bool or integers are expected"},
    };
    TempDir dir;
    const std::string path = dir.file("x.npy");
    const auto messageOf = [&](Reader reader) -> std::string {
        std::int32_t out[6];
        try {
            if (reader == Reader::vectors) readNpyVectors(path);
            if (reader == Reader::texture) readNpyTexture(path);
            if (reader == Reader::textureInto) readNpyTextureInto(NpyFile(path), out);
            if (reader == Reader::mask) readNpyMask(path);
        } catch (const InputError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(messageOf(Reader::texture), path + ": cannot open: No such file or directory");
    for (const Case& c : cases) {
        testing::writeText(path, c.bytes);
        ASSERT_TRUE(!c.sparseTo || truncate(path.c_str(), static_cast<off_t>(c.sparseTo)) == 0);
        EXPECT_EQ(messageOf(c.reader), path + ": " + c.message);
    }
}

// A zip of one member as numpy writes it, each field as given.
std::string zipOf(const std::string& name, const std::string& data, std::uint16_t method, std::uint32_t crc,
                  std::uint32_t size) {
    const auto le = [](std::uint64_t v, int n) {
        std::string s;
        for (int k = 0; k < n; ++k) s += static_cast<char>(v >> (8 * k) & 0xff);
        return s;
    };
    const std::string common = le(20, 2) + le(0, 2) + le(method, 2) + le(0, 4) + le(crc, 4) + le(data.size(), 4) +
                               le(size, 4) + le(name.size(), 2) + le(0, 2);
    const std::string local = le(0x04034b50, 4) + common + name + data;
    const std::string entry = le(0x02014b50, 4) + le(20, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) +
                              le(0, 4) + name;
    return local + entry + le(0x06054b50, 4) + le(0, 4) + le(1, 2) + le(1, 2) + le(entry.size(), 4) +
           le(local.size(), 4) + le(0, 2);
}

// .npz members are found, checked and read as .npy files; an archive that
// is not sound is refused before its sizes are believed.
TEST(NpzReader, MembersReadAndBadArchivesRefused) {
    const std::string u = npyBytes(npyDict("<f8", "(2, 3)"), plane<double>({1, 2, 3, 4, 5, 6}));
    const auto crc =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(u.data()), static_cast<uInt>(u.size())));
    const auto size = static_cast<std::uint32_t>(u.size());
    const std::string good = zipOf("u.npy", u, 0, crc, size);
    struct Case {
        std::string bytes;
        std::string message;  // after "x.npz"
    };
    const Case cases[] = {
        {good, ""},
        {"", ": not a zip archive, or cut short"},
        {std::string(100, 'x'), ": not a zip archive (no end of central directory)"},
        {good.substr(0, 60), ": not a zip archive (no end of central directory)"},
        {zipOf("u.npy", u, 0, crc ^ 1, size), "/u.npy: CRC mismatch: the archive is corrupt"},
        {zipOf("u.npy", u, 12, crc, size), "/u.npy: compression method 12 is not read"},
        {zipOf("u.npy", u, 8, crc, 0xfffffff0), "/u.npy: corrupt sizes in the archive"},
        {zipOf("u.npy", u, 8, crc, size), "/u.npy: corrupt compressed data"},
        {zipOf("w.npy", u, 0, crc, size), ": no array named u (it holds w)"},
    };
    TempDir dir;
    const std::string path = dir.file("x.npz");
    for (const Case& c : cases) {
        testing::writeText(path, c.bytes);
        try {
            EXPECT_EQ(readNpyScalar(NpzArchive(path).open("u")), (std::vector<double>{1, 2, 3, 4, 5, 6}));
            EXPECT_EQ(c.message, "");
        } catch (const InputError& e) {
            EXPECT_EQ(e.what(), path + c.message);
        }
    }
}

// Fortran order is read a column at a time, in blocks of rows on several
// threads; the cell reported is still the first in row-major order.
TEST(NpyReader, FirstBadCellInRowMajorOrderAcrossBlocks) {
    TempDir dir;
    const std::string path = dir.file("v.npy");
    const auto value = [](int i, int j, int) {
        return (i == 700 && j == 3) || (i == 5 && j == 200) ? std::numeric_limits<double>::quiet_NaN() : 0.5;
    };
    testing::writeText(path, npyBytes(npyDict("<f8", "(800, 300, 2)", true), npyData(inOrder<double>(800, 300, 2, true, value))));
    try {
        readNpyVectors(path);
        ADD_FAILURE() << "no error";
    } catch (const InputError& e) {
        EXPECT_EQ(e.what(), path + ": vector at row 5, column 200 is not finite (nan, nan)");
    }
    // NaN as missing data: kept, and left out of the largest magnitude.
    const VectorArray a = readNpyVectors(path, {.nanIsMissing = true});
    EXPECT_TRUE(std::isnan(a.xy[(5 * 300 + 200) * 2]));
    EXPECT_EQ(a.maxMagnitude, std::sqrt(0.5));
}

// A pipe is read in turn, no further than the header asks.
TEST(NpyReader, PipesAreReadToo) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string bytes = npyBytes(npyDict("<f8", "(1, 2, 2)"), npyData<double>({3, 4, 0, 1})) + "trailing";
    ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    const NpyFile file(fds[0], "pipe");
    close(fds[0]);
    double xy[4];
    EXPECT_EQ(readNpyVectorsInto(file, xy, 2), 5.0);
    EXPECT_EQ(std::vector<double>(xy, xy + 4), (std::vector<double>{3, 4, 0, 1}));

}

}  // namespace
}  // namespace fastlic

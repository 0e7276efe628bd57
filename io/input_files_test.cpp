#include "io/input_files.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

    static std::string repeated(const std::string& text, std::size_t times) {
        std::string out;
        for (std::size_t n = 0; n < times; ++n) out += text;
        return out;
    }

    TempDir dir;
};

// Cells row-major in any white space, words after the last value ignored.
TEST_F(InputFiles, FillsCellsRowMajorFromAnyLayout) {
    const struct {
        std::string vectors, texture;
        Vector cells[4];
        std::int32_t lastTexture;
        double largest;
    } cases[] = {
        {"3 4\n-1 0.5\n0 0\n1e-3 -2\nignored 7\n", "10 20\n30 -5 999 rest\n",
         {{3, 4, 0}, {-1, 0.5, 0}, {0, 0, 0}, {1e-3, -2, 0}}, -5, 5.0},
        {"3\n4\n-1\n0.5\n0\n0\n7\n8\n", "1\r\n2\r\n3\r\n+4", {{3, 4, 0}, {-1, 0.5, 0}, {}, {7, 8, 0}}, 4, std::sqrt(113.0)},
        {"3 4\r\n-1 0.5\r\n0 0\r\n7 8\r\n", "1 2 3 4", {{3, 4, 0}, {-1, 0.5, 0}, {}, {7, 8, 0}}, 4, std::sqrt(113.0)},
        {"  3\t4\n\n\v-1   0.5\f0 0\n+7 8e0", "1 2 -2147483648 2147483647", {{3, 4, 0}, {-1, 0.5, 0}, {}, {7, 8, 0}},
         2147483647, std::sqrt(113.0)},
        // Underflow gives zero, not an error.
        {"0.1 .5\n-0 1.\n2.2250738585072011e-308 4.9e-324\n1e-400 1E+2\n", "1 2 3 4",
         {{0.1, 0.5, 0}, {-0.0, 1, 0}, {2.2250738585072011e-308, 4.9e-324, 0}, {0, 100, 0}}, 4, 100.0},
    };
    for (const auto& c : cases) {
        writeText(vec(), c.vectors);
        writeText(tex(), c.texture);
        RegGrid g(2, 2);
        EXPECT_EQ(readInputFiles(vec(), tex(), g), c.largest) << c.vectors;
        for (int n = 0; n < 4; ++n) {
            const Vector& v = g.vectors[n / 2][n % 2];
            EXPECT_EQ(v, c.cells[n]) << c.vectors << " " << n;
            EXPECT_EQ(std::signbit(v.x), std::signbit(c.cells[n].x)) << c.vectors << " " << n;
        }
        EXPECT_EQ(g.texture[1][1], c.lastTexture) << c.vectors;
    }
}

// Long mantissas off the fast path round as strtod does, above all at and next to half-way.
TEST_F(InputFiles, RoundsLongAndNearHalfwayDecimalsAsStrtodDoes) {
    __extension__ typedef unsigned __int128 Wide;
    std::mt19937_64 random(20261207);
    std::vector<std::string> words;
    for (int n = 0; n < 4000; ++n) {
        std::string digits(16 + n % 4, '0');
        for (char& d : digits) d = static_cast<char>('0' + random() % 10);
        digits[0] = static_cast<char>('1' + random() % 9);
        const int point = static_cast<int>(random() % (digits.size() + 1));
        std::string word = (n % 3 ? "" : "-") + digits.substr(0, point) + "." + digits.substr(point);
        if (n % 5 == 0) word = "0.000" + digits;
        if (n % 2) word += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
        words.push_back(word);
    }
    // m / 10^k of 17 or 19 digits next to a half-way point (2M + 1) / 2^s.
    for (int n = 0; n < 2000; ++n) {
        const std::uint64_t half = (std::uint64_t{1} << 52 | (random() >> 12)) * 2 + 1;
        const int k = 1 + n % 22;
        Wide p = half;
        for (int i = 0; i < k; ++i) p *= 10;
        int bits = 0;
        for (Wide q = p; q != 0; q >>= 1) ++bits;
        const int shift = bits - (n % 2 ? 62 : 56);
        const std::uint64_t m = static_cast<std::uint64_t>(shift > 0 ? p >> shift : p << -shift);
        for (const std::uint64_t near : {m - 1, m, m + 1})
            words.push_back(std::to_string(near) + "e-" + std::to_string(k));
    }
    // m x 10^k exactly half-way (its odd part has 54 bits), 1e23 among them.
    for (int k = 0; k <= 23; ++k) {
        std::uint64_t five = 1;
        for (int i = 0; i < k; ++i) five *= 5;
        const std::uint64_t low = ((std::uint64_t{1} << 53) + five - 1) / five;
        const std::uint64_t high = ((std::uint64_t{1} << 54) - 1) / five;
        for (int n = 0; n < 20; ++n) {
            const std::uint64_t j = (low + random() % (high - low + 1)) | 1;
            if (j > high) continue;
            for (const std::uint64_t m : {j, j << 5, j - 1, j + 1})
                words.push_back(std::to_string(m) + "e" + std::to_string(k));
        }
    }
    if (words.size() % 2) words.push_back("1");
    std::string text;
    for (const std::string& w : words) text += w + "\n";
    writeText(vec(), text);
    const std::int32_t cols = static_cast<std::int32_t>(words.size() / 2);
    writeText(tex(), repeated("0 ", static_cast<std::size_t>(cols)));
    RegGrid g(1, cols);
    readInputFiles(vec(), tex(), g);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const double expected = std::strtod(words[i].c_str(), nullptr);
        const Vector& v = g.vectors[0][static_cast<std::int32_t>(i / 2)];
        const double got = i % 2 ? v.y : v.x;
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0)
            << words[i] << ": " << got << ", strtod " << expected;
    }
}

TEST_F(InputFiles, CountsLinesAcrossBlocksAndWindows) {
    // Over 20 MB before the bad word; values after the last needed one ignored.
    const std::int32_t rows = 1000, cols = 1600;
    const std::string text = repeated("0.25 -1.5e-3\n", rows * cols), texture = repeated("1 ", rows * cols);
    std::string bad = text;
    bad.replace(bad.size() - 3 * 13, 4, "0.2x");  // on the third line from the end
    EXPECT_EQ(errorOf(bad, texture, rows, cols),
              vec() + ":" + std::to_string(rows * cols - 2) + ": expected a number, found \"0.2x\"");
    writeText(vec(), text + "garbage after the last value\n");
    RegGrid g(rows, cols);
    readInputFiles(vec(), tex(), g);
    EXPECT_EQ(g.vectors[rows - 1][cols - 1], Vector(0.25, -1.5e-3, 0));
}

// Every way of indexing the processor runs finds what the plainest finds,
// over white space of each kind at every place in a 64-byte group.
TEST(TextIndex, EveryInstructionSetAgrees) {
    std::mt19937 random(7);
    const std::string alphabet = " \t\n\r\v\f0123456789.-e\x80\xff";
    for (int trial = 0; trial < 400; ++trial) {
        std::string text(static_cast<std::size_t>(random() % 300), ' ');
        for (char& c : text) c = alphabet[random() % alphabet.size()];
        const std::size_t size = text.size();
        text.append(64, '\xff');  // readable past the end, and not white space
        const bool afterSpace = trial % 2, afterCR = trial % 3 == 0;
        const auto ways = detail::indexEveryWay(text.data(), size, afterSpace, afterCR);
        for (std::size_t w = 1; w < ways.size(); ++w)
            ASSERT_TRUE(ways[w] == ways[0]) << "way " << w << ", trial " << trial;
    }
}

// A long line of short words is fine, and so is a word of 1 MiB; a longer one is not.
TEST_F(InputFiles, WordsOfOver1MiBAreRejected) {
    const std::string vectors = "1 2 3 4 5 6 7 8\n", texture = "1 2 3 4\n";
    EXPECT_EQ(errorOf(std::string(3 << 20, ' ') + vectors, texture), "");
    const std::string tiny = "0." + std::string((1 << 20) - 3, '0') + "1";  // 1 MiB, 0 as a double
    for (const std::string& word : {tiny, std::string(1 << 20, '0')}) {
        EXPECT_EQ(errorOf(word + " " + vectors, texture), "");
        EXPECT_EQ(errorOf("1 " + word + "7\n", texture), vec() + ":1: expected a number, found a word of over 1 MiB");
        EXPECT_EQ(errorOf(vectors, "1\n\n" + word + "7\n"), tex() + ":3: expected an integer, found a word of over 1 MiB");
    }
}

// A vector whose x and y fall in different pieces of the parallel read
// still counts, and reaches a step table whole.
TEST_F(InputFiles, FindsLargestAndOverflowingVectorsSplitBetweenPieces) {
    const LicParams shortReach{1, 0, 1, 0.5};  // a halo of 2
    for (std::size_t boundary = std::size_t{1} << 12; boundary <= std::size_t{1} << 22; boundary <<= 1) {
        const std::size_t lines = boundary / 4 - 2;
        const auto cells = static_cast<std::int32_t>(lines + 1);
        const auto file = [&](const std::string& x, const std::string& y) {
            return repeated("1 1\n", lines) + std::string(8 - x.size() - 1, ' ') + x + " " + y + "\n";
        };
        writeText(vec(), file("30", "40") + "1 1\n");
        writeText(tex(), repeated("7 ", lines + 1));
        RegGrid g(1, cells);
        EXPECT_EQ(readInputFiles(vec(), tex(), g), 50.0) << boundary;
        const auto rows = static_cast<std::int32_t>(std::max<std::size_t>(2, boundary >> 15));  // cells + 1 = boundary / 4
        StepTable table(shortReach, rows, (cells + 1) / rows);
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(vec().c_str(), "rb"), std::fclose);
        EXPECT_EQ(detail::readVectors(f.get(), vec(), nullptr, table, 2), 50.0) << boundary;
        const Direction split = *table.at(rows - 1, table.cols() - 2), expected = stepOf(30, 40, false, 0.5);
        EXPECT_TRUE(split.x == expected.x && split.y == expected.y) << boundary;
        // Both at once, as an image run reads them.
        RegGrid grid(rows, table.cols());
        StepTable steps(shortReach, rows, table.cols());
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> again(std::fopen(vec().c_str(), "rb"), std::fclose);
        EXPECT_EQ(detail::readVectors(again.get(), vec(), &grid, steps, 2), 50.0) << boundary;
        const Direction joined = *steps.at(rows - 1, table.cols() - 2);
        EXPECT_TRUE(joined.x == expected.x && joined.y == expected.y) << boundary;
        EXPECT_EQ(grid.vectors[rows - 1][table.cols() - 2], Vector(30, 40, 0)) << boundary;
        EXPECT_EQ(errorOf(file("3e200", "4e200"), repeated("7 ", lines + 1), 1, cells),
                  vec() + ":" + std::to_string(lines + 1) +
                      ": vector (3e+200, 4e+200) too large: its squared length overflows")
            << boundary;
    }
}

// A pipe gives the values and messages of a file, also past the first buffer.
TEST_F(InputFiles, ReadsPipesAsRegularFiles) {
    const std::int32_t rows = 500, cols = 1000;
    std::string text;
    for (std::int32_t n = 0; n < rows * cols; ++n)
        text += std::to_string(n % 977 * 0.001953125) + " -" + std::to_string(n % 13) + "e-7\n";
    testing::writeTextureFile(tex(), rows, cols, [](auto i, auto j) { return (i + j) % 256; });
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const auto previous = signal(SIGPIPE, SIG_IGN);  // the reader may stop before the writer is done
    for (const bool bad : {false, true}) {
        const std::string content = bad ? std::string(text).insert(text.size() - 5000, "1e ") : text;
        writeText(vec(), content);
        RegGrid fromFile(rows, cols), fromPipe(rows, cols);
        const auto read = [&](const std::string& path, RegGrid& g) -> std::string {
            try {
                readInputFiles(path, tex(), g);
            } catch (const InputError& e) {
                return std::string(e.what()).substr(path.size());
            }
            return "";
        };
        const std::string fileError = read(vec(), fromFile);
        std::thread writer([&] { std::ofstream(pipe, std::ios::binary) << content; });
        EXPECT_EQ(read(pipe, fromPipe), fileError);
        writer.join();
        EXPECT_EQ(fileError.empty(), !bad) << fileError;
        EXPECT_EQ(std::memcmp(fromPipe.vectors.data(), fromFile.vectors.data(), fromFile.cellCount() * sizeof(Vector)), 0);
    }
    signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace fastlic

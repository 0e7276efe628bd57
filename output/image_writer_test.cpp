#include "output/image_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "output/npy_writer.h"
#include "tests/test_util.h"

namespace fastlic {
namespace {

// The colour map the writers use, with its four colours set.
const ColorMap& standardColours() {
    static const ColorMap map = classicColorMap();
    return map;
}

template <typename Write>
std::string captured(Write write) {
    std::FILE* f = std::tmpfile();
    write(f);
    std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    const std::size_t got = std::fread(text.data(), 1, text.size(), f);
    std::fclose(f);
    text.resize(got);
    return text;
}

TEST(ImageWriter, ShadesTheMappedColourByTheLicValue) {
    RegGrid g(1, 3);
    g.vectors[0][0] = Vector(3, 4, 0);  // t = 0.5: red
    g.licSums[0][0] = 51.0;
    g.vectors[0][1] = Vector(0, 0, 0);  // t = 0: grey
    g.licSums[0][1] = 255.0;
    g.vectors[0][2] = Vector(6, 8, 0);  // t = 1: past the table, blue
    g.licSums[0][2] = 0.0;
    const ColorMap& map = standardColours();
    EXPECT_EQ(shadedColor(g, 0, 0, 10.0, map), Point(51, 0, 0, 1));
    const std::string ppm = captured([&](std::FILE* f) { writeImage(g, f, 10.0, map); });
    EXPECT_EQ(ppm, "P3\t3\t1\t255\n51 0 0\n100 100 100\n0 0 0\n");
}

TEST(ImageWriter, HeaderNamesColumnsFirstAndRasterRunsRowsOuter) {
    RegGrid g(2, 3);
    for (std::int32_t i = 0; i < 2; ++i)
        for (std::int32_t j = 0; j < 3; ++j) g.licSums[i][j] = 255.0 * (3 * i + j) / 10.0;
    const ColorMap& map = standardColours();
    const std::string ppm = captured([&](std::FILE* f) { writeImage(g, f, 1.0, map); });
    EXPECT_EQ(ppm,
              "P3\t3\t2\t255\n0 0 0\n10 10 10\n20 20 20\n30 30 30\n40 40 40\n50 50 50\n");
}

TEST(ImageWriter, RoundsAndLimitsComponents) {
    EXPECT_EQ(toByte(0.0), 0);
    EXPECT_EQ(toByte(50.49), 50);
    EXPECT_EQ(toByte(50.5), 51);
    EXPECT_EQ(toByte(50.999999999), 51);  // truncation would drop a level here
    EXPECT_EQ(toByte(254.6), 255);
    EXPECT_EQ(toByte(-3.0), 0);
    EXPECT_EQ(toByte(300.0), 255);
}

TEST(ImageWriter, OutOfRangeTextureGivesLimitedComponents) {
    RegGrid g(1, 2);
    g.licSums[0][0] = 300.0;  // texture values above 255
    g.licSums[0][1] = -5.0;
    const ColorMap& map = standardColours();
    const std::string ppm = captured([&](std::FILE* f) { writeImage(g, f, 1.0, map); });
    EXPECT_EQ(ppm, "P3\t2\t1\t255\n118 118 118\n0 0 0\n");
}

// PNG holds 2^31 - 1 pixels a side, beyond libpng's default limit of a
// million; a failed write is one message with the system's reason.
TEST(ImageWriter, PngOfAnyGridSideAndItsWriteErrors) {
    for (const auto& [rows, cols] : {std::pair{1, 1000001}, std::pair{1000001, 1}}) {
        const RegGrid g(rows, cols);
        const std::string png = captured([&](std::FILE* f) { writePng(g, f, 1.0, standardColours()); });
        ASSERT_GT(png.size(), 33u);
        const auto be32 = [&](std::size_t at) {
            std::uint32_t v = 0;
            for (std::size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<unsigned char>(png[at + k]);
            return v;
        };
        EXPECT_EQ(be32(16), static_cast<std::uint32_t>(cols));  // width
        EXPECT_EQ(be32(20), static_cast<std::uint32_t>(rows));  // height
        EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
    }
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    try {
        writePng(RegGrid(300, 300), full, 1.0, standardColours());
        ADD_FAILURE() << "no error";
    } catch (const OutputError& e) {
        EXPECT_STREQ(e.what(), "cannot write the image: No space left on device");
    }
    std::fclose(full);
}

TEST(NpyWriter, HeaderIsAlignedAndDescribesTheArray) {
    RegGrid g(2, 3);
    g.licSums[1][2] = 0.25;
    g.hitCounts[1][2] = 13;
    const std::string lic = captured([&](std::FILE* f) { writeLicNpy(g, f); });
    ASSERT_GE(lic.size(), 64u);
    EXPECT_EQ(lic.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
    const std::size_t headerLength =
        static_cast<unsigned char>(lic[8]) | static_cast<unsigned char>(lic[9]) << 8;
    EXPECT_EQ((10 + headerLength) % 64, 0u);
    const std::string header = lic.substr(10, headerLength);
    EXPECT_EQ(header.find("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 3), }"), 0u);
    EXPECT_EQ(header.back(), '\n');
    EXPECT_EQ(lic.size(), 10 + headerLength + 6 * 8);
    double last;
    std::memcpy(&last, lic.data() + lic.size() - 8, 8);
    EXPECT_EQ(last, 0.25);

    const std::string hits = captured([&](std::FILE* f) { writeHitsNpy(g, f); });
    EXPECT_NE(hits.find("'descr': '<i4'"), std::string::npos);
    std::int32_t lastHits;
    std::memcpy(&lastHits, hits.data() + hits.size() - 4, 4);
    EXPECT_EQ(lastHits, 13);
}

}  // namespace
}  // namespace fastlic

#include "field/mapped_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "tests/test_util.h"

namespace fastlic::detail {
namespace {

// A file in dir holding text, opened with flags; -1 if it cannot be.
int openWith(const testing::TempDir& dir, const std::string& text, int flags) {
    const std::string path = dir.file("f");
    testing::writeText(path, text);
    return open(path.c_str(), flags);
}

TEST(MappedFile, ReadsTheBytesThenZeros) {
    testing::TempDir dir;
    const int fd = openWith(dir, "1 2 3\n", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        MappedFile file(fd, 6);
        ASSERT_NE(file.data(), nullptr);
        EXPECT_EQ(std::string(file.data(), 6), "1 2 3\n");
        for (std::size_t i = 6; i < 4096; ++i) ASSERT_EQ(file.data()[i], '\0') << i;
        EXPECT_FALSE(file.truncated());
    }
    close(fd);
}

TEST(MappedFile, CutShortWhileMappedReadsZerosAndSaysSo) {
    testing::TempDir dir;
    const long page = sysconf(_SC_PAGESIZE);
    const int fd = openWith(dir, std::string(static_cast<std::size_t>(3 * page), '7'), O_RDWR);
    ASSERT_GE(fd, 0);
    {
        MappedFile file(fd, static_cast<std::size_t>(3 * page));
        ASSERT_NE(file.data(), nullptr);
        ASSERT_EQ(ftruncate(fd, page), 0);
        EXPECT_EQ(file.data()[page - 1], '7');
        EXPECT_EQ(file.data()[2 * page + 5], '\0');
        EXPECT_TRUE(file.truncated());
    }
    close(fd);
}

TEST(MappedFile, LeavesOtherBusErrorsFatal) {
    testing::TempDir dir;
    const int fd = openWith(dir, "1\n", O_RDONLY);
    ASSERT_GE(fd, 0);
    MappedFile file(fd, 2);
    // Fatal by the default action, or by the handler before ours (a
    // sanitizer's reports and exits).
    EXPECT_DEATH(raise(SIGBUS), "");
    close(fd);
}

}  // namespace
}  // namespace fastlic::detail

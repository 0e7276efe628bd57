#include "io/mapped_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "tests/test_util.h"

namespace fastlic::detail {
namespace {

// The bytes then zeros; a file cut short while mapped reads zeros and says
// so; other bus errors stay fatal.
TEST(MappedFile, ReadsTheBytesThenZeros) {
    testing::TempDir dir;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    testing::writeText(dir.file("short"), "1 2 3\n");
    testing::writeText(dir.file("long"), std::string(3 * page, '7'));
    const int small = open(dir.file("short").c_str(), O_RDONLY), large = open(dir.file("long").c_str(), O_RDWR);
    ASSERT_TRUE(small >= 0 && large >= 0);
    {
        MappedFile file(small, 6);
        ASSERT_NE(file.data(), nullptr);
        EXPECT_EQ(std::string(file.data(), 6), "1 2 3\n");
        for (std::size_t i = 6; i < 4096; ++i) ASSERT_EQ(file.data()[i], '\0') << i;
        EXPECT_FALSE(file.truncated());
        // Fatal by the default action, or by the handler before ours (a
        // sanitizer's reports and exits).
        EXPECT_DEATH(raise(SIGBUS), "");
    }
    {
        MappedFile file(large, 3 * page);
        ASSERT_NE(file.data(), nullptr);
        ASSERT_EQ(ftruncate(large, static_cast<off_t>(page)), 0);
        EXPECT_EQ(file.data()[page - 1], '7');
        EXPECT_EQ(file.data()[2 * page + 5], '\0');
        EXPECT_TRUE(file.truncated());
    }
    close(small);
    close(large);
}

}  // namespace
}  // namespace fastlic::detail

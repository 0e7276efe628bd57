#include "io/output_file.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "tests/test_util.h"

namespace fastlic {
namespace {

using testing::readText;

// Item by item: each write() replaces that item's targets, through links,
// and lets its outputs go, writers and all; the next item's are checked
// against the same inputs.
TEST(OutputSet, WritesItemByItemThroughLinks) {
    const testing::TempDir dir;
    testing::writeText(dir.file("in"), "input");
    std::filesystem::create_directory(dir.file("sub"));
    symlink("out.ppm", dir.file("link.ppm").c_str());
    symlink("sub/new.npy", dir.file("dangling.npy").c_str());
    OutputSet set;
    set.addInput("--vectors", dir.file("in"));
    for (const std::string name : {"link.ppm", "dangling.npy"}) {
        const auto held = std::make_shared<std::string>(name);
        set.add("-o", dir.file(name), [held](std::FILE* f) { std::fputs(held->c_str(), f); });
        set.open();
        set.write();
        EXPECT_EQ(held.use_count(), 1) << name;
        EXPECT_TRUE(std::filesystem::is_symlink(dir.file(name)));
        EXPECT_EQ(readText(dir.file(name)), name);
    }
    set.add("-o", dir.file("in"), [](std::FILE*) {});
    EXPECT_THROW(set.open(), UsageError);
    EXPECT_EQ(readText(dir.file("in")), "input");
}

// A file replaced stays whole under its other names, and nothing else is
// left beside the target.
TEST(OutputSet, ReplacesAnExistingFileLeavingNothingElse) {
    const testing::TempDir dir;
    testing::writeText(dir.file("out.npy"), "old");
    ASSERT_EQ(link(dir.file("out.npy").c_str(), dir.file("kept").c_str()), 0);
    OutputSet set;
    set.add("--lic", dir.file("out.npy"), [](std::FILE* f) { std::fputs("new", f); });
    set.open();
    set.write();
    EXPECT_EQ(readText(dir.file("out.npy")), "new");
    EXPECT_EQ(readText(dir.file("kept")), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 2);
}

// Every target is opened before the work: one that cannot be fails with its
// reason. The longest name the file system takes is fine: the temporary's
// name is kept within the limit.
TEST(OutputSet, TargetsThatCannotBeOpened) {
    const testing::TempDir dir;
    std::filesystem::create_directory(dir.file("sub.ppm"));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, dir.file("socket").c_str());
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(s);
    symlink("loop2", dir.file("loop1").c_str());
    symlink("loop1", dir.file("loop2").c_str());
    const std::string longest(255 - 4, 'n');  // NAME_MAX with ".ppm"
    const std::pair<std::string, std::string> cases[] = {  // name, reason ("": fine)
        {"missing/h.npy", "cannot create: No such file or directory"},
        {"sub.ppm", "is a directory"},
        {"socket", "cannot open: No such device or address"},
        {"loop1", "cannot create: Too many levels of symbolic links"},
        {longest + "n.ppm", "cannot create: File name too long"},
        {longest + ".ppm", ""},
    };
    for (const auto& [name, reason] : cases) {
        OutputSet set;
        set.add("", dir.file(name), [](std::FILE* f) { std::fputs("new", f); });
        try {
            set.open();
            set.write();
            EXPECT_EQ(reason, "");
            EXPECT_EQ(readText(dir.file(name)), "new");
        } catch (const OutputError& e) {
            EXPECT_EQ(e.what(), dir.file(name) + ": " + reason);
        }
    }
}

}  // namespace
}  // namespace fastlic

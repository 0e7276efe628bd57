// The fuzzer's check on every committed input: the seed corpus and the
// inputs that once failed it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fuzz/run_check.h"
#include "tests/test_util.h"

namespace fastlic::fuzz {
namespace {

void checkEveryFile(const std::string& dir, bool mustHaveFiles) {
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
        const std::string bytes = testing::readText(entry.path().string());
        EXPECT_EQ(checkRun(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
            << entry.path();
        ++files;
    }
    if (mustHaveFiles) {
        EXPECT_GT(files, 0u) << "no inputs in " << dir;
    }
}

TEST(FuzzInputs, SeedCorpus) { checkEveryFile(FASTLIC_FUZZ_DIR "/corpus", true); }

TEST(FuzzInputs, Regressions) { checkEveryFile(FASTLIC_FUZZ_DIR "/regressions", false); }

}  // namespace
}  // namespace fastlic::fuzz

// The fuzzer's check on every committed input: the seed corpus and the
// inputs that once failed it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/fuzz/run_check.h"
#include "tests/test_util.h"

namespace fastlic::fuzz {
namespace {

TEST(FuzzInputs, SeedCorpusAndRegressions) {
    std::size_t files = 0;
    for (const char* dir : {FASTLIC_FUZZ_DIR "/corpus", FASTLIC_FUZZ_DIR "/regressions"})
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
            const std::string bytes = testing::readText(entry.path().string());
            EXPECT_EQ(checkRun(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "") << entry.path();
            ++files;
        }
    EXPECT_GE(files, 8u);  // the seed corpus alone has eight
}

}  // namespace
}  // namespace fastlic::fuzz

#include "base/parallel.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace fastlic {
namespace {

// Every part of every stage runs exactly once, also in the first stage
// after more workers are started, in stages that use fewer of them, after
// a part threw, and in a stage within a stage.
TEST(OnThreads, RunsEveryPartOnceInEveryStage) {
    for (int stage = 0; stage < 2000; ++stage) {
        const int threads = 1 + stage % 5;
        std::vector<std::atomic<int>> runs(static_cast<std::size_t>(threads));
        onThreads(threads, [&](int t) { runs[static_cast<std::size_t>(t)].fetch_add(1); });
        for (int t = 0; t < threads; ++t) ASSERT_EQ(runs[static_cast<std::size_t>(t)].load(), 1) << "stage " << stage;
    }
    EXPECT_THROW(onThreads(3, [](int t) { if (t == 2) throw std::runtime_error("part 2"); }), std::runtime_error);
    std::atomic<int> inner{0};
    onThreads(2, [&](int) { onThreads(2, [&](int) { ++inner; }); });
    EXPECT_EQ(inner.load(), 4);
}

TEST(OnThreads, ChildOfForkRunsStages) {
    onThreads(2, [](int) {});
    const pid_t pid = fork();
    if (pid == 0) {
        std::atomic<int> parts{0};
        onThreads(2, [&](int) { ++parts; });
        _exit(parts.load() == 2 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace fastlic

// libFuzzer entry: arbitrary bytes through the reader and the whole run.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/run_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fastlic::fuzz::checkRun(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "fastlic fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

// One run before fuzzing starts, so that the thread runtime's start-up
// (which compares environment variable names) does not feed the dictionary.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Idle threads sleep rather than spin: runs are short and the cores few.
    setenv("OMP_WAIT_POLICY", "passive", 0);
    std::string warmUp = "5";  // 3 x 7 on two threads
    for (int cell = 0; cell < 21; ++cell) warmUp += "1 0\n";
    warmUp += '|';
    for (int cell = 0; cell < 21; ++cell) warmUp += "7\n";
    fastlic::fuzz::checkRun(reinterpret_cast<const std::uint8_t*>(warmUp.data()), warmUp.size());
    return 0;
}

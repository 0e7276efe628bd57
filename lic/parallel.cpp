#include "lic/parallel.h"

#include <sched.h>

namespace fastlic {

namespace {
int chosenThreads = 0;
}

int availableCores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int threadCount() { return chosenThreads > 0 ? chosenThreads : availableCores(); }

void setThreadCount(int threads) { chosenThreads = threads; }

}  // namespace fastlic

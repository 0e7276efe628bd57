#include "io/mapped_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

namespace fastlic::detail {
namespace {

// The mappings a SIGBUS may belong to. The handler reads them without a
// lock, so each slot is a pair of atomics, claimed by a compare-exchange on
// its start and cleared before the mapping goes.
struct Slot {
    std::atomic<std::uintptr_t> begin{0}, end{0};
    std::atomic<bool> faulted{false};
};
constexpr int slotCount = 16;
Slot slots[slotCount];
struct sigaction previous {};
// Read once, before the handler is installed: sysconf is not safe in it.
const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

void onBus(int sig, siginfo_t* info, void* context) {
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : slots) {
        if (at >= slot.begin.load() && at < slot.end.load()) {
            // Zero bytes over the lost page; the read that faulted runs again.
            const std::uintptr_t lost = at & ~(std::uintptr_t{page} - 1);
            if (mmap(reinterpret_cast<void*>(lost), page, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
                slot.faulted.store(true);
                return;
            }
            break;
        }
    }
    // Not ours: whoever handled it before, or else the default action.
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) return previous.sa_sigaction(sig, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        return previous.sa_handler(sig);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onBus;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previous);
    });
}

int claimSlot(std::uintptr_t begin, std::uintptr_t end) {
    for (int i = 0; i < slotCount; ++i) {
        std::uintptr_t empty = 0;
        if (slots[i].begin.compare_exchange_strong(empty, begin)) {
            slots[i].faulted.store(false);
            slots[i].end.store(end);
            return i;
        }
    }
    return -1;
}

// The range goes before the slot is free, so the handler never sees a
// half-claimed one.
void freeSlot(int i) {
    slots[i].end.store(0);
    slots[i].begin.store(0);
}

}  // namespace

MappedFile::MappedFile(int fd, std::size_t size) : size_(size) {
    total_ = (size + page - 1) / page * page + page;
    void* area = mmap(nullptr, total_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return;
    installHandler();
    const auto begin = reinterpret_cast<std::uintptr_t>(area);
    // Without a slot a truncation could not be caught: the caller reads
    // the file another way.
    slot_ = claimSlot(begin, begin + total_);
    if (slot_ < 0 || mmap(area, size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
        if (slot_ >= 0) freeSlot(slot_);
        slot_ = -1;
        munmap(area, total_);
        return;
    }
    base_ = static_cast<char*>(area);
}

MappedFile::~MappedFile() {
    if (!base_) return;
    freeSlot(slot_);
    munmap(base_ + released_, total_ - released_);
}

void MappedFile::release(std::size_t offset) {
    const std::size_t upTo = offset / page * page;
    if (upTo <= released_) return;
    // Narrow the slot first: the freed addresses may soon hold another
    // mapping, whose bus errors are not ours to hide.
    slots[slot_].begin.store(reinterpret_cast<std::uintptr_t>(base_ + upTo));
    munmap(base_ + released_, upTo - released_);
    released_ = upTo;
}

bool MappedFile::truncated() const { return base_ && slots[slot_].faulted.load(); }

}  // namespace fastlic::detail

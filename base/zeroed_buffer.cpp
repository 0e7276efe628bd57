#include "base/zeroed_buffer.h"

#include <sys/mman.h>

#include <cstdint>

namespace fastlic::detail {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;
// From here in huge pages: the kernel clears one 2 MiB page several times
// faster than the 512 small pages it replaces, and takes one fault for it.
constexpr std::size_t hugeFrom = std::size_t{1} << 20;
// From here left to the threads that fill them to touch first, in parallel.
constexpr std::size_t lazyFrom = std::size_t{8} << 20;

}  // namespace

void* mapZeroed(std::size_t bytes, std::size_t& mapped) {
    if (bytes < hugeFrom) {
        // Populated at once: far cheaper than a fault a page later on.
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        mapped = bytes;
        return p;
    }
    // Whole huge pages on a huge page boundary, cut from a larger mapping.
    const std::size_t size = (bytes + hugePage - 1) / hugePage * hugePage;
    void* raw = mmap(nullptr, size + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + hugePage - 1) & ~(std::uintptr_t{hugePage} - 1);
    if (aligned > begin) munmap(raw, aligned - begin);
    if (const std::uintptr_t tail = begin + size + hugePage - (aligned + size))
        munmap(reinterpret_cast<void*>(aligned + size), tail);
    void* p = reinterpret_cast<void*>(aligned);
    madvise(p, size, MADV_HUGEPAGE);  // a hint: without it, small pages
#ifdef MADV_POPULATE_WRITE
    if (size < lazyFrom) madvise(p, size, MADV_POPULATE_WRITE);  // older kernels: faulted in use
#endif
    mapped = size;
    return p;
}

void unmapZeroed(void* data, std::size_t mapped) { munmap(data, mapped); }

}  // namespace fastlic::detail

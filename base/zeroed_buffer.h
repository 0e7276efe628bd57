// Large zero-filled arrays straight from the kernel: fresh pages are zero,
// so the program never writes zeros itself.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace fastlic {

// n elements whose bytes are all zero, the zero of every type used here.
template <typename T>
class ZeroedBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    ZeroedBuffer() = default;
    // Mid-sized ones populated at once: far cheaper than a fault a page
    // later on, above all when several threads would fault at the same
    // time. Large ones in huge pages where the system gives them: a fault
    // then brings 2 MiB, so the threads that fill a buffer touch its pages
    // first at little cost, and pages never touched take no memory.
    explicit ZeroedBuffer(std::size_t n) : size_(n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= mappedFrom) {
            const bool huge = bytes >= hugeFrom;
            void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | (huge ? 0 : MAP_POPULATE), -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            if (huge) madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it, small pages
            data_ = static_cast<T*>(p);
            mapped_ = true;
        } else {
            data_ = static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)));
            if (!data_) throw std::bad_alloc();
        }
    }
    ZeroedBuffer(ZeroedBuffer&& other) noexcept { swap(other); }
    ZeroedBuffer& operator=(ZeroedBuffer&& other) noexcept {
        ZeroedBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~ZeroedBuffer() {
        if (mapped_)
            munmap(data_, size_ * sizeof(T));
        else
            std::free(data_);
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    static constexpr std::size_t mappedFrom = std::size_t{256} << 10;
    static constexpr std::size_t hugeFrom = std::size_t{8} << 20;

    void swap(ZeroedBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(mapped_, other.mapped_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace fastlic

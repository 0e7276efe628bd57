// Large zero-filled arrays straight from the kernel: fresh pages are zero,
// so the program never writes zeros itself.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace fastlic {

namespace detail {

constexpr std::size_t mappedFrom = std::size_t{256} << 10;

// At least `bytes` of fresh zero pages; `mapped` is set to what was mapped,
// for unmapZeroed. Throws std::bad_alloc.
void* mapZeroed(std::size_t bytes, std::size_t& mapped);
void unmapZeroed(void* data, std::size_t mapped);

}  // namespace detail

// n elements whose bytes are all zero, the zero of every type used here.
template <typename T>
class ZeroedBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    ZeroedBuffer() = default;
    // Small ones from the heap; the rest mapped (base/zeroed_buffer.cpp).
    explicit ZeroedBuffer(std::size_t n) : size_(n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= detail::mappedFrom) {
            data_ = static_cast<T*>(detail::mapZeroed(bytes, mapped_));
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
            detail::unmapZeroed(data_, mapped_);
        else
            std::free(data_);
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

private:
    void swap(ZeroedBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(mapped_, other.mapped_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // bytes mapped, 0 from the heap
};

}  // namespace fastlic

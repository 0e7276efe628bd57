#pragma once

#include <cstddef>

namespace fastlic::detail {

// A regular file's bytes mapped read-only, then a page or more of zero
// bytes. If the file is cut short while mapped, reading its lost pages
// would kill the process with SIGBUS; here they read as zero bytes instead
// and truncated() says so, so that the reader can report it.
class MappedFile {
public:
    // data() is null when the file cannot be mapped.
    MappedFile(int fd, std::size_t size);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    const char* data() const { return base_; }
    std::size_t size() const { return size_; }
    // The bytes before offset are not read again; their pages are given back.
    void release(std::size_t offset);
    // Whether a page past the file's end was read since it was mapped.
    bool truncated() const;

private:
    char* base_ = nullptr;
    std::size_t size_ = 0, total_ = 0, released_ = 0;
    int slot_ = -1;
};

}  // namespace fastlic::detail

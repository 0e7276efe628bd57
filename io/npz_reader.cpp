#include "io/npz_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include <libdeflate.h>

#include "base/errors.h"

namespace fastlic {

namespace {

constexpr std::uint32_t endSignature = 0x06054b50, end64Signature = 0x06064b50, locatorSignature = 0x07064b50,
                        entrySignature = 0x02014b50, localSignature = 0x04034b50;
constexpr std::size_t endSize = 22, entrySize = 46, localSize = 30;
// Deflate shrinks at most about 1032 to 1: a member that claims more is
// corrupt, and is refused before its size is allocated.
constexpr std::uint64_t deflateRatio = 1032;

std::uint64_t little(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = v << 8 | p[k];
    return v;
}

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

bool isNpzPath(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".npz";
}

NpzArchive::NpzArchive(const std::string& path) : path_(path) {
    const auto fail = [&](const std::string& what) { throw InputError(path_ + ": " + what); };
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) fail(std::string("cannot open: ") + std::strerror(errno));
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) fail("not a regular file");
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const auto readAt = [&](std::uint64_t at, std::size_t n) {
        std::vector<unsigned char> bytes(n);
        if (at > size || n > size - at ||
            pread(file.fd, bytes.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n))
            fail("not a zip archive, or cut short");
        return bytes;
    };

    // The end record is in the last 64 KiB + 22 bytes, after which only its
    // comment may follow.
    const std::uint64_t tailSize = std::min<std::uint64_t>(size, 65535 + endSize);
    if (tailSize < endSize) fail("not a zip archive, or cut short");
    const std::vector<unsigned char> tail = readAt(size - tailSize, tailSize);
    std::size_t end = tailSize - endSize + 1;
    do {
        --end;
    } while (end > 0 && little(&tail[end], 4) != endSignature);
    if (little(&tail[end], 4) != endSignature) fail("not a zip archive (no end of central directory)");
    std::uint64_t entries = little(&tail[end + 10], 2);
    std::uint64_t directorySize = little(&tail[end + 12], 4);
    std::uint64_t directoryAt = little(&tail[end + 16], 4);
    if (entries == 0xffff || directorySize == 0xffffffff || directoryAt == 0xffffffff) {
        const std::uint64_t endAt = size - tailSize + end;
        if (endAt < 20) fail("zip64 locator missing");
        const std::vector<unsigned char> locator = readAt(endAt - 20, 20);
        if (little(locator.data(), 4) != locatorSignature) fail("zip64 locator missing");
        const std::vector<unsigned char> end64 = readAt(little(&locator[8], 8), 56);
        if (little(end64.data(), 4) != end64Signature) fail("zip64 end of central directory missing");
        entries = little(&end64[32], 8);
        directorySize = little(&end64[40], 8);
        directoryAt = little(&end64[48], 8);
    }
    if (directorySize > size || entries > directorySize / entrySize) fail("corrupt central directory");
    const std::vector<unsigned char> directory = readAt(directoryAt, static_cast<std::size_t>(directorySize));
    std::size_t at = 0;
    for (std::uint64_t e = 0; e < entries; ++e) {
        if (directory.size() - at < entrySize || little(&directory[at], 4) != entrySignature)
            fail("corrupt central directory");
        const unsigned char* p = &directory[at];
        Member m;
        if (little(p + 8, 2) & 1) fail("encrypted members are not read");
        m.method = static_cast<std::uint16_t>(little(p + 10, 2));
        m.crc = static_cast<std::uint32_t>(little(p + 16, 4));
        m.packedSize = little(p + 20, 4);
        m.size = little(p + 24, 4);
        m.headerOffset = little(p + 42, 4);
        const std::size_t nameLength = little(p + 28, 2), extraLength = little(p + 30, 2),
                          commentLength = little(p + 32, 2);
        if (directory.size() - at - entrySize < nameLength + extraLength + commentLength)
            fail("corrupt central directory");
        m.name.assign(reinterpret_cast<const char*>(p + entrySize), nameLength);
        // Sizes that do not fit 32 bits are in the zip64 extra field, in
        // this order, each present only where its field says 0xffffffff.
        for (std::size_t x = 0; x + 4 <= extraLength;) {
            const unsigned char* field = p + entrySize + nameLength + x;
            const std::size_t length = little(field + 2, 2);
            if (x + 4 + length > extraLength) break;
            if (little(field, 2) == 1) {
                std::size_t k = 4;
                for (std::uint64_t* v : {&m.size, &m.packedSize, &m.headerOffset}) {
                    if (*v != 0xffffffff) continue;
                    if (k + 8 > 4 + length) fail("corrupt zip64 field of " + m.name);
                    *v = little(field + k, 8);
                    k += 8;
                }
            }
            x += 4 + length;
        }
        members_.push_back(std::move(m));
        at += entrySize + nameLength + extraLength + commentLength;
    }
}

std::vector<std::string> NpzArchive::names() const {
    std::vector<std::string> names;
    for (const Member& m : members_)
        names.push_back(m.name.size() > 4 && m.name.ends_with(".npy") ? m.name.substr(0, m.name.size() - 4) : m.name);
    return names;
}

bool NpzArchive::contains(const std::string& array) const {
    const std::vector<std::string> all = names();
    return std::find(all.begin(), all.end(), array) != all.end();
}

NpyFile NpzArchive::open(const std::string& array, const NpyFile::HeaderCheck& check) const {
    const std::string name = path_ + "/" + array + ".npy";
    const auto fail = [&](const std::string& what) { throw InputError(name + ": " + what); };
    const auto found = std::find_if(members_.begin(), members_.end(),
                                    [&](const Member& m) { return m.name == array + ".npy"; });
    if (found == members_.end()) {
        std::string held;
        for (const std::string& n : names()) held += (held.empty() ? "" : ", ") + n;
        throw InputError(path_ + ": no array named " + array + " (it holds " + (held.empty() ? "nothing" : held) +
                         ")");
    }
    const Member& m = *found;
    if (m.method != 0 && m.method != 8) fail("compression method " + std::to_string(m.method) + " is not read");
    if (m.method == 0 ? m.packedSize != m.size : m.size > m.packedSize * deflateRatio + 64)
        fail("corrupt sizes in the archive");

    Descriptor file{::open(path_.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) fail(std::string("cannot open: ") + std::strerror(errno));
    unsigned char local[localSize];
    if (pread(file.fd, local, localSize, static_cast<off_t>(m.headerOffset)) != static_cast<ssize_t>(localSize) ||
        little(local, 4) != localSignature)
        fail("corrupt local header");
    const std::uint64_t dataAt = m.headerOffset + localSize + little(local + 26, 2) + little(local + 28, 2);
    std::vector<unsigned char> packed(static_cast<std::size_t>(m.packedSize));
    if (pread(file.fd, packed.data(), packed.size(), static_cast<off_t>(dataAt)) !=
        static_cast<ssize_t>(packed.size()))
        fail("truncated archive");
    std::vector<unsigned char> bytes;
    if (m.method == 0) {
        bytes = std::move(packed);
    } else {
        bytes.resize(static_cast<std::size_t>(m.size));
        std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        if (!d) throw std::bad_alloc();
        std::size_t actual = 0;
        if (libdeflate_deflate_decompress(d.get(), packed.data(), packed.size(), bytes.data(), bytes.size(),
                                          &actual) != LIBDEFLATE_SUCCESS ||
            actual != bytes.size())
            fail("corrupt compressed data");
    }
    if (libdeflate_crc32(0, bytes.data(), bytes.size()) != m.crc) fail("CRC mismatch: the archive is corrupt");

    // The member as a file of its own, in memory, for the .npy reader.
    Descriptor memory{memfd_create("npz-member", MFD_CLOEXEC)};
    if (memory.fd < 0) fail(std::string("cannot hold the member: ") + std::strerror(errno));
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(memory.fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) fail(std::string("cannot hold the member: ") + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    lseek(memory.fd, 0, SEEK_SET);
    return NpyFile(memory.fd, name, check);
}

}  // namespace fastlic

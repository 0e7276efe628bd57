// Reader of NumPy .npz archives: a zip of .npy members, each stored or
// deflated (np.savez, np.savez_compressed), zip64 sizes included. Every
// fault throws InputError naming the archive, e.g. "field.npz: no array
// named v (it holds u, texture)".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/npy_reader.h"

namespace fastlic {

class NpzArchive {
public:
    // Reads the archive's directory. Throws InputError, "NAME: cannot open:
    // REASON" among others.
    explicit NpzArchive(const std::string& path);

    // The arrays' names, as numpy gives them (without ".npy"), in the
    // archive's order.
    std::vector<std::string> names() const;
    bool contains(const std::string& array) const;

    // The member decompressed and checked (CRC-32), as a .npy file named
    // "ARCHIVE/ARRAY.npy" in messages; check runs on its header as for any
    // other NpyFile.
    NpyFile open(const std::string& array, const NpyFile::HeaderCheck& check = {}) const;

private:
    struct Member {
        std::string name;  // as stored, with ".npy"
        std::uint16_t method = 0;
        std::uint32_t crc = 0;
        std::uint64_t packedSize = 0, size = 0, headerOffset = 0;
    };

    std::string path_;
    std::vector<Member> members_;
};

// Whether path names a .npz file, by its suffix (any case).
bool isNpzPath(const std::string& path);

}  // namespace fastlic

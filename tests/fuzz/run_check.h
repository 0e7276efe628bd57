// One run of the whole computation on bytes of any kind: the property that
// the fuzzer and the regression tests check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fastlic::fuzz {

// The first byte picks the grid (10 x 10, 16 x 12 or 3 x 7) and the thread
// count; the rest up to the first '|' is the vector file, after it the
// texture file. Returns "" when the reader rejects the files with
// InputError, or when the run finishes with finite LIC values, bit for bit
// those of the reference, and (on the grids of 10 or more each way) within
// the range of the texture values read; otherwise what went wrong.
std::string checkRun(const std::uint8_t* data, std::size_t size);

}  // namespace fastlic::fuzz

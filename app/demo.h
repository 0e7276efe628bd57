// A built-in pair of input files, so that a new user has real data at once.
#pragma once

#include <cstdint>
#include <string>

namespace fastlic {

// Writes "ps.vec.256.256.3" and "noise.256.256" into dir for a rows x cols
// grid: a smooth field with a vortex pair and a saddle, and uniform noise
// 0..255 from a fixed seed, the same bytes on every machine. Throws
// std::runtime_error naming the file that could not be written.
void writeDemoInputs(const std::string& dir, std::int32_t rows, std::int32_t cols);

}  // namespace fastlic

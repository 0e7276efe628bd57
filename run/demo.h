// A built-in pair of input files, so that a new user has real data at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace fastlic {

// Writes "ps.vec.256.256.3" and "noise.256.256" into dir (made, with its
// parents, where missing) for a rows x cols grid: a smooth field with a
// vortex pair and a saddle, and uniform noise 0..255 from a fixed seed, the
// same bytes on every machine. Both go through the output rules of
// OutputSet: checked against the free space first, then replaced together
// or not at all. Throws OutputError or UsageError naming the file.
void writeDemoInputs(const std::string& dir, std::int32_t rows, std::int32_t cols);

// The two files' text. Throw OutputError when a write fails.
void writeDemoVectors(std::FILE* out, std::int32_t rows, std::int32_t cols);
void writeDemoTexture(std::FILE* out, std::int32_t rows, std::int32_t cols);
// Their sizes in bytes: exact up to 256 x 256, estimated from an even
// sample of cells beyond.
std::uint64_t demoVectorBytes(std::int32_t rows, std::int32_t cols);
std::uint64_t demoTextureBytes(std::int32_t rows, std::int32_t cols);

}  // namespace fastlic

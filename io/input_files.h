// Reader of the two plain-text input files: the vector field (two numbers
// per cell) and the noise texture (one integer per cell), both row-major.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>
#include <string_view>

#include "engine/reg_grid.h"
#include "engine/step_table.h"
#include "base/errors.h"

namespace fastlic {

// Fills every cell's vector (x, y) and texture value and returns the
// largest magnitude read (0.0 for an all-zero field). Both files are opened
// before either is tested. Values after the last cell are ignored. Each
// file is converted on `threads` (0: every core).
double readInputFiles(const std::string& vectorFile, const std::string& textureFile,
                      RegGrid& grid, int threads = 0);

// An input's name in messages: "-" is standard input.
inline std::string inputName(const std::string& file) {
    return file == "-" ? std::string("standard input") : file;
}

namespace detail {

struct InputStreams {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> vectors, texture;
};

// A file opened for reading (mode "r"); "-" is standard input, through a
// copy of its descriptor. Null where it cannot be opened.
std::FILE* openInput(const std::string& name);

// Both files opened (mode "r") before either is tested, the vector file
// tested first; throws BadFilename for the first that did not open.
InputStreams openInputFiles(const std::string& vectorFile, const std::string& textureFile);

// The whitespace-separated values in the whole file, read again from its
// start; none where it cannot be (a pipe, standard input).
std::optional<std::size_t> countValues(std::FILE* file);

// Each file of a pair alone, from its stream: the vectors into the grid,
// or into a step table (finished), returning the largest magnitude; the
// texture. inFile, where given, receives the number of values in the whole
// file where the read saw all of it.
double readVectors(std::FILE* file, const std::string& name, RegGrid& grid, int threads,
                   std::optional<std::size_t>* inFile = nullptr);
// Their steps into the table, finished, and the vectors into the grid
// unless it is null.
double readVectors(std::FILE* file, const std::string& name, RegGrid* grid, StepTable& table, int threads,
                   std::optional<std::size_t>* inFile = nullptr);
void readTexture(std::FILE* file, const std::string& name, RegGrid& grid, int threads,
                 std::optional<std::size_t>* inFile = nullptr);

// A text's word starts (a bit a byte), words and line ends as each way of
// indexing that the processor runs finds them, the plainest first; text
// must be followed by 64 readable bytes. For tests.
struct TextIndex {
    std::vector<std::uint64_t> starts;
    std::size_t words = 0, newlines = 0;
    bool operator==(const TextIndex&) const = default;
};
std::vector<TextIndex> indexEveryWay(const char* text, std::size_t size, bool afterSpace, bool afterCR);

// A value as it stood in a file, fit for one line of message: quoted,
// bytes outside printable ASCII escaped, long ones cut short.
std::string quoted(std::string_view text);

}  // namespace detail

// The same contract with formatted input (fscanf), in step one cell at a
// time: the reference the fast reader is checked and measured against. On
// well-formed files both give the same grid; on others this one only
// reports the first conversion that failed.
double readInputFilesReference(const std::string& vectorFile, const std::string& textureFile,
                             RegGrid& grid);

}  // namespace fastlic

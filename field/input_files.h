// Reader of the two plain-text input files: the vector field (two numbers
// per cell) and the noise texture (one integer per cell), both row-major.
#pragma once

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "field/reg_grid.h"

namespace fastlic {

// The largest vector magnitude read by the latest readInputFiles.
extern double maxMagnitude;

// An input file could not be opened. what() is the one-line message,
// "Bad Vector Filename: NAME" or "Bad Texture Filename: NAME".
class BadFilename : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An input file opened but does not hold what it must. what() names the
// file, the line where that applies, and what is wrong.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Fills every cell's vector (x, y) and texture value and sets maxMagnitude
// to the largest magnitude read (from 0.0: nothing carries over between
// runs). Both files are opened before either is tested. Values after the
// last cell are ignored.
void readInputFiles(const std::string& vectorFile, const std::string& textureFile,
                    RegGrid& grid);

namespace detail {

struct InputStreams {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> vectors, texture;
};

// Both files opened (mode "r") before either is tested, the vector file
// tested first; throws BadFilename for the first that did not open.
InputStreams openInputFiles(const std::string& vectorFile, const std::string& textureFile);

}  // namespace detail

// The same contract with formatted input (fscanf), in step one cell at a
// time: the reference the fast reader is checked and measured against. On
// well-formed files both give the same grid; on others this one only
// reports the first conversion that failed.
void readInputFilesReference(const std::string& vectorFile, const std::string& textureFile,
                             RegGrid& grid);

}  // namespace fastlic

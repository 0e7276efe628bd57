// The errors every layer reports to its caller. Only a program's entry
// prints them and chooses the exit status.
#pragma once

#include <stdexcept>

namespace fastlic {

// An input file could not be opened. what() is the one-line message,
// "Bad Vector Filename: NAME" or "Bad Texture Filename: NAME".
class BadFilename : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Input that does not hold what it must. what() names the file, the place
// where that applies, and what is wrong.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Output that could not be written in full.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace fastlic

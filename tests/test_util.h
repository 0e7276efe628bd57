// Shared helpers of the tests: temporary directories, generated input
// files and grids, a bitwise comparison of two convolved grids, and
// running a program as a child process.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/reg_grid.h"

namespace fastlic::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

using VectorFn = std::function<Vector(std::int32_t, std::int32_t)>;
using TextureFn = std::function<std::int32_t(std::int32_t, std::int32_t)>;

// One "x y" pair per line, shortest round-trip form.
void writeVectorFile(const std::string& path, std::int32_t rows, std::int32_t cols,
                     const VectorFn& f);
// One row of values per line.
void writeTextureFile(const std::string& path, std::int32_t rows, std::int32_t cols,
                      const TextureFn& f);
void writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);

// The bytes of a .npy file: format version `version`.0, the header dict as
// given (padded as numpy pads it), then data.
std::string npyBytes(const std::string& dict, const std::string& data, int version = 1);
std::string npyDict(const std::string& descr, const std::string& shape, bool fortran = false);
// values as stored, in either byte order.
template <typename T>
std::string npyData(const std::vector<T>& values, bool bigEndian = false) {
    std::string bytes;
    for (const T& v : values) {
        char b[sizeof(T)];
        std::memcpy(b, &v, sizeof b);
        if (bigEndian) std::reverse(b, b + sizeof b);
        bytes.append(b, sizeof b);
    }
    return bytes;
}

std::unique_ptr<RegGrid> makeGrid(std::int32_t rows, std::int32_t cols, const VectorFn& v,
                                  const TextureFn& t);

// Fields of the exactness tests: smooth, random, and mixed (zero patches,
// tiny unscaled vectors, huge magnitudes).
Vector smoothField(std::int32_t i, std::int32_t j, std::int32_t rows, std::int32_t cols);
Vector randomField(std::int32_t i, std::int32_t j, std::int32_t cols, std::uint64_t seed);
Vector mixedField(std::int32_t i, std::int32_t j, std::int32_t rows, std::int32_t cols);
std::int32_t noise(std::int32_t i, std::int32_t j, std::int32_t cols, std::uint64_t seed);

// "" when both hold the same bits of LIC values and hit counts; otherwise
// the first pixel that differs, with both values.
std::string firstDifference(const RegGrid& expected, const RegGrid& actual);
std::string firstDifference(const LicResult& expected, const LicResult& actual);

struct ProcessResult {
    int status = -1;  // the exit status, or 128 + the signal that ended it
    std::string out, err;
};

struct ProcessOptions {
    std::string stdoutPath;    // standard output goes here instead of being captured
    bool appendStdout = false; // ... appended to it
    bool closeStdout = false;  // start with standard output closed
    std::string stdinPath;     // standard input comes from here (default: none, closed)
    bool dropRoot = false;     // when run as root, run the child as nobody so that
                               // file permissions apply to it
};

// A program started in dir with args; standard output and error are captured
// in files outside dir, so that dir holds only what the program made.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::string& dir,
                 const std::vector<std::string>& args, const ProcessOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    ProcessResult wait();

private:
    TempDir captures_;
    pid_t pid_ = -1;
};

}  // namespace fastlic::testing

#include "tests/test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fastlic::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fastlic-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeVectorFile(const std::string& path, std::int32_t rows, std::int32_t cols,
                     const VectorFn& f) {
    std::string text;
    char buf[64];
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            const Vector v = f(i, j);
            char* p = std::to_chars(buf, buf + 30, v.x).ptr;
            *p++ = ' ';
            p = std::to_chars(p, p + 30, v.y).ptr;
            *p++ = '\n';
            text.append(buf, p);
        }
    writeText(path, text);
}

void writeTextureFile(const std::string& path, std::int32_t rows, std::int32_t cols,
                      const TextureFn& f) {
    std::string text;
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            text += std::to_string(f(i, j));
            text += j + 1 < cols ? ' ' : '\n';
        }
    }
    writeText(path, text);
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string npyBytes(const std::string& dict, const std::string& data, int version) {
    const std::size_t lengthBytes = version == 1 ? 2 : 4;
    std::string header = dict;
    header.append((64 - (8 + lengthBytes + header.size() + 1) % 64) % 64, ' ');
    header += '\n';
    std::string bytes = std::string("\x93NUMPY", 6) + static_cast<char>(version) + '\0';
    for (std::size_t i = 0; i < lengthBytes; ++i) bytes += static_cast<char>(header.size() >> (8 * i));
    return bytes + header + data;
}

std::string npyDict(const std::string& descr, const std::string& shape, bool fortran) {
    return "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") +
           ", 'shape': " + shape + ", }";
}

std::unique_ptr<RegGrid> makeGrid(std::int32_t rows, std::int32_t cols, const VectorFn& v,
                                  const TextureFn& t) {
    auto grid = std::make_unique<RegGrid>(rows, cols);
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j) {
            grid->vectors[i][j] = v(i, j);
            grid->texture[i][j] = t(i, j);
        }
    return grid;
}

namespace {

std::uint64_t mix(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double unit(std::uint64_t z) { return static_cast<double>(z >> 11) * 0x1.0p-53; }

}  // namespace

Vector smoothField(std::int32_t i, std::int32_t j, std::int32_t rows, std::int32_t cols) {
    const double u = (i + 0.5) / rows - 0.45;
    const double v = (j + 0.5) / cols - 0.55;
    const double k = 1.0 / (u * u + v * v + 0.01);
    return {-v * k + 0.3 * std::sin(7.0 * v), u * k + 0.2, 0.0};
}

Vector randomField(std::int32_t i, std::int32_t j, std::int32_t cols, std::uint64_t seed) {
    const std::uint64_t z = mix(seed ^ (static_cast<std::uint64_t>(i) * cols + j));
    return {unit(z) * 2.0 - 1.0, unit(mix(z)) * 2.0 - 1.0, 0.0};
}

Vector mixedField(std::int32_t i, std::int32_t j, std::int32_t rows, std::int32_t cols) {
    const std::uint64_t z = mix(static_cast<std::uint64_t>(i) * cols + j);
    const std::int32_t band = (i * 8 / rows) * 8 + (j * 8 / cols);
    switch (band % 5) {
        case 0: return {0.0, 0.0, 0.0};                                      // zero patch
        case 1: return {3e-7 * (unit(z) - 0.5), 4e-7, 0.0};                  // tiny, unscaled
        case 2: return {1e150 * (unit(z) - 0.3), -7e149, 0.0};               // huge
        case 3: return {unit(z) - 0.5, unit(mix(z)) - 0.5, 0.0};             // random
        default: return smoothField(i, j, rows, cols);
    }
}

std::int32_t noise(std::int32_t i, std::int32_t j, std::int32_t cols, std::uint64_t seed) {
    return static_cast<std::int32_t>(mix(seed * 7919 + static_cast<std::uint64_t>(i) * cols + j) >> 56);
}

namespace {

std::string firstDifference(std::int32_t rows, std::int32_t cols, const double* lic, const std::int32_t* hits,
                            const double* otherLic, const std::int32_t* otherHits) {
    for (std::size_t c = 0; c < static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols); ++c)
        if (std::memcmp(&lic[c], &otherLic[c], sizeof(double)) != 0 || hits[c] != otherHits[c]) {
            char msg[200];
            std::snprintf(msg, sizeof msg, "first difference at pixel (%d, %d): lic %.17g vs %.17g, hits %d vs %d",
                          static_cast<int>(c / static_cast<std::size_t>(cols)),
                          static_cast<int>(c % static_cast<std::size_t>(cols)), lic[c], otherLic[c], hits[c],
                          otherHits[c]);
            return msg;
        }
    return "";
}

}  // namespace

std::string firstDifference(const RegGrid& expected, const RegGrid& actual) {
    if (expected.rows != actual.rows || expected.cols != actual.cols) return "grid sizes differ";
    return firstDifference(expected.rows, expected.cols, expected.licSums.data(), expected.hitCounts.data(),
                           actual.licSums.data(), actual.hitCounts.data());
}

std::string firstDifference(const LicResult& expected, const LicResult& actual) {
    if (expected.rows != actual.rows || expected.cols != actual.cols) return "sizes differ";
    return firstDifference(expected.rows, expected.cols, expected.lic.data(), expected.hits.data(),
                           actual.lic.data(), actual.hits.data());
}

ChildProcess::ChildProcess(const std::string& program, const std::string& dir,
                           const std::vector<std::string>& args, const ProcessOptions& options) {
    const std::string outPath = options.stdoutPath.empty() ? captures_.file("out") : options.stdoutPath;
    const std::string errPath = captures_.file("err");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        const int out = open(outPath.c_str(),
                             O_WRONLY | O_CREAT | (options.appendStdout ? O_APPEND : O_TRUNC), 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        close(out);
        close(err);
        close(0);
        if (!options.stdinPath.empty() && open(options.stdinPath.c_str(), O_RDONLY) != 0) _exit(127);
        if (options.closeStdout) close(1);
        if (options.dropRoot && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

ProcessResult ChildProcess::wait() {
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
    ProcessResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = readText(captures_.file("out"));
    r.err = readText(captures_.file("err"));
    return r;
}

}  // namespace fastlic::testing

// Output files that appear whole or not at all.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace fastlic {

// A file written to a temporary beside its target and renamed onto the
// target by commit(). Until then the target is left as it was; the
// temporary is removed by the destructor, and by SIGHUP, SIGINT, SIGTERM or
// SIGPIPE, which then end the process as they would have. Errors throw
// OutputError naming the target.
class OutputFile {
public:
    // Creates the temporary, so that a path that cannot be written fails
    // before any work is done. A symbolic link is written through, not
    // replaced.
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Runs write on the temporary and closes it. At most once.
    void write(const std::function<void(std::FILE*)>& write);
    // Renames the written temporary onto the target.
    void commit();

private:
    std::string path_;  // as given, for messages
    std::string target_;
    std::FILE* file_ = nullptr;
    int slot_ = -1;  // in the table the signal handler reads
};

}  // namespace fastlic

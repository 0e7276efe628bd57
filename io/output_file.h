// Where outputs go and how they get there, the same for every program: a
// regular file is replaced whole or not at all, every other destination (a
// device, a pipe, a standard stream) is written through in order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/errors.h"

namespace fastlic {

// The name that means standard output for an output and standard input for
// an input; a file called "-" is named "./-".
inline constexpr const char* standardStreamName = "-";

// Makes descriptors 0, 1 and 2 exist, for a program's entry to call before
// it opens anything: a closed one gets a descriptor on which every read and
// write fails with EBADF, as on the closed one, so that no file opened
// later takes its number and receives what was meant for the stream.
void ensureStandardDescriptors();

// Whether an output of this name is written through rather than replaced:
// "-", or an existing file that is neither a regular file nor a directory.
bool isWrittenThrough(const std::string& name);

// Creates the directory and any missing parents. Returns the ones it made,
// outermost first, so that a caller that then fails can remove them.
// Throws OutputError naming the path.
std::vector<std::string> makeDirectories(const std::string& path);

// The outputs of one run, or of one item of a run over many, written
// together. Every target is checked and opened before the work is done, so
// that a bad one fails at once; the work's results are then written and the
// targets replaced together:
//
//   OutputSet out;
//   out.addInput("--vectors", "field.vec");
//   out.add("--lic", "lic.npy", [&](std::FILE* f) { ... }, bytes);
//   out.open();    // names checked, temporaries and streams opened
//   ...            // the work
//   out.write();   // every output written, then every file replaced
//
// write() then lets the outputs go, writers and all, and the set takes the
// next item's: add, open and write again, checked against the same inputs.
//
// A regular file, or a name that does not exist yet, is written to a
// temporary beside its target (unnamed where the file system allows, so
// that not even SIGKILL leaves one behind) and renamed onto the target when
// all outputs are written; a symbolic link is followed to the file it names,
// dangling or not. Standard output ("-" or any name of the same file) is
// written after every other output; devices and pipes just before it. A
// signal that ends the process removes the temporaries; one that comes
// while the targets are being replaced waits until all of them are. A
// replaced file's storage is given back on a thread of its own, which the
// set waits for when it ends.
class OutputSet {
public:
    using Writer = std::function<void(std::FILE*)>;

    OutputSet();
    // Removes the temporaries of a set that was not written in full, and
    // waits until the replaced files are let go.
    ~OutputSet();
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;

    // An output named `name` (as the user gave it) for `option` (how the
    // user asked for it, for messages; may be empty). `bytes`: how much it
    // will take at least, checked against the free space before the work.
    // Throws UsageError for an empty name.
    void add(std::string option, std::string name, Writer writer, std::uint64_t bytes = 0);
    // A file the run reads, which no output may replace.
    void addInput(std::string option, std::string name);

    // Throws UsageError when two outputs, or an output and an input, are
    // the same file (the null device excepted), then OutputError for a
    // target that cannot be opened, or a file system without room for
    // the outputs. Nothing existing has changed then.
    void open();
    // Runs every writer on its output, replaces the targets and lets the
    // outputs go. Throws OutputError naming the output; every target is as
    // it was then, except what a stream has already taken.
    void write();

    struct Output;

private:
    void commit();
    void finishReleasing();

    std::vector<std::unique_ptr<Output>> outputs_;
    // Closes descriptors of replaced files: the last close of a removed
    // file gives back its pages, which takes milliseconds for a large one.
    std::thread releasing_;
    struct Input {
        std::string option, name;
    };
    std::vector<Input> inputs_;
};

}  // namespace fastlic

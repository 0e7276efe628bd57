#include "cli/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "output/image_writer.h"

namespace fastlic {

namespace {

// The temporaries that exist, for the signal handler. Fixed storage: the
// handler may not allocate or take locks.
constexpr int maxTemporaries = 8;
char temporaries[maxTemporaries][PATH_MAX];
volatile std::sig_atomic_t inUse[maxTemporaries];

constexpr int cleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGPIPE};

extern "C" void removeTemporariesAndDie(int sig) {
    for (int i = 0; i < maxTemporaries; ++i)
        if (inUse[i]) unlink(temporaries[i]);
    // SA_RESETHAND has restored the default action and SA_NODEFER left the
    // signal unblocked, so this ends the process with the same signal.
    raise(sig);
}

void installHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int sig : cleanupSignals) {
        struct sigaction old {};
        // A signal ignored from the start (nohup, background jobs) stays ignored.
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = removeTemporariesAndDie;
        act.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigemptyset(&act.sa_mask);
        for (const int other : cleanupSignals)
            if (other != sig) sigaddset(&act.sa_mask, other);
        sigaction(sig, &act, nullptr);
    }
}

// Holds the cleanup signals back on this thread while the table and the
// file system change together. Another thread may still take the signal;
// the handler then at worst unlinks a name that rename has just moved, or
// misses a temporary made a moment before: the target is whole either way.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (const int sig : cleanupSignals) sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

std::string error(const std::string& path, const char* what, int err) {
    return path + ": " + what + ": " + std::strerror(err);
}

// Where the bytes must go: through a symbolic link to the file it names.
std::string resolveTarget(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                         &std::free);
        if (real) return real.get();
    }
    return path;
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)), target_(resolveTarget(path_)) {
    struct stat st {};
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) throw OutputError(path_ + ": is a directory");
    const std::string pattern = target_ + ".tmpXXXXXX";
    if (pattern.size() >= PATH_MAX) throw OutputError(error(path_, "cannot create", ENAMETOOLONG));
    installHandlers();
    int fd = -1;
    {
        SignalsHeld held;
        for (int i = 0; i < maxTemporaries; ++i)
            if (!inUse[i]) {
                slot_ = i;
                break;
            }
        if (slot_ < 0) throw OutputError(path_ + ": too many output files");
        std::memcpy(temporaries[slot_], pattern.c_str(), pattern.size() + 1);
        fd = mkstemp(temporaries[slot_]);
        if (fd < 0) {
            const int err = errno;
            slot_ = -1;
            throw OutputError(error(path_, "cannot create", err));
        }
        inUse[slot_] = 1;
    }
    // mkstemp makes the file 0600: give it the old file's permissions, or
    // the usual ones.
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    file_ = fdopen(fd, "wb");
    if (!file_) {
        const int err = errno;
        close(fd);
        SignalsHeld held;
        unlink(temporaries[slot_]);
        inUse[slot_] = 0;
        throw OutputError(error(path_, "cannot create", err));
    }
}

OutputFile::~OutputFile() {
    if (file_) std::fclose(file_);
    if (slot_ >= 0) {
        SignalsHeld held;
        unlink(temporaries[slot_]);
        inUse[slot_] = 0;
    }
}

void OutputFile::write(const std::function<void(std::FILE*)>& write) {
    try {
        write(file_);
    } catch (const std::exception& e) {
        throw OutputError(path_ + ": " + e.what());
    }
    const bool failed = std::ferror(file_) != 0;
    const int closed = std::fclose(file_);
    const int err = errno;
    file_ = nullptr;
    if (closed != 0 || failed) throw OutputError(error(path_, "cannot write", err));
}

void OutputFile::commit() {
    SignalsHeld held;
    if (std::rename(temporaries[slot_], target_.c_str()) != 0)
        throw OutputError(error(path_, "cannot write", errno));
    inUse[slot_] = 0;
    slot_ = -1;
}

}  // namespace fastlic

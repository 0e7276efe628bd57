#include "io/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <system_error>
#include <utility>

namespace fastlic {

namespace detail {
namespace {

// ---- Signals ----------------------------------------------------------
//
// Temporaries that have a name, for the signal handler to remove: fixed
// storage, since a handler may neither allocate nor lock. A slot is in use
// while its directory descriptor is not -1.
struct Temporary {
    std::atomic<int> dir{-1};
    char name[NAME_MAX + 1];
};
constexpr int maxTemporaries = 64;
Temporary temporaries[maxTemporaries];

// 0: nothing under way; 1: a section that changes the table and the file
// system together is under way; 2 + s: that section, and signal s came
// meanwhile; -1: the process is ending by a signal.
std::atomic<int> state{0};
static_assert(std::atomic<int>::is_always_lock_free, "used by the signal handler");

// Signals whose default action ends the process and that come from outside.
constexpr int endingSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1,
                                 SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR};

// Removes the named temporaries and ends the process by sig's default
// action. Async-signal-safe.
void endBySignal(int sig) {
    for (Temporary& t : temporaries)
        if (const int dir = t.dir.load(); dir >= 0) unlinkat(dir, t.name, 0);
    struct sigaction act {};
    act.sa_handler = SIG_DFL;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    raise(sig);
    // Pending until unblocked when raised inside the handler.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + sig);
}

extern "C" void onEndingSignal(int sig) {
    const int saved = errno;
    int s = state.load();
    for (;;) {
        if (s == 0) {
            if (state.compare_exchange_weak(s, -1)) endBySignal(sig);
        } else if (s == 1) {
            if (state.compare_exchange_weak(s, 2 + sig)) break;
        } else {
            break;  // one is pending already, or the process is ending
        }
    }
    errno = saved;
}

// Handlers only where the action is the default one: a signal ignored from
// the start (nohup) stays ignored, and a host's own handler (an embedding
// interpreter's) stays in place.
void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        const auto isDefault = [](int sig) {
            struct sigaction old {};
            return sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) &&
                   old.sa_handler == SIG_DFL;
        };
        for (const int sig : endingSignals) {
            if (!isDefault(sig)) continue;
            struct sigaction act {};
            act.sa_handler = onEndingSignal;
            act.sa_flags = SA_RESTART;
            sigemptyset(&act.sa_mask);
            sigaction(sig, &act, nullptr);
        }
        // Past a file size limit a write then fails with EFBIG and is
        // reported like any other, instead of ending the process.
        if (isDefault(SIGXFSZ)) signal(SIGXFSZ, SIG_IGN);
    });
}

// A section in which the table and the file system change together: an
// ending signal waits until it is over. One at a time in the process.
class Section {
public:
    Section() {
        for (;;) {
            int s = 0;
            if (state.compare_exchange_strong(s, 1)) return;
            if (s < 0)
                for (;;) pause();  // the thread with the signal ends the process
            sched_yield();         // another thread's section
        }
    }
    ~Section() {
        int s = state.load();
        for (;;) {
            if (s == 1) {
                if (state.compare_exchange_weak(s, 0)) return;
            } else if (const int sig = s - 2; state.compare_exchange_weak(s, -1)) {
                endBySignal(sig);
            }
        }
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
};

// A free slot of the table; only inside a Section.
int freeSlot() {
    for (int i = 0; i < maxTemporaries; ++i)
        if (temporaries[i].dir.load() < 0) return i;
    throw OutputError("too many output files at once");
}

// ---- Names ------------------------------------------------------------

std::string errorText(int err) { return std::strerror(err); }

// "dir" and "base" of a path; the directory of a bare name is ".".
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool readLink(const std::string& path, std::string& target) {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    target.assign(buffer.data(), static_cast<std::size_t>(n));
    return true;
}

std::string linkTarget(const std::string& link, const std::string& target) {
    return target.starts_with('/') ? target : splitPath(link).first + "/" + target;
}

// Follows the symbolic links that path ends in to the name that holds the
// file, or will hold it when the last link dangles. False with errno ELOOP
// for a loop.
bool followLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string target;
        if (!readLink(path, target)) return true;
        path = linkTarget(path, target);
    }
    errno = ELOOP;
    return false;
}

// The descriptor of this process that name reaches through its own
// /proc/PID/fd (as /dev/stdout and /dev/fd/N do), or -1. Such a name must
// be written through the descriptor: opening it anew would lose the
// descriptor's position and append mode, and renaming onto it would
// replace a file some other program has open.
int descriptorAlias(const std::string& name) {
    const std::string mine = "/proc/" + std::to_string(getpid());
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return -1;
        const auto [dir, base] = splitPath(path);
        if (std::unique_ptr<char, decltype(&std::free)> real(realpath(dir.c_str(), nullptr), &std::free);
            real) {
            const std::string r = real.get();
            const bool fdDir = r == mine + "/fd" || (r.starts_with(mine + "/task/") && r.ends_with("/fd"));
            if (fdDir && !base.empty() && base.size() <= 9 &&
                base.find_first_not_of("0123456789") == std::string::npos)
                return std::atoi(base.c_str());
        }
        std::string target;
        if (!readLink(path, target)) return -1;
        path = linkTarget(path, target);
    }
    return -1;
}

// A device of its own each time: no generator state to share between
// threads or to repeat in a forked child.
std::string randomLetters(std::size_t count) {
    static constexpr char letters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::random_device device;
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += letters[device() % (sizeof letters - 1)];
    return out;
}

// A temporary's name beside base: base, shortened if need be so that the
// whole stays within NAME_MAX, ".tmp" and eight random letters.
std::string temporaryName(const std::string& base) {
    constexpr std::size_t suffix = 12;
    return base.substr(0, NAME_MAX - suffix) + ".tmp" + randomLetters(8);
}

std::string sizeText(std::uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    const double b = static_cast<double>(bytes);
    char text[32];
    if (bytes < 1000000)
        std::snprintf(text, sizeof text, "%.1f kB", b / 1e3);
    else if (bytes < 1000000000)
        std::snprintf(text, sizeof text, "%.1f MB", b / 1e6);
    else
        std::snprintf(text, sizeof text, "%.1f GB", b / 1e9);
    return text;
}

// ---- Identity ---------------------------------------------------------

// What a name stands for: an existing file (device and inode), or a name
// still free in a directory (the directory's, and the entry).
struct Identity {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string entry;
    bool nullDevice = false;  // may take any number of outputs
};

Identity identityOf(const struct stat& st) {
    return {true, st.st_dev, st.st_ino, "", S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)};
}

Identity identityOfDescriptor(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? identityOf(st) : Identity{};
}

bool sameFile(const Identity& a, const Identity& b) {
    return a.known && b.known && !a.nullDevice && a.dev == b.dev && a.ino == b.ino &&
           a.entry == b.entry;
}

bool isDescriptorOf(const struct stat& st, int fd) {
    struct stat other {};
    return fstat(fd, &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino;
}

}  // namespace
}  // namespace detail

using namespace detail;

struct OutputSet::Output {
    std::string option, name, shown;  // shown: the name in messages
    Writer writer;
    std::uint64_t bytes = 0;

    // Where it goes. replace: a temporary renamed onto dir/base. Otherwise
    // written through: a copy of `descriptor`, or `name` opened anew (and
    // emptied first when that is a regular file).
    bool replace = false;
    int descriptor = -1;
    std::string dir, base;
    bool exists = false;
    struct stat old {};  // the file replaced
    Identity id;
    std::string fault;  // why it cannot be opened

    int dirFd = -1;
    int fd = -1;
    int slot = -1;  // its named temporary in the table
    int held = -1;  // the replaced file, kept open until it is let go

    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    // Removes a named temporary that was not renamed onto its target.
    ~Output() {
        if (slot >= 0) {
            const Section section;
            unlinkat(dirFd, temporaries[slot].name, 0);
            temporaries[slot].dir.store(-1);
        }
        if (fd >= 0) close(fd);
        if (dirFd >= 0) close(dirFd);
        if (held >= 0) close(held);
    }
};

namespace {

void classify(OutputSet::Output& o) {
    if (o.name == standardStreamName) {
        o.descriptor = STDOUT_FILENO;
        o.id = identityOfDescriptor(STDOUT_FILENO);
        return;
    }
    struct stat st {};
    if (stat(o.name.c_str(), &st) == 0) {
        o.id = identityOf(st);
        if (const int fd = descriptorAlias(o.name); fd >= 0) {
            o.descriptor = fd;
        } else if (isDescriptorOf(st, STDOUT_FILENO)) {
            o.descriptor = STDOUT_FILENO;  // a name of the file standard output writes
        } else if (isDescriptorOf(st, STDERR_FILENO)) {
            o.descriptor = STDERR_FILENO;
        } else if (S_ISDIR(st.st_mode)) {
            o.fault = o.shown + ": is a directory";
        } else if (S_ISREG(st.st_mode)) {
            std::string target = o.name;
            struct stat at {};
            // Replaced under the name that holds it; one without such a
            // name (a file already deleted) is written through.
            if (followLinks(target) && stat(target.c_str(), &at) == 0 && at.st_dev == st.st_dev &&
                at.st_ino == st.st_ino) {
                o.replace = o.exists = true;
                o.old = st;
                std::tie(o.dir, o.base) = splitPath(target);
            }
        }
        return;
    }
    const int err = errno;
    std::string target = o.name;
    if (err != ENOENT) {
        o.fault = o.shown + ": cannot create: " + errorText(err);
    } else if (!followLinks(target)) {
        o.fault = o.shown + ": cannot create: " + errorText(errno);
    } else {
        o.replace = true;
        std::tie(o.dir, o.base) = splitPath(target);
        struct stat d {};
        if (o.base.empty() || o.base == "." || o.base == "..")
            o.fault = o.shown + ": is a directory";
        else if (stat(o.dir.c_str(), &d) == 0)
            o.id = {true, d.st_dev, d.st_ino, o.base, false};
    }
}

// A name for the temporary, registered in the table, made by make(name)
// (which returns false with errno set, EEXIST to try another name). Inside
// a Section.
int nameTemporary(OutputSet::Output& o, const std::function<bool(const char*)>& make) {
    const int slot = freeSlot();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(o.base);
        std::memcpy(temporaries[slot].name, name.c_str(), name.size() + 1);
        if (make(temporaries[slot].name)) {
            temporaries[slot].dir.store(o.dirFd);
            o.slot = slot;
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

void openReplaced(OutputSet::Output& o) {
    o.dirFd = open(o.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (o.dirFd < 0) throw OutputError(o.shown + ": cannot create: " + errorText(errno));
    // Unnamed until it is complete; a name only where the file system
    // cannot do that.
    o.fd = openat(o.dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (o.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        const Section section;
        const int err = nameTemporary(o, [&](const char* name) {
            o.fd = openat(o.dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return o.fd >= 0;
        });
        errno = err;
    }
    if (o.fd < 0) throw OutputError(o.shown + ": cannot create: " + errorText(errno));
    if (o.exists) {
        // The replaced file's owner and permissions, where allowed; the
        // owner first, since a change of owner clears set-user-ID bits.
        if ((o.old.st_uid != geteuid() || o.old.st_gid != getegid()) &&
            fchown(o.fd, o.old.st_uid, o.old.st_gid) != 0) {
            // Not allowed: the file is then the writer's.
        }
        fchmod(o.fd, o.old.st_mode & 07777);
    }
}

void openWrittenThrough(OutputSet::Output& o) {
    if (o.descriptor >= 0) {
        const int flags = fcntl(o.descriptor, F_GETFL);
        if (flags < 0 || (flags & O_PATH) || (flags & O_ACCMODE) == O_RDONLY)
            throw OutputError(o.shown + ": cannot write: " + errorText(EBADF));
        o.fd = fcntl(o.descriptor, F_DUPFD_CLOEXEC, 3);
    } else {
        // A pipe's open waits for its reader, as a shell's redirection does.
        o.fd = open(o.name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    }
    if (o.fd < 0) throw OutputError(o.shown + ": cannot open: " + errorText(errno));
}

void writeOne(OutputSet::Output& o) {
    struct stat st {};
    if (!o.replace && o.descriptor < 0 && fstat(o.fd, &st) == 0 && S_ISREG(st.st_mode) &&
        ftruncate(o.fd, 0) != 0)
        throw OutputError(o.shown + ": cannot write: " + errorText(errno));
    const int fd = fcntl(o.fd, F_DUPFD_CLOEXEC, 3);
    std::FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        const int err = errno;
        if (fd >= 0) close(fd);
        throw OutputError(o.shown + ": cannot write: " + errorText(err));
    }
    try {
        o.writer(file);
    } catch (const OutputError& e) {
        std::fclose(file);
        throw OutputError(o.shown + ": " + e.what());
    } catch (...) {
        std::fclose(file);
        throw;
    }
    const bool failed = std::fflush(file) != 0 || std::ferror(file) != 0;
    const int err = errno;
    if (std::fclose(file) != 0 || failed)
        throw OutputError(o.shown + ": cannot write: " + errorText(failed ? err : errno));
}

}  // namespace

void ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // A descriptor for a path only: every read and write on it fails
        // with EBADF. Not close-on-exec: a child sees the stream closed too.
        const int placeholder = open("/", O_PATH | O_DIRECTORY);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
}

bool isWrittenThrough(const std::string& name) {
    OutputSet::Output o;
    o.name = name;
    classify(o);
    return !o.replace && o.fault.empty();
}

std::vector<std::string> makeDirectories(const std::string& path) {
    std::vector<std::string> made;
    const auto undo = [&] {
        for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
    };
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && !prefix.ends_with('/')) {
            if (mkdir(prefix.c_str(), 0777) == 0) {
                made.push_back(prefix);
            } else {
                const int err = errno;
                struct stat st {};
                if (err != EEXIST || stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                    undo();
                    throw OutputError(prefix + (err == EEXIST ? ": not a directory"
                                                              : ": cannot create the directory: " +
                                                                    errorText(err)));
                }
            }
        }
        if (end == std::string::npos) break;
    }
    return made;
}

OutputSet::OutputSet() = default;

OutputSet::~OutputSet() {
    outputs_.clear();
    finishReleasing();
}

void OutputSet::finishReleasing() {
    if (releasing_.joinable()) releasing_.join();
}

void OutputSet::add(std::string option, std::string name, Writer writer, std::uint64_t bytes) {
    if (name.empty())
        throw UsageError((option.empty() ? std::string("output") : option) + ": empty file name");
    auto o = std::make_unique<Output>();
    o->shown = name == standardStreamName ? "standard output" : name;
    o->option = std::move(option);
    o->name = std::move(name);
    o->writer = std::move(writer);
    o->bytes = bytes;
    outputs_.push_back(std::move(o));
}

void OutputSet::addInput(std::string option, std::string name) {
    inputs_.push_back({std::move(option), std::move(name)});
}

void OutputSet::open() {
    for (const auto& o : outputs_) classify(*o);

    // The same file twice: refused before anything is opened.
    const auto label = [](const std::string& option, const std::string& name) {
        if (option.empty()) return name == standardStreamName ? std::string("standard output") : name;
        return option + " " + name;
    };
    // A stream read by one input has nothing left for another; a regular
    // file may be read twice.
    std::vector<std::pair<Identity, bool>> seen;  // and whether it is a stream
    for (const Input& in : inputs_) {
        Identity id;
        struct stat st {};
        const bool standard = in.name == standardStreamName;
        if (standard ? fstat(STDIN_FILENO, &st) == 0 : stat(in.name.c_str(), &st) == 0)
            id = identityOf(st);
        const bool stream = standard || !S_ISREG(st.st_mode);
        for (std::size_t j = 0; j < seen.size(); ++j)
            if ((stream || seen[j].second) && sameFile(seen[j].first, id))
                throw UsageError(label(inputs_[j].option, inputs_[j].name) + " and " +
                                 label(in.option, in.name) + " read the same stream");
        seen.emplace_back(id, stream);
        for (const auto& o : outputs_)
            if (sameFile(id, o->id))
                throw UsageError(label(in.option, in.name) + " and " + label(o->option, o->name) +
                                 " name the same file");
    }
    for (std::size_t i = 0; i < outputs_.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (sameFile(outputs_[j]->id, outputs_[i]->id))
                throw UsageError(label(outputs_[j]->option, outputs_[j]->name) + " and " +
                                 label(outputs_[i]->option, outputs_[i]->name) +
                                 " name the same file");
    for (const auto& o : outputs_)
        if (!o->fault.empty()) throw OutputError(o->fault);

    installHandlers();
    // Files first: a pipe's reader is not kept waiting for a run that fails.
    for (const auto& o : outputs_)
        if (o->replace) openReplaced(*o);
    for (const auto& o : outputs_)
        if (!o->replace) openWrittenThrough(*o);

    // Room for what is known to come, per file system.
    std::vector<std::pair<dev_t, std::uint64_t>> needed;
    for (const auto& o : outputs_) {
        struct stat st {};
        struct statvfs fs {};
        if (o->bytes == 0 || fstat(o->fd, &st) != 0 || !S_ISREG(st.st_mode) || fstatvfs(o->fd, &fs) != 0)
            continue;
        auto it = needed.begin();
        while (it != needed.end() && it->first != st.st_dev) ++it;
        if (it == needed.end()) it = needed.insert(it, {st.st_dev, 0});
        it->second += o->bytes;
        const std::uint64_t available = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
        if (it->second > available)
            throw OutputError(o->shown + ": cannot write: needs " + sizeText(it->second) +
                              (it->second > o->bytes ? " with the outputs before it" : "") +
                              ", the file system has " + sizeText(available) + " free");
    }
}

void OutputSet::write() {
    // Files, then devices and pipes, then standard output: what a stream
    // has taken cannot be taken back, so streams come when every file is
    // complete, and standard output stays empty when anything else fails.
    for (const auto& o : outputs_)
        if (o->replace) writeOne(*o);
    for (const auto& o : outputs_)
        if (!o->replace && o->descriptor != STDOUT_FILENO) writeOne(*o);
    for (const auto& o : outputs_)
        if (!o->replace && o->descriptor == STDOUT_FILENO) writeOne(*o);
    commit();
    outputs_.clear();  // closed, with whatever their writers held
}

// Replaces the regular file o.held holds by the temporary through an
// exchange of their names, then removes the old file under the
// temporary's: a rename over an existing file makes ext4 write the new
// one out first, tens of milliseconds for a large one, while an exchange
// does not. False, with nothing changed, where that cannot be done.
namespace {

bool replaceByExchange(const OutputSet::Output& o, const char* temporary) {
    struct stat held {};
    if (o.held < 0 || fstat(o.held, &held) != 0 || !S_ISREG(held.st_mode)) return false;
    if (renameat2(o.dirFd, temporary, o.dirFd, o.base.c_str(), RENAME_EXCHANGE) != 0) return false;
    if (unlinkat(o.dirFd, temporary, 0) == 0) return true;
    // Not the file seen a moment ago (a directory put there meanwhile): both back.
    renameat2(o.dirFd, temporary, o.dirFd, o.base.c_str(), RENAME_EXCHANGE);
    return false;
}

}  // namespace

void OutputSet::commit() {
    // Every temporary gets a name beside its target, then every target is
    // replaced; an ending signal waits until both are done.
    const Section section;
    for (const auto& o : outputs_) {
        if (!o->replace || o->slot >= 0) continue;
        const std::string self = "/proc/self/fd/" + std::to_string(o->fd);
        const int err = nameTemporary(*o, [&](const char* name) {
            if (linkat(AT_FDCWD, self.c_str(), o->dirFd, name, AT_SYMLINK_FOLLOW) == 0) return true;
            // Without /proc, where the process may link by descriptor.
            return errno == ENOENT && linkat(o->fd, "", o->dirFd, name, AT_EMPTY_PATH) == 0;
        });
        if (err != 0) throw OutputError(o->shown + ": cannot create: " + errorText(err));
    }
    for (const auto& o : outputs_) {
        if (!o->replace) continue;
        // The file replaced stays open past the rename: otherwise the
        // rename itself waits while its pages are given back. None when
        // it cannot be opened; the rename then does that.
        if (o->exists) o->held = openat(o->dirFd, o->base.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (!replaceByExchange(*o, temporaries[o->slot].name) &&
            renameat(o->dirFd, temporaries[o->slot].name, o->dirFd, o->base.c_str()) != 0)
            throw OutputError(o->shown + ": cannot replace: " + errorText(errno));
        temporaries[o->slot].dir.store(-1);
        o->slot = -1;
    }
    std::vector<int> held;
    for (const auto& o : outputs_)
        if (o->held >= 0) held.push_back(std::exchange(o->held, -1));
    if (held.empty()) return;
    // The previous set's files first, so that at most one thread is at it.
    finishReleasing();
    try {
        releasing_ = std::thread([held] {
            for (const int fd : held) close(fd);
        });
    } catch (const std::system_error&) {
        for (const int fd : held) close(fd);  // no thread to spare: here, then
    }
}

}  // namespace fastlic

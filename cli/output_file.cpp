#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output/image_writer.h"

namespace fastlic {

void writeOutputFile(const std::string& path, const std::function<void(std::FILE*)>& write) {
    std::string temp = path + ".tmpXXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) throw OutputError(path + ": cannot create: " + std::strerror(errno));
    // mkstemp makes the file 0600; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE* f = fdopen(fd, "wb");
    if (!f) {
        const int err = errno;
        close(fd);
        unlink(temp.c_str());
        throw OutputError(path + ": cannot create: " + std::strerror(err));
    }
    try {
        write(f);
    } catch (const std::exception& e) {
        std::fclose(f);
        unlink(temp.c_str());
        throw OutputError(path + ": " + e.what());
    }
    if (std::fclose(f) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        throw OutputError(path + ": cannot write: " + std::strerror(err));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        unlink(temp.c_str());
        throw OutputError(path + ": cannot write: " + std::strerror(err));
    }
}

}  // namespace fastlic

#include "io/animation_writer.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "io/image_writer.h"
#include "io/output_file.h"
#include "io/png_writer.h"

extern char** environ;

namespace fastlic {

namespace {

constexpr AnimationFormatRow formats[] = {
    {".png", AnimationFormat::apng, false, true},
    {".mp4", AnimationFormat::mp4, true, false},
    {".webm", AnimationFormat::webm, true, false},
    {".gif", AnimationFormat::gif, true, false},
};

bool endsWith(const std::string& name, std::string_view tail) {
    if (name.size() < tail.size()) return false;
    for (std::size_t k = 0; k < tail.size(); ++k) {
        const char c = name[name.size() - tail.size() + k];
        if (std::tolower(static_cast<unsigned char>(c)) != tail[k]) return false;
    }
    return true;
}

void checkShape(const AnimationShape& s) {
    if (s.rows < 1 || s.cols < 1 || (s.channels != 3 && s.channels != 4) || s.frames < 1)
        throw std::invalid_argument("an animation needs at least one frame of at least one pixel, RGB or RGBA");
    if (!(s.fps > 0.0 && s.fps <= 1000.0))
        throw std::invalid_argument("frames a second must be more than 0 and at most 1000");
}

void checkFrame(const AnimationShape& s, const PixelView& frame, std::int32_t index) {
    if (index >= s.frames) throw std::invalid_argument("more frames than the animation was opened for");
    if (frame.rows != s.rows || frame.cols != s.cols || frame.channels != s.channels)
        throw std::invalid_argument("frame " + std::to_string(index) + " is not the shape of the first");
}

void put(std::FILE* out, const void* data, std::size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, out) != size)
        throw OutputError(std::string("cannot write: ") + std::strerror(errno));
}

void appendBig32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

void appendBig16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

std::uint32_t big32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// One PNG chunk: length, type, data, CRC of type and data.
void putChunk(std::FILE* out, const char type[4], const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> head;
    appendBig32(head, static_cast<std::uint32_t>(size));
    head.insert(head.end(), type, type + 4);
    put(out, head.data(), head.size());
    put(out, data, size);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    // zlib counts in 32 bits.
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = std::min<std::size_t>(size - done, 1u << 30);
        crc = crc32(crc, data + done, static_cast<uInt>(n));
        done += n;
    }
    std::vector<std::uint8_t> tail;
    appendBig32(tail, static_cast<std::uint32_t>(crc));
    put(out, tail.data(), tail.size());
}

// A frame's delay as the fraction num / den of a second, both 16-bit.
// The smallest numerator that makes it exact (12.5 fps: 2 / 25), else to
// a ten-thousandth of a second.
std::pair<std::uint16_t, std::uint16_t> delayOf(double fps) {
    for (int num = 1; num <= 1000; ++num) {
        const double den = num * fps;
        if (den == std::round(den) && den <= 65535.0)
            return {static_cast<std::uint16_t>(num), static_cast<std::uint16_t>(den)};
    }
    return {static_cast<std::uint16_t>(std::max(1.0, std::round(10000.0 / fps))), 10000};
}

// Each frame is encoded as a whole PNG by the image encoder, and its
// image data re-wrapped: the first frame's as IDAT (so that a viewer
// without animation shows it), later ones' as fdAT.
class ApngWriter final : public FrameWriter {
public:
    ApngWriter(std::FILE* out, const AnimationShape& shape, int threads)
        : out_(out), shape_(shape), threads_(threads) {}

    void add(const PixelView& frame) override {
        checkFrame(shape_, frame, index_);
        PngOptions options;
        options.threads = threads_;
        const std::vector<std::uint8_t> png = encodePng(frame, options);
        std::size_t at = 8;  // after the signature
        if (index_ == 0) {
            put(out_, png.data(), 8);
            const std::uint32_t ihdr = big32(png.data() + at);
            put(out_, png.data() + at, 12 + ihdr);  // IHDR, as it is
            std::vector<std::uint8_t> actl;
            appendBig32(actl, static_cast<std::uint32_t>(shape_.frames));
            appendBig32(actl, 0);  // loop forever
            putChunk(out_, "acTL", actl.data(), actl.size());
        }
        const auto [num, den] = delayOf(shape_.fps);
        std::vector<std::uint8_t> fctl;
        appendBig32(fctl, sequence_++);
        appendBig32(fctl, static_cast<std::uint32_t>(shape_.cols));
        appendBig32(fctl, static_cast<std::uint32_t>(shape_.rows));
        appendBig32(fctl, 0);
        appendBig32(fctl, 0);
        appendBig16(fctl, num);
        appendBig16(fctl, den);
        fctl.push_back(0);  // dispose: none
        fctl.push_back(0);  // blend: source, every pixel replaced
        putChunk(out_, "fcTL", fctl.data(), fctl.size());
        std::vector<std::uint8_t> data;
        while (at + 12 <= png.size()) {
            const std::uint32_t size = big32(png.data() + at);
            const std::uint8_t* type = png.data() + at + 4;
            const std::uint8_t* body = type + 4;
            if (std::memcmp(type, "IDAT", 4) == 0) {
                if (index_ == 0) {
                    putChunk(out_, "IDAT", body, size);
                } else {
                    data.clear();
                    appendBig32(data, sequence_++);
                    data.insert(data.end(), body, body + size);
                    putChunk(out_, "fdAT", data.data(), data.size());
                }
            }
            at += 12 + size;
        }
        ++index_;
    }

    void finish() override {
        if (index_ != shape_.frames)
            throw std::invalid_argument("the animation was opened for " + std::to_string(shape_.frames) +
                                        " frames and given " + std::to_string(index_));
        putChunk(out_, "IEND", nullptr, 0);
        if (std::fflush(out_) != 0) throw OutputError(std::string("cannot write: ") + std::strerror(errno));
    }

private:
    std::FILE* out_;
    AnimationShape shape_;
    int threads_;
    std::int32_t index_ = 0;
    std::uint32_t sequence_ = 0;
};

// The ffmpeg program fed raw frames on a socket (a write to a program that
// has died fails with EPIPE instead of killing this process), writing to
// the output's descriptor: reopened by name when it is a regular file, so
// that the MP4 muxer can seek back to its index.
class FfmpegWriter final : public FrameWriter {
public:
    FfmpegWriter(AnimationFormat format, std::FILE* out, const AnimationShape& shape) : shape_(shape) {
        std::fflush(out);
        struct stat st {};
        const bool regular = fstat(fileno(out), &st) == 0 && S_ISREG(st.st_mode);
        std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo",
                                         "-pix_fmt", shape.channels == 4 ? "rgba" : "rgb24", "-s",
                                         std::to_string(shape.cols) + "x" + std::to_string(shape.rows),
                                         "-framerate", fpsText(shape.fps), "-i", "pipe:0"};
        // Even sizes for the 4:2:0 video formats: one black row or column added.
        const std::vector<std::string> even = {"-vf", "pad=ceil(iw/2)*2:ceil(ih/2)*2", "-pix_fmt", "yuv420p"};
        switch (format) {
            case AnimationFormat::mp4:
                args.insert(args.end(), even.begin(), even.end());
                args.insert(args.end(), {"-c:v", "libx264", "-crf", "18", "-f", "mp4"});
                if (!regular) args.insert(args.end(), {"-movflags", "frag_keyframe+empty_moov"});
                break;
            case AnimationFormat::webm:
                args.insert(args.end(), even.begin(), even.end());
                args.insert(args.end(), {"-c:v", "libvpx-vp9", "-b:v", "0", "-crf", "30", "-f", "webm"});
                break;
            case AnimationFormat::gif:
                args.insert(args.end(), {"-vf", "split[a][b];[a]palettegen[p];[b][p]paletteuse", "-loop", "0",
                                         "-f", "gif"});
                break;
            case AnimationFormat::apng:
                throw std::logic_error("animated PNG is written without ffmpeg");
        }
        args.insert(args.end(), {"-y", regular ? "file:/dev/fd/3" : "pipe:3"});

        int sockets[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
            throw OutputError(std::string("cannot run ffmpeg: ") + std::strerror(errno));
        feed_ = sockets[0];
        errors_ = std::tmpfile();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sockets[1], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (errors_) posix_spawn_file_actions_adddup2(&actions, fileno(errors_), 2);
        posix_spawn_file_actions_adddup2(&actions, fileno(out), 3);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int spawned = posix_spawnp(&child_, "ffmpeg", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(sockets[1]);
        if (spawned != 0) {
            close(feed_);
            if (errors_) std::fclose(errors_);
            throw OutputError(spawned == ENOENT
                                  ? std::string("cannot run ffmpeg: not installed (Debian package ffmpeg)")
                                  : std::string("cannot run ffmpeg: ") + std::strerror(spawned));
        }
    }

    ~FfmpegWriter() override {
        if (feed_ >= 0) close(feed_);
        if (child_ > 0) {
            int status;
            while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (errors_) std::fclose(errors_);
    }

    void add(const PixelView& frame) override {
        checkFrame(shape_, frame, index_);
        const auto* p = frame.data;
        std::size_t left = static_cast<std::size_t>(frame.rows) * static_cast<std::size_t>(frame.cols) *
                           static_cast<std::size_t>(frame.channels);
        while (left > 0) {
            const ssize_t n = send(feed_, p, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                wait();
                throw OutputError("ffmpeg stopped: " + complaint());
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ++index_;
    }

    void finish() override {
        if (index_ != shape_.frames)
            throw std::invalid_argument("the animation was opened for " + std::to_string(shape_.frames) +
                                        " frames and given " + std::to_string(index_));
        const int status = wait();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw OutputError("ffmpeg failed: " + complaint());
    }

private:
    static std::string fpsText(double fps) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", fps);
        return text;
    }

    int wait() {
        close(feed_);
        feed_ = -1;
        int status = 0;
        while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        child_ = 0;
        return status;
    }

    // The last line ffmpeg wrote to its error output.
    std::string complaint() const {
        std::string text;
        if (errors_) {
            std::rewind(errors_);
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, errors_)) > 0;) text.append(buf, n);
        }
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const std::size_t line = text.rfind('\n');
        if (line != std::string::npos) text.erase(0, line + 1);
        return text.empty() ? std::string("no message") : text;
    }

    AnimationShape shape_;
    std::int32_t index_ = 0;
    int feed_ = -1;
    pid_t child_ = 0;
    std::FILE* errors_ = nullptr;
};

}  // namespace

std::span<const AnimationFormatRow> animationFormats() { return formats; }

const AnimationFormatRow* animationFormatOf(const std::string& name) {
    if (endsWith(name, ".apng")) return &formats[0];
    for (const AnimationFormatRow& row : formats)
        if (endsWith(name, row.extension)) return &row;
    return nullptr;
}

std::string animationExtensions() {
    std::string text = ".png, .apng";
    for (std::size_t k = 1; k < std::size(formats); ++k)
        text += std::string(k + 1 == std::size(formats) ? " or " : ", ") + formats[k].extension;
    return text;
}

std::unique_ptr<FrameWriter> openFrameWriter(AnimationFormat format, std::FILE* out, const AnimationShape& shape,
                                             int threads) {
    checkShape(shape);
    if (format == AnimationFormat::apng) return std::make_unique<ApngWriter>(out, shape, threads);
    return std::make_unique<FfmpegWriter>(format, out, shape);
}

void addAnimation(OutputSet& outputs, const std::string& option, const std::string& name,
                  const AnimationShape& shape, FrameSource frame, int threads) {
    checkShape(shape);
    const std::uint64_t frameBytes =
        static_cast<std::uint64_t>(shape.rows) * static_cast<std::uint64_t>(shape.cols);
    if (isFramePattern(name)) {
        for (std::int32_t k = 0; k < shape.frames; ++k) {
            const std::string file = frameName(name, k);
            const ImageFormat* format = imageFormatOf(file);
            if (!format) throw UsageError(option + ": " + name + ": expected " + imageExtensions() + " frames");
            if (shape.channels == 4 && !format->alpha)
                throw UsageError(option + ": " + name + ": transparent frames need .png");
            outputs.add(option, file, [frame, format, k, threads](std::FILE* f) {
                format->write(frame(k), f, threads);
            }, frameBytes * format->leastBytesPerPixel);
        }
        return;
    }
    const AnimationFormatRow* row = animationFormatOf(name);
    if (!row)
        throw UsageError(option + ": " + name + ": expected " + animationExtensions() +
                         ", or a frame pattern such as frame%04d.png");
    outputs.add(option, name, [row, shape, frame, threads](std::FILE* f) {
        const auto writer = openFrameWriter(row->format, f, shape, threads);
        for (std::int32_t k = 0; k < shape.frames; ++k) writer->add(frame(k));
        writer->finish();
    });
}

namespace {

// Where the one number conversion of a pattern is: [start, end), or
// {npos, npos} when there is not exactly one.
std::pair<std::size_t, std::size_t> conversionOf(const std::string& p) {
    constexpr auto none = std::pair{std::string::npos, std::string::npos};
    auto found = none;
    for (std::size_t k = 0; k < p.size(); ++k) {
        if (p[k] != '%') continue;
        if (k + 1 < p.size() && p[k + 1] == '%') {
            ++k;
            continue;
        }
        std::size_t e = k + 1;
        if (e < p.size() && p[e] == '0') ++e;
        const std::size_t digits = e;
        while (e < p.size() && std::isdigit(static_cast<unsigned char>(p[e]))) ++e;
        if (e - digits > 2 || e >= p.size() || p[e] != 'd' || found != none) return none;
        found = {k, e + 1};
        k = e;
    }
    return found;
}

}  // namespace

bool isFramePattern(const std::string& name) { return conversionOf(name).first != std::string::npos; }

std::string frameName(const std::string& pattern, std::int64_t index) {
    const auto [start, end] = conversionOf(pattern);
    if (start == std::string::npos) throw std::invalid_argument("not a frame pattern: " + pattern);
    const std::string conversion = pattern.substr(start, end - start - 1) + "lld";
    char number[64];
    std::snprintf(number, sizeof number, conversion.c_str(), static_cast<long long>(index));
    std::string out;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
        if (k == start) {
            out += number;
            k = end - 1;
        } else {
            out += pattern[k];
            if (pattern[k] == '%') ++k;  // %% is one %
        }
    }
    return out;
}

}  // namespace fastlic

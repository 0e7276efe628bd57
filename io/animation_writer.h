// Animations written one frame at a time into an open file: animated PNG
// (APNG) by our own PNG encoder, MP4, WebM and GIF through ffmpeg; and the
// names of numbered frame sequences (frame%04d.png).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "render/pixels.h"

namespace fastlic {

class OutputSet;

enum class AnimationFormat : std::uint8_t { apng, mp4, webm, gif };

// A row of animationFormats(): a new format is one row and one case.
struct AnimationFormatRow {
    const char* extension;  // ".png"
    AnimationFormat format;
    bool ffmpeg;  // written through the ffmpeg program
    bool alpha;   // keeps RGBA pixels' transparency
};

std::span<const AnimationFormatRow> animationFormats();
// The format whose extension name ends in (".apng" is also an animated
// PNG), or null.
const AnimationFormatRow* animationFormatOf(const std::string& name);
// The extensions for messages: ".png, .apng, .mp4, .webm or .gif".
std::string animationExtensions();

struct AnimationShape {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 3;        // 3: RGB, 4: RGBA
    std::int32_t frames = 0;  // how many add() will be given
    double fps = 25.0;        // frames a second, more than 0, at most 1000
};

// Takes the frames in order; finish() completes the file. Throws
// OutputError when a write fails, std::invalid_argument for a frame of
// another shape or a shape the format cannot hold.
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    virtual void add(const PixelView& frame) = 0;
    virtual void finish() = 0;
};

// A writer of format into out (which it does not close); `threads` compress
// each PNG frame. ffmpeg formats throw OutputError naming the package when
// the program is missing, and take a regular file or a pipe.
std::unique_ptr<FrameWriter> openFrameWriter(AnimationFormat format, std::FILE* out, const AnimationShape& shape,
                                             int threads = 0);

// Frame k's pixels, asked for in order, each once; valid until the next call.
using FrameSource = std::function<PixelView(std::int32_t index)>;

// The animation at name added to outputs for option: one file of the
// format its extension names, or, for a frame pattern, one image file per
// frame (by the image formats' extensions). Throws UsageError for a name
// that is neither.
void addAnimation(OutputSet& outputs, const std::string& option, const std::string& name,
                  const AnimationShape& shape, FrameSource frame, int threads = 0);

// A numbered sequence's pattern: one %d, %Nd or %0Nd and no other %
// but %%. Its name for frame `index`, as printf writes it.
bool isFramePattern(const std::string& name);
std::string frameName(const std::string& pattern, std::int64_t index);

}  // namespace fastlic

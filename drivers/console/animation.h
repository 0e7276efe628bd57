// The console's animations: streaks moving along one field as a seamless
// loop (--frames N), or one frame per field of a series (several --vectors
// files, or a pattern of them), written frame by frame as an animation
// file or numbered images (-o) and as one (N, rows, cols) array (--lic).
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "drivers/console/image_options.h"
#include "drivers/console/option_table.h"
#include "engine/options.h"
#include "run/run_pipeline.h"

namespace fastlic::cli {

struct AnimationCli {
    TableOptions<AnimationOptions> given;
    AnimationOptions options;
    // The vector files in order (one field each, or a stack of them).
    std::vector<std::string> vectorFiles;
    // The fields they hold (one: a loop over it).
    std::int64_t fields = 1;
};

void addAnimationOptions(CLI::App& app, AnimationCli& a);

// Reads the options, and the --vectors texts (every one given; a text
// with * ? or [ that names no file is a pattern, its matches in order).
// "" or the message.
std::string applyAnimationOptions(AnimationCli& a, const std::vector<std::string>& vectorTexts);
// "" or the message for options that do not fit the fields counted.
std::string checkFieldCount(const AnimationCli& a);
// An animation is asked for when it gives frames or several fields.
inline bool animating(const AnimationCli& a) { return a.options.frames > 0 || a.fields > 1; }
// Whether the vector inputs must be opened to count their fields: several,
// or any that may be a stack (.npy, or --u).
inline bool countsFields(const AnimationCli& a, bool components) {
    return a.vectorFiles.size() > 1 || components || isNpyPath(a.vectorFiles.front());
}

// "" or the message for outputs an animation cannot write: -o (where
// given) must name an animation (by its ending) or a frame pattern, one of
// -o and --lic must be given, --hits is not written; the contrast must
// keep one mapping for every frame.
std::string checkAnimationOutputs(const ImageOptions& image, const std::string& output, const std::string& licPath,
                                  const std::string& hitsPath);

// Computes and writes the animation, frame after frame, each field read
// once where it can be. settings hold the texture, sizes and method (as
// fields reads them); image the parsed image options. Throws as a run does
// (UsageError, BadFilename, InputError, OutputError, ParamError).
void writeAnimation(const AnimationCli& a, SeriesFields& fields, const RunSettings& settings, ImageOptions& image,
                    const std::string& output, const std::string& licPath);

}  // namespace fastlic::cli

#include "drivers/console/animation.h"

#include <glob.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "io/animation_writer.h"
#include "base/errors.h"
#include "io/image_writer.h"
#include "io/npy_writer.h"
#include "io/output_file.h"

namespace fastlic::cli {

void addAnimationOptions(CLI::App& app, AnimationCli& a) { a.given.add(app, animationOptions(), a.options); }

namespace {

bool isPattern(const std::string& text) {
    std::error_code error;
    return text.find_first_of("*?[") != std::string::npos && !std::filesystem::exists(text, error);
}

}  // namespace

std::string applyAnimationOptions(AnimationCli& a, const std::vector<std::string>& vectorTexts) {
    if (std::string bad = a.given.apply(a.options); !bad.empty()) return bad;
    a.vectorFiles.clear();
    for (const std::string& text : vectorTexts) {
        if (!isPattern(text)) {
            a.vectorFiles.push_back(text);
            continue;
        }
        glob_t found{};
        const int status = glob(text.c_str(), 0, nullptr, &found);  // sorted
        if (status == 0)
            for (std::size_t k = 0; k < found.gl_pathc; ++k) a.vectorFiles.emplace_back(found.gl_pathv[k]);
        globfree(&found);
        if (status != 0) return "--vectors: no file matches \"" + text + "\"";
    }
    const auto fields = static_cast<std::int64_t>(a.vectorFiles.size());
    if (fields > 1 && a.options.frames > 0 && a.options.frames != fields)
        return "--frames: a series of " + std::to_string(fields) + " fields makes " + std::to_string(fields) +
               " frames, got " + a.given.text("frames");
    if (!animating(a))
        for (const char* name : {"wavelength", "steady", "phase-step", "fps"})
            if (!a.given.text(name).empty())
                return std::string("--") + name + ": needs --frames N or several --vectors files";
    return "";
}

std::string checkAnimationOutputs(const ImageOptions& image, const std::string& output, const std::string& licPath,
                                  const std::string& hitsPath) {
    if (!hitsPath.empty()) return "--hits: not written for an animation";
    if (output.empty() && licPath.empty()) return "--frames: name the animation with -o FILE or --lic STACK.npy";
    if (!output.empty() && !isFramePattern(output) && !animationFormatOf(output))
        return "-o: an animation must end in " + animationExtensions() +
               " or be a frame pattern such as frame%04d.png, found \"" + output + "\"";
    const Contrast mode = image.render.contrast.mode;
    if (mode != Contrast::none && mode != Contrast::stretch)
        return std::string("--contrast: an animation takes none or stretch (one mapping for every frame), got ") +
               options::nameOf(mode);
    return "";
}

void writeAnimation(const AnimationCli& a, RunSettings settings, ImageOptions& image, const std::string& output,
                    const std::string& licPath) {
    const int threads = settings.threads;
    const AnimationOptions& o = a.options;
    const bool series = a.vectorFiles.size() > 1;
    const auto count = series ? static_cast<std::int32_t>(a.vectorFiles.size()) : o.frames;
    const auto readField = [&](std::size_t k) {
        settings.vectorFile = a.vectorFiles[k];
        FieldFiles files(settings);
        Field field = *files.next();
        if (field.grid.rows != settings.rows || field.grid.cols != settings.cols)
            throw InputError(a.vectorFiles[k] + ": a grid of " + std::to_string(field.grid.rows) + "x" +
                             std::to_string(field.grid.cols) + ", not the series' " + std::to_string(settings.rows) +
                             "x" + std::to_string(settings.cols));
        return field;
    };
    const auto phaseOf = [&](std::int32_t k) { return o.phased ? k * o.phaseStep : loopPhase(k, count); };

    // A loop: one trace, then a pass a frame. A series: the largest
    // magnitude of all its fields tops every frame's colour scale.
    AnimationSums sums;
    std::optional<RunResult> current;
    double largest = 0.0;
    if (!series) {
        current = runAnimation(readField(0), settings, {o.wavelength, o.steady}, sums);
    } else if (!output.empty()) {
        for (std::size_t k = 0; k < a.vectorFiles.size(); ++k) largest = std::max(largest, readField(k).largestMagnitude);
    }
    // Frame k's LIC values into current.
    const auto load = [&](std::int32_t k) {
        if (!series) {
            sums.frame(phaseOf(k), current->grid.licSums.data(), threads);
            return;
        }
        Field field = readField(static_cast<std::size_t>(k));
        if (o.phased) {
            AnimationSums own;
            current = runAnimation(std::move(field), settings, {o.wavelength, o.steady}, own);
            own.frame(phaseOf(k), current->grid.licSums.data(), threads);
        } else {
            current = runLic(std::move(field), settings);
        }
        current->largestMagnitude = largest;
    };

    OutputSet outputs;
    const std::size_t cells = static_cast<std::size_t>(settings.rows) * static_cast<std::size_t>(settings.cols);
    if (!licPath.empty()) {
        outputs.add("--lic", licPath, [&](std::FILE* f) {
            const std::int64_t shape[] = {count, settings.rows, settings.cols};
            writeNpyHeader(f, "<f8", shape);
            for (std::int32_t k = 0; k < count; ++k) {
                load(k);
                writeNpyBytes(f, current->grid.licSums.data(), cells * sizeof(double));
            }
            finishNpy(f);
        }, static_cast<std::uint64_t>(count) * cells * 8);
    }
    // What the frames are drawn with lives until the outputs are written.
    Image picture;
    // Stretch takes its range once, from the loop's static picture or the
    // series' first frame, so that frames do not pump.
    const bool stretch = image.render.contrast.mode == Contrast::stretch;
    Range range;
    if (!output.empty()) {
        loadImageInputs(image, settings.rows, settings.cols, threads);
        image.render.contrast.mode = Contrast::none;
        const auto draw = [&](std::int32_t k) {
            load(k);
            double* values = current->grid.licSums.data();
            if (stretch) {
                if (k == 0 && !series) {
                    range = percentileRange(sums.base.data(), cells, image.render.contrast.clip,
                                            current->mask.empty() ? nullptr : current->mask.data());
                } else if (k == 0) {
                    range = percentileRange(values, cells, image.render.contrast.clip,
                                            current->mask.empty() ? nullptr : current->mask.data());
                }
                const double width = range.hi - range.lo;
                for (std::size_t c = 0; c < cells; ++c)
                    if (!std::isnan(values[c]))
                        values[c] = width > 0 ? std::clamp((values[c] - range.lo) / width * 255.0, 0.0, 255.0) : 127.5;
            }
            picture = renderRunImage(*current, image, threads);
            return picture.view();
        };
        // The first frame gives the pictures' shape (a colour bar adds rows).
        const PixelView first = draw(0);
        const AnimationShape shape{first.rows, first.cols, first.channels, count, o.fps};
        addAnimation(outputs, "-o", output, shape, draw, threads);
    }
    outputs.addInput("--texture", settings.textureFile);
    for (const std::string& file : a.vectorFiles) outputs.addInput("--vectors", file);
    if (!settings.maskFile.empty()) outputs.addInput("--mask", settings.maskFile);
    outputs.open();
    outputs.write();
}

}  // namespace fastlic::cli

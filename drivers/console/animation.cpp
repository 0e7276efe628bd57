#include "drivers/console/animation.h"

#include <glob.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    a.fields = static_cast<std::int64_t>(a.vectorFiles.size());
    return "";
}

std::string checkFieldCount(const AnimationCli& a) {
    const std::int64_t fields = a.fields;
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

void writeAnimation(const AnimationCli& a, SeriesFields& fields, const RunSettings& settings, ImageOptions& image,
                    const std::string& output, const std::string& licPath) {
    const int threads = settings.threads;
    const AnimationOptions& o = a.options;
    const bool series = a.fields > 1;
    const auto count = series ? static_cast<std::int32_t>(a.fields) : o.frames;
    const auto phaseOf = [&](std::int32_t k) { return o.phased ? k * o.phaseStep : loopPhase(k, count); };

    // A loop: one trace, then a pass a frame. A series: the largest
    // magnitude of all its fields tops every frame's colour scale, which
    // takes a first pass over the fields (their vectors only).
    AnimationSums sums;
    std::optional<RunResult> current;
    double largest = 0.0;
    const bool scaleFirst = series && !output.empty() && image.render.colorBy == ColorBy::magnitude &&
                            !image.render.range;
    if (scaleFirst && !fields.pipe().empty())
        throw UsageError("--vectors " + fields.pipe() + ": a pipe is read once, and the colour scale of a series " +
                         "needs every field's largest magnitude before the first frame: give --colormap-range " +
                         "LO:HI, or a regular file");
    if (!series) {
        current = runAnimation(fields.field(0), settings, {o.wavelength, o.steady}, sums);
    } else if (scaleFirst) {
        for (std::int64_t k = 0; k < a.fields; ++k) largest = std::max(largest, fields.field(k).largestMagnitude);
    }
    // Frame k's LIC values into current; a series' fields are read in
    // order, each once.
    std::int32_t loaded = -1;
    const auto load = [&](std::int32_t k) {
        if (!series) {
            sums.frame(phaseOf(k), current->grid.licSums.data(), threads);
            return;
        }
        if (k == loaded) return;
        Field field = fields.field(k);
        for (const std::string& warning : field.warnings) std::fprintf(stderr, "fastlic: %s\n", warning.c_str());
        if (o.phased) {
            AnimationSums own;
            current = runAnimation(std::move(field), settings, {o.wavelength, o.steady}, own);
            own.frame(phaseOf(k), current->grid.licSums.data(), threads);
        } else {
            current = runLic(std::move(field), settings);
        }
        if (scaleFirst) current->largestMagnitude = largest;
        loaded = k;
    };

    // With both outputs, a series is still read once: the output written
    // first keeps the other's frames in a temporary file, in order.
    enum class Kept { nothing, lic, pictures } kept = Kept::nothing;
    const bool keep = series && !output.empty() && !licPath.empty();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> spool(keep ? std::tmpfile() : nullptr, &std::fclose);
    if (keep && !spool) throw OutputError(std::string("a temporary file: cannot create: ") + std::strerror(errno));
    const auto spoolBytes = [&](const void* data, std::size_t bytes, bool in) {
        if ((in ? std::fread(const_cast<void*>(data), 1, bytes, spool.get())
                : std::fwrite(data, 1, bytes, spool.get())) != bytes)
            throw OutputError(std::string("a temporary file: cannot ") + (in ? "read" : "write") + ": " +
                              std::strerror(errno));
    };

    // What the frames are drawn with lives until the outputs are written.
    Image picture;
    std::vector<std::uint8_t> keptPicture;
    PixelView shape{};
    // Stretch takes its range once, from the loop's static picture or the
    // series' first frame, so that frames do not pump.
    const bool stretch = image.render.contrast.mode == Contrast::stretch;
    const std::size_t cells = static_cast<std::size_t>(settings.rows) * static_cast<std::size_t>(settings.cols);
    Range range;
    std::vector<double> unstretched;
    const auto draw = [&](std::int32_t k) {
        load(k);
        double* values = current->grid.licSums.data();
        if (stretch) {
            const std::uint8_t* mask = current->mask.empty() ? nullptr : current->mask.data();
            if (k == 0) range = percentileRange(series ? values : sums.base.data(), cells, image.render.contrast.clip, mask);
            unstretched.assign(values, values + cells);
            const double width = range.hi - range.lo;
            for (std::size_t c = 0; c < cells; ++c)
                if (!std::isnan(values[c]))
                    values[c] = width > 0 ? std::clamp((values[c] - range.lo) / width * 255.0, 0.0, 255.0) : 127.5;
        }
        picture = renderRunImage(*current, image, threads);
        if (stretch) std::copy(unstretched.begin(), unstretched.end(), values);  // the LIC values stay for --lic
        return picture.view();
    };
    const auto pictureBytes = [&] {
        return static_cast<std::size_t>(shape.rows) * static_cast<std::size_t>(shape.cols) *
               static_cast<std::size_t>(shape.channels);
    };

    OutputSet outputs;
    if (!licPath.empty()) {
        outputs.add("--lic", licPath, [&](std::FILE* f) {
            const std::int64_t dims[] = {count, settings.rows, settings.cols};
            writeNpyHeader(f, "<f8", dims);
            std::vector<double> frame(kept == Kept::lic ? cells : 0);
            if (kept == Kept::lic) std::rewind(spool.get());
            for (std::int32_t k = 0; k < count; ++k) {
                const double* values = frame.data();
                if (kept == Kept::lic) {
                    spoolBytes(frame.data(), cells * sizeof(double), true);
                } else {
                    if (keep) spoolBytes(draw(k).data, pictureBytes(), false);
                    load(k);
                    values = current->grid.licSums.data();
                }
                writeNpyBytes(f, values, cells * sizeof(double));
            }
            if (keep && kept == Kept::nothing) kept = Kept::pictures;
            finishNpy(f);
        }, static_cast<std::uint64_t>(count) * cells * 8);
    }
    if (!output.empty()) {
        loadImageInputs(image, settings.rows, settings.cols, threads);
        image.render.contrast.mode = Contrast::none;
        // The first frame gives the pictures' shape (a colour bar adds rows).
        shape = draw(0);
        const AnimationShape animation{shape.rows, shape.cols, shape.channels, count, o.fps};
        addAnimation(outputs, "-o", output, animation, [&](std::int32_t k) {
            if (k == 0 && kept == Kept::pictures) std::rewind(spool.get());
            if (kept == Kept::pictures) {
                keptPicture.resize(pictureBytes());
                spoolBytes(keptPicture.data(), keptPicture.size(), true);
                return PixelView{keptPicture.data(), shape.rows, shape.cols, shape.channels};
            }
            const PixelView view = draw(k);
            if (keep) {
                spoolBytes(current->grid.licSums.data(), cells * sizeof(double), false);
                if (k + 1 == count) kept = Kept::lic;
            }
            return view;
        }, threads);
    }
    outputs.addInput("--texture", settings.textureFile);
    for (const std::string& file : a.vectorFiles) outputs.addInput(settings.vComponentFile.empty() ? "--vectors" : "--u", file);
    if (!settings.vComponentFile.empty()) outputs.addInput("--v", settings.vComponentFile);
    if (!settings.maskFile.empty()) outputs.addInput("--mask", settings.maskFile);
    outputs.open();
    outputs.write();
}

}  // namespace fastlic::cli

// The console program: the fixed run with no arguments, options for other
// inputs, sizes and outputs.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/options.h"
#include "base/parallel.h"
#include "run/demo.h"
#include "run/globals.h"
#include "run/run_pipeline.h"
#include "drivers/console/animation.h"
#include "drivers/console/image_options.h"
#include "drivers/console/method_options.h"
#include "io/animation_writer.h"
#include "io/input_files.h"
#include "io/npy_reader.h"
#include "io/image_writer.h"
#include "io/npy_writer.h"
#include "io/output_file.h"

#ifndef FASTLIC_VERSION
#define FASTLIC_VERSION "0.0.0"
#endif

namespace {

using namespace fastlic;

constexpr int exitInput = -1;  // an input file is missing or malformed
constexpr int exitFailed = 1;  // an output could not be written, or no memory
constexpr int exitUsage = 2;   // a bad option or value

struct Size {
    std::int32_t rows = gridRows;
    std::int32_t cols = gridCols;
};

// "ROWSxCOLS", both positive, the grid small enough to index with 32 bits;
// numbers as every option writes them (base/options.h).
bool parseSize(const std::string& text, Size& size) {
    const std::size_t x = text.find_first_of("xX");
    std::int64_t rows = 0, cols = 0;
    if (x == std::string::npos ||
        options::parseInteger(std::string_view(text).substr(0, x), rows) != options::Syntax::ok ||
        options::parseInteger(std::string_view(text).substr(x + 1), cols) != options::Syntax::ok)
        return false;
    if (rows < 1 || cols < 1 || rows > INT32_MAX || cols > INT32_MAX || rows * cols > INT32_MAX)
        return false;
    size.rows = static_cast<std::int32_t>(rows);
    size.cols = static_cast<std::int32_t>(cols);
    return true;
}

// --threads TEXT: a whole number from 1 to 1024, in the words of the
// option tables; "" or the message.
std::string readThreads(const std::string& text, int& threads) {
    std::int64_t n = 0;
    const options::Syntax syntax = options::parseInteger(text, n);
    if (syntax == options::Syntax::malformed) return "--threads: expected an integer, found \"" + text + "\"";
    if (syntax == options::Syntax::outOfRange) return "--threads: integer out of range: \"" + text + "\"";
    if (n < 1 || n > 1024) return "--threads: must be from 1 to 1024, got " + std::to_string(n);
    threads = static_cast<int>(n);
    return "";
}

// What the grid and the engine's buffers take per cell, with some room to spare.
constexpr std::uint64_t bytesPerCell = 56;
// An adaptive-contrast tile's map: 257 doubles in a vector of its own.
constexpr std::uint64_t tileMapBytes = 257 * 8 + 48;


int fail(int status, const std::string& message) {
    std::fprintf(stderr, "fastlic: %s\n", oneLine(message).c_str());
    return status;
}

// --- Outputs: names, help text, standard output -------------------------

// An empty file name is a mistake, not a request for the default.
const CLI::Validator fileName(
    [](std::string& name) { return name.empty() ? std::string("empty file name") : std::string(); }, "");

// Text for standard output, such as --help: a write that fails is a failure.
int print(const std::string& text) {
    if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        return fail(exitFailed, std::string("standard output: cannot write: ") + std::strerror(errno));
    return 0;
}

// --- End of outputs -----------------------------------------------------

int run(int argc, char** argv) {
    CLI::App app{"fastlic: line integral convolution images of 2-D vector fields"};
    app.set_version_flag("--version", "fastlic " FASTLIC_VERSION);

    RunSettings settings;
    std::string sizeText = "256x256", output, licPath, hitsPath, demoDir;
    app.add_option("--vectors", settings.vectorFile,
                   "Vector-field file: rows x cols pairs of numbers, row-major, each (along the rows, along "
                   "the columns); or a .npy array of shape (rows, cols, 2), float32 or float64, [..., 0] "
                   "along the rows and [..., 1] along the columns; - for standard input. Several (or a "
                   "pattern such as 'field*.npy'), or a .npy stack (T, rows, cols, 2): a series, one animation frame "
                   "per field")
        ->capture_default_str()
        ->multi_option_policy(CLI::MultiOptionPolicy::Join)
        ->check(fileName);
    std::string uFile;
    auto* uOption = app.add_option("--u", uFile,
                                   "Instead of --vectors: FILE.npy of shape (rows, cols), the component along "
                                   "the columns (as NumPy's u), or a stack (T, rows, cols): a series; with --v")
                        ->check(fileName)
                        ->excludes("--vectors");
    app.add_option("--v", settings.vComponentFile,
                   "FILE.npy of shape (rows, cols), or (T, rows, cols) as --u, the component along the rows (as "
                   "NumPy's v); with --u")
        ->check(fileName)
        ->needs(uOption);
    uOption->needs("--v");
    app.add_option("--texture", settings.textureFile,
                   "Texture file: rows x cols integers 0..255, row-major; or a .npy array "
                   "of shape (rows, cols) of whole numbers; - for standard input")
        ->capture_default_str()
        ->check(fileName);
    app.add_option("--size", sizeText, "Grid size ROWSxCOLS")->capture_default_str();
    app.add_option("-o,--output", output,
                   "Image file: " + imageExtensions() + " (by its ending; a device or pipe takes " +
                       imageFormats().front().extension + "); - for standard output")
        ->check(fileName);
    app.add_option("--lic", licPath,
                   "Write the LIC value of every pixel as float64 .npy; - for standard output")
        ->check(fileName);
    app.add_option("--hits", hitsPath,
                   "Write the hit count of every pixel as int32 .npy; - for standard output")
        ->check(fileName);
    app.add_option("--demo", demoDir,
                   "Write a demo vector field and noise texture into DIR at --size, then exit")
        ->check(fileName);
    std::string threadsText;
    app.add_option("--threads", threadsText, "Threads to use (default: every core)")
        ->type_name("INT in [1 - 1024]");
    cli::MethodOptions methodOptions;
    cli::addMethodOptions(app, settings, methodOptions);
    app.get_option("--mask")->check(fileName);
    ImageOptions imageOptions;  // image options: drivers/console/image_options.h
    addImageOptions(app, imageOptions);
    cli::AnimationCli animation;
    cli::addAnimationOptions(app, animation);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return print(app.help() +
                     "\nA file named - is standard input or output; a file called - is ./-\n"
                     "Outputs are replaced whole, together, or left as they were.\n");
    } catch (const CLI::CallForVersion&) {
        return print("fastlic " FASTLIC_VERSION "\n");
    } catch (const CLI::ParseError& e) {
        return fail(exitUsage, std::string(e.what()) + " (see fastlic --help)");
    }

    if (!uFile.empty()) {
        if (!isNpyPath(uFile) || !isNpyPath(settings.vComponentFile))
            return fail(exitUsage, "--u and --v: each must be a .npy file of shape (rows, cols)");
        settings.vectorFile = uFile;
    }
    if (app.count("--threads") > 0)
        if (std::string bad = readThreads(threadsText, settings.threads); !bad.empty()) return fail(exitUsage, bad);
    {
        // Several --vectors arrive joined by newlines: a series.
        std::vector<std::string> vectorTexts;
        for (std::size_t at = 0;;) {
            const std::size_t end = settings.vectorFile.find('\n', at);
            vectorTexts.push_back(settings.vectorFile.substr(at, end - at));
            if (end == std::string::npos) break;
            at = end + 1;
        }
        if (std::string bad = cli::applyAnimationOptions(animation, vectorTexts); !bad.empty())
            return fail(exitUsage, bad);
        settings.vectorFile = animation.vectorFiles.front();
    }
    Size size;
    std::string sizeOrigin;  // what gave the size, for messages: "--size RxC" or a .npy file
    if (!parseSize(sizeText, size))
        return fail(exitUsage, "--size: expected ROWSxCOLS, two positive whole numbers whose "
                               "product is below 2^31, found \"" + sizeText + "\"");
    // --- NumPy input: .npy files (by their suffix) give the grid size ---
    // Several vector inputs, or one that may be a stack, are a series: its
    // fields are counted from the headers.
    std::unique_ptr<SeriesFields> series;
    std::unique_ptr<FieldFiles> files;
    FieldSource* inputs = nullptr;
    const bool counted = demoDir.empty() && cli::countsFields(animation, !uFile.empty());
    if (demoDir.empty() && (counted || isNpyPath(settings.textureFile))) {
        try {
            if (counted) {
                series = std::make_unique<SeriesFields>(settings, animation.vectorFiles);
                animation.fields = series->count();
            }
            // One field read as always, unless its file must be read as it was opened.
            if (series && (series->count() > 1 || series->stacked() || !series->pipe().empty()))
                inputs = series.get();
            else if (isNpyPath(settings.vectorFile) || isNpyPath(settings.textureFile))
                inputs = (files = std::make_unique<FieldFiles>(settings)).get();
            if (inputs && inputs->arrayShape()) {
                if (app.count("--size") > 0) inputs->requireSize(size.rows, size.cols, "--size " + sizeText);
                const GridShape shape = *inputs->arrayShape();
                size = {shape.rows, shape.cols};
                sizeText = std::to_string(size.rows) + "x" + std::to_string(size.cols);
                if (app.count("--size") == 0) {
                    // Sizes are then named by the array that gave them.
                    const bool vectors = isNpyPath(settings.vectorFile);
                    std::vector<std::int64_t> dims{size.rows, size.cols};
                    if (vectors && uFile.empty()) dims.push_back(2);
                    sizeOrigin = (vectors ? settings.vectorFile : settings.textureFile) + ": shape " + shapeText(dims);
                }
            }
        } catch (const BadFilename& e) {
            std::printf("%s\n", e.what());
            return exitInput;
        } catch (const InputError& e) {
            return fail(exitInput, e.what());
        } catch (const std::exception& e) {
            return fail(exitFailed, e.what());
        }
    }
    if (std::string bad = cli::checkFieldCount(animation); !bad.empty()) return fail(exitUsage, bad);
    // --- end NumPy input ---
    if (sizeOrigin.empty()) sizeOrigin = "--size " + sizeText;
    settings.rows = size.rows;
    // A progress line for runs longer than a second, only where a person
    // watches standard error; it is cleared when the convolution is done.
    if (isatty(STDERR_FILENO)) {
        settings.progress = [start = std::chrono::steady_clock::now(), shown = false](double done) mutable {
            if (!shown && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) return;
            if (done < 1.0) {
                std::fprintf(stderr, "\rfastlic: convolving %3d%%", static_cast<int>(done * 100));
                shown = true;
            } else if (shown) {
                std::fputs("\r\033[K", stderr);
                shown = false;
            }
        };
    }
    settings.cols = size.cols;
    // Memory first: a grid too large for it would also be too much work.
    const std::uint64_t cells = static_cast<std::uint64_t>(size.rows) * size.cols;
    const std::uint64_t available = memoryLimit();
    if (demoDir.empty() && cells * bytesPerCell > available)
        return fail(exitUsage, sizeOrigin + ": the grid needs " +
                                   gigabytes(cells * bytesPerCell) + " of memory, this machine has " +
                                   gigabytes(available));
    try {
        if (const std::string bad = cli::applyMethodOptions(methodOptions, settings); !bad.empty())
            return fail(exitUsage, bad);
    } catch (const InputError& e) {  // the coordinates file
        return fail(exitInput, e.what());
    }
    // Moving streaks look best through a soft window.
    if (cli::animating(animation) && app.count("--kernel") == 0) settings.params.kernel = Kernel::hann;

    if (!demoDir.empty()) {
        if (demoDir == standardStreamName)
            return fail(exitUsage, "--demo: the demo is two files and cannot go to standard "
                                   "output; name a directory");
        try {
            writeDemoInputs(demoDir, settings.rows, settings.cols);
        } catch (const UsageError& e) {
            return fail(exitUsage, e.what());
        } catch (const std::exception& e) {
            return fail(exitFailed, e.what());
        }
        return 0;
    }

    // The image goes to standard output unless -o names a file, and is not
    // written when only arrays are asked for. A device or pipe without a
    // known extension takes plain PPM, the first format.
    const ImageFormat* format = &imageFormats().front();
    if (cli::animating(animation)) {
        // An animation's frames are PNG where they may keep transparency.
        const AnimationFormatRow* row = animationFormatOf(output);
        const ImageFormat* frame = isFramePattern(output) ? imageFormatOf(frameName(output, 0)) : nullptr;
        if (const std::string bad = parseImageOptions(imageOptions, row ? row->alpha : frame && frame->alpha);
            !bad.empty())
            return fail(exitUsage, bad);
        if (const std::string bad = cli::checkAnimationOutputs(imageOptions, output, licPath, hitsPath); !bad.empty())
            return fail(exitUsage, bad);
        format = nullptr;
    } else if (!output.empty() && output != standardStreamName) {
        if (const ImageFormat* named = imageFormatOf(output))
            format = named;
        else if (!isWrittenThrough(output))
            return fail(exitUsage, "-o: the image file must end in " + imageExtensions() + ", found \"" +
                                       output + "\"");
    } else if (output.empty() && (!licPath.empty() || !hitsPath.empty())) {
        format = nullptr;
    }

    if (!cli::animating(animation))
        if (const std::string bad = parseImageOptions(imageOptions, format && format->alpha);
            !bad.empty())  // image options
            return fail(exitUsage, bad);

    // What grows with the options rather than the grid, named by the
    // option that drives it.
    {
        const LicParams& p = settings.params;
        const std::uint64_t buffers = licWorkingBytes(p, size.rows, size.cols, settings.threads);
        const ContrastOptions& c = imageOptions.render.contrast;
        std::uint64_t tiles = 0;
        if (format && c.mode == Contrast::adaptive)  // a map of 257 values a tile
            tiles = static_cast<std::uint64_t>(std::min(c.tileRows, size.rows)) *
                    static_cast<std::uint64_t>(std::min(c.tileCols, size.cols)) * tileMapBytes;
        const std::uint64_t total = cells * bytesPerCell + buffers + tiles;
        if (total > available) {
            const std::string option =
                tiles > buffers ? "--tiles " + std::to_string(c.tileRows) + "x" + std::to_string(c.tileCols)
                : p.slideSteps >= p.filterHalfLength ? "--slide-steps " + std::to_string(p.slideSteps)
                                                     : "--filter-half-length " + std::to_string(p.filterHalfLength);
            const std::string what = tiles > buffers ? "the tile maps" : "the streamline buffers";
            return fail(exitUsage, option + ": " + what + " need " + gigabytes(std::max(tiles, buffers)) +
                                       " of memory (" + gigabytes(total) + " with the grid), this machine has " +
                                       gigabytes(available));
        }
    }

    try {
        // Every output is checked and opened before the computation, so
        // that a bad one fails at once, and all are replaced together at
        // the end (io/output_file.h).
        if (cli::animating(animation)) {
            if (!series) series = std::make_unique<SeriesFields>(settings, animation.vectorFiles);
            cli::writeAnimation(animation, *series, settings, imageOptions, output, licPath);
            return 0;
        }
        const int threads = settings.threads;
        const RunResult* item = nullptr;  // the run being written
        OutputSet outputs;
        if (format) {
            outputs.add(output.empty() ? "" : "-o", output.empty() ? standardStreamName : output,
                        [&](std::FILE* f) {
                            format->write(renderRunImage(*item, imageOptions, threads).view(), f, threads);
                        },
                        cells * format->leastBytesPerPixel);
        }
        if (!licPath.empty())
            outputs.add("--lic", licPath, [&](std::FILE* f) { writeLicNpy(item->grid, f); }, cells * 8);
        if (!hitsPath.empty())
            outputs.add("--hits", hitsPath, [&](std::FILE* f) { writeHitsNpy(item->grid, f); }, cells * 4);
        outputs.addInput(uFile.empty() ? "--vectors" : "--u", settings.vectorFile);
        if (!uFile.empty()) outputs.addInput("--v", settings.vComponentFile);
        outputs.addInput("--texture", settings.textureFile);
        if (!settings.maskFile.empty()) outputs.addInput("--mask", settings.maskFile);
        // The colour-by file is read only for an image.
        if (format && !imageOptions.scalarFile.empty())  // image options
            outputs.addInput("--color-by", imageOptions.scalarFile);
        outputs.open();
        if (format) loadImageInputs(imageOptions, settings.rows, settings.cols, threads);  // image options
        settings.licOnly = format == nullptr;  // no image: nothing reads the vectors after the run
        if (!inputs) inputs = (files = std::make_unique<FieldFiles>(settings)).get();
        // One field from the files; each is written, and let go, before the
        // next is read.
        while (std::optional<Field> field = inputs->next()) {
            for (const std::string& warning : field->warnings) std::fprintf(stderr, "fastlic: %s\n", warning.c_str());
            const RunResult result = runLic(std::move(*field), settings);
            item = &result;
            outputs.write();
        }
    } catch (const UsageError& e) {
        return fail(exitUsage, e.what());
    } catch (const BadFilename& e) {
        std::printf("%s\n", e.what());
        return exitInput;
    } catch (const InputError& e) {
        return fail(exitInput, e.what());
    } catch (const OutputError& e) {
        return fail(exitFailed, e.what());
    } catch (const ParamError& e) {  // found only during the run: a hit count that would overflow
        return fail(exitFailed, "--" + e.option() + ": " + e.problem());
    } catch (const std::bad_alloc&) {
        return fail(exitFailed, "not enough memory for a " + sizeText + " grid");
    } catch (const std::exception& e) {
        return fail(exitFailed, e.what());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard stream must not lend its
    // number to a file.
    ensureStandardDescriptors();
    try {
        if (argc == 1) {
            runPipeline();
            return 0;
        }
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return fail(exitFailed, "not enough memory");
    } catch (const std::exception& e) {
        return fail(exitFailed, e.what());
    }
}

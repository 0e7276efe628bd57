#include "drivers/console/method_options.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/options.h"
#include "io/mask_file.h"
#include "io/npy_reader.h"
#include "io/output_file.h"

namespace fastlic::cli {

void addMethodOptions(CLI::App& app, RunSettings& settings, MethodOptions& options) {
    options.method.add(app, methodOptions(), settings.params);
    options.boundary.add(app, boundaryOptions(), settings.params);
    app.add_option("--mask", settings.maskFile,
                   "Cells without data: FILE.npy of shape (rows, cols), or text of rows x cols whole "
                   "numbers; nonzero means no data");
    app.add_flag("--mask-nan", settings.maskNan,
                 "With .npy vectors: a cell with a NaN component has no data (as if masked)");
    options.sampling.add(app, samplingOptions(), settings.params);
    app.add_option("--cell-size", options.cellSize,
                   "A,B: a cell's physical extent along the rows and along the columns; streamlines follow "
                   "the field's physical direction (the picture stays a pixel a cell)")
        ->type_name("A,B");
    app.add_option("--coordinates", options.coordinatesFile,
                   "FILE.npz with 1-D arrays x (the columns' coordinates, cols values) and y (the rows', "
                   "rows values), each strictly increasing or decreasing; as --cell-size, with each cell's "
                   "local spacing")
        ->excludes("--cell-size");
    app.add_flag("--geographic", options.geographic,
                 "With --coordinates: x is longitude and y latitude in degrees (cos(latitude) scales the "
                 "columns); vector component 0 is then northward, 1 eastward");
}

namespace {

// --cell-size or --coordinates into settings; "" or the message.
std::string applyCoordinates(const MethodOptions& options, RunSettings& settings) {
    if (options.geographic && options.coordinatesFile.empty())
        return "--geographic: needs --coordinates FILE.npz (longitudes x, latitudes y)";
    if (!options.cellSize.empty()) {
        const std::size_t comma = options.cellSize.find(',');
        GridCoordinates c;
        c.rows.name = "--cell-size A (along the rows)";
        c.cols.name = "--cell-size B (along the columns)";
        if (comma == std::string::npos ||
            options::parseReal(std::string_view(options.cellSize).substr(0, comma), c.rows.spacing) !=
                options::Syntax::ok ||
            options::parseReal(std::string_view(options.cellSize).substr(comma + 1), c.cols.spacing) !=
                options::Syntax::ok)
            return "--cell-size: expected A,B, two positive numbers, found \"" + options.cellSize + "\"";
        try {
            checkCoordinates(c, settings.rows, settings.cols);
        } catch (const CoordinateError& e) {
            return e.what();
        }
        settings.coordinates = c;
    }
    if (!options.coordinatesFile.empty()) {
        GridCoordinates c = readCoordinates(options.coordinatesFile, options.geographic);
        try {
            checkCoordinates(c, settings.rows, settings.cols);
        } catch (const CoordinateError& e) {
            throw InputError(e.what());
        }
        settings.coordinates = std::move(c);
    }
    return "";
}

// A kernel's weights from the file text names; none where there is no
// such file (a word mistyped: the option's own message says what it takes).
std::optional<std::vector<double>> readWeights(const std::string& text) {
    std::error_code error;
    if (text != standardStreamName && !std::filesystem::exists(text, error)) return std::nullopt;
    return readNumbersFile(text);
}

}  // namespace

std::string applyMethodOptions(const MethodOptions& options, RunSettings& settings) {
    LicParams& p = settings.params;
    if (options.method.text("kernel") == standardStreamName)
        for (const auto& [flag, file] : {std::pair<const char*, const std::string&>{"--vectors", settings.vectorFile},
                                         {"--texture", settings.textureFile}, {"--mask", settings.maskFile}})
            if (file == standardStreamName) return std::string("--kernel - and ") + flag + " - read the same stream";
    try {
        for (const TableOptions<LicParams>* given : {&options.method, &options.sampling, &options.boundary})
            if (std::string bad = given->apply(p, readWeights); !bad.empty()) return bad;
    } catch (const InputError& e) {  // a file of weights
        return "--kernel: " + std::string(e.what());
    }
    if (std::string bad = applyCoordinates(options, settings); !bad.empty()) return bad;
    if (settings.maskNan && !isNpyPath(settings.vectorFile))
        return "--mask-nan: needs --vectors FILE.npy (text vector files may not hold NaN)";
    try {
        p.validateFor(settings.rows, settings.cols);
    } catch (const ParamError& e) {
        // The reach: the streamline's steps each way, times the step.
        return (e.option().empty() ? "--filter-half-length, --slide-steps and --step" : "--" + e.option()) + ": " +
               options::spellNames(e.problem(), [](const std::string& n) { return "--" + n; });
    }
    return "";
}

}  // namespace fastlic::cli

#include "drivers/console/method_options.h"

#include "io/npy_reader.h"

namespace fastlic::cli {

namespace {

// The console's name for a field of the method's shape.
std::string optionOf(ParamError::Field field) {
    switch (field) {
    case ParamError::Field::filterHalfLength: return "--filter-half-length";
    case ParamError::Field::slideSteps: return "--slide-steps";
    case ParamError::Field::hitLimit: return "--hit-limit";
    case ParamError::Field::step: return "--step";
    case ParamError::Field::iterations: return "--iterations";
    case ParamError::Field::reach: break;
    }
    return "--filter-half-length, --slide-steps and --step";
}

bool boundaryOf(const std::string& word, Boundary& b) {
    if (word == "periodic") b = Boundary::periodic;
    else if (word == "closed") b = Boundary::closed;
    else return false;
    return true;
}

// "periodic", "closed", or "rows=B,cols=B" (either or both, any order).
bool parseBoundary(const std::string& text, LicParams& p) {
    Boundary both;
    if (boundaryOf(text, both)) {
        p.rowBoundary = p.colBoundary = both;
        return true;
    }
    bool rows = false, cols = false;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) return false;
        const std::string axis = item.substr(0, eq);
        Boundary b;
        if (!boundaryOf(item.substr(eq + 1), b)) return false;
        if (axis == "rows" && !rows) {
            p.rowBoundary = b;
            rows = true;
        } else if (axis == "cols" && !cols) {
            p.colBoundary = b;
            cols = true;
        } else {
            return false;
        }
        at = end + 1;
    }
    return true;
}

}  // namespace

void addMethodOptions(CLI::App& app, RunSettings& settings, MethodOptions& options) {
    LicParams& p = settings.params;
    app.add_option("--filter-half-length", p.filterHalfLength,
                   "Box filter half length L: the filter covers 2L + 1 streamline points")
        ->capture_default_str();
    app.add_option("--slide-steps", p.slideSteps, "Positions M the filter slides each way from the seed")
        ->capture_default_str();
    app.add_option("--hit-limit", p.hitLimit, "Seed a pixel while its hit count is below this")
        ->capture_default_str();
    app.add_option("--step", p.step, "Runge-Kutta step in cells")->capture_default_str();
    app.add_option("--boundary", options.boundary,
                   "periodic (streamlines wrap around) or closed (they stop at the edge), for both "
                   "axes or as rows=B,cols=B")
        ->capture_default_str();
    app.add_option("--mask", settings.maskFile,
                   "Cells without data: FILE.npy of shape (rows, cols), or text of rows x cols whole "
                   "numbers; nonzero means no data");
    app.add_flag("--mask-nan", settings.maskNan,
                 "With .npy vectors: a cell with a NaN component has no data (as if masked)");
    app.add_flag("--orientation", p.orientation,
                 "The vectors are directions without sign (v and -v mean the same)");
    app.add_option("--interpolation", options.interpolation,
                   "nearest (the cell's vector) or linear (blend of the four nearest cell centres)")
        ->capture_default_str();
    app.add_option("--iterations", p.iterations, "Passes: each further one convolves the one before")
        ->capture_default_str();
}

std::string applyMethodOptions(const MethodOptions& options, RunSettings& settings) {
    LicParams& p = settings.params;
    if (!parseBoundary(options.boundary, p))
        return "--boundary: expected periodic, closed or rows=periodic|closed,cols=periodic|closed, found \"" +
               options.boundary + "\"";
    if (options.interpolation == "nearest")
        p.interpolation = Interpolation::nearest;
    else if (options.interpolation == "linear")
        p.interpolation = Interpolation::linear;
    else
        return "--interpolation: expected nearest or linear, found \"" + options.interpolation + "\"";
    if (settings.maskNan && !isNpyPath(settings.vectorFile))
        return "--mask-nan: needs --vectors FILE.npy (text vector files may not hold NaN)";
    try {
        p.validateFor(settings.rows, settings.cols);
    } catch (const ParamError& e) {
        return optionOf(e.field()) + ": " + e.problem();
    }
    return "";
}

}  // namespace fastlic::cli

#include "drivers/console/method_options.h"

#include "engine/options.h"
#include "io/npy_reader.h"

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
}

std::string applyMethodOptions(const MethodOptions& options, RunSettings& settings) {
    LicParams& p = settings.params;
    for (const TableOptions<LicParams>* given : {&options.method, &options.sampling, &options.boundary})
        if (std::string bad = given->apply(p); !bad.empty()) return bad;
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

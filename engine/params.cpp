#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>

#include "engine/fast_lic.h"
#include "engine/field_lookups.h"
#include "engine/lic.h"
#include "engine/options.h"

namespace fastlic {

namespace {

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// "filter-half-length" as LicParams names it: filterHalfLength.
std::string fieldName(const std::string& option) {
    if (option.empty()) return "reach";
    std::string field;
    for (std::size_t k = 0; k < option.size(); ++k)
        field += option[k] == '-' && k + 1 < option.size() ? static_cast<char>(std::toupper(option[++k])) : option[k];
    return field;
}

void checkWeights(const std::vector<double>& weights, std::int32_t L) {
    const std::size_t n = weights.size();
    if (n % 2 == 0 || n < 3)
        throw ParamError("kernel", "must have an odd number of weights, at least 3 (2L + 1 for a filter half "
                                   "length L), got " + std::to_string(n));
    for (std::size_t k = 0; k < n; ++k)
        if (!(std::isfinite(weights[k]) && weights[k] >= 0.0))
            throw ParamError("kernel", "weights must be finite and at least 0, got " +
                                           options::formatReal(weights[k]) + " at index " + std::to_string(k));
    if (std::all_of(weights.begin(), weights.end(), [](double w) { return w == 0.0; }))
        throw ParamError("kernel", "weights must have a sum above 0, got all 0");
    if (static_cast<std::int64_t>(n / 2) != L)
        throw ParamError("kernel", std::to_string(n) + " weights make the filter half length " +
                                       std::to_string(n / 2) + ", not the " + std::to_string(L) +
                                       " that {filter-half-length} or {length} sets");
}

}  // namespace

std::vector<double> kernelWeights(const LicParams& p) {
    const std::int32_t L = p.filterHalfLength;
    if (p.kernel == Kernel::custom) {
        std::vector<double> w = p.weights;
        int exponent = 0;
        std::frexp(*std::max_element(w.begin(), w.end()), &exponent);
        if (exponent > 0)
            for (double& x : w) x = std::ldexp(x, -exponent);
        return w;
    }
    constexpr double pi = 3.14159265358979323846;
    std::vector<double> w(2 * static_cast<std::size_t>(L) + 1);
    for (std::int32_t j = -L; j <= L; ++j) {
        double& x = w[static_cast<std::size_t>(j + L)];
        switch (p.kernel) {
        case Kernel::box: x = 1.0; break;
        case Kernel::triangle: x = L + 1 - std::abs(j); break;
        case Kernel::hann: x = 0.5 * (1.0 + std::cos(pi * j / (L + 1.0))); break;
        case Kernel::gaussian: {
            const double z = j / (L / 2.0);
            x = std::exp(-0.5 * z * z);
            break;
        }
        case Kernel::sine: x = std::sin(pi * (j + L + 1.0) / (2.0 * L + 2.0)); break;
        case Kernel::custom: break;
        }
    }
    return w;
}

ParamError::ParamError(std::string option, std::string problem)
    : std::invalid_argument(fieldName(option) + ": " + options::spellNames(problem, fieldName)),
      option_(std::move(option)),
      problem_(std::move(problem)) {}

void LicParams::validate() const {
    for (const auto& o : methodOptions().rows) {
        const options::Value v = o.get(*this);
        // None: a row that only sets others (length).
        if (!std::holds_alternative<std::monostate>(v) && !o.accepts(v)) throw ParamError(o.name, options::mustBe(o, v));
    }
    if (kernel == Kernel::custom) checkWeights(weights, filterHalfLength);
    if (static_cast<std::int64_t>(filterHalfLength) + slideSteps > maxReach)
        throw ParamError("", "the streamline takes " +
                                 std::to_string(static_cast<std::int64_t>(filterHalfLength) + slideSteps) +
                                 " steps each way, more than " + std::to_string(maxReach));
}

double animationWavelength(const LicParams& params, double wavelength) {
    if (wavelength == 0.0) return params.filterHalfLength;
    if (!(std::isfinite(wavelength) && wavelength > 0.0))
        throw ParamError("wavelength", "must be a finite number above 0, got " + options::formatReal(wavelength));
    return wavelength;
}

CountOverflow::CountOverflow()
    : ParamError("slide-steps",
                 "a pixel's hit count would pass 2147483647 (each streamline may add up to 2 x slide steps "
                 "+ 1 hits to one pixel); use fewer slide steps or a smaller grid") {}

void LicParams::validateFor(std::int32_t rows, std::int32_t cols) const {
    validate();
    const auto cells = static_cast<std::int64_t>(rows) * cols;
    const double points = work(cells);
    // Shapes of up to workPerCell points a cell run on any grid memory
    // allows: their time grows only with the grid.
    if (points > maxWork && points > workPerCell * static_cast<double>(cells))
        throw ParamError("max-work", "the run would trace up to " + number(points) +
                                         " streamline points (cells x (2 x (filter half length + slide steps) + "
                                         "1) x iterations), more than the limit of " +
                                         number(maxWork) + "; give a larger {max-work} to run it");
    const double reachCells = static_cast<double>(reach()) * step;
    const double limit = maxReachPerSide * static_cast<double>(std::max(rows, cols));
    if (reachCells > limit)
        throw ParamError("",
                         "the streamline reaches " + number(reachCells) + " cells each way, more than " +
                             number(maxReachPerSide) + " times the grid's longer side (" + number(limit) +
                             " cells)");
}

namespace detail {

namespace {

std::string cellName(std::int32_t i, std::int32_t j) {
    return "row " + std::to_string(i) + ", column " + std::to_string(j);
}

}  // namespace

void checkFieldShape(const FieldView& f) {
    if (f.rows < 1 || f.cols < 1)
        throw FieldError("the field must have at least one row and one column, got " +
                         std::to_string(f.rows) + " x " + std::to_string(f.cols));
    if (static_cast<std::int64_t>(f.rows) * f.cols > INT32_MAX)
        throw FieldError("the field must have fewer than 2^31 cells, got " + std::to_string(f.rows) +
                         " x " + std::to_string(f.cols));
    const bool texture = std::visit([](const auto& t) { return t.data != nullptr; }, f.texture);
    if (!f.x.data || !f.y.data || !texture) throw FieldError("the field has no data");
}

void checkField(const FieldView& f) {
    checkFieldShape(f);
    const auto masked = [&](std::int32_t i, std::int32_t j) { return f.mask.data && f.mask(i, j); };
    for (std::int32_t i = 0; i < f.rows; ++i)
        for (std::int32_t j = 0; j < f.cols; ++j) {
            if (masked(i, j)) continue;
            const double x = f.x(i, j), y = f.y(i, j);
            if (!std::isfinite(x) || !std::isfinite(y))
                throw FieldError("vector at " + cellName(i, j) + " is not finite (" + number(x) + ", " +
                                 number(y) + ")");
        }
    if (const auto* t = std::get_if<Plane<double>>(&f.texture))
        for (std::int32_t i = 0; i < f.rows; ++i)
            for (std::int32_t j = 0; j < f.cols; ++j) {
                if (masked(i, j)) continue;
                const double v = (*t)(i, j);
                if (!std::isfinite(v))
                    throw FieldError("texture at " + cellName(i, j) + " is not finite (" + number(v) + ")");
                if (!(std::fabs(v) <= maxTextureMagnitude))
                    throw FieldError("texture at " + cellName(i, j) + " is " + number(v) +
                                     ", more than 2^990 (about 1.05e298) in magnitude");
            }
}

}  // namespace detail

}  // namespace fastlic

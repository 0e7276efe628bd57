#include "engine/options.h"

#include <algorithm>
#include <cmath>

namespace fastlic {

namespace {

using options::Rows;
using options::Value;
using R = Rows<LicParams>;

// "periodic", "closed", or "rows=B,cols=B" (either or both, any order).
bool parseBoundary(const std::string& text, LicParams& p) {
    if (const auto both = options::parse<Boundary>(text)) {
        p.rowBoundary = p.colBoundary = *both;
        return true;
    }
    bool rows = false, cols = false;
    LicParams q = p;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) return false;
        const std::string axis = item.substr(0, eq);
        const auto b = options::parse<Boundary>(item.substr(eq + 1));
        if (!b) return false;
        if (axis == "rows" && !rows) {
            q.rowBoundary = *b;
            rows = true;
        } else if (axis == "cols" && !cols) {
            q.colBoundary = *b;
            cols = true;
        } else {
            return false;
        }
        at = end + 1;
    }
    p = q;
    return true;
}

// A kernel's word, or weights (which make the filter half length).
options::Option<LicParams> kernelRow() {
    auto o = R::make("kernel", options::Kind::text,
                     "Filter weights along the streamline (FILE: .npy or text numbers, 2L + 1 weights for "
                     "positions -L..L, positive ones ahead along the field; they set L)", "");
    for (const auto& c : choicesOf(Kernel{})) o.choices.push_back({c.name, c.help});
    o.takesArray = true;
    o.phrase = options::listed(o.choices, "", ", ") + " or a file of weights";
    o.pythonPhrase = options::listed(o.choices, "\"", ", ") + " or a 1-D array of weights";
    o.set = [](const Value& v, LicParams& p) {
        if (const auto* weights = std::get_if<std::vector<double>>(&v)) {
            p.kernel = Kernel::custom;
            p.weights = *weights;
            if (weights->size() % 2 == 1) p.filterHalfLength = static_cast<std::int32_t>(weights->size() / 2);
            return true;
        }
        const auto* word = std::get_if<std::string>(&v);
        const auto k = word ? options::parse<Kernel>(*word) : std::nullopt;
        if (k) {
            p.kernel = *k;
            p.weights.clear();
        }
        return k.has_value();
    };
    o.get = [](const LicParams& p) -> Value {
        if (p.kernel == Kernel::custom) return p.weights;
        return std::string(options::nameOf(p.kernel));
    };
    return o;
}

// The streak length in cells: L = round(length / (2 x step)), M = L - 1,
// by the step already set (its row comes first).
options::Option<LicParams> lengthRow() {
    auto o = R::make("length", options::Kind::real,
                     "Streak length in cells, instead of L and M: L = round(length / (2 x step)), M = L - 1",
                     "a number of cells at least the step");
    o.bounds = options::above(0);
    o.notWith = {"filter-half-length", "slide-steps"};
    o.set = [](const Value& v, LicParams& p) {
        const double half = std::round(std::get<double>(v) / (2.0 * p.step));
        if (!(half >= 1.0)) return false;
        // Beyond any reach: the streamline's own check says so.
        p.filterHalfLength = static_cast<std::int32_t>(std::min(half, 1e9));
        p.slideSteps = p.filterHalfLength - 1;
        return true;
    };
    o.get = [](const LicParams&) -> Value { return std::monostate{}; };
    return o;
}

}  // namespace

const options::Table<LicParams>& methodOptions() {
    static const options::Table<LicParams> table{
        options::Form::mustBe,
        {
            kernelRow(),
            R::integer("filter-half-length", [](auto& p) -> auto& { return p.filterHalfLength; },
                       options::atLeast(1), "at least 1",
                       "Filter half length L: the filter covers 2L + 1 streamline points"),
            R::integer("slide-steps", [](auto& p) -> auto& { return p.slideSteps; }, options::atLeast(0),
                       "at least 0", "Positions M the filter slides each way from the seed"),
            R::integer("hit-limit", [](auto& p) -> auto& { return p.hitLimit; }, options::atLeast(1),
                       "at least 1", "Seed a pixel while its hit count is below this"),
            R::real("step", [](auto& p) -> auto& { return p.step; }, options::above(0),
                    "a finite number above 0", "Runge-Kutta step in cells"),
            lengthRow(),
            R::integer("iterations", [](auto& p) -> auto& { return p.iterations; }, options::atLeast(1),
                       "at least 1", "Passes: each further one convolves the one before"),
            R::real("max-work", [](auto& p) -> auto& { return p.maxWork; }, options::above(0),
                    "a finite number above 0",
                    "Refuse a run that would trace more streamline points than this (cells x (2(L + M) + 1) x "
                    "iterations) and over 1000 a cell"),
        },
        {},
    };
    return table;
}

const options::Table<LicParams>& samplingOptions() {
    static const options::Table<LicParams> table{
        options::Form::expected,
        {
            R::flag("orientation", [](auto& p) -> auto& { return p.orientation; },
                    "The vectors are directions without sign (v and -v mean the same)"),
            R::choice("interpolation", [](auto& p) -> auto& { return p.interpolation; },
                      "How the field is sampled between cell centres"),
        },
        {},
    };
    return table;
}

const options::Table<LicParams>& boundaryOptions() {
    static const options::Table<LicParams> table = [] {
        auto o = R::make("boundary", options::Kind::text,
                         "What lies beyond the edges, for both axes or as rows=B,cols=B", "");
        for (const auto& c : choicesOf(Boundary{})) o.choices.push_back({c.name, c.help});
        std::string each, any;  // "periodic, closed", "periodic|closed"
        for (const auto& w : o.choices) {
            each += (each.empty() ? "" : ", ") + w.name;
            any += (any.empty() ? "" : "|") + w.name;
        }
        o.phrase = each + " or rows=" + any + ",cols=" + any;
        o.pythonPhrase = options::listed(o.choices, "\"") + ", or a dict {\"rows\": ..., \"cols\": ...} of them";
        o.set = [](const Value& v, LicParams& p) {
            const auto* text = std::get_if<std::string>(&v);
            return text && parseBoundary(*text, p);
        };
        o.get = [](const LicParams& p) -> Value {
            if (p.rowBoundary == p.colBoundary) return std::string(options::nameOf(p.rowBoundary));
            return std::string("rows=") + options::nameOf(p.rowBoundary) + ",cols=" + options::nameOf(p.colBoundary);
        };
        return options::Table<LicParams>{options::Form::expected, {o}, {}};
    }();
    return table;
}

const options::Table<AnimationOptions>& animationOptions() {
    using A = options::Rows<AnimationOptions>;
    static const options::Table<AnimationOptions> table = [] {
        auto frames = A::integer("frames", [](auto& a) -> auto& { return a.frames; }, options::atLeast(1),
                                 "at least 1",
                                 "Animate: N frames of streaks moving along the field, a seamless loop (a series of "
                                 "fields: one frame each)");
        frames.get = [](const AnimationOptions& a) -> options::Value {
            if (a.frames == 0) return std::monostate{};
            return std::int64_t{a.frames};
        };
        auto wavelength = A::real("wavelength", [](auto& a) -> auto& { return a.wavelength; }, options::above(0),
                                  "a finite number above 0",
                                  "The moving wave's length in streamline steps (default: the filter half length)");
        wavelength.get = [](const AnimationOptions& a) -> options::Value {
            if (a.wavelength == 0.0) return std::monostate{};
            return a.wavelength;
        };
        auto steady = A::flag("steady", [](auto& a) -> auto& { return a.steady; },
                              "Take the wave's mean over each window out, so that a constant texture stays "
                              "constant in every frame (by default it pulses by the share of the wave the "
                              "window does not cancel, about 2% for hann at the default wavelength)");
        auto phase = A::make("phase-step", options::Kind::real,
                             "Radians between frames instead of 2 pi / frames; for a series, the streaks' motion "
                             "over the changing field",
                             "a finite number");
        phase.set = [](const Value& v, AnimationOptions& a) {
            a.phased = true;
            a.phaseStep = std::get<double>(v);
            return true;
        };
        phase.get = [](const AnimationOptions& a) -> options::Value {
            if (!a.phased) return std::monostate{};
            return a.phaseStep;
        };
        auto fps = A::real("fps", [](auto& a) -> auto& { return a.fps; }, options::Bounds{0.0, 1000.0, true, false},
                           "a number above 0 and at most 1000", "Frames a second of an animation");
        return options::Table<AnimationOptions>{options::Form::mustBe, {frames, wavelength, steady, phase, fps}, {}};
    }();
    return table;
}

}  // namespace fastlic

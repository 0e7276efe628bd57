#include "render/options.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "render/colormaps.h"

namespace fastlic {

namespace {

using options::Value;
using R = options::Rows<RenderOptions>;

// The console reads a scalar from a .npy file, named in any case.
bool npyName(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".npy";
}

options::Option<RenderOptions> tiles() {
    auto o = R::make("tiles", options::Kind::numbers, "For adaptive: tiles ROWSxCOLS, or N each way",
                     "ROWSxCOLS or N, whole numbers from 1 to 1024");
    o.pythonPhrase = "N or a pair (rows, cols) of whole numbers from 1 to 1024";
    o.bounds = options::between(1, 1024);
    o.fewest = 1, o.most = 2, o.whole = true, o.separators = "xX";
    o.set = [](const Value& v, RenderOptions& r) {
        const auto* n = std::get_if<std::vector<double>>(&v);
        if (!n) return false;
        r.contrast.tileRows = static_cast<std::int32_t>(n->front());
        r.contrast.tileCols = static_cast<std::int32_t>(n->back());
        return true;
    };
    o.get = [](const RenderOptions& r) -> Value {
        const ContrastOptions& c = r.contrast;
        return std::vector<double>{static_cast<double>(c.tileRows), static_cast<double>(c.tileCols)};
    };
    return o;
}

options::Option<RenderOptions> colormap() {
    auto o = R::make("colormap", options::Kind::text, "Colour map (NAME_r: NAME reversed)", "");
    std::string names;
    for (const std::string& name : colormapNames()) {
        o.choices.push_back({name, ""});
        names += name + ", ";
    }
    o.phrase = "one of " + names + "or NAME_r reversed";
    o.set = [](const Value& v, RenderOptions& r) {
        const auto* name = std::get_if<std::string>(&v);
        if (!name) return false;
        try {
            colormapNamed(*name);
        } catch (const std::invalid_argument&) {
            return false;
        }
        r.colormap = *name;
        return true;
    };
    o.get = [](const RenderOptions& r) -> Value { return r.colormap; };
    // The console's message lists the maps as colormapNamed does.
    o.consoleMessage = [](std::string_view text) {
        try {
            colormapNamed(std::string(text));
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    return o;
}

options::Option<RenderOptions> colormapRange() {
    auto o = R::make("colormap-range", options::Kind::numbers, "LO:HI, the values at the ends of the colour map",
                     "LO:HI, two numbers with LO below HI");
    o.pythonPhrase = "None or a pair (lo, hi) of finite numbers, lo below hi";
    o.fewest = o.most = 2, o.separators = ":";
    o.set = [](const Value& v, RenderOptions& r) {
        const auto* n = std::get_if<std::vector<double>>(&v);
        if (!n) {
            r.range.reset();
            return true;
        }
        if (!((*n)[0] < (*n)[1])) return false;
        r.range = Range{(*n)[0], (*n)[1]};
        return true;
    };
    o.get = [](const RenderOptions& r) -> Value {
        if (!r.range) return std::monostate{};
        return std::vector<double>{r.range->lo, r.range->hi};
    };
    return o;
}

options::Option<RenderOptions> colorbarLabel() {
    auto o = R::make("colorbar-label", options::Kind::text,
                     "With --colorbar: a caption under its values, such as the quantity and its units", "");
    o.phrase = "a line of printable ASCII text";
    o.set = [](const Value& v, RenderOptions& r) {
        if (std::holds_alternative<std::monostate>(v)) return r.colorbarLabel.clear(), true;
        const auto* text = std::get_if<std::string>(&v);
        if (!text || !std::all_of(text->begin(), text->end(), [](char c) { return c >= ' ' && c <= '~'; }))
            return false;
        r.colorbarLabel = *text;
        return true;
    };
    o.get = [](const RenderOptions& r) -> Value { return r.colorbarLabel; };
    return o;
}

options::Option<RenderOptions> colorBy() {
    auto o = R::make("color-by", options::Kind::text,
                     "What the colour shows (FILE.npy: a scalar of shape (rows, cols))", "");
    for (const auto& c : choicesOf(ColorBy{})) o.choices.push_back({c.name, c.help});
    o.phrase = options::listed(o.choices, "", ", ") + " or a .npy file";
    o.pythonPhrase = options::listed(o.choices, "\"", ", ") + ", None or an array (rows, cols)";
    o.set = [](const Value& v, RenderOptions& r) {
        if (std::holds_alternative<std::monostate>(v)) {
            r.colorBy = ColorBy::none;
            return true;
        }
        const auto* word = std::get_if<std::string>(&v);
        if (!word) return false;
        if (const auto c = options::parse<ColorBy>(*word)) r.colorBy = *c;
        else if (npyName(*word)) r.colorBy = ColorBy::scalar;
        else return false;
        return true;
    };
    o.get = [](const RenderOptions& r) -> Value { return std::string(options::nameOf(r.colorBy)); };
    return o;
}

options::Option<RenderOptions> maskColor() {
    auto o = R::make("mask-color", options::Kind::numbers, "Colour of masked pixels, R,G,B",
                     "R,G,B, three whole numbers from 0 to 255");
    o.pythonPhrase = "(r, g, b), three whole numbers from 0 to 255";
    o.bounds = options::between(0, 255);
    o.fewest = o.most = 3, o.whole = true, o.separators = ",";
    o.set = [](const Value& v, RenderOptions& r) {
        const auto* n = std::get_if<std::vector<double>>(&v);
        if (!n) return false;
        r.shade.maskColor = {static_cast<std::uint8_t>((*n)[0]), static_cast<std::uint8_t>((*n)[1]),
                             static_cast<std::uint8_t>((*n)[2])};
        return true;
    };
    o.get = [](const RenderOptions& r) -> Value {
        const Rgb c = r.shade.maskColor;
        return std::vector<double>{static_cast<double>(c.r), static_cast<double>(c.g), static_cast<double>(c.b)};
    };
    return o;
}

}  // namespace

const options::Table<RenderOptions>& imageOptions() {
    static const options::Table<RenderOptions> table{
        options::Form::expected,
        {
            R::choice("contrast", [](auto& r) -> auto& { return r.contrast.mode; },
                      "How LIC values become brightness"),
            R::real("clip", [](auto& r) -> auto& { return r.contrast.clip; }, options::between(0, 50, true),
                    "a percentage from 0 up to (not including) 50",
                    "For stretch and enhanced: percent of pixels saturated at each end"),
            tiles(),
            R::real("clip-limit", [](auto& r) -> auto& { return r.contrast.clipLimit; }, options::atLeast(1),
                    "a number of at least 1",
                    "For adaptive: largest slope of a tile's mapping, times that of a flat histogram"),
            R::real("enhance-sigma", [](auto& r) -> auto& { return r.contrast.sigma; }, {minimumSigma, 1000, false, false},
                    "a number of pixels from 0.2 to 1000",
                    "For enhanced: the blur removed before the second pass, in pixels"),
            colormap(),
            colormapRange(),
            R::flag("log", [](auto& r) -> auto& { return r.log; }, "A logarithmic colour scale"),
            colorBy(),
            R::choice("blend", [](auto& r) -> auto& { return r.shade.blend; }, "Shading"),
            R::real("alpha", [](auto& r) -> auto& { return r.shade.alpha; }, options::between(0, 1),
                    "a number from 0 to 1", "For overlay: the colour's weight"),
            R::choice("background", [](auto& r) -> auto& { return r.shade.background; }, "The background",
                      Background::opaque),
            maskColor(),
            R::flag("colorbar", [](auto& r) -> auto& { return r.colorbar; },
                    "A labelled colour bar below the image"),
            colorbarLabel(),
        },
        {
            {"log", "the colour range must lie above zero", "colormap-range",
             [](const RenderOptions& r) { return r.log && r.range && !(r.range->lo > 0.0); }},
            {"colorbar", "there is no colour scale with {color-by} none", "",
             [](const RenderOptions& r) { return r.colorbar && r.colorBy == ColorBy::none; }},
            {"colorbar-label", "a caption needs {colorbar}", "",
             [](const RenderOptions& r) { return !r.colorbarLabel.empty() && !r.colorbar; }},
        },
    };
    return table;
}

}  // namespace fastlic

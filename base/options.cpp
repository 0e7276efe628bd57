#include "base/options.h"

#include <charconv>
#include <cstdlib>

namespace fastlic::options {

namespace {

// The sign from_chars does not take: "+" before a digit or a point.
std::string_view withoutPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '+' && text[1] != '-') text.remove_prefix(1);
    return text;
}

}  // namespace

Syntax parseInteger(std::string_view text, std::int64_t& value) {
    const std::string_view t = withoutPlus(text);
    const char* last = t.data() + t.size();
    const auto [ptr, ec] = std::from_chars(t.data(), last, value);
    if (ptr != last || ec == std::errc::invalid_argument) return Syntax::malformed;
    return ec == std::errc::result_out_of_range ? Syntax::outOfRange : Syntax::ok;
}

Syntax parseReal(std::string_view text, double& value) {
    const std::string_view t = withoutPlus(text);
    const char* last = t.data() + t.size();
    const auto [ptr, ec] = std::from_chars(t.data(), last, value, std::chars_format::general);
    if (ptr != last || ec == std::errc::invalid_argument) return Syntax::malformed;
    // Beyond the range of a double: strtod's infinity, zero or subnormal,
    // as the input files keep it.
    if (ec == std::errc::result_out_of_range) value = std::strtod(std::string(t).c_str(), nullptr);
    return Syntax::ok;
}

std::string formatReal(double v) {
    if (std::isnan(v)) return "nan";  // the sign of a NaN means nothing
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, v).ptr};
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::integer: return "integer";
    case Kind::real: return "real";
    case Kind::flag: return "flag";
    case Kind::choice: return "choice";
    case Kind::numbers: return "numbers";
    case Kind::text: return "text";
    }
    return "?";
}

std::string listed(const std::vector<Word>& words, const char* quote, const char* last) {
    std::string out;
    for (std::size_t k = 0; k < words.size(); ++k) {
        if (k > 0) out += k + 1 == words.size() ? last : ", ";
        out += quote + words[k].name + quote;
    }
    return out;
}

std::string show(const Value& v, const std::string& separators) {
    struct Show {
        const std::string& separators;
        std::string operator()(std::monostate) const { return ""; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(std::int64_t n) const { return std::to_string(n); }
        std::string operator()(double x) const { return formatReal(x); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const std::vector<double>& xs) const {
            std::string out;
            for (const double x : xs) out += (out.empty() ? "" : separators.substr(0, 1)) + formatReal(x);
            return out;
        }
    };
    return std::visit(Show{separators}, v);
}

std::string spellNames(std::string problem, const std::function<std::string(const std::string&)>& spell) {
    for (std::size_t open; (open = problem.find('{')) != std::string::npos;) {
        const std::size_t close = problem.find('}', open);
        if (close == std::string::npos) break;
        problem.replace(open, close + 1 - open, spell(problem.substr(open + 1, close - open - 1)));
    }
    return problem;
}

Syntax readText(Kind kind, std::string_view text, bool whole, const std::string& separators, Value& v) {
    switch (kind) {
    case Kind::integer: {
        std::int64_t n = 0;
        const Syntax s = parseInteger(text, n);
        v = n;
        return s;
    }
    case Kind::real: {
        double x = 0.0;
        const Syntax s = parseReal(text, x);
        v = x;
        return s;
    }
    case Kind::flag: v = true; return Syntax::ok;
    case Kind::numbers: {
        std::vector<double> xs;
        std::size_t at = 0;
        while (true) {
            const std::size_t end = std::min(text.find_first_of(separators, at), text.size());
            const std::string_view item = text.substr(at, end - at);
            double x = 0.0;
            std::int64_t n = 0;
            const Syntax s = whole ? parseInteger(item, n) : parseReal(item, x);
            if (s == Syntax::malformed) return s;
            // A whole number beyond 64 bits is beyond every bound as well.
            if (whole) x = s == Syntax::ok ? static_cast<double>(n) : item[0] == '-' ? -HUGE_VAL : HUGE_VAL;
            xs.push_back(x);
            if (end == text.size()) break;
            at = end + 1;
        }
        v = std::move(xs);
        return Syntax::ok;
    }
    case Kind::choice:
    case Kind::text: v = std::string(text); return Syntax::ok;
    }
    return Syntax::malformed;
}

}  // namespace fastlic::options

// Options as data. Each option of the library is a row: its name, kind,
// allowed values, one line of help and the phrase its messages use, with
// the code that stores a value in the struct it belongs to. The rows of a
// family sit beside that struct (engine/options.h, render/options.h); the
// console and Python read, check, describe and name options from them and
// spell none of it again.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace fastlic::options {

// ---- Numbers: one way of writing them for every option
//
// Decimal, as the input files write them: an optional sign and digits; a
// real number may have a point and an exponent ("-1.5e3", ".5", "5."), or
// be inf or nan (which an option's bounds then refuse by its value).
// Leading zeros are decimal ("010" is ten). No hexadecimal, no spaces, not
// empty.

enum class Syntax : std::uint8_t { ok, malformed, outOfRange };

// outOfRange: beyond a 64-bit integer.
Syntax parseInteger(std::string_view text, std::int64_t& value);
// Never outOfRange: beyond the largest double is infinite, below the
// smallest is 0 or subnormal, as strtod gives them.
Syntax parseReal(std::string_view text, double& value);

// The shortest text that reads back as v: "0.5", "1e+200", "inf"; NaN is
// "nan" whatever its sign.
std::string formatReal(double v);

// ---- Choices: an enum and its words
//
// Beside each enum that is a choice,
//     std::span<const Choice<E>> choicesOf(E);
// lists its values with their words; nameOf and parse read those rows, so
// that a new value is one row there and the code that does it.

template <class E>
struct Choice {
    E value;
    const char* name;  // on the console and in Python
    const char* help;  // a few words, for --help and the docstrings
};

template <class E>
const char* nameOf(E value) {
    for (const Choice<E>& c : choicesOf(E{}))
        if (c.value == value) return c.name;
    return "?";
}

template <class E>
std::optional<E> parse(std::string_view word) {
    for (const Choice<E>& c : choicesOf(E{}))
        if (word == c.name) return c.value;
    return std::nullopt;
}

// ---- Options

enum class Kind : std::uint8_t {
    integer,  // a 32-bit whole number
    real,     // a finite number
    flag,     // on or off: given or not on the console, True or False in Python
    choice,   // one word of an enum's choices
    numbers,  // a few numbers: "3x4", "255,0,0" on the console, a tuple in Python
    text,     // a word of the option's own form: a colour map, a boundary per axis
};

const char* kindName(Kind kind);

// A value as a front end hands it over: console text read by the kind's
// syntax, or a Python value. monostate is Python's None.
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, std::vector<double>>;

// The numbers an option allows; always finite.
struct Bounds {
    double lo = -HUGE_VAL;
    double hi = HUGE_VAL;
    bool loOpen = false;
    bool hiOpen = false;

    bool holds(double v) const {
        return std::isfinite(v) && (loOpen ? v > lo : v >= lo) && (hiOpen ? v < hi : v <= hi);
    }
};

inline Bounds atLeast(double lo) { return {lo, HUGE_VAL, false, false}; }
inline Bounds above(double lo) { return {lo, HUGE_VAL, true, false}; }
inline Bounds between(double lo, double hi, bool hiOpen = false) { return {lo, hi, false, hiOpen}; }

struct Word {
    std::string name;
    std::string help;
};

// Python's keyword for the option name: filter-half-length, filter_half_length.
inline std::string keywordOf(std::string name) {
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

template <class T>
struct Option {
    std::string name;  // --name on the console; with _ for - it is Python's keyword
    Kind kind = Kind::text;
    std::string help;  // one line
    // What a good value is, for messages: "at least 1"; pythonPhrase in
    // Python's terms where they differ ("a pair (lo, hi)" for "LO:HI"),
    // empty where they do not.
    std::string phrase;
    std::string pythonPhrase;
    Bounds bounds;              // integer, real, and each of numbers
    std::vector<Word> choices;  // choice and text: the words, for help
    // numbers: how many, whether whole, and the console's separators (the
    // first one writes them).
    int fewest = 1, most = 1;
    bool whole = false;
    std::string separators;
    // Stores a value of the kind, already within bounds; false for one the
    // option refuses all the same (an unknown word, LO not below HI).
    std::function<bool(const Value&, T&)> set;
    // The value target holds, as set takes it.
    std::function<Value(const T&)> get;
    // Where the console's message is not the table's form: text to it.
    std::function<std::string(std::string_view text)> consoleMessage;
    // text: also an array of numbers (a vector of them), which Python
    // passes as such and the console reads from the file its text names.
    bool takesArray = false;
    // Options that may not be given together with this one, which sets
    // what they would.
    std::vector<std::string> notWith;

    std::string keyword() const { return keywordOf(name); }

    // The kind and bounds hold for v.
    bool accepts(const Value& v) const;
    // v stored in target, or false.
    bool assign(const Value& v, T& target) const { return accepts(v) && set(v, target); }
};

// How the console says that an option's value is bad.
enum class Form : std::uint8_t {
    mustBe,    // "--NAME: must be PHRASE, got VALUE", as the engine's own checks say it
    expected,  // "--NAME: expected PHRASE, found \"TEXT\""
};

// A rule between options, checked once all of them are set.
template <class T>
struct Rule {
    std::string option;  // the option the message names first
    // What is wrong; "{NAME}" stands for another option as the front end
    // spells it.
    std::string problem;
    std::string shown;  // the option whose value ends the message, or ""
    std::function<bool(const T&)> broken;
};

template <class T>
struct Table {
    Form form = Form::expected;
    std::vector<Option<T>> rows;
    std::vector<Rule<T>> rules;
};

// ---- Messages

// Words for a list: "a, b or c", each quoted with quote, the last joined
// by last.
std::string listed(const std::vector<Word>& words, const char* quote = "", const char* last = " or ");

// The value as messages show it: numbers as written, words as they are,
// numbers separated by the first separator.
std::string show(const Value& v, const std::string& separators = ",");

// The engine's form: "must be PHRASE, got VALUE".
template <class T>
std::string mustBe(const Option<T>& o, const Value& v) {
    return "must be " + o.phrase + ", got " + show(v, o.separators);
}

// problem with each "{NAME}" written by spell(NAME).
std::string spellNames(std::string problem, const std::function<std::string(const std::string&)>& spell);

// The first option given together with one that it may not be: "" or
// "NAME: cannot be given with OTHER", the names as spell writes them.
template <class T>
std::string checkNotWith(const Table<T>& table, const std::function<bool(const std::string&)>& given,
                         const std::function<std::string(const std::string&)>& spell) {
    for (const Option<T>& o : table.rows) {
        if (!given(o.name)) continue;
        for (const std::string& other : o.notWith)
            if (given(other)) return spell(o.name) + ": cannot be given with " + spell(other);
    }
    return "";
}

// ---- The console's text

// text read by the kind's syntax into v: numbers by the one syntax above
// (those of numbers split at any of separators), words as they are.
Syntax readText(Kind kind, std::string_view text, bool whole, const std::string& separators, Value& v);

// text stored in target through o: "" or the whole message, "--NAME: ...".
template <class T>
std::string applyText(const Table<T>& table, const Option<T>& o, std::string_view text, T& target) {
    Value v;
    const Syntax syntax = readText(o.kind, text, o.whole, o.separators, v);
    if (syntax == Syntax::ok && o.assign(v, target)) return "";
    const std::string head = "--" + o.name + ": ", quoted = "\"" + std::string(text) + "\"";
    if (o.consoleMessage) return head + o.consoleMessage(text);
    if (table.form == Form::mustBe && (o.kind == Kind::integer || o.kind == Kind::real)) {
        // The input files' words for what is not a number.
        if (syntax == Syntax::malformed)
            return head + (o.kind == Kind::integer ? "expected an integer" : "expected a number") + ", found " +
                   quoted;
        const auto* n = std::get_if<std::int64_t>(&v);
        if (syntax == Syntax::outOfRange || (n && (*n < INT32_MIN || *n > INT32_MAX)))
            return head + "integer out of range: " + quoted;
        return head + mustBe(o, v);
    }
    return head + "expected " + o.phrase + ", found " + quoted;
}

// The first rule target breaks, in the console's words: "" or the message.
// textOf(NAME) is the text given for an option.
template <class T>
std::string checkRules(const Table<T>& table, const T& target,
                       const std::function<std::string(const std::string&)>& textOf) {
    for (const Rule<T>& r : table.rules) {
        if (!r.broken(target)) continue;
        std::string message = "--" + r.option + ": " +
                              spellNames(r.problem, [](const std::string& n) { return "--" + n; });
        if (!r.shown.empty()) message += ", found \"" + textOf(r.shown) + "\"";
        return message;
    }
    return "";
}

// ---- Rows, made for a struct T
//
// at is a function from T& (or const T&) to the member: a lambda
// [](auto& t) -> auto& { return t.member; }.

template <class T>
struct Rows {
    static Option<T> make(std::string name, Kind kind, std::string help, std::string phrase) {
        Option<T> o;
        o.name = std::move(name);
        o.kind = kind;
        o.help = std::move(help);
        o.phrase = std::move(phrase);
        return o;
    }

    template <class At>
    static Option<T> integer(std::string name, At at, Bounds bounds, std::string phrase, std::string help) {
        Option<T> o = make(std::move(name), Kind::integer, std::move(help), std::move(phrase));
        o.bounds = bounds;
        o.set = [at](const Value& v, T& t) {
            at(t) = static_cast<std::int32_t>(std::get<std::int64_t>(v));
            return true;
        };
        o.get = [at](const T& t) -> Value { return std::int64_t{at(t)}; };
        return o;
    }

    template <class At>
    static Option<T> real(std::string name, At at, Bounds bounds, std::string phrase, std::string help) {
        Option<T> o = make(std::move(name), Kind::real, std::move(help), std::move(phrase));
        o.bounds = bounds;
        o.set = [at](const Value& v, T& t) {
            at(t) = std::get<double>(v);
            return true;
        };
        o.get = [at](const T& t) -> Value { return double{at(t)}; };
        return o;
    }

    template <class At>
    static Option<T> flag(std::string name, At at, std::string help) {
        Option<T> o = make(std::move(name), Kind::flag, std::move(help), "True or False");
        o.set = [at](const Value& v, T& t) {
            at(t) = std::get<bool>(v);
            return true;
        };
        o.get = [at](const T& t) -> Value { return bool{at(t)}; };
        return o;
    }

    // The words of the member's enum; none, where given, is what Python's
    // None stands for.
    template <class At, class E = std::remove_cvref_t<std::invoke_result_t<At, T&>>>
    static Option<T> choice(std::string name, At at, std::string help,
                            std::type_identity_t<std::optional<E>> none = {}) {
        Option<T> o = make(std::move(name), Kind::choice, std::move(help), "");
        for (const Choice<E>& c : choicesOf(E{})) o.choices.push_back({c.name, c.help});
        o.phrase = listed(o.choices);
        o.pythonPhrase = (none ? "None, " : "") + listed(o.choices, "\"");
        o.set = [at, none](const Value& v, T& t) {
            const auto* word = std::get_if<std::string>(&v);
            const bool isNone = std::holds_alternative<std::monostate>(v);
            const std::optional<E> e = word ? parse<E>(*word) : isNone ? none : std::nullopt;
            if (e) at(t) = *e;
            return e.has_value();
        };
        o.get = [at](const T& t) -> Value { return std::string(nameOf(at(t))); };
        return o;
    }
};

template <class T>
bool Option<T>::accepts(const Value& v) const {
    switch (kind) {
    case Kind::integer: {
        const auto* n = std::get_if<std::int64_t>(&v);
        return n && *n >= INT32_MIN && *n <= INT32_MAX && bounds.holds(static_cast<double>(*n));
    }
    case Kind::real: {
        const auto* x = std::get_if<double>(&v);
        return x && bounds.holds(*x);
    }
    case Kind::flag: return std::holds_alternative<bool>(v);
    case Kind::numbers: {
        if (std::holds_alternative<std::monostate>(v)) return true;
        const auto* xs = std::get_if<std::vector<double>>(&v);
        if (!xs || static_cast<int>(xs->size()) < fewest || static_cast<int>(xs->size()) > most) return false;
        for (const double x : *xs)
            if (!bounds.holds(x) || (whole && x != std::floor(x))) return false;
        return true;
    }
    case Kind::choice:
    case Kind::text:
        return std::holds_alternative<std::string>(v) || std::holds_alternative<std::monostate>(v) ||
               (takesArray && std::holds_alternative<std::vector<double>>(v));
    }
    return false;
}

}  // namespace fastlic::options

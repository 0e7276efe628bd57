// The console's side of the option tables (base/options.h): each row an
// option of the command line, registered with its help and default and
// read by the row once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <algorithm>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "base/options.h"

namespace fastlic::cli {

template <class T>
class TableOptions {
public:
    // The table's options in app, under group ("" for the first); defaults
    // are the values --help shows.
    void add(CLI::App& app, const options::Table<T>& table, const T& defaults, const std::string& group = "") {
        table_ = &table;
        for (const options::Option<T>& row : table.rows) {
            Given& g = given_.emplace_back();
            g.row = &row;
            const std::string name = "--" + row.name;
            if (row.kind == options::Kind::flag) {
                g.option = app.add_flag(name, g.flag, describe(row));
            } else {
                g.option = app.add_option(name, g.text, describe(row));
                g.option->type_name(row.kind == options::Kind::integer ? "INT"
                                    : row.kind == options::Kind::real  ? "FLOAT"
                                                                       : "TEXT");
                const options::Value v = row.get(defaults);
                if (!std::holds_alternative<std::monostate>(v))
                    g.option->default_str(options::show(v, row.separators));
            }
            if (!group.empty()) g.option->group(group);
        }
    }

    // What was given, stored in target row by row, then the table's rules:
    // "" or the first message. A row that takes an array reads one from
    // the file its text names, where that is none of its words, by
    // readArray (none where no such file exists; throws for one it cannot
    // read).
    using ReadArray = std::function<std::optional<std::vector<double>>(const std::string&)>;
    std::string apply(T& target, const ReadArray& readArray = {}) const {
        const auto given = [this](const std::string& name) {
            for (const Given& g : given_)
                if (g.row->name == name) return g.option->count() > 0;
            return false;
        };
        if (std::string bad = options::checkNotWith<T>(*table_, given, [](const std::string& n) { return "--" + n; });
            !bad.empty())
            return bad;
        for (const Given& g : given_) {
            if (g.option->count() == 0) continue;
            if (g.row->kind == options::Kind::flag) {
                g.row->assign(options::Value(g.flag), target);
                continue;
            }
            const auto& words = g.row->choices;
            if (g.row->takesArray && readArray &&
                std::none_of(words.begin(), words.end(), [&](const options::Word& w) { return w.name == g.text; })) {
                if (std::optional<std::vector<double>> array = readArray(g.text)) {
                    g.row->assign(options::Value(std::move(*array)), target);
                    continue;
                }
            }
            if (std::string bad = options::applyText(*table_, *g.row, g.text, target); !bad.empty()) return bad;
        }
        return options::checkRules(*table_, target, [this](const std::string& name) { return text(name); });
    }

    // The text given for the option name, "" where none was.
    std::string text(const std::string& name) const {
        for (const Given& g : given_)
            if (g.row->name == name) return g.text;
        return "";
    }

private:
    struct Given {
        const options::Option<T>* row = nullptr;
        CLI::Option* option = nullptr;
        std::string text;
        bool flag = false;
    };

    // The row's help, and its words with theirs: "Shading: multiply
    // (colour x brightness / 255) or overlay (...)".
    static std::string describe(const options::Option<T>& row) {
        if (row.choices.empty()) return row.help;
        std::vector<options::Word> words = row.choices;
        for (options::Word& w : words)
            if (!w.help.empty()) w.name += " (" + w.help + ")";
        return row.help + ": " + options::listed(words);
    }

    const options::Table<T>* table_ = nullptr;
    std::deque<Given> given_;  // their addresses are CLI11's
};

}  // namespace fastlic::cli

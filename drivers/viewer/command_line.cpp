#include "drivers/viewer/command_line.h"

#include <cstdio>
#include <filesystem>

#include "engine/options.h"
#include "io/npy_reader.h"
#include "io/npy_writer.h"
#include "io/npz_reader.h"
#include "render/options.h"

namespace fastlic::viewer {

namespace {

template <class T>
void appendChanged(const std::vector<const options::Table<T>*>& tables, const T& now, std::string& line) {
    const T defaults{};
    for (const options::Table<T>* table : tables)
        for (const options::Option<T>& row : table->rows) {
            const options::Value v = row.get(now);
            if (v == row.get(defaults) || std::holds_alternative<std::monostate>(v)) continue;
            if (row.kind == options::Kind::flag) {
                // A flag the console can only switch on.
                if (std::get<bool>(v)) line += " --" + row.name;
                continue;
            }
            line += " --" + row.name + " " + shellQuoted(options::show(v, row.separators));
        }
}

std::string absolute(const std::string& path) { return std::filesystem::absolute(path).lexically_normal().string(); }

void writeFile(const std::string& path, const char* descr, std::vector<std::int64_t> shape, const void* data,
               std::size_t bytes) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f) throw OutputError(path + ": cannot write");
    writeNpy(f.get(), descr, shape, data, bytes);
    if (std::fclose(f.release()) != 0) throw OutputError(path + ": cannot write");
}

}  // namespace

std::vector<const options::Table<LicParams>*> methodTables() {
    return {&methodOptions(), &samplingOptions(), &boundaryOptions()};
}

std::vector<const options::Table<RenderOptions>*> imageTables() { return {&imageOptions()}; }

std::string shellQuoted(const std::string& text) {
    const bool bare = !text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                               "0123456789_./:=,+-@%") == std::string::npos;
    if (bare) return text;
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool sameMethod(const LicParams& a, const LicParams& b) {
    for (const options::Table<LicParams>* table : methodTables())
        for (const options::Option<LicParams>& row : table->rows)
            if (row.get(a) != row.get(b)) return false;
    return true;
}

ConsoleCommand consoleCommand(const LoadedField& loaded, const LicParams& params, const RenderOptions& image,
                              const std::string& output, bool writeInputs, const std::string& program) {
    ConsoleCommand c;
    const FieldPaths& p = loaded.paths;
    const Field& field = loaded.field;
    const RegGrid& grid = field.grid;
    const std::int64_t rows = grid.rows, cols = grid.cols;
    const std::size_t cells = grid.cellCount();
    std::filesystem::path stem = absolute(output);
    stem.replace_extension();
    const auto beside = [&](const char* what, const char* descr, std::vector<std::int64_t> shape, const void* data,
                            std::size_t bytes) {
        const std::string path = stem.string() + "." + what + ".npy";
        if (writeInputs) {
            writeFile(path, descr, std::move(shape), data, bytes);
            c.written.push_back(path);
        }
        return path;
    };

    std::string vectors = p.vectors, texture = p.texture, mask = p.mask;
    const bool vectorsRead = !vectors.empty() && !isNpzPath(vectors);
    if (vectorsRead) {
        vectors = absolute(vectors);
    } else {
        std::vector<double> xy(2 * cells);
        const Vector* v = grid.vectors.data();
        for (std::size_t k = 0; k < cells; ++k) xy[2 * k] = v[k].x, xy[2 * k + 1] = v[k].y;
        vectors = beside("vectors", "<f8", {rows, cols, 2}, xy.data(), xy.size() * sizeof(double));
    }
    if (!texture.empty()) {
        texture = absolute(texture);
    } else if (!field.fractionalTexture.empty()) {
        texture = beside("texture", "<f8", {rows, cols}, field.fractionalTexture.data(), cells * sizeof(double));
    } else {
        texture = beside("texture", "<i4", {rows, cols}, grid.texture.data(), cells * sizeof(std::int32_t));
    }
    if (!mask.empty()) mask = absolute(mask);
    else if (!field.mask.empty()) mask = beside("mask", "|u1", {rows, cols}, field.mask.data(), cells);

    c.text = program + " --vectors " + shellQuoted(vectors) + " --texture " + shellQuoted(texture);
    if (vectorsRead && !isNpyPath(vectors)) c.text += " --size " + std::to_string(rows) + "x" + std::to_string(cols);
    if (!mask.empty()) c.text += " --mask " + shellQuoted(mask);
    if (loaded.maskNan) c.text += " --mask-nan";
    appendChanged(methodTables(), params, c.text);
    appendChanged(imageTables(), image, c.text);
    c.text += " -o " + shellQuoted(absolute(output));
    return c;
}

}  // namespace fastlic::viewer

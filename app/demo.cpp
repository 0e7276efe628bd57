#include "app/demo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "app/demo_field.h"
#include "app/run_pipeline.h"

namespace fastlic {

namespace {

using FilePtr = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

FilePtr create(const std::string& path) {
    FilePtr f(std::fopen(path.c_str(), "w"), &std::fclose);
    if (!f) throw std::runtime_error(path + ": cannot create: " + std::strerror(errno));
    return f;
}

void close(FilePtr& f, const std::string& path) {
    const bool failed = std::ferror(f.get()) != 0;
    if (std::fclose(f.release()) != 0 || failed)
        throw std::runtime_error(path + ": cannot write: " + std::strerror(errno));
}

}  // namespace

void writeDemoInputs(const std::string& dir, std::int32_t rows, std::int32_t cols) {
    const std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    const std::string vectorPath = base + vectorFileName;
    const std::string texturePath = base + textureFileName;

    FilePtr vf = create(vectorPath);
    char line[80];
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            const DemoVector f = demoFlowAt(rows, cols, i, j);
            char* p = formatDemoComponent(line, f.x);
            *p++ = ' ';
            p = formatDemoComponent(p, f.y);
            *p++ = '\n';
            std::fwrite(line, 1, static_cast<std::size_t>(p - line), vf.get());
        }
    }
    close(vf, vectorPath);

    FilePtr tf = create(texturePath);
    DemoNoise noise;
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            const unsigned value = noise.next();
            std::fprintf(tf.get(), j + 1 < cols ? "%u " : "%u\n", value);
        }
    }
    close(tf, texturePath);
}

}  // namespace fastlic

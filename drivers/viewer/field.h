// The field the viewer shows: read once from the files the user named,
// copied for each convolution.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "run/run_pipeline.h"

namespace fastlic::viewer {

// What to open, as the user named it.
struct FieldPaths {
    // Text (rows x cols pairs, needs the size), .npy of shape (rows, cols, 2)
    // (component 0 along the rows, as the console reads it) or .npz with
    // arrays u and v and optionally texture and mask.
    std::string vectors;
    // Instead of vectors: two .npy arrays of shape (rows, cols), u along the
    // columns, v along the rows.
    std::string u, v;
    std::string texture;  // text or .npy; else the .npz's; else the demo's noise
    std::string mask;     // text or .npy, nonzero: no data; else the .npz's
    std::int32_t rows = 0, cols = 0;  // the size, for text files
};

struct LoadedField {
    FieldPaths paths;
    Field field;
    // .npy vectors with NaN components: those cells have no data (the
    // console's --mask-nan).
    bool maskNan = false;

    std::int32_t rows() const { return field.grid.rows; }
    std::int32_t cols() const { return field.grid.cols; }
};

// Reads the files with the console's checks and messages: throws
// BadFilename and InputError naming the file, UsageError for text without a
// size, std::bad_alloc.
std::shared_ptr<const LoadedField> loadField(const FieldPaths& paths, int threads = 0);

// "ROWSxCOLS" as the console's --size reads it: both positive, the product
// below 2^31.
bool parseGridSize(const std::string& text, std::int32_t& rows, std::int32_t& cols);

// A fresh copy of field, its LIC sums and hits zero, for a run to consume.
Field copyOf(const Field& field);

}  // namespace fastlic::viewer

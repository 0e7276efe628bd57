// Runs: fields read from their files and convolved, each run's result
// returned by value. Nothing here is shared between calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/input_files.h"
#include "io/npy_reader.h"
#include "engine/coordinates.h"
#include "engine/reg_grid.h"
#include "engine/lic.h"
#include "render/render.h"

namespace fastlic {

inline constexpr std::int32_t gridRows = 256;
inline constexpr std::int32_t gridCols = 256;
inline constexpr const char* vectorFileName = "ps.vec.256.256.3";
inline constexpr const char* textureFileName = "noise.256.256";

struct RunSettings {
    std::string vectorFile = vectorFileName;
    std::string textureFile = textureFileName;
    std::int32_t rows = gridRows;
    std::int32_t cols = gridCols;
    LicParams params;
    // --v: the component along the rows, (rows, cols) .npy; vectorFile is
    // then --u's, along the columns. Empty: vectorFile holds both.
    std::string vComponentFile;
    std::string maskFile;  // empty: none
    bool maskNan = false;  // .npy vectors: a NaN component marks a cell without data
    int threads = 0;  // for reading and convolving; 0: every core
    // The cells' physical size (--cell-size, --coordinates): the field is
    // traced in physical directions (engine/coordinates.h). None: unit cells.
    std::optional<GridCoordinates> coordinates;
    // Told the fraction of the convolution done, from time to time.
    std::function<void(double)> progress;
    // Once true, the convolution stops and throws Cancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Nothing after the run reads the field's vectors (no image): a text
    // field whose run allows it goes straight into the engine's step table,
    // without a grid of vectors (engine/step_table.h).
    bool licOnly = false;
};

// One field as read, ready to convolve.
struct Field {
    RegGrid grid;  // vectors and texture; LIC sums and hit counts zero
    double largestMagnitude = 0.0;
    // A texture of fractions, which the grid's integers cannot hold; empty
    // when the texture was whole numbers.
    std::vector<double> fractionalTexture;
    // --mask, read before the data: its cells' values are not checked.
    std::vector<std::uint8_t> mask;
    // What the reader noticed without refusing it, a line each.
    std::vector<std::string> warnings = {};
    // The field as the engine traces it, where it was read that way; the
    // grid then holds vectors only for an image's colours.
    std::optional<StepTable> steps = {};
};

// Fields one after another, for runs over many of them: each is read when
// asked for, so that a run holds one at a time.
class FieldSource {
public:
    virtual ~FieldSource() = default;
    // The next field, or none when there are no more. Throws BadFilename
    // and InputError for the files, std::bad_alloc.
    virtual std::optional<Field> next() = 0;
    // The grid size the .npy inputs give; none when every input is text.
    virtual std::optional<GridShape> arrayShape() const = 0;
    // Throws InputError naming the first .npy input whose grid is not
    // rows x cols, and `size` (what asked for it, e.g. "--size 10x10").
    virtual void requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const = 0;
};

// The settings' two files: one field. They are opened here, both before
// either is tested, the vector file first, as the text reader does. Each
// whose name ends in .npy is a NumPy array, its header read and checked
// here: vectors of shape (rows, cols, 2), float32 or float64; a texture of
// shape (rows, cols) whose values are whole numbers in the int32 range, or
// any finite numbers. Text and .npy may be mixed. A pipe's data is taken in
// only by next(), after every header and size check.
class FieldFiles final : public FieldSource {
public:
    // Throws BadFilename, and InputError for a .npy file that is not such an
    // array or two that give different grid sizes (naming both shapes).
    // settings must outlive this: next() reads with them as they are then
    // (size, NaN mask, threads), so that a caller can take the size from
    // the arrays first.
    explicit FieldFiles(const RunSettings& settings);

    std::optional<GridShape> arrayShape() const override;
    void requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const override;

    // Both files read into a new grid of the settings' size, vectors first;
    // the files are let go. Throws InputError also for a .npy input of
    // another size.
    std::optional<Field> next() override;

private:
    const RunSettings& settings_;
    detail::InputStreams streams_;
    std::optional<NpyFile> vectors_, texture_, vComponent_;
    GridShape vectorShape() const;
    bool read_ = false;
};

// A series of fields, such as a time series: each vector input in turn,
// a .npy stack (one dimension more than a field's) giving a field per
// frame; with settings.vComponentFile, the u and v stacks frame by frame.
// Every input is opened and every .npy header checked here, before any
// data is read. The texture and mask are read once, with the first field
// read, and shared. A regular file is read again for each field asked for,
// a pipe in order and once.
class SeriesFields final : public FieldSource {
public:
    // vectorFiles: the vector inputs in order (with a v file, the one u
    // file). Throws BadFilename and InputError as FieldFiles does; settings
    // must outlive this, as there.
    SeriesFields(const RunSettings& settings, std::vector<std::string> vectorFiles);
    ~SeriesFields() override;

    std::int64_t count() const { return count_; }
    // Whether some input is a stack of fields.
    bool stacked() const { return stacked_; }
    // The first vector input that cannot be read twice (a pipe); "" if none.
    std::string pipe() const;
    std::optional<GridShape> arrayShape() const override;
    void requireSize(std::int32_t rows, std::int32_t cols, const std::string& size) const override;

    // Field k of the series, read now.
    Field field(std::int64_t k);
    // The fields in order.
    std::optional<Field> next() override;

private:
    struct Input;
    const RunSettings& settings_;
    std::vector<Input> inputs_;
    std::int64_t count_ = 0, next_ = 0;
    bool stacked_ = false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> textureStream_{nullptr, &std::fclose};
    std::optional<NpyFile> textureArray_;
    // What every field shares, once read.
    bool shared_ = false;
    std::vector<std::int32_t> texture_;
    std::vector<double> fractionalTexture_;
    std::vector<std::uint8_t> mask_;
};

// What a run gives back. Move-only: it holds the grid.
struct RunResult {
    RegGrid grid;  // the field, its LIC values (licSums) and hit counts
    // The largest vector magnitude of the cells with data: the top of the
    // colour scale.
    double largestMagnitude = 0.0;
    std::vector<std::uint8_t> mask;  // row-major, nonzero: no data; empty: none
    LicParams params;                // the parameters the run used
    std::optional<GridCoordinates> coordinates = {};  // and the cells' physical size
    std::vector<std::string> warnings = {};      // the field's (Field::warnings)

    std::int32_t rows() const { return grid.rows; }
    std::int32_t cols() const { return grid.cols; }
    const double* lic() const { return grid.licSums.data(); }
    const std::int32_t* hits() const { return grid.hitCounts.data(); }
};

// field convolved with the settings' parameters, mask file, NaN mask and
// threads. Throws InputError for the mask file.
RunResult runLic(Field field, const RunSettings& settings);
// The same for animation of the wave (its length 0: the filter half
// length): sums receives the three means, the result the static part and
// the hits.
RunResult runAnimation(Field field, const RunSettings& settings, const Wave& wave, AnimationSums& sums);

// The image of a run; its largest magnitude tops the magnitude's scale.
// scalar: what ColorBy::scalar shows, rows x cols, or null. Enhanced
// contrast convolves the run's field once more with its parameters.
// Default options give the classic image. Once *cancel is true, that
// second pass throws Cancelled.
Image renderRun(const RunResult& run, const RenderOptions& options, const double* scalar, int threads,
                const std::atomic<bool>* cancel = nullptr);

// The coordinates of a .npz file's arrays x (the columns', length cols) and
// y (the rows'); geographic: longitudes and latitudes in degrees. Throws
// InputError naming the file.
GridCoordinates readCoordinates(const std::string& npzFile, bool geographic);

// The settings' files read and convolved: FieldFiles, then runLic. Throws
// BadFilename and InputError for the input files, std::bad_alloc when the
// grid does not fit in memory.
RunResult computeRun(const RunSettings& settings);

}  // namespace fastlic

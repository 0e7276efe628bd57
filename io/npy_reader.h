// Reader of NumPy .npy arrays: format versions 1.0, 2.0 and 3.0, either
// byte order, C or Fortran order, dtypes bool, int8..int64, uint8..uint64,
// float32 and float64. Fortran-order arrays are read in their right order
// (transposed into row-major). Every fault throws InputError with one line
// that names the file, e.g. "vec.npy: truncated: 1000 of 2048 data bytes".
//
//     fastlic::VectorArray v = fastlic::readNpyVectors("vec.npy");   // (rows, cols, 2)
//     fastlic::TextureArray t = fastlic::readNpyTexture("noise.npy"); // (rows, cols)
//
// Large files are mapped, not copied: each value is converted once, into
// its destination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/errors.h"
#include "engine/step_table.h"

namespace fastlic {

namespace detail {
class MappedFile;
}

struct NpyDtype {
    enum class Kind { boolean, signedInt, unsignedInt, floating };
    Kind kind = Kind::floating;
    int size = 8;            // bytes per element
    bool bigEndian = false;  // false for one-byte types
    std::string descr;       // as the header gives it, e.g. "<f8"
};

struct NpyHeader {
    NpyDtype dtype;
    bool fortranOrder = false;
    std::vector<std::int64_t> shape;
    std::size_t dataOffset = 0;  // where the elements start in the file
    std::size_t dataBytes = 0;   // product of shape x element size
};

// A shape as Python writes a tuple: "(4, 5, 2)", "(7,)", "()".
std::string shapeText(const std::vector<std::int64_t>& shape);

// One .npy file, its header read and checked, its elements at hand: mapped
// from a regular file, read into memory from anything else (a pipe).
class NpyFile {
public:
    // Called with the header read and checked, before any element is: a
    // shape the caller would refuse is refused before a pipe's data is
    // buffered or a file's converted.
    using HeaderCheck = std::function<void(const NpyFile&)>;

    // Throws InputError, "NAME: cannot open: REASON" among others, and for
    // a pipe whose data would not fit in memory.
    explicit NpyFile(const std::string& path, const HeaderCheck& check = {});
    // Reads the open descriptor fd (not closed here) under name. With
    // headerOnly a pipe's elements wait for readElements(), so that several
    // files' headers are checked before any one's data is taken in; fd must
    // stay open until then.
    NpyFile(int fd, std::string name, const HeaderCheck& check = {}, bool headerOnly = false);
    // Elements already read (a frame of a stack), under name and header.
    NpyFile(std::string name, NpyHeader header, std::vector<char> elements);
    NpyFile(NpyFile&&) noexcept;
    NpyFile& operator=(NpyFile&&) noexcept;
    ~NpyFile();

    const std::string& name() const { return name_; }
    const NpyHeader& header() const { return header_; }
    // The first element; header().dataBytes bytes are readable from here.
    const char* elements() const { return elements_; }
    // Takes in the elements a headerOnly pipe holds back; once.
    void readElements();
    // Throws InputError if the file was cut short after it was mapped: the
    // lost bytes then read as zero.
    void checkIntact() const;

private:
    void load(int fd, const HeaderCheck& check, bool headerOnly);
    void readUpTo(int fd, std::size_t total);

    std::string name_;
    NpyHeader header_;
    std::unique_ptr<detail::MappedFile> mapped_;
    std::vector<char> buffer_;
    const char* elements_ = nullptr;
    int pendingFd_ = -1;  // a pipe whose elements are still to be read
};

struct GridShape {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    friend bool operator==(const GridShape&, const GridShape&) = default;
};

// A .npy array read a frame at a time. With one dimension more than a
// frame's (frameDims), its first counts the frames and must be in C order;
// otherwise the whole array is one frame. A regular file is read from each
// frame's offset, anything else (a pipe) in order and once; one frame is
// held at a time.
class NpyStack {
public:
    // Reads the header of fd (owned: closed here) from where it stands,
    // runs check on it, and for a regular file checks its size, before any
    // element is read. Throws InputError naming the file.
    NpyStack(int fd, std::string name, std::size_t frameDims,
             const std::function<void(const NpyStack&)>& check = {});
    NpyStack(NpyStack&&) noexcept;
    NpyStack& operator=(NpyStack&&) = delete;
    ~NpyStack();

    const std::string& name() const { return name_; }
    const NpyHeader& header() const { return header_; }
    bool stacked() const { return stacked_; }
    std::int64_t frames() const { return frames_; }
    // Whether frames can be read in any order and again.
    bool seekable() const { return start_ >= 0; }
    // Frame k (NAME[k] in messages where stacked), header and elements.
    // From a pipe, frames before it are skipped and it cannot be read
    // again. Throws InputError for a file cut short.
    NpyFile frame(std::int64_t k);

private:
    std::string name_;
    NpyHeader header_, frameHeader_;
    int fd_ = -1;
    bool stacked_ = false;
    std::int64_t frames_ = 1;
    std::int64_t start_ = -1;  // the data's offset in a regular file
    std::int64_t next_ = 0;    // a pipe's next frame
};

// The grid of each frame of a stack of vector arrays, (frames, rows, cols,
// 2) floats, or of component arrays, (frames, rows, cols); of a stack that
// is one field, as vectorGridShape and textureGridShape give it. Throws
// InputError naming the shape or dtype that does not fit.
GridShape stackGridShape(const NpyStack& stack, bool vectors);

// The grid of a vector array: shape (rows, cols, 2), float32 or float64.
// Throws InputError naming the shape or dtype that does not fit.
GridShape vectorGridShape(const NpyFile& file);
// The grid of a texture array: shape (rows, cols), bool, integer or float.
GridShape textureGridShape(const NpyFile& file);
// The grid of a mask array: shape (rows, cols), bool or integer.
GridShape maskGridShape(const NpyFile& file);
// The check of a file that must be `grid`, read by `gridShape` (one of the
// three above); "NAME: shape (R, C) does not match the grid size RxC".
NpyFile::HeaderCheck gridCheck(GridShape (*gridShape)(const NpyFile&), GridShape grid);

struct VectorReadOptions {
    // A vector with a NaN component is kept as it is and left out of the
    // largest magnitude, instead of being an error, whatever its other
    // component (the cell is masked). Infinities elsewhere still are.
    bool nanIsMissing = false;
    int threads = 0;  // converting; 0: every core
    // Cells without data (mask[k] != 0, row-major): their values are kept
    // as they are, never an error, and left out of the largest magnitude.
    const std::uint8_t* mask = nullptr;
};

// Cell k = row * cols + col of the vector array goes to out[k * stride]
// (x, component 0, along the rows) and out[k * stride + 1] (y, along the
// columns); float32 values are widened exactly. Returns the largest
// sqrt(x * x + y * y) (0.0 for an all-zero field). Throws InputError naming
// the first cell, in row-major order, with a component that is not finite
// or whose squared length overflows.
double readNpyVectorsInto(const NpyFile& file, double* out, std::size_t stride,
                          const VectorReadOptions& options = {});
// The same, and their steps into a step table of the array's grid,
// finished; out null: the steps alone.
double readNpyVectorsInto(const NpyFile& file, double* out, std::size_t stride, StepTable& table,
                          const VectorReadOptions& options = {});

// Two arrays of shape (rows, cols), u along the columns and v along the
// rows (as NumPy users hold them), into out as readNpyVectorsInto does:
// v to out[k * stride] (x), u to out[k * stride + 1] (y). Returns the
// largest magnitude; throws InputError naming the file and the cell.
double readNpyComponentsInto(const NpyFile& u, const NpyFile& v, double* out, std::size_t stride,
                             const VectorReadOptions& options = {});
// A texture array into out, row-major, for callers that hold 32-bit
// integers only: every value must be a whole number in the int32 range
// (true is 1). Throws InputError naming the first cell that is not.
void readNpyTextureInto(const NpyFile& file, std::int32_t* out, int threads = 0);

// rows x cols vectors, (x, y) interleaved, row-major.
struct VectorArray {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<double> xy;
    double maxMagnitude = 0.0;  // the largest sqrt(x * x + y * y)
};

// rows x cols texture values, row-major. Integers stay integers so that
// results keep their exact bits: bool (0, 1), int8, int16, int32, uint8 and
// uint16 always give int32; int64, uint32 and uint64 give int32 when every
// value fits, otherwise double, every value then exact as a double (a value
// beyond 2^53 that is not is an error); float32 and float64 give double,
// every value finite.
struct TextureArray {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::variant<std::vector<std::int32_t>, std::vector<double>> values;
};

// rows x cols flags, row-major: 1 where the value is nonzero (true), else 0.
struct MaskArray {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<std::uint8_t> values;
};

VectorArray readNpyVectors(const std::string& path, const VectorReadOptions& options = {});
// Each converted on `threads` (0: every core); check, if any, is run on the
// header first (e.g. gridCheck).
TextureArray readNpyTexture(const std::string& path, int threads = 0, const NpyFile::HeaderCheck& check = {});
// mask: cells without data, whose values are not checked (0 in int32).
TextureArray readNpyTexture(const NpyFile& file, int threads = 0, const std::uint8_t* mask = nullptr);
// As readNpyTexture, for a caller that holds int32 values in ints (rows x
// cols, row-major, as many as the array has cells; untouched for floats):
// integers that all fit go straight there and an empty vector is returned,
// else ints is left zero and the values come back as doubles.
std::vector<double> readNpyGridTexture(const NpyFile& file, std::int32_t* ints, int threads,
                                       const std::uint8_t* mask);
// A 1-D array of numbers (any integer or float dtype) as doubles, such as
// coordinates: integers exact as doubles, floats as they are (NaN too).
std::vector<double> readNpyValues(const NpyFile& file);
MaskArray readNpyMask(const std::string& path, int threads = 0, const NpyFile::HeaderCheck& check = {});
// A scalar of shape (rows, cols) as doubles, such as the colour's: any
// float (NaN and infinities mark pixels without a value), integers exact
// as doubles.
std::vector<double> readNpyScalar(const std::string& path, int threads = 0, const NpyFile::HeaderCheck& check = {});
// The same of a file already open (a member of a .npz archive).
std::vector<double> readNpyScalar(const NpyFile& file, int threads = 0);
MaskArray readNpyMask(const NpyFile& file, int threads = 0);

// Whether path names a .npy file, by its suffix (any case).
bool isNpyPath(std::string_view path);

namespace detail {
// The whole header's size (magic, version, length and dict) from the first
// bytes of a file, at most 12 of them (fewer when the file is shorter).
std::size_t npyHeaderSize(std::string_view prefix, const std::string& name);
// The header of that size; its elements start right after it.
NpyHeader parseNpyHeader(std::string_view header, const std::string& name);
}  // namespace detail

}  // namespace fastlic

#include "io/npy_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/options.h"
#include "engine/lic.h"
#include "io/input_files.h"
#include "io/mapped_file.h"
#include "base/parallel.h"

namespace fastlic {

namespace detail {
namespace {

constexpr std::string_view magic("\x93NUMPY", 6);
// numpy writes headers of a few hundred bytes; a longer one is not read.
constexpr std::size_t maxHeaderSize = std::size_t{1} << 20;
constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

[[noreturn]] void fail(const std::string& name, const std::string& what) {
    throw InputError(name + ": " + what);
}

// Header text in single quotes, as Python shows it, where it is plain.
std::string pyQuoted(std::string_view text) {
    const bool plain = text.size() <= 32 && std::all_of(text.begin(), text.end(), [](char c) {
                           return c >= 0x20 && c < 0x7f && c != '\'' && c != '\\';
                       });
    return plain ? "'" + std::string(text) + "'" : quoted(text);
}

NpyDtype parseDtype(const std::string& descr, const std::string& name) {
    NpyDtype t;
    t.descr = descr;
    std::string_view rest = descr;
    char order = '=';
    if (!rest.empty() && std::string_view("<>|=").find(rest[0]) != std::string_view::npos) {
        order = rest[0];
        rest.remove_prefix(1);
    }
    const std::string_view kinds[] = {"b1", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f4", "f8"};
    if (std::find(std::begin(kinds), std::end(kinds), rest) == std::end(kinds))
        fail(name, "unsupported dtype " + pyQuoted(descr));
    t.kind = rest[0] == 'b'   ? NpyDtype::Kind::boolean
             : rest[0] == 'i' ? NpyDtype::Kind::signedInt
             : rest[0] == 'u' ? NpyDtype::Kind::unsignedInt
                              : NpyDtype::Kind::floating;
    t.size = rest[1] - '0';
    t.bigEndian = t.size > 1 && (order == '>' || (order != '<' && std::endian::native == std::endian::big));
    return t;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The header dict, a Python literal: {'descr': '<f8', 'fortran_order':
// False, 'shape': (3, 4), } with any blanks between tokens.
class HeaderParser {
public:
    HeaderParser(std::string_view header, std::size_t at, const std::string& name)
        : text_(header), pos_(at), name_(name) {}

    NpyHeader parse() {
        NpyHeader h;
        std::optional<std::string> descr;
        std::optional<bool> fortran;
        bool haveShape = false;
        expect('{', "'{'");
        for (bool more = !accept('}'); more;) {
            skipBlanks();
            const std::size_t keyAt = pos_;
            const std::optional<std::string> key = string();
            if (!key) fail("expected a quoted key");
            const auto failKey = [&](const std::string& what) {
                pos_ = keyAt;
                fail(what);
            };
            expect(':', "':'");
            skipBlanks();
            if (*key == "descr") {
                if (descr) failKey("duplicate key 'descr'");
                if (at('[')) detail::fail(name_, "unsupported dtype: structured arrays are not read");
                descr = string();
                if (!descr) fail("'descr' must be a string");
            } else if (*key == "fortran_order") {
                if (fortran) failKey("duplicate key 'fortran_order'");
                const std::string_view word = identifier();
                if (word != "True" && word != "False") fail("'fortran_order' must be True or False");
                fortran = word == "True";
            } else if (*key == "shape") {
                if (haveShape) failKey("duplicate key 'shape'");
                h.shape = shape();
                haveShape = true;
            } else {
                failKey("unknown key " + pyQuoted(*key));
            }
            more = accept(',') ? !accept('}') : (expect('}', "',' or '}'"), false);
        }
        skipBlanks();
        if (pos_ != text_.size()) fail("text after the dict");
        for (const auto& [present, key] : {std::pair{descr.has_value(), "descr"},
                                           std::pair{fortran.has_value(), "fortran_order"},
                                           std::pair{haveShape, "shape"}})
            if (!present) detail::fail(name_, std::string("malformed header: no '") + key + "'");
        h.dtype = parseDtype(*descr, name_);
        h.fortranOrder = *fortran;
        h.dataOffset = text_.size();
        h.dataBytes = static_cast<std::size_t>(h.dtype.size);
        for (const std::int64_t n : h.shape)
            if (__builtin_mul_overflow(h.dataBytes, static_cast<std::size_t>(n), &h.dataBytes))
                detail::fail(name_, "shape " + shapeText(h.shape) + " is too large");
        return h;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        detail::fail(name_, "malformed header at byte " + std::to_string(pos_) + ": " + what);
    }
    void skipBlanks() {
        while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
    }
    bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool accept(char c) {
        skipBlanks();
        if (!at(c)) return false;
        ++pos_;
        return true;
    }
    void expect(char c, const char* what) {
        if (!accept(c)) fail(std::string("expected ") + what);
    }
    // A quoted string without escapes, or nothing where none starts.
    std::optional<std::string> string() {
        if (!at('\'') && !at('"')) return std::nullopt;
        const char quote = text_[pos_];
        const std::size_t end = text_.find(quote, pos_ + 1);
        if (end == std::string_view::npos) fail("unterminated string");
        std::string s(text_.substr(pos_ + 1, end - pos_ - 1));
        if (s.find('\\') != std::string::npos) fail("escapes in strings are not read");
        pos_ = end + 1;
        return s;
    }
    std::string_view identifier() {
        const std::size_t begin = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
            ++pos_;
        return text_.substr(begin, pos_ - begin);
    }
    // A tuple of whole numbers: "()", "(7,)", "(3, 4)", "(3, 4,)".
    std::vector<std::int64_t> shape() {
        const char* notTuple = "'shape' must be a tuple of whole numbers";
        if (!accept('(')) fail(notTuple);
        std::vector<std::int64_t> dims;
        for (bool more = !accept(')'); more;) {
            skipBlanks();
            const std::size_t begin = pos_;
            std::int64_t n = 0;
            for (; pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; ++pos_)
                if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, text_[pos_] - '0', &n))
                    fail("a dimension of 'shape' is too large");
            if (pos_ == begin) fail(notTuple);
            if (at('L')) ++pos_;  // Python 2's long integers
            dims.push_back(n);
            if (accept(',')) {
                more = !accept(')');
            } else {
                expect(')', "',' or ')'");
                if (dims.size() == 1) fail(notTuple);  // (7) is a number
                more = false;
            }
        }
        return dims;
    }

    std::string_view text_;
    std::size_t pos_;
    const std::string& name_;
};

// An element type as stored; loads go through memcpy, the elements need
// not be aligned.
template <typename S, bool Swap>
struct Elements {
    const char* data;
    S operator[](std::size_t k) const {
        S v;
        std::memcpy(&v, data + k * sizeof(S), sizeof(S));
        if constexpr (Swap) {
            using U = std::conditional_t<sizeof(S) == 2, std::uint16_t,
                                         std::conditional_t<sizeof(S) == 4, std::uint32_t, std::uint64_t>>;
            U u;
            std::memcpy(&u, &v, sizeof u);
            if constexpr (sizeof(S) == 2) u = __builtin_bswap16(u);
            if constexpr (sizeof(S) == 4) u = __builtin_bswap32(u);
            if constexpr (sizeof(S) == 8) u = __builtin_bswap64(u);
            std::memcpy(&v, &u, sizeof u);
        }
        return v;
    }
};

// A bool is a byte; any nonzero byte is true.
struct BoolElements {
    const char* data;
    bool operator[](std::size_t k) const { return data[k] != 0; }
};

template <typename S, typename Fn>
void withOrder(const NpyFile& file, Fn& fn) {
    const NpyDtype& t = file.header().dtype;
    if constexpr (sizeof(S) > 1) {
        if (t.bigEndian != (std::endian::native == std::endian::big))
            return fn(Elements<S, true>{file.elements()});
    }
    fn(Elements<S, false>{file.elements()});
}

// fn(elements) with the file's element type; floatsOnly: the caller has
// ruled out the others, which are then not instantiated.
template <bool floatsOnly = false, typename Fn>
void withElements(const NpyFile& file, Fn fn) {
    const NpyDtype& t = file.header().dtype;
    if (t.kind == NpyDtype::Kind::floating)
        return t.size == 4 ? withOrder<float>(file, fn) : withOrder<double>(file, fn);
    if constexpr (!floatsOnly) {
        if (t.kind == NpyDtype::Kind::boolean) return fn(BoolElements{file.elements()});
        const bool isSigned = t.kind == NpyDtype::Kind::signedInt;
        switch (t.size) {
            case 1: return isSigned ? withOrder<std::int8_t>(file, fn) : withOrder<std::uint8_t>(file, fn);
            case 2: return isSigned ? withOrder<std::int16_t>(file, fn) : withOrder<std::uint16_t>(file, fn);
            case 4: return isSigned ? withOrder<std::int32_t>(file, fn) : withOrder<std::uint32_t>(file, fn);
            default: return isSigned ? withOrder<std::int64_t>(file, fn) : withOrder<std::uint64_t>(file, fn);
        }
    }
}

// Where the elements of cell (i, j) lie: component c of it at
// base + c * componentStep.
struct Layout {
    std::int32_t rows, cols;
    bool fortran;
    std::size_t components;

    std::size_t componentStep() const {
        return fortran ? static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) : 1;
    }
    std::size_t base(std::size_t i, std::size_t j) const {
        return fortran ? i + static_cast<std::size_t>(rows) * j
                       : (i * static_cast<std::size_t>(cols) + j) * components;
    }
};

// visit(k, base) for each cell k = i * cols + j of rows [i0, i1), in the
// order their elements lie in the file.
template <typename Visit>
inline void visitRows(const Layout& l, std::size_t i0, std::size_t i1, Visit&& visit) {
    const std::size_t rows = static_cast<std::size_t>(l.rows), cols = static_cast<std::size_t>(l.cols);
    if (!l.fortran) {
        for (std::size_t k = i0 * cols; k < i1 * cols; ++k) visit(k, k * l.components);
    } else {
        for (std::size_t j = 0; j < cols; ++j)
            for (std::size_t i = i0; i < i1; ++i) visit(i * cols + j, i + rows * j);
    }
}

// work(result, i0, i1) for blocks of rows, on every thread; the results in
// block order.
template <typename R, typename Work>
std::vector<R> onRowBlocks(const Layout& l, int threads, Work work) {
    // About 64K cells a block; in Fortran order at least 256 rows, the
    // run along the file for each column.
    std::int64_t rowsPerBlock = std::max<std::int64_t>(1, (std::int64_t{1} << 16) / l.cols);
    if (l.fortran) rowsPerBlock = std::max<std::int64_t>(rowsPerBlock, 256);
    const std::int64_t blocks = (l.rows + rowsPerBlock - 1) / rowsPerBlock;
    std::vector<R> results(static_cast<std::size_t>(blocks));
    parallelFor(blocks, 1, threadCount(threads), [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t b = first; b < last; ++b)
            work(results[static_cast<std::size_t>(b)], static_cast<std::size_t>(b * rowsPerBlock),
                 static_cast<std::size_t>(std::min<std::int64_t>(l.rows, (b + 1) * rowsPerBlock)));
    });
    return results;
}

// put(value, out[k]) for every cell of a (rows, cols) array; false where the
// value is not taken. Returns the first cell, row-major, not taken (none if
// every one is); a cell marked in excused has no data and is always taken
// (out[k] = 0 if put did not take it).
template <typename D, typename Put>
std::size_t convertPlane(const NpyFile& file, GridShape g, D* out, int threads, Put put,
                         const std::uint8_t* excused = nullptr) {
    const Layout l{g.rows, g.cols, file.header().fortranOrder, 1};
    std::vector<std::size_t> firsts;
    withElements(file, [&](const auto& e) {
        firsts = onRowBlocks<std::size_t>(l, threads, [&](std::size_t& first, std::size_t i0, std::size_t i1) {
            std::size_t bad = none;
            visitRows(l, i0, i1, [&](std::size_t k, std::size_t b) {
                if (!put(e[b], out[k])) {
                    if (excused && excused[k]) out[k] = D{};
                    else if (k < bad) bad = k;
                }
            });
            first = bad;
        });
    });
    file.checkIntact();
    return firsts.empty() ? none : *std::min_element(firsts.begin(), firsts.end());
}

template <typename S>
constexpr bool isFloat = std::is_floating_point_v<S>;

// The value exactly, where it is a whole number in the int32 range.
template <typename S>
bool toInt32(S v, std::int32_t& out) {
    if constexpr (isFloat<S>) {
        if (!(v >= -2147483648.0 && v < 2147483648.0)) return false;
        out = static_cast<std::int32_t>(v);
        return out == v;
    } else if constexpr (std::is_same_v<S, bool>) {
        out = v;
        return true;
    } else {
        out = static_cast<std::int32_t>(v);
        return std::in_range<std::int32_t>(v);
    }
}

// The value as a double, where that is exact (integers) or finite (floats).
template <typename S>
bool toDouble(S v, double& out) {
    out = static_cast<double>(v);
    if constexpr (isFloat<S>) {
        return std::isfinite(out);
    } else if constexpr (sizeof(S) < 8) {
        return true;
    } else if constexpr (std::is_signed_v<S>) {
        return out >= -0x1p63 && out < 0x1p63 && static_cast<S>(out) == v;
    } else {
        return out < 0x1p64 && static_cast<S>(out) == v;
    }
}

// Element `index` as numpy prints it, and as a double.
std::pair<std::string, double> element(const NpyFile& file, std::size_t index) {
    std::string text;
    double value = 0.0;
    withElements(file, [&](const auto& e) {
        const auto v = e[index];
        using S = std::decay_t<decltype(v)>;
        value = static_cast<double>(v);
        if constexpr (std::is_same_v<S, bool>)
            text = v ? "True" : "False";
        else if constexpr (isFloat<S>)
            text = options::formatReal(value);
        else
            text = std::to_string(v);
    });
    return {text, value};
}

std::string cellText(GridShape g, std::size_t k) {
    const auto cols = static_cast<std::size_t>(g.cols);
    return "row " + std::to_string(k / cols) + ", column " + std::to_string(k % cols);
}

// The message for the value of cell k of a (rows, cols) array, not taken:
// not finite, or else what rule(value) says is wrong with it.
template <typename Rule>
[[noreturn]] void failValue(const NpyFile& file, GridShape g, std::size_t k, Rule rule) {
    const Layout l{g.rows, g.cols, file.header().fortranOrder, 1};
    const auto cols = static_cast<std::size_t>(g.cols);
    const auto [text, value] = element(file, l.base(k / cols, k % cols));
    const std::string where = "value at " + cellText(g, k);
    if (!std::isfinite(value)) fail(file.name(), where + " is not finite (" + text + ")");
    fail(file.name(), where + " (" + text + ") " + rule(value));
}

GridShape gridShape(const NpyFile& file, bool vectors) {
    const std::vector<std::int64_t>& s = file.header().shape;
    const std::string shape = "shape " + shapeText(s);
    if (s.size() != (vectors ? 3u : 2u) || (vectors && s[2] != 2))
        fail(file.name(), shape + " where " +
                              (vectors ? "(rows, cols, 2) is expected ([..., 0] along the rows, [..., 1] along "
                                         "the columns)"
                                       : "(rows, cols) is expected"));
    if (s[0] == 0 || s[1] == 0) fail(file.name(), shape + " has no cells");
    std::int64_t cells = 0;
    if (__builtin_mul_overflow(s[0], s[1], &cells) || cells > std::numeric_limits<std::int32_t>::max())
        fail(file.name(), shape + " has more cells than a grid holds (2^31 - 1)");
    return {static_cast<std::int32_t>(s[0]), static_cast<std::int32_t>(s[1])};
}

void expectDtype(const NpyFile& file, bool accepted, const char* what) {
    if (!accepted)
        fail(file.name(), "dtype " + pyQuoted(file.header().dtype.descr) + " where " + what + " expected");
}

}  // namespace

std::size_t npyHeaderSize(std::string_view prefix, const std::string& name) {
    if (prefix.empty()) fail(name, "empty file");
    if (prefix.substr(0, magic.size()) != magic) fail(name, "not a .npy file (bad magic)");
    const auto truncated = [&](std::size_t needed) {
        fail(name, "truncated: " + std::to_string(prefix.size()) + " of " + std::to_string(needed) +
                       " header bytes");
    };
    if (prefix.size() < 8) truncated(10);
    const unsigned major = static_cast<unsigned char>(prefix[6]);
    const unsigned minor = static_cast<unsigned char>(prefix[7]);
    if (major < 1 || major > 3 || minor != 0)
        fail(name, "unsupported .npy format version " + std::to_string(major) + "." + std::to_string(minor));
    // 1.0: a 2-byte length; 2.0 and 3.0 (UTF-8 text): 4 bytes; little-endian.
    const std::size_t lengthBytes = major == 1 ? 2 : 4;
    if (prefix.size() < 8 + lengthBytes) truncated(8 + lengthBytes);
    std::size_t length = 0;
    for (std::size_t i = lengthBytes; i-- > 0;)
        length = length << 8 | static_cast<unsigned char>(prefix[8 + i]);
    if (length > maxHeaderSize)
        fail(name, "malformed header: " + std::to_string(length) + " bytes long");
    return 8 + lengthBytes + length;
}

NpyHeader parseNpyHeader(std::string_view header, const std::string& name) {
    const std::size_t dict = static_cast<unsigned char>(header[6]) == 1 ? 10 : 12;
    return HeaderParser(header, dict, name).parse();
}

}  // namespace detail

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

bool isNpyPath(std::string_view path) {
    if (path.size() < 4) return false;
    std::string tail(path.substr(path.size() - 4));
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".npy";
}

NpyFile::NpyFile(const std::string& path, const HeaderCheck& check) : name_(path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) detail::fail(name_, std::string("cannot open: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    load(fd, check, false);
}

NpyFile::NpyFile(int fd, std::string name, const HeaderCheck& check, bool headerOnly) : name_(std::move(name)) {
    load(fd, check, headerOnly);
}

NpyFile::NpyFile(std::string name, NpyHeader header, std::vector<char> elements)
    : name_(std::move(name)), header_(std::move(header)), buffer_(std::move(elements)) {
    elements_ = buffer_.data();
}

NpyFile::NpyFile(NpyFile&&) noexcept = default;
NpyFile& NpyFile::operator=(NpyFile&&) noexcept = default;
NpyFile::~NpyFile() = default;

void NpyFile::load(int fd, const HeaderCheck& check, bool headerOnly) {
    const auto truncatedData = [&](std::size_t available) {
        detail::fail(name_, "truncated: " + std::to_string(available) + " of " +
                                std::to_string(header_.dataBytes) + " data bytes");
    };
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        const auto size = static_cast<std::size_t>(info.st_size);
        auto mapped = std::make_unique<detail::MappedFile>(fd, size);
        if (mapped->data()) {
            const std::string_view bytes(mapped->data(), size);
            try {
                const std::size_t headerSize = detail::npyHeaderSize(bytes.substr(0, 12), name_);
                if (headerSize > size)
                    detail::fail(name_, "truncated: " + std::to_string(size) + " of " +
                                            std::to_string(headerSize) + " header bytes");
                header_ = detail::parseNpyHeader(bytes.substr(0, headerSize), name_);
                if (check) check(*this);
                if (size - headerSize < header_.dataBytes) truncatedData(size - headerSize);
            } catch (const InputError&) {
                // Zero bytes where the file was cut short say nothing.
                mapped_ = std::move(mapped);
                checkIntact();
                throw;
            }
            elements_ = mapped->data() + header_.dataOffset;
            mapped_ = std::move(mapped);
            return;
        }
    }
    // Anything else is read in turn, no further than the header asks: a
    // device may not end.
    readUpTo(fd, 12);
    const std::size_t headerSize =
        detail::npyHeaderSize(std::string_view(buffer_.data(), buffer_.size()), name_);
    readUpTo(fd, headerSize);
    if (buffer_.size() < headerSize)
        detail::fail(name_, "truncated: " + std::to_string(buffer_.size()) + " of " +
                                std::to_string(headerSize) + " header bytes");
    header_ = detail::parseNpyHeader(std::string_view(buffer_.data(), headerSize), name_);
    if (check) check(*this);
    // Read from a pipe, the data is held whole: refused before it is
    // taken in when it cannot fit.
    if (const std::uint64_t memory = memoryLimit(); header_.dataBytes > memory) {
        detail::fail(name_, "shape " + shapeText(header_.shape) + " needs " + gigabytes(header_.dataBytes) +
                                " of memory to read, this machine has " + gigabytes(memory));
    }
    pendingFd_ = fd;
    if (!headerOnly) readElements();
}

void NpyFile::readElements() {
    if (pendingFd_ < 0) return;
    const int fd = std::exchange(pendingFd_, -1);
    const std::size_t headerSize = buffer_.size();
    readUpTo(fd, headerSize + header_.dataBytes);
    if (buffer_.size() < headerSize + header_.dataBytes)
        detail::fail(name_, "truncated: " + std::to_string(buffer_.size() - headerSize) + " of " +
                                std::to_string(header_.dataBytes) + " data bytes");
    elements_ = buffer_.data() + headerSize;
}

void NpyFile::readUpTo(int fd, std::size_t total) {
    constexpr std::size_t chunk = std::size_t{1} << 24;
    while (buffer_.size() < total) {
        const std::size_t old = buffer_.size();
        buffer_.resize(old + std::min(chunk, total - old));
        const ssize_t got = read(fd, buffer_.data() + old, buffer_.size() - old);
        const int error = errno;
        buffer_.resize(old + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0 && error == EINTR) continue;
        if (got < 0) detail::fail(name_, std::string("cannot read: ") + std::strerror(error));
        if (got == 0) break;
    }
}

void NpyFile::checkIntact() const {
    if (mapped_ && mapped_->truncated())
        throw InputError(name_ + ": cannot read: the file was cut short while being read");
}

namespace {

// Reads up to n bytes at offset (or, below 0, where the file stands);
// fewer only at its end.
std::size_t readFully(int fd, char* out, std::size_t n, std::int64_t offset, const std::string& name) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = offset >= 0 ? pread(fd, out + got, n - got, static_cast<off_t>(offset + got))
                                      : read(fd, out + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) detail::fail(name, std::string("cannot read: ") + std::strerror(errno));
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

}  // namespace

NpyStack::NpyStack(int fd, std::string name, std::size_t frameDims, const std::function<void(const NpyStack&)>& check)
    : name_(std::move(name)), fd_(fd) {
    struct stat info {};
    const off_t at = lseek(fd, 0, SEEK_CUR);
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && at >= 0;
    std::vector<char> head(12);
    head.resize(readFully(fd, head.data(), head.size(), regular ? at : -1, name_));
    const std::size_t headerSize = detail::npyHeaderSize(std::string_view(head.data(), head.size()), name_);
    const std::size_t known = head.size();
    head.resize(std::max(known, headerSize));
    if (headerSize > known) {
        const std::size_t got = readFully(fd, head.data() + known, headerSize - known, regular ? at + known : -1, name_);
        if (got < headerSize - known)
            detail::fail(name_, "truncated: " + std::to_string(known + got) + " of " + std::to_string(headerSize) +
                                    " header bytes");
    }
    header_ = detail::parseNpyHeader(std::string_view(head.data(), headerSize), name_);
    frameHeader_ = header_;
    frameHeader_.dataOffset = 0;
    stacked_ = header_.shape.size() == frameDims + 1;
    if (stacked_) {
        frames_ = header_.shape[0];
        frameHeader_.shape.erase(frameHeader_.shape.begin());
        frameHeader_.dataBytes = frames_ > 0 ? header_.dataBytes / static_cast<std::size_t>(frames_) : 0;
        // Fortran order interleaves the frames.
        if (header_.fortranOrder && frames_ > 1)
            detail::fail(name_, "a stack in Fortran order is not read a frame at a time; save it in C order "
                                "(numpy.ascontiguousarray)");
    }
    if (check) check(*this);
    if (regular) {
        start_ = at + static_cast<std::int64_t>(headerSize);
        const auto available = static_cast<std::uint64_t>(std::max<std::int64_t>(0, info.st_size - start_));
        if (available < header_.dataBytes)
            detail::fail(name_, "truncated: " + std::to_string(available) + " of " +
                                    std::to_string(header_.dataBytes) + " data bytes");
    }
}

NpyStack::NpyStack(NpyStack&& other) noexcept
    : name_(std::move(other.name_)), header_(std::move(other.header_)), frameHeader_(std::move(other.frameHeader_)),
      fd_(std::exchange(other.fd_, -1)), stacked_(other.stacked_), frames_(other.frames_), start_(other.start_),
      next_(other.next_) {}

NpyStack::~NpyStack() {
    if (fd_ >= 0) close(fd_);
}

NpyFile NpyStack::frame(std::int64_t k) {
    const std::size_t bytes = frameHeader_.dataBytes;
    std::vector<char> data(bytes);
    const auto cutShort = [&](std::size_t got) {
        if (seekable()) detail::fail(name_, "cannot read: the file was cut short while being read");
        detail::fail(name_, "truncated: " + std::to_string(static_cast<std::size_t>(k) * bytes + got) + " of " +
                                std::to_string(header_.dataBytes) + " data bytes");
    };
    if (seekable()) {
        const std::size_t got = readFully(fd_, data.data(), bytes, start_ + k * static_cast<std::int64_t>(bytes), name_);
        if (got < bytes) cutShort(got);
    } else {
        if (k < next_) detail::fail(name_, "a pipe is read once: frame " + std::to_string(k) + " has gone by");
        for (; next_ <= k; ++next_) {
            const std::size_t got = readFully(fd_, data.data(), bytes, -1, name_);
            if (got < bytes) {
                k = next_;
                cutShort(got);
            }
        }
    }
    return NpyFile(stacked_ ? name_ + "[" + std::to_string(k) + "]" : name_, frameHeader_, std::move(data));
}

GridShape stackGridShape(const NpyStack& stack, bool vectors) {
    if (!stack.stacked()) {
        const NpyFile whole(stack.name(), stack.header(), {});
        return vectors ? vectorGridShape(whole) : textureGridShape(whole);
    }
    const std::vector<std::int64_t>& s = stack.header().shape;
    const std::string shape = "shape " + shapeText(s);
    if (vectors && s[3] != 2)
        detail::fail(stack.name(), shape + " where (frames, rows, cols, 2) is expected ([..., 0] along the rows, "
                                           "[..., 1] along the columns)");
    if (s[0] == 0) detail::fail(stack.name(), shape + " has no frames");
    if (s[1] == 0 || s[2] == 0) detail::fail(stack.name(), shape + " has no cells");
    std::int64_t cells = 0;
    if (__builtin_mul_overflow(s[1], s[2], &cells) || cells > std::numeric_limits<std::int32_t>::max())
        detail::fail(stack.name(), shape + " has more cells than a grid holds (2^31 - 1)");
    const NpyFile whole(stack.name(), stack.header(), {});
    if (vectors) detail::expectDtype(whole, stack.header().dtype.kind == NpyDtype::Kind::floating, "float32 or float64 is");
    return {static_cast<std::int32_t>(s[1]), static_cast<std::int32_t>(s[2])};
}

GridShape vectorGridShape(const NpyFile& file) {
    const GridShape g = detail::gridShape(file, true);
    detail::expectDtype(file, file.header().dtype.kind == NpyDtype::Kind::floating, "float32 or float64 is");
    return g;
}

GridShape textureGridShape(const NpyFile& file) { return detail::gridShape(file, false); }

GridShape maskGridShape(const NpyFile& file) {
    const GridShape g = detail::gridShape(file, false);
    detail::expectDtype(file, file.header().dtype.kind != NpyDtype::Kind::floating, "bool or integers are");
    return g;
}

NpyFile::HeaderCheck gridCheck(GridShape (*gridShape)(const NpyFile&), GridShape grid) {
    return [gridShape, grid](const NpyFile& file) {
        if (gridShape(file) != grid)
            detail::fail(file.name(), "shape " + shapeText(file.header().shape) + " does not match the grid size " +
                                          std::to_string(grid.rows) + "x" + std::to_string(grid.cols));
    };
}

namespace {

// The vectors of file, cell k's given to put(k, x, y).
template <class Put>
double readVectorsWith(const NpyFile& file, const VectorReadOptions& options, Put put) {
    using detail::none;
    const GridShape g = vectorGridShape(file);
    const detail::Layout l{g.rows, g.cols, file.header().fortranOrder, 2};
    const std::size_t step = l.componentStep();
    const bool nanIsMissing = options.nanIsMissing;
    const std::uint8_t* mask = options.mask;
    struct Block {
        double largest = 0.0;   // squared length
        std::size_t bad = none;  // first cell not finite or overflowing
        double badX = 0.0, badY = 0.0;
    };
    std::vector<Block> blocks;
    detail::withElements<true>(file, [&](const auto& e) {
        blocks = detail::onRowBlocks<Block>(l, options.threads, [&](Block& result, std::size_t i0, std::size_t i1) {
            double largest = 0.0;
            Block found;
            detail::visitRows(l, i0, i1, [&](std::size_t k, std::size_t b) {
                const double x = e[b], y = e[b + step];
                put(k, x, y);
                if (mask && mask[k]) return;
                const double squared = x * x + y * y;
                if (squared <= std::numeric_limits<double>::max()) [[likely]] {
                    largest = std::max(largest, squared);
                } else if (k < found.bad && !(nanIsMissing && (std::isnan(x) || std::isnan(y)))) {
                    found.bad = k, found.badX = x, found.badY = y;
                }
            });
            result = found;
            result.largest = largest;
        });
    });
    file.checkIntact();
    double largest = 0.0;
    Block first;
    for (const Block& b : blocks) {
        largest = std::max(largest, b.largest);
        if (b.bad < first.bad) first = b;
    }
    if (const std::size_t bad = first.bad; bad != none) {
        const double x = first.badX, y = first.badY;
        const std::string vector = "(" + options::formatReal(x) + ", " + options::formatReal(y) + ")";
        const std::string where = "vector at " + detail::cellText(g, bad);
        if (!std::isfinite(x) || !std::isfinite(y))
            detail::fail(file.name(), where + " is not finite " + vector);
        detail::fail(file.name(), where + " " + vector + " too large: its squared length overflows");
    }
    return std::sqrt(largest);
}

}  // namespace

double readNpyVectorsInto(const NpyFile& file, double* out, std::size_t stride, const VectorReadOptions& options) {
    return readVectorsWith(file, options, [out, stride](std::size_t k, double x, double y) {
        out[k * stride] = x;
        out[k * stride + 1] = y;
    });
}

double readNpyVectorsInto(const NpyFile& file, double* out, std::size_t stride, StepTable& table,
                          const VectorReadOptions& options) {
    const auto cols = static_cast<std::size_t>(table.cols());
    const double largest = readVectorsWith(file, options, [&](std::size_t k, double x, double y) {
        if (out) out[k * stride] = x, out[k * stride + 1] = y;
        table.set(static_cast<std::int32_t>(k / cols), static_cast<std::int32_t>(k % cols), x, y);
    });
    table.finish(threadCount(options.threads));
    return largest;
}

void readNpyTextureInto(const NpyFile& file, std::int32_t* out, int threads) {
    const GridShape g = textureGridShape(file);
    const std::size_t bad = detail::convertPlane(file, g, out, threads, [](auto v, std::int32_t& d) {
        return detail::toInt32(v, d);
    });
    if (bad == detail::none) return;
    detail::failValue(file, g, bad, [](double v) {
        return v == std::trunc(v) ? "is outside the int32 range"
                                  : "is not a whole number; fractional textures are not supported yet";
    });
}

VectorArray readNpyVectors(const std::string& path, const VectorReadOptions& options) {
    const NpyFile file(path);
    const GridShape g = vectorGridShape(file);
    VectorArray a{g.rows, g.cols, {}, 0.0};
    a.xy.resize(2 * static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.cols));
    a.maxMagnitude = readNpyVectorsInto(file, a.xy.data(), 2, options);
    return a;
}

TextureArray readNpyTexture(const std::string& path, int threads, const NpyFile::HeaderCheck& check) {
    return readNpyTexture(NpyFile(path, check), threads);
}

TextureArray readNpyTexture(const NpyFile& file, int threads, const std::uint8_t* mask) {
    const GridShape g = textureGridShape(file);
    const std::size_t cells = static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.cols);
    TextureArray a{g.rows, g.cols, {}};
    std::vector<std::int32_t> ints(file.header().dtype.kind != NpyDtype::Kind::floating ? cells : 0);
    std::vector<double> doubles = readNpyGridTexture(file, ints.data(), threads, mask);
    if (doubles.empty()) a.values = std::move(ints);
    else a.values = std::move(doubles);
    return a;
}

std::vector<double> readNpyGridTexture(const NpyFile& file, std::int32_t* ints, int threads,
                                       const std::uint8_t* mask) {
    const GridShape g = textureGridShape(file);
    const std::size_t cells = static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.cols);
    if (file.header().dtype.kind != NpyDtype::Kind::floating) {
        // Integers fit int32 as a rule: tried first, doubles only where one does not.
        if (detail::convertPlane(file, g, ints, threads, [](auto v, std::int32_t& d) {
                return detail::toInt32(v, d);
            }, mask) == detail::none)
            return {};
        std::fill_n(ints, cells, 0);
    }
    std::vector<double> doubles(cells);
    // Beyond maxTextureMagnitude the engine's sums could overflow.
    const std::size_t bad = detail::convertPlane(file, g, doubles.data(), threads, [](auto v, double& d) {
        return detail::toDouble(v, d) && std::fabs(d) <= maxTextureMagnitude;
    }, mask);
    if (bad != detail::none)
        detail::failValue(file, g, bad, [](double v) {
            return std::fabs(v) > maxTextureMagnitude ? "is more than 2^990 (about 1.05e298) in magnitude"
                                                      : "is not exact as a double";
        });
    return doubles;
}

std::vector<double> readNpyScalar(const std::string& path, int threads, const NpyFile::HeaderCheck& check) {
    return readNpyScalar(NpyFile(path, check), threads);
}

std::vector<double> readNpyScalar(const NpyFile& file, int threads) {
    const GridShape g = textureGridShape(file);
    std::vector<double> values(static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.cols));
    const std::size_t bad = detail::convertPlane(file, g, values.data(), threads, [](auto v, double& d) {
        if constexpr (detail::isFloat<decltype(v)>) {
            d = static_cast<double>(v);  // not finite: a pixel without a value
            return true;
        } else {
            return detail::toDouble(v, d);
        }
    });
    if (bad != detail::none)
        detail::failValue(file, g, bad, [](double) { return "is not exact as a double"; });
    return values;
}

double readNpyComponentsInto(const NpyFile& u, const NpyFile& v, double* out, std::size_t stride,
                             const VectorReadOptions& options) {
    const GridShape g = textureGridShape(u);
    if (textureGridShape(v) != g)
        detail::fail(v.name(), "shape " + shapeText(v.header().shape) + " does not match shape " +
                                   shapeText(u.header().shape) + " of " + u.name());
    const std::size_t n = static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.cols);
    std::vector<double> component(n);
    // Floats as they are (NaN may be a missing value); integers exact.
    const auto put = [](auto value, double& d) {
        if constexpr (detail::isFloat<decltype(value)>) {
            d = static_cast<double>(value);
            return true;
        } else {
            return detail::toDouble(value, d);
        }
    };
    for (const auto& [file, offset] : {std::pair{&v, std::size_t{0}}, std::pair{&u, std::size_t{1}}}) {
        const std::size_t bad = detail::convertPlane(*file, g, component.data(), options.threads, put);
        if (bad != detail::none)
            detail::failValue(*file, g, bad, [](double) { return "is not exact as a double"; });
        for (std::size_t k = 0; k < n; ++k) out[k * stride + offset] = component[k];
    }
    double largest = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        if (options.mask && options.mask[k]) continue;
        const double x = out[k * stride], y = out[k * stride + 1];
        const double squared = x * x + y * y;
        if (squared <= std::numeric_limits<double>::max()) [[likely]] {
            largest = std::max(largest, squared);
            continue;
        }
        if (options.nanIsMissing && (std::isnan(x) || std::isnan(y))) continue;
        const std::string where = "value at " + detail::cellText(g, k);
        if (!std::isfinite(y)) detail::fail(u.name(), where + " is not finite (" + options::formatReal(y) + ")");
        if (!std::isfinite(x)) detail::fail(v.name(), where + " is not finite (" + options::formatReal(x) + ")");
        detail::fail(u.name(), "the vector (u, v) = (" + options::formatReal(y) + ", " + options::formatReal(x) +
                                   ") at " + detail::cellText(g, k) + " with " + v.name() +
                                   " is too large: its squared length overflows");
    }
    return std::sqrt(largest);
}

std::vector<double> readNpyValues(const NpyFile& file) {
    const NpyHeader& h = file.header();
    if (h.shape.size() != 1 || h.dtype.kind == NpyDtype::Kind::boolean)
        detail::fail(file.name(), "expected a 1-D array of numbers, found shape " + shapeText(h.shape) + " of " +
                                      h.dtype.descr);
    std::vector<double> values(static_cast<std::size_t>(h.shape[0]));
    detail::withElements(file, [&](const auto& e) {
        for (std::size_t k = 0; k < values.size(); ++k) {
            const auto v = e[k];
            // Floats as they are (what is not finite is the caller's to name).
            if (!detail::toDouble(v, values[k]) && !detail::isFloat<std::decay_t<decltype(v)>>)
                detail::fail(file.name(), "[" + std::to_string(k) + "] (" + std::to_string(v) +
                                              ") is not exact as a double");
        }
    });
    file.checkIntact();
    return values;
}

MaskArray readNpyMask(const std::string& path, int threads, const NpyFile::HeaderCheck& check) {
    return readNpyMask(NpyFile(path, check), threads);
}

MaskArray readNpyMask(const NpyFile& file, int threads) {
    const GridShape g = maskGridShape(file);
    MaskArray a{g.rows, g.cols, {}};
    a.values.resize(static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.cols));
    detail::convertPlane(file, g, a.values.data(), threads, [](auto v, std::uint8_t& d) {
        d = v != 0;
        return true;
    });
    return a;
}

}  // namespace fastlic

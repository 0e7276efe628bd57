// _fastlic: the engine, the reader, the image and the demo data over NumPy
// arrays. fastlic/__init__.py checks the arrays and brings them to the
// dtypes taken here (float64 vectors, int32 or float64 texture, aligned,
// strides whole elements); this layer checks the options by the tables,
// maps the arrays onto the engine's views without copying and releases the
// GIL while it works.
//
// The engine's x component runs along the rows, y along the columns; in
// NumPy terms x is v (axis 0) and y is u (axis 1), the names every message
// here uses.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "run/demo_field.h"
#include "io/animation_writer.h"
#include "io/input_files.h"
#include "io/output_file.h"
#include "engine/reg_grid.h"
#include "engine/coordinates.h"
#include "engine/lic.h"
#include "engine/options.h"
#include "render/colormaps.h"
#include "render/options.h"
#include "render/render.h"
#include "base/errors.h"
#include "base/parallel.h"
#include "base/zeroed_buffer.h"

namespace py = pybind11;

namespace fastlic::python {

namespace {

// A ValueError whose text names convolve's keyword instead of the engine's
// field.
class KeywordError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

template <typename T>
Plane<T> planeOf(const py::array& a, const char* name) {
    if (!py::isinstance<py::array_t<T>>(a) || a.ndim() != 2)
        throw std::invalid_argument(std::string("internal: ") + name + " has the wrong dtype");
    const auto step = static_cast<py::ssize_t>(sizeof(T));
    if (reinterpret_cast<std::uintptr_t>(a.data()) % alignof(T) != 0 || a.strides(0) % step != 0 ||
        a.strides(1) % step != 0)
        throw std::invalid_argument(std::string("internal: ") + name + " is not aligned");
    return {static_cast<const T*>(a.data()), a.strides(0) / step, a.strides(1) / step};
}

// The mask's plane, or none for None.
Plane<std::uint8_t> maskOf(const py::object& mask, std::int32_t rows, std::int32_t cols) {
    if (mask.is_none()) return {};
    if (!py::isinstance<py::array>(mask)) throw std::invalid_argument("internal: mask is not an array");
    const auto a = py::reinterpret_borrow<py::array>(mask);
    if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols)
        throw std::invalid_argument("internal: mask has the wrong shape");
    return planeOf<std::uint8_t>(a, "mask");
}

bool masked(const Plane<std::uint8_t>& mask, std::int32_t i, std::int32_t j) {
    return mask.data && mask(i, j);
}

std::pair<std::int32_t, std::int32_t> shapeOf(const py::array& a) {
    return {static_cast<std::int32_t>(a.shape(0)), static_cast<std::int32_t>(a.shape(1))};
}

// Shortest text that reads back as v; no Python objects, as the GIL is
// not held where messages are made.
std::string number(double v) { return options::formatReal(v); }

std::string cell(std::int32_t i, std::int32_t j) {
    return "[" + std::to_string(i) + ", " + std::to_string(j) + "]";
}

// Throws ValueError for the first unmasked cell, row by row, whose vector
// is not finite or whose squared length overflows (as the text reader
// does); returns the largest magnitude of the unmasked cells, computed as
// the reader computes it. Masked cells hold no data: their values are not
// looked at. Called without the GIL: the message is built from plain
// strings.
double checkVectors(std::int32_t rows, std::int32_t cols, const Plane<double>& x, const Plane<double>& y,
                    const Plane<std::uint8_t>& mask, int threads = 0) {
    // Rows shared out among the threads; the first row with a bad cell is
    // then looked at again alone, for the message.
    std::mutex lock;
    double largest = 0.0;
    std::int32_t badRow = rows;
    parallelFor(rows, 16, threadCount(threads), [&](std::int64_t begin, std::int64_t end) {
        double mine = 0.0;
        std::int32_t bad = rows;
        for (auto i = static_cast<std::int32_t>(begin); i < end && bad == rows; ++i)
            for (std::int32_t j = 0; j < cols; ++j) {
                if (masked(mask, i, j)) continue;
                const double vx = x(i, j), vy = y(i, j);
                const double squared = vx * vx + vy * vy;
                if (squared > mine) mine = squared;
                if (!std::isfinite(squared)) bad = i;
            }
        std::lock_guard hold(lock);
        largest = std::max(largest, mine);
        badRow = std::min(badRow, bad);
    });
    for (std::int32_t j = 0, i = badRow; i < rows && j < cols; ++j) {
        if (masked(mask, i, j)) continue;
        const double vx = x(i, j), vy = y(i, j);
        if (std::isfinite(vx * vx + vy * vy)) continue;
        if (!std::isfinite(vy))
            throw std::domain_error("u" + cell(i, j) + " is " + number(vy) + ": vector components must be finite");
        if (!std::isfinite(vx))
            throw std::domain_error("v" + cell(i, j) + " is " + number(vx) + ": vector components must be finite");
        throw std::domain_error("the vector (u, v) = (" + number(vy) + ", " + number(vx) + ") at " + cell(i, j) +
                                " is too large: its squared length overflows");
    }
    return std::sqrt(largest);
}

void checkTexture(std::int32_t rows, std::int32_t cols, const Plane<double>& t,
                  const Plane<std::uint8_t>& mask) {
    for (std::int32_t i = 0; i < rows; ++i)
        for (std::int32_t j = 0; j < cols; ++j)
            if (!masked(mask, i, j) && !std::isfinite(t(i, j)))
                throw std::domain_error("texture" + cell(i, j) + " is " + number(t(i, j)) +
                                        ": texture values must be finite");
            else if (!masked(mask, i, j) && !(std::fabs(t(i, j)) <= maxTextureMagnitude))
                throw std::domain_error("texture" + cell(i, j) + " is " + number(t(i, j)) +
                                        ": texture values must be at most 2^990 (about 1.05e298) in magnitude");
}

// A new (rows, cols) array on pages of its own, in huge pages where it is
// large (base/zeroed_buffer.h): the engine's threads then fault it in 2 MiB
// at a time instead of 4 KiB, a large share of a run's set-up.
template <typename T>
py::array_t<T> freshArray(std::int32_t rows, std::int32_t cols) {
    auto* buffer = new ZeroedBuffer<T>(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    py::capsule owner(buffer, [](void* p) { delete static_cast<ZeroedBuffer<T>*>(p); });
    return py::array_t<T>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)}, buffer->data(), owner);
}

// `given` as the array a result is written into: float64, C order, writable,
// (rows, cols).
py::array_t<double> outputArray(const py::object& given, std::int32_t rows, std::int32_t cols) {
    if (!py::isinstance<py::array_t<double>>(given)) throw std::invalid_argument("lic must be a float64 array");
    auto a = py::reinterpret_borrow<py::array_t<double>>(given);
    if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols || !(a.flags() & py::array::c_style) ||
        !a.writeable())
        throw std::invalid_argument("lic must be a writable C-order array of the field's shape");
    // A hint, as for the engine's own buffers: huge pages fault in far faster.
    const auto begin = (reinterpret_cast<std::uintptr_t>(a.data()) + 4095) & ~std::uintptr_t{4095};
    const auto end = reinterpret_cast<std::uintptr_t>(a.data() + a.size()) & ~std::uintptr_t{4095};
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    return a;
}

// ---- Options: Python values through the tables (engine/options.h,
// render/options.h), with Python's words for a bad one.

// A value for a message: NumPy scalars as the Python numbers they hold.
std::string reprOf(const py::handle& v) {
    const bool numpyScalar = py::isinstance(v, py::module_::import("numpy").attr("generic"));
    return py::repr(numpyScalar ? v.attr("item")() : py::reinterpret_borrow<py::object>(v));
}

std::string typeName(const py::handle& v) { return py::str(py::type::handle_of(v).attr("__name__")); }

bool isInstance(const py::handle& v, const char* module, const char* type) {
    return py::isinstance(v, py::module_::import(module).attr(type));
}

// An integer (not a bool) as a 64-bit one, ±infinity where it is beyond.
std::optional<double> wholeOf(const py::handle& v) {
    if (PyBool_Check(v.ptr()) || !isInstance(v, "numbers", "Integral")) return std::nullopt;
    int overflow = 0;
    const py::int_ whole(py::reinterpret_borrow<py::object>(v));
    const long long n = PyLong_AsLongLongAndOverflow(whole.ptr(), &overflow);
    return overflow ? overflow * HUGE_VAL : static_cast<double>(n);
}

std::optional<double> realOf(const py::handle& v) {
    if (PyBool_Check(v.ptr()) || !isInstance(v, "numbers", "Real")) return std::nullopt;
    const py::object number = py::reinterpret_borrow<py::object>(v);
    PyObject* x = PyNumber_Float(number.ptr());
    if (!x) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        // Beyond the doubles (10**400): infinite, which the bounds refuse
        // with the keyword's message.
        PyErr_Clear();
        return number < py::int_(0) ? -HUGE_VAL : HUGE_VAL;
    }
    const double value = PyFloat_AS_DOUBLE(x);
    Py_DECREF(x);
    return value;
}

template <typename T>
std::string pythonPhrase(const options::Option<T>& o) {
    return o.pythonPhrase.empty() ? o.phrase : o.pythonPhrase;
}

// v as o's kind takes it; TypeError for a value of another type.
template <typename T>
options::Value valueOf(const options::Option<T>& o, const py::handle& v) {
    const std::string keyword = o.keyword();
    const auto wrongType = [&](const std::string& what) { return py::type_error(keyword + " must be " + what); };
    switch (o.kind) {
    case options::Kind::integer: {
        const auto n = wholeOf(v);
        if (!n) throw wrongType("an integer, got " + typeName(v));
        if (!(*n >= INT32_MIN && *n <= INT32_MAX))
            throw py::value_error(keyword + " must be a 32-bit integer, got " +
                                  std::string(py::str(py::int_(py::reinterpret_borrow<py::object>(v)))));
        return static_cast<std::int64_t>(*n);
    }
    case options::Kind::real: {
        const auto x = realOf(v);
        if (!x) throw wrongType("a real number, got " + typeName(v));
        return *x;
    }
    case options::Kind::flag:
        if (!PyBool_Check(v.ptr()) && !isInstance(v, "numpy", "bool_"))
            throw wrongType("True or False, got " + typeName(v));
        return py::bool_(py::reinterpret_borrow<py::object>(v)).cast<bool>();
    case options::Kind::numbers: {
        if (v.is_none()) return std::monostate{};
        const auto number = [&](const py::handle& item) { return o.whole ? wholeOf(item) : realOf(item); };
        const auto problem = [&] { return wrongType(pythonPhrase(o) + ", got " + reprOf(v)); };
        if (o.fewest == 1)
            if (const auto n = number(v)) return std::vector<double>{*n};
        if (!py::isinstance<py::iterable>(v)) throw problem();
        std::vector<double> xs;
        for (const py::handle item : py::reinterpret_borrow<py::iterable>(v)) {
            const auto x = number(item);
            if (!x) throw problem();
            xs.push_back(*x);
        }
        if (static_cast<int>(xs.size()) != o.most) throw problem();
        return xs;
    }
    case options::Kind::choice:
    case options::Kind::text:
        if (v.is_none()) return std::monostate{};
        if (py::isinstance<py::str>(v)) return v.cast<std::string>();
        if (o.takesArray && py::isinstance<py::iterable>(v)) {
            // fastlic/__init__.py has made it a list of floats.
            std::vector<double> xs;
            for (const py::handle item : py::reinterpret_borrow<py::iterable>(v)) {
                const auto x = realOf(item);
                if (!x) throw wrongType(pythonPhrase(o) + ", got " + reprOf(v));
                xs.push_back(*x);
            }
            return xs;
        }
        break;
    }
    // Not a string: a value of another type, as for the other kinds.
    throw wrongType(pythonPhrase(o) + ", got " + reprOf(v));
}

// The options given, keyword to Python value, stored in target through the
// tables in their order, then the tables' rules. A keyword that no table
// has is an error.
template <typename T>
void convertOptions(std::initializer_list<const options::Table<T>*> tables, const py::dict& given,
                    T& target) {
    for (const auto& item : given) {
        const std::string key = py::str(item.first);
        bool known = false;
        for (const options::Table<T>* table : tables)
            for (const options::Option<T>& o : table->rows) known = known || key == o.keyword();
        if (!known) throw py::value_error("unknown option " + std::string(py::repr(item.first)));
    }
    const auto keyword = [](const std::string& name) { return options::keywordOf(name); };
    for (const options::Table<T>* table : tables) {
        const auto isGiven = [&](const std::string& name) { return given.contains(options::keywordOf(name)); };
        if (const std::string bad = options::checkNotWith<T>(*table, isGiven, keyword); !bad.empty())
            throw py::value_error(bad);
    }
    for (const options::Table<T>* table : tables) {
        for (const options::Option<T>& o : table->rows) {
            const std::string k = o.keyword();
            if (!given.contains(k)) continue;
            const py::handle v = given[k.c_str()];
            if (!o.assign(valueOf(o, v), target))
                throw py::value_error(k + " must be " + pythonPhrase(o) + ", got " + reprOf(v));
        }
        for (const options::Rule<T>& r : table->rules) {
            if (!r.broken(target)) continue;
            std::string message = keyword(r.option) + ": " + options::spellNames(r.problem, keyword);
            if (!r.shown.empty()) {
                const std::string shown = keyword(r.shown);
                message += ", got " + shown + " " + reprOf(given[shown.c_str()]);
            }
            throw py::value_error(message);
        }
    }
}

LicParams licParamsOf(const py::dict& given) {
    LicParams params;
    convertOptions({&methodOptions(), &samplingOptions(), &boundaryOptions()}, given, params);
    return params;
}

// A table for Python: each option's name, keyword, kind, default, choices
// (word, help), range (lo, hi, lo open, hi open) or None, help and the
// phrase of its messages.
template <typename T>
py::list describe(const options::Table<T>& table) {
    py::list rows;
    for (const options::Option<T>& o : table.rows) {
        const options::Value v = o.get(T{});
        py::object value = py::none();
        if (const auto* b = std::get_if<bool>(&v)) value = py::bool_(*b);
        if (const auto* n = std::get_if<std::int64_t>(&v)) value = py::int_(*n);
        if (const auto* x = std::get_if<double>(&v)) value = py::float_(*x);
        if (const auto* t = std::get_if<std::string>(&v)) value = py::str(*t);
        if (const auto* xs = std::get_if<std::vector<double>>(&v)) {
            py::list items;
            for (const double x : *xs)
                items.append(o.whole ? py::object(py::int_(static_cast<long long>(x))) : py::float_(x));
            value = py::tuple(items);
        }
        py::list choices;
        for (const options::Word& w : o.choices) choices.append(py::make_tuple(w.name, w.help));
        const bool numbers = o.kind == options::Kind::integer || o.kind == options::Kind::real ||
                             o.kind == options::Kind::numbers;
        py::dict row;
        row["name"] = o.name;
        row["keyword"] = o.keyword();
        row["kind"] = options::kindName(o.kind);
        row["default"] = value;
        row["choices"] = choices;
        const options::Bounds& b = o.bounds;
        row["range"] = numbers ? py::object(py::make_tuple(b.lo, b.hi, b.loOpen, b.hiOpen)) : py::none();
        row["help"] = o.help;
        row["phrase"] = pythonPhrase(o);
        rows.append(row);
    }
    return rows;
}

// The engine's ParamError in convolve's keywords.
KeywordError keywordError(const ParamError& e) {
    // The reach: the streamline's steps each way, times the step.
    const std::string problem = options::spellNames(e.problem(), [](const std::string& n) { return options::keywordOf(n); });
    if (e.option().empty()) return KeywordError("filter_half_length, slide_steps and step: " + problem);
    return KeywordError(options::keywordOf(e.option()) + (problem.rfind("must", 0) == 0 ? " " : ": ") + problem);
}

// params.validateFor with convolve's keyword in the message.
void validateParams(const LicParams& params, std::int32_t rows, std::int32_t cols) {
    try {
        params.validateFor(rows, cols);
    } catch (const ParamError& e) {
        // The reach: the streamline's steps each way, times the step.
        throw keywordError(e);
    }
}

// work() on a thread of its own while this one, without the GIL, looks for
// signals every 50 ms: Python runs their handlers only on the main thread.
// When one raises (Ctrl-C: KeyboardInterrupt), cancel is set, the work
// stops within a band, and false returns with the error set. Otherwise
// work's own exception, or true.
template <typename Work>
bool interruptible(Work work, std::atomic<bool>& cancel) {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr fault;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            fault = std::current_exception();
        }
        std::lock_guard hold(lock);
        done = true;
        finished.notify_one();
    });
    bool interrupted = false;
    for (std::unique_lock hold(lock); !finished.wait_for(hold, std::chrono::milliseconds(50), [&] { return done; });) {
        if (interrupted) continue;
        hold.unlock();
        {
            py::gil_scoped_acquire gil;
            interrupted = PyErr_CheckSignals() != 0;
        }
        if (interrupted) cancel.store(true);
        hold.lock();
    }
    worker.join();
    if (interrupted) return false;
    if (fault) std::rethrow_exception(fault);
    return true;
}

// convolve's coordinates: None, or (y, x, spacing, geographic) with y and
// x float64 arrays or None, spacing (dy, dx) or None.
std::optional<GridCoordinates> coordinatesOf(const py::object& given) {
    if (given.is_none()) return std::nullopt;
    const auto t = given.cast<py::tuple>();
    GridCoordinates c;
    const auto axis = [](const py::handle& values, AxisCoordinates& a, const char* name) {
        a.name = name;
        if (values.is_none()) return;
        const auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
        a.values.assign(array.data(), array.data() + array.size());
    };
    axis(t[0], c.rows, "y");
    axis(t[1], c.cols, "x");
    if (!t[2].is_none()) {
        const auto spacing = t[2].cast<std::pair<double, double>>();
        c.rows.name = "spacing[0] (dy)";
        c.cols.name = "spacing[1] (dx)";
        c.rows.spacing = spacing.first;
        c.cols.spacing = spacing.second;
    }
    c.geographic = t[3].cast<bool>();
    return c;
}

py::tuple convolve(const py::array& texture, const py::array& x, const py::array& y, const py::object& mask,
                   const py::dict& options, int threads, const py::object& coordinates, const py::object& licArray) {
    const auto [rows, cols] = shapeOf(x);
    FieldView field{rows, cols, planeOf<double>(x, "v"), planeOf<double>(y, "u"), {},
                    maskOf(mask, rows, cols)};
    if (py::isinstance<py::array_t<std::int32_t>>(texture))
        field.texture = planeOf<std::int32_t>(texture, "texture");
    else
        field.texture = planeOf<double>(texture, "texture");
    const LicParams params = licParamsOf(options);
    const std::optional<GridCoordinates> coords = coordinatesOf(coordinates);
    RunOptions run;
    run.threads = threads;

    py::array_t<double> lic = licArray.is_none() ? freshArray<double>(rows, cols) : outputArray(licArray, rows, cols);
    py::array_t<std::int32_t> hits = freshArray<std::int32_t>(rows, cols);
    double* licOut = lic.mutable_data();
    std::int32_t* hitsOut = hits.mutable_data();
    std::atomic<bool> cancel{false};
    bool finished = false;
    {
        py::gil_scoped_release unlocked;
        validateParams(params, rows, cols);
        checkVectors(rows, cols, field.x, field.y, field.mask, threads);
        if (const auto* t = std::get_if<Plane<double>>(&field.texture))
            checkTexture(rows, cols, *t, field.mask);
        // The physical field in cell units, traced in place of the given one.
        std::vector<double> xCells, yCells;
        if (coords) field = mapToCells(field, *coords, xCells, yCells);
        run.cancel = &cancel;
        try {
            // A run of a few milliseconds is not worth a thread.
            const auto work = [&] { computeLic(field, params, licOut, hitsOut, run); };
            if (params.work(static_cast<std::int64_t>(rows) * cols) < 1e6)
                work(), finished = true;
            else
                finished = interruptible(work, cancel);
        } catch (const ParamError& e) {  // a hit count that would overflow
            throw keywordError(e);
        }
    }
    if (!finished) throw py::error_already_set();  // with the GIL, which it reads the error under
    return py::make_tuple(std::move(lic), std::move(hits));
}

// Frames (N, rows, cols) of the fields xs[t], ys[t] (x along the rows) over
// one texture. One field: n frames of the loop (frame f at phase
// 2 pi f / n), or at phase f x phaseStep where that is finite. Several: a
// frame each, the static LIC of field t, or with phaseStep the frame of
// phase t x phaseStep over it. Fields too small to fill the threads are
// shared out among them whole, each on one; every frame is the same bits
// either way.
py::array_t<double> animate(const py::array& texture, const py::list& xs, const py::list& ys, const py::object& mask,
                            const py::dict& options, std::int32_t frames, double wavelength, bool steady, double phaseStep,
                            int threads, const py::object& coordinates) {
    const auto fields = static_cast<std::int32_t>(xs.size());
    if (fields < 1 || static_cast<std::int32_t>(ys.size()) != fields)
        throw std::invalid_argument("internal: xs and ys must hold the same number of fields");
    std::vector<py::array> xa, ya;
    for (std::int32_t t = 0; t < fields; ++t) {
        xa.push_back(py::reinterpret_borrow<py::array>(xs[static_cast<std::size_t>(t)]));
        ya.push_back(py::reinterpret_borrow<py::array>(ys[static_cast<std::size_t>(t)]));
    }
    const auto [rows, cols] = shapeOf(xa[0]);
    const std::int32_t count = fields > 1 ? fields : frames;
    std::vector<FieldView> views;
    for (std::int32_t t = 0; t < fields; ++t) {
        FieldView field{rows, cols, planeOf<double>(xa[t], "v"), planeOf<double>(ya[t], "u"), {}, maskOf(mask, rows, cols)};
        if (py::isinstance<py::array_t<std::int32_t>>(texture))
            field.texture = planeOf<std::int32_t>(texture, "texture");
        else
            field.texture = planeOf<double>(texture, "texture");
        views.push_back(field);
    }
    const LicParams params = licParamsOf(options);
    const std::optional<GridCoordinates> coords = coordinatesOf(coordinates);
    const std::size_t cells = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    py::array_t<double> out({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(rows),
                             static_cast<py::ssize_t>(cols)});
    double* frameOut = out.mutable_data();
    std::atomic<bool> cancel{false};
    bool finished = false;
    {
        py::gil_scoped_release unlocked;
        validateParams(params, rows, cols);
        try {
            animationWavelength(params, wavelength);
        } catch (const ParamError& e) {
            throw keywordError(e);
        }
        for (const FieldView& field : views) checkVectors(rows, cols, field.x, field.y, field.mask, threads);
        if (const auto* t = std::get_if<Plane<double>>(&views[0].texture)) checkTexture(rows, cols, *t, views[0].mask);
        const bool phased = std::isfinite(phaseStep);
        const int cores = threadCount(threads);
        // A physical field in cell units, mapped as it is needed.
        const auto inCells = [&](std::int32_t t, std::vector<double>& x, std::vector<double>& y) {
            const FieldView& field = views[static_cast<std::size_t>(t)];
            return coords ? mapToCells(field, *coords, x, y) : field;
        };
        // One field: a trace, then a pass a frame.
        const auto loop = [&] {
            RunOptions run;
            run.threads = cores;
            run.cancel = &cancel;
            std::vector<double> x, y;
            const AnimationSums sums = computeLicAnimation(inCells(0, x, y), params, {wavelength, steady}, run);
            for (std::int32_t f = 0; f < count; ++f)
                sums.frame(phased ? f * phaseStep : loopPhase(f, count), frameOut + cells * f, cores);
        };
        // Frame t of a series, on `on` threads.
        const auto seriesFrame = [&](std::int32_t t, int on, std::vector<std::int32_t>& hits) {
            RunOptions run;
            run.threads = on;
            run.cancel = &cancel;
            double* target = frameOut + cells * static_cast<std::size_t>(t);
            std::vector<double> x, y;
            if (!phased) {
                hits.resize(cells);
                computeLic(inCells(t, x, y), params, target, hits.data(), run);
            } else {
                computeLicAnimation(inCells(t, x, y), params, {wavelength, steady}, run)
                    .frame(t * phaseStep, target, on);
            }
        };
        const auto series = [&] {
            std::vector<std::int32_t> hits;
            // Below about a million traced points a frame, threads share out
            // whole frames rather than the rows of each.
            if (cores > 1 && params.work(static_cast<std::int64_t>(cells)) < 4e7) {
                std::atomic<std::int32_t> next{0};
                onThreads(cores, [&](int) {
                    std::vector<std::int32_t> own;
                    for (std::int32_t t; !cancel.load() && (t = next.fetch_add(1)) < count;) seriesFrame(t, 1, own);
                });
                if (cancel.load()) throw Cancelled();
            } else {
                for (std::int32_t t = 0; t < count; ++t) seriesFrame(t, cores, hits);
            }
        };
        try {
            if (fields == 1)
                finished = interruptible(loop, cancel);
            else
                finished = interruptible(series, cancel);
        } catch (const ParamError& e) {
            throw keywordError(e);
        }
    }
    if (!finished) throw py::error_already_set();
    return out;
}

// A contiguous C-ordered array's data, as render() reads it.
template <typename T>
const T* contiguousData(const py::object& a, const char* name) {
    if (!py::isinstance<py::array_t<T>>(a) ||
        !(py::reinterpret_borrow<py::array>(a).flags() & py::array::c_style))
        throw std::invalid_argument(std::string("internal: ") + name + " is not a contiguous array");
    return static_cast<const T*>(py::reinterpret_borrow<py::array>(a).data());
}

// The console's image of a convolved field with its image options; params
// are the convolution's, for the second pass of enhanced contrast. lic,
// mask and scalar are C-ordered.
py::array_t<std::uint8_t> renderImage(const py::array& lic, const py::array& x, const py::array& y,
                                      const py::object& mask, const py::object& scalar, const py::dict& options,
                                      const py::dict& licOptions, int threads, const py::object& coordinates,
                                      const py::object& table) {
    const auto [rows, cols] = shapeOf(x);
    RenderInput input;
    input.rows = rows;
    input.cols = cols;
    input.lic = contiguousData<double>(lic, "lic");
    input.x = planeOf<double>(x, "v");
    input.y = planeOf<double>(y, "u");
    input.mask = mask.is_none() ? nullptr : contiguousData<std::uint8_t>(mask, "mask");
    input.scalar = scalar.is_none() ? nullptr : contiguousData<double>(scalar, "color_by");
    RenderOptions renderOptions;
    convertOptions({&imageOptions()}, options, renderOptions);
    // A scalar is given as data, not by a word.
    if (input.scalar) renderOptions.colorBy = ColorBy::scalar;
    const LicParams licParams = licParamsOf(licOptions);
    const std::optional<GridCoordinates> coords = coordinatesOf(coordinates);
    // A colour map given as a table (sampled from matplotlib's), spread
    // evenly over 0..1.
    std::optional<Colormap> map;
    if (!table.is_none()) {
        const auto t = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(table);
        if (!t || t.ndim() != 2 || t.shape(1) != 3 || t.shape(0) < 1)
            throw std::invalid_argument("internal: the colour table is not (n, 3)");
        map.emplace();
        for (py::ssize_t k = 0; k < t.shape(0); ++k) map->entries.emplace_back(t.at(k, 0), t.at(k, 1), t.at(k, 2), 1.0);
    }
    Image image;
    bool finished = true;
    {
        py::gil_scoped_release unlocked;
        validateParams(licParams, rows, cols);
        const Plane<std::uint8_t> maskPlane =
            input.mask ? contiguousPlane(input.mask, cols) : Plane<std::uint8_t>{};
        input.largestMagnitude = checkVectors(rows, cols, input.x, input.y, maskPlane, threads);
        // The second pass sees the image's mask, as the console's does.
        FieldView field{rows, cols, input.x, input.y, {}, maskPlane};
        // The second pass traces as convolve did.
        std::vector<double> xCells, yCells;
        if (coords && renderOptions.contrast.mode == Contrast::enhanced)
            field = mapToCells(field, *coords, xCells, yCells);
        std::atomic<bool> cancel{false};
        input.secondPass = licPassOver(field, licParams, threads, &cancel);
        input.threads = threads;
        try {
            const auto work = [&] {
                image = map ? render(input, renderOptions, *map) : render(input, renderOptions);
            };
            // Only the second pass takes long enough to be worth stopping.
            if (renderOptions.contrast.mode != Contrast::enhanced ||
                licParams.work(static_cast<std::int64_t>(rows) * cols) < 1e6)
                work();
            else if (!interruptible(work, cancel))
                finished = false;
        } catch (const std::invalid_argument& e) {
            // The tables check the options first; should the image's own
            // checks still refuse one, name its keyword, not "--name".
            std::string message = e.what();
            const std::size_t end = message.find_first_of(": ");
            if (message.rfind("--", 0) == 0 && end != std::string::npos)
                message = options::keywordOf(message.substr(2, end - 2)) + message.substr(end);
            throw KeywordError(message);
        }
    }
    if (!finished) throw py::error_already_set();  // with the GIL, which it reads the error under
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(image.rows), static_cast<py::ssize_t>(image.cols),
                                    static_cast<py::ssize_t>(image.channels)});
    std::memcpy(out.mutable_data(), image.pixels.data(), image.pixels.size());
    return out;
}

py::tuple readTextField(const std::string& vectorFile, const std::string& textureFile,
                        std::int32_t rows, std::int32_t cols) {
    const py::ssize_t shape[2] = {rows, cols};
    py::array_t<std::int32_t> texture(shape);
    py::array_t<double> x(shape), y(shape);
    std::int32_t* t = texture.mutable_data();
    double* xo = x.mutable_data();
    double* yo = y.mutable_data();
    {
        py::gil_scoped_release unlocked;
        RegGrid grid(rows, cols);
        readInputFiles(vectorFile, textureFile, grid);
        const std::size_t n = grid.cellCount();
        const Vector* v = grid.vectors.data();
        for (std::size_t k = 0; k < n; ++k) {
            xo[k] = v[k].x;
            yo[k] = v[k].y;
        }
        std::memcpy(t, grid.texture.data(), n * sizeof(std::int32_t));
    }
    return py::make_tuple(std::move(texture), std::move(x), std::move(y));
}

// A message that may hold a file name's bytes, which need not be UTF-8:
// those bytes as \xNN escapes.
void setError(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<py::ssize_t>(message.size()),
                                          "backslashreplace");
    if (!text) return;  // the decoding's own error stands
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

py::tuple demoField(std::int32_t rows, std::int32_t cols) {
    const py::ssize_t shape[2] = {rows, cols};
    py::array_t<double> x(shape), y(shape);
    double* xo = x.mutable_data();
    double* yo = y.mutable_data();
    {
        py::gil_scoped_release unlocked;
        std::size_t k = 0;
        for (std::int32_t i = 0; i < rows; ++i) {
            for (std::int32_t j = 0; j < cols; ++j, ++k) {
                const DemoVector v = demoVector(rows, cols, i, j);
                xo[k] = v.x;
                yo[k] = v.y;
            }
        }
    }
    return py::make_tuple(std::move(x), std::move(y));
}

py::array_t<std::uint8_t> noise(std::int32_t rows, std::int32_t cols, std::uint64_t seed) {
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    std::uint8_t* o = out.mutable_data();
    {
        py::gil_scoped_release unlocked;
        DemoNoise generator(seed);
        const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
        for (std::size_t k = 0; k < n; ++k) o[k] = generator.next();
    }
    return out;
}

// frames (N, rows, cols, 3 or 4), C-ordered uint8, written whole to path
// or not at all.
void saveAnimation(const py::array& frames, const std::string& path, double fps, int threads) {
    const auto* data = contiguousData<std::uint8_t>(frames, "frames");
    const AnimationShape shape{static_cast<std::int32_t>(frames.shape(1)), static_cast<std::int32_t>(frames.shape(2)),
                               static_cast<int>(frames.shape(3)), static_cast<std::int32_t>(frames.shape(0)), fps};
    const std::size_t frameBytes = static_cast<std::size_t>(frames.strides(0));
    py::gil_scoped_release unlocked;
    OutputSet outputs;
    addAnimation(outputs, "", path, shape, [&](std::int32_t k) {
        return PixelView{data + static_cast<std::size_t>(k) * frameBytes, shape.rows, shape.cols, shape.channels};
    }, threads);
    outputs.open();
    outputs.write();
}

}  // namespace

}  // namespace fastlic::python

PYBIND11_MODULE(_fastlic, m) {
    using namespace fastlic;
    using namespace fastlic::python;
    m.doc() = "fastlic's compiled core; use the fastlic package, which checks the arguments.";
    m.attr("__version__") = FASTLIC_VERSION;

    // A file that cannot be opened is an OSError, input that does not hold
    // what it must a ValueError, both with the console's message. The
    // engine's ParamError and FieldError, and the checks here, are
    // std::invalid_argument or std::domain_error: pybind11 makes them
    // ValueError.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const BadFilename& e) {
            setError(PyExc_OSError, e.what());
        } catch (const InputError& e) {
            setError(PyExc_ValueError, e.what());
        } catch (const OutputError& e) {
            setError(PyExc_OSError, e.what());
        }
    });

    m.def("convolve", &convolve, py::arg("texture"), py::arg("x"), py::arg("y"), py::arg("mask"),
          py::arg("options"), py::arg("threads"), py::arg("coordinates") = py::none(), py::arg("lic") = py::none(),
          "(lic, hits) of the field; x along the rows, y along the columns; mask uint8 or None; "
          "options by convolve's keywords (options['method'], ['sampling'], ['boundary']); "
          "coordinates None or (y, x, spacing, geographic); lic None or the float64 C-order "
          "(rows, cols) array to write the LIC values into.");
    m.def("animate", &animate, py::arg("texture"), py::arg("xs"), py::arg("ys"), py::arg("mask"), py::arg("options"),
          py::arg("frames"), py::arg("wavelength"), py::arg("steady"), py::arg("phase_step"), py::arg("threads"),
          py::arg("coordinates") = py::none(),
          "Frames (N, rows, cols) of one field's loop or of a series of fields (lists of x and y arrays); "
          "wavelength 0: L; phase_step nan: none; coordinates as convolve's.");
    m.def("render", &renderImage, py::arg("lic"), py::arg("x"), py::arg("y"), py::arg("mask"),
          py::arg("scalar"), py::arg("options"), py::arg("lic_options"), py::arg("threads"),
          py::arg("coordinates") = py::none(), py::arg("table") = py::none(),
          "The console's image, (rows, cols, 3 or 4) uint8; options by render's keywords "
          "(options['image']), lic_options by convolve's.");
    py::dict tables;
    tables["method"] = describe(methodOptions());
    tables["sampling"] = describe(samplingOptions());
    tables["boundary"] = describe(boundaryOptions());
    tables["image"] = describe(imageOptions());
    m.attr("options") = tables;
    m.attr("colormap_names") = colormapNames();
    m.def(
        "colormap_samples",
        [](const std::string& name, int count) {
            const Colormap map = colormapNamed(name);
            py::array_t<double> out({static_cast<py::ssize_t>(count), py::ssize_t{3}});
            for (int k = 0; k < count; ++k) {
                const Point c = map.at(count > 1 ? static_cast<double>(k) / (count - 1) : 0.0);
                out.mutable_at(k, 0) = c.x, out.mutable_at(k, 1) = c.y, out.mutable_at(k, 2) = c.z;
            }
            return out;
        },
        py::arg("name"), py::arg("count"), "The named map's colours (0..255) at count even steps from 0 to 1.");
    m.def("read_text_field", &readTextField, py::arg("vector_file"), py::arg("texture_file"),
          py::arg("rows"), py::arg("cols"), "(texture, x, y) from the two text files.");
    m.def("demo_field", &demoField, py::arg("rows"), py::arg("cols"),
          "(x, y) of the demo field as its file holds it.");
    m.def("save_animation", &saveAnimation, py::arg("frames"), py::arg("path"), py::arg("fps"),
          py::arg("threads"), "frames (N, rows, cols, 3 or 4) uint8, C-ordered, written to path.");
    py::list extensions;
    for (const AnimationFormatRow& row : animationFormats()) extensions.append(row.extension);
    m.attr("animation_extensions") = extensions;
    m.def("noise", &noise, py::arg("rows"), py::arg("cols"), py::arg("seed"),
          "The demo's uniform 0..255 texture.");
}

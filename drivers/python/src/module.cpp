// _fastlic: the engine, the reader, the image and the demo data over NumPy
// arrays. fastlic/__init__.py checks the arguments and brings the arrays to
// the dtypes taken here (float64 vectors, int32 or float64 texture, aligned,
// strides whole elements); this layer maps them onto the engine's views
// without copying and releases the GIL while it works.
//
// The engine's x component runs along the rows, y along the columns; in
// NumPy terms x is v (axis 0) and y is u (axis 1), the names every message
// here uses.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "run/demo_field.h"
#include "io/input_files.h"
#include "engine/reg_grid.h"
#include "engine/lic.h"
#include "render/colormaps.h"
#include "render/render.h"
#include "base/errors.h"

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
std::string number(double v) {
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, v).ptr};
}

std::string cell(std::int32_t i, std::int32_t j) {
    return "[" + std::to_string(i) + ", " + std::to_string(j) + "]";
}

// Throws ValueError for the first unmasked cell, row by row, whose vector
// is not finite or whose squared length overflows (as the text reader
// does); returns the largest magnitude of the unmasked cells, computed as
// the reader computes it. Masked cells hold no data: their values are not
// looked at. Called without the GIL: the message is built from plain
// strings.
double checkVectors(std::int32_t rows, std::int32_t cols, const Plane<double>& x,
                    const Plane<double>& y, const Plane<std::uint8_t>& mask) {
    double largest = 0.0;
    for (std::int32_t i = 0; i < rows; ++i) {
        for (std::int32_t j = 0; j < cols; ++j) {
            if (masked(mask, i, j)) continue;
            const double vx = x(i, j), vy = y(i, j);
            const double squared = vx * vx + vy * vy;
            if (squared > largest) largest = squared;
            if (std::isfinite(squared)) continue;
            if (!std::isfinite(vy))
                throw std::domain_error("u" + cell(i, j) + " is " + number(vy) +
                                        ": vector components must be finite");
            if (!std::isfinite(vx))
                throw std::domain_error("v" + cell(i, j) + " is " + number(vx) +
                                        ": vector components must be finite");
            throw std::domain_error("the vector (u, v) = (" + number(vy) + ", " + number(vx) +
                                    ") at " + cell(i, j) +
                                    " is too large: its squared length overflows");
        }
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
}

LicParams paramsOf(std::int32_t filterHalfLength, std::int32_t slideSteps, std::int32_t hitLimit,
                   double step, bool rowsClosed, bool colsClosed, bool orientation, bool linear,
                   std::int32_t iterations) {
    LicParams params;
    params.filterHalfLength = filterHalfLength;
    params.slideSteps = slideSteps;
    params.hitLimit = hitLimit;
    params.step = step;
    params.rowBoundary = rowsClosed ? Boundary::closed : Boundary::periodic;
    params.colBoundary = colsClosed ? Boundary::closed : Boundary::periodic;
    params.orientation = orientation;
    params.interpolation = linear ? Interpolation::linear : Interpolation::nearest;
    params.iterations = iterations;
    return params;
}

// params.validateFor with convolve's keyword in the message.
void validateParams(const LicParams& params, std::int32_t rows, std::int32_t cols) {
    try {
        params.validateFor(rows, cols);
    } catch (const ParamError& e) {
        std::string keyword = e.option().empty() ? "filter_half_length, slide_steps and step:" : e.option();
        for (char& c : keyword)
            if (c == '-') c = '_';
        throw KeywordError(keyword + " " + e.problem());
    }
}

py::tuple convolve(const py::array& texture, const py::array& x, const py::array& y,
                   std::int32_t filterHalfLength, std::int32_t slideSteps, std::int32_t hitLimit,
                   double step, bool rowsClosed, bool colsClosed, const py::object& mask,
                   bool orientation, bool linear, std::int32_t iterations, int threads) {
    const auto [rows, cols] = shapeOf(x);
    FieldView field{rows, cols, planeOf<double>(x, "v"), planeOf<double>(y, "u"), {},
                    maskOf(mask, rows, cols)};
    if (py::isinstance<py::array_t<std::int32_t>>(texture))
        field.texture = planeOf<std::int32_t>(texture, "texture");
    else
        field.texture = planeOf<double>(texture, "texture");
    const LicParams params = paramsOf(filterHalfLength, slideSteps, hitLimit, step, rowsClosed,
                                      colsClosed, orientation, linear, iterations);

    py::array_t<double> lic({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    py::array_t<std::int32_t> hits({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    double* licOut = lic.mutable_data();
    std::int32_t* hitsOut = hits.mutable_data();
    {
        py::gil_scoped_release unlocked;
        validateParams(params, rows, cols);
        checkVectors(rows, cols, field.x, field.y, field.mask);
        if (const auto* t = std::get_if<Plane<double>>(&field.texture))
            checkTexture(rows, cols, *t, field.mask);
        RunOptions options;
        options.threads = threads;
        computeLic(field, params, licOut, hitsOut, options);
    }
    return py::make_tuple(std::move(lic), std::move(hits));
}

// A contiguous C-ordered array's data, as render() reads it.
template <typename T>
const T* contiguousData(const py::object& a, const char* name) {
    if (!py::isinstance<py::array_t<T>>(a) ||
        !(py::reinterpret_borrow<py::array>(a).flags() & py::array::c_style))
        throw std::invalid_argument(std::string("internal: ") + name + " is not a contiguous array");
    return static_cast<const T*>(py::reinterpret_borrow<py::array>(a).data());
}

// The image options, checked by fastlic.render, as the console's are
// parsed (drivers/console/image_options.cpp).
RenderOptions renderOptionsOf(const py::dict& o) {
    RenderOptions r;
    ContrastOptions& c = r.contrast;
    const auto contrast = o["contrast"].cast<std::string>();
    c.mode = contrast == "stretch"    ? Contrast::stretch
             : contrast == "equalize" ? Contrast::equalize
             : contrast == "adaptive" ? Contrast::adaptive
             : contrast == "enhanced" ? Contrast::enhanced
                                      : Contrast::none;
    c.clip = o["clip"].cast<double>();
    std::tie(c.tileRows, c.tileCols) = o["tiles"].cast<std::pair<std::int32_t, std::int32_t>>();
    c.clipLimit = o["clip_limit"].cast<double>();
    c.sigma = o["enhance_sigma"].cast<double>();
    r.colormap = o["colormap"].cast<std::string>();
    if (!o["colormap_range"].is_none()) {
        const auto [lo, hi] = o["colormap_range"].cast<std::pair<double, double>>();
        r.range = Range{lo, hi};
    }
    r.log = o["log"].cast<bool>();
    const auto colorBy = o["color_by"].cast<std::string>();
    r.colorBy = colorBy == "none" ? ColorBy::none : colorBy == "scalar" ? ColorBy::scalar : ColorBy::magnitude;
    r.shade.blend = o["blend"].cast<std::string>() == "overlay" ? Blend::overlay : Blend::multiply;
    r.shade.alpha = o["alpha"].cast<double>();
    r.shade.background = o["transparent"].cast<bool>() ? Background::transparent : Background::opaque;
    const auto [red, green, blue] = o["mask_color"].cast<std::tuple<int, int, int>>();
    r.shade.maskColor = {static_cast<std::uint8_t>(red), static_cast<std::uint8_t>(green),
                         static_cast<std::uint8_t>(blue)};
    r.colorbar = o["colorbar"].cast<bool>();
    return r;
}

// The console's image of a convolved field with its image options; params
// are the convolution's, for the second pass of enhanced contrast. lic,
// mask and scalar are C-ordered.
py::array_t<std::uint8_t> renderImage(const py::array& lic, const py::array& x, const py::array& y,
                                      const py::object& mask, const py::dict& options,
                                      const py::object& scalar, const py::tuple& params, int threads) {
    const auto [rows, cols] = shapeOf(x);
    RenderInput input;
    input.rows = rows;
    input.cols = cols;
    input.lic = contiguousData<double>(lic, "lic");
    input.x = planeOf<double>(x, "v");
    input.y = planeOf<double>(y, "u");
    input.mask = mask.is_none() ? nullptr : contiguousData<std::uint8_t>(mask, "mask");
    input.scalar = scalar.is_none() ? nullptr : contiguousData<double>(scalar, "color_by");
    const RenderOptions renderOptions = renderOptionsOf(options);
    const LicParams licParams = paramsOf(
        params[0].cast<std::int32_t>(), params[1].cast<std::int32_t>(), params[2].cast<std::int32_t>(),
        params[3].cast<double>(), params[4].cast<bool>(), params[5].cast<bool>(), params[6].cast<bool>(),
        params[7].cast<bool>(), params[8].cast<std::int32_t>());
    Image image;
    {
        py::gil_scoped_release unlocked;
        validateParams(licParams, rows, cols);
        const Plane<std::uint8_t> maskPlane =
            input.mask ? contiguousPlane(input.mask, cols) : Plane<std::uint8_t>{};
        input.largestMagnitude = checkVectors(rows, cols, input.x, input.y, maskPlane);
        // The second pass sees the image's mask, as the console's does.
        const FieldView field{rows, cols, input.x, input.y, {}, maskPlane};
        input.secondPass = licPassOver(field, licParams, threads);
        image = render(input, renderOptions);
    }
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
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const InputError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    m.def("convolve", &convolve, py::arg("texture"), py::arg("x"), py::arg("y"),
          py::arg("filter_half_length"), py::arg("slide_steps"), py::arg("hit_limit"),
          py::arg("step"), py::arg("rows_closed"), py::arg("cols_closed"), py::arg("mask"),
          py::arg("orientation"), py::arg("linear"), py::arg("iterations"), py::arg("threads"),
          "(lic, hits) of the field; x along the rows, y along the columns; mask uint8 or None.");
    m.def("render", &renderImage, py::arg("lic"), py::arg("x"), py::arg("y"), py::arg("mask"),
          py::arg("options"), py::arg("scalar"), py::arg("params"), py::arg("threads"),
          "The console's image with its image options, (rows, cols, 3 or 4) uint8.");
    m.attr("colormap_names") = colormapNames();
    m.def("read_text_field", &readTextField, py::arg("vector_file"), py::arg("texture_file"),
          py::arg("rows"), py::arg("cols"), "(texture, x, y) from the two text files.");
    m.def("demo_field", &demoField, py::arg("rows"), py::arg("cols"),
          "(x, y) of the demo field as its file holds it.");
    m.def("noise", &noise, py::arg("rows"), py::arg("cols"), py::arg("seed"),
          "The demo's uniform 0..255 texture.");
}

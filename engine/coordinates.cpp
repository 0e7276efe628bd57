#include "engine/coordinates.h"

#include <algorithm>
#include <cmath>

#include "base/options.h"

namespace fastlic {

namespace {

std::string number(double v) { return options::formatReal(v); }

std::string at(const AxisCoordinates& axis, std::size_t k) {
    return axis.name + "[" + std::to_string(k) + "]";
}

// pi / 180 as a double; cos of a latitude in degrees.
double cosDegrees(double degrees) { return std::cos(degrees * (3.141592653589793 / 180.0)); }

}  // namespace

std::vector<double> localSpacings(const AxisCoordinates& axis, std::int32_t n) {
    const auto count = static_cast<std::size_t>(n);
    if (axis.values.empty()) {
        if (!(std::isfinite(axis.spacing) && axis.spacing > 0.0))
            throw CoordinateError(axis.name + " must be a positive finite number, got " + number(axis.spacing));
        return std::vector<double>(count, axis.spacing);
    }
    const std::vector<double>& c = axis.values;
    if (c.size() != count)
        throw CoordinateError(axis.name + " has " + std::to_string(c.size()) + " values, the grid " +
                              std::to_string(n) + " cells along that axis");
    for (std::size_t k = 0; k < count; ++k)
        if (!std::isfinite(c[k]))
            throw CoordinateError(at(axis, k) + " is " + number(c[k]) + ": coordinates must be finite");
    if (count < 2)
        throw CoordinateError(axis.name + " has one value, which gives no cell size; give a spacing instead");
    const bool increasing = c[1] > c[0];
    for (std::size_t k = 1; k < count; ++k) {
        if (c[k] == c[k - 1])
            throw CoordinateError(at(axis, k) + " repeats " + at(axis, k - 1) + " (" + number(c[k]) +
                                  "): coordinates must be strictly increasing or decreasing");
        if ((c[k] > c[k - 1]) != increasing)
            throw CoordinateError(at(axis, k) + " (" + number(c[k]) + ") turns back after " + at(axis, k - 1) +
                                  " (" + number(c[k - 1]) + "): coordinates must be strictly " +
                                  (increasing ? "increasing" : "decreasing") + ", as they start");
    }
    std::vector<double> d(count);
    d[0] = c[1] - c[0];
    d[count - 1] = c[count - 1] - c[count - 2];
    for (std::size_t k = 1; k + 1 < count; ++k) d[k] = (c[k + 1] - c[k - 1]) / 2.0;
    for (std::size_t k = 0; k < count; ++k)
        if (!std::isfinite(d[k]))  // coordinates near the largest doubles
            throw CoordinateError(at(axis, k) + ": the spacing there overflows");
    return d;
}

void checkCoordinates(const GridCoordinates& c, std::int32_t rows, std::int32_t cols) {
    localSpacings(c.rows, rows);
    localSpacings(c.cols, cols);
    if (!c.geographic) return;
    // At a pole a row is one point, where east has no direction; refused
    // rather than guessed.
    const std::vector<double>& lat = c.rows.values;
    for (std::size_t k = 0; k < lat.size(); ++k)
        if (!(std::fabs(lat[k]) < 90.0))
            throw CoordinateError(at(c.rows, k) + " is " + number(lat[k]) +
                                  ": latitudes must lie strictly between -90 and 90 (east has no direction at "
                                  "a pole)");
    if (lat.empty())
        throw CoordinateError("a geographic grid needs its latitudes (" + c.rows.name +
                              "), not a spacing: cos(latitude) scales its columns");
}

FieldView mapToCells(const FieldView& field, const GridCoordinates& c, std::vector<double>& x,
                     std::vector<double>& y) {
    checkCoordinates(c, field.rows, field.cols);
    const std::vector<double> dRow = localSpacings(c.rows, field.rows);
    const std::vector<double> dCol = localSpacings(c.cols, field.cols);
    double s = std::fabs(dRow[0]);
    for (const double d : dRow) s = std::min(s, std::fabs(d));
    for (const double d : dCol) s = std::min(s, std::fabs(d));
    std::vector<double> rowFactor(dRow.size()), colFactor(dCol.size());
    for (std::size_t k = 0; k < dRow.size(); ++k) rowFactor[k] = s / dRow[k];
    const std::size_t cols = static_cast<std::size_t>(field.cols);
    x.assign(static_cast<std::size_t>(field.rows) * cols, 0.0);
    y.assign(x.size(), 0.0);
    for (std::int32_t i = 0; i < field.rows; ++i) {
        const double shrink = c.geographic ? cosDegrees(c.rows.values[static_cast<std::size_t>(i)]) : 1.0;
        for (std::size_t j = 0; j < cols; ++j) colFactor[j] = s / (dCol[j] * shrink);
        double* xo = x.data() + static_cast<std::size_t>(i) * cols;
        double* yo = y.data() + static_cast<std::size_t>(i) * cols;
        for (std::int32_t j = 0; j < field.cols; ++j) {
            const double vx = field.x(i, j), vy = field.y(i, j);
            if (field.mask.data && field.mask(i, j)) {
                xo[j] = vx, yo[j] = vy;
                continue;
            }
            xo[j] = vx * rowFactor[static_cast<std::size_t>(i)];
            yo[j] = vy * colFactor[static_cast<std::size_t>(j)];
            if (!std::isfinite(xo[j] * xo[j] + yo[j] * yo[j]))
                throw CoordinateError("the vector at [" + std::to_string(i) + ", " + std::to_string(j) +
                                      "] is too large in cell units: its squared length overflows once divided "
                                      "by the cell's size");
        }
    }
    FieldView mapped = field;
    mapped.x = contiguousPlane(x.data(), field.cols);
    mapped.y = contiguousPlane(y.data(), field.cols);
    return mapped;
}

}  // namespace fastlic

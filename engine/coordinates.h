// Physical coordinates of a grid's cells, and the field carried from
// physical units into cell units for tracing.
//
// Streamlines are traced in cells. On a grid whose cells are not unit
// squares (dx != dy, non-uniform coordinates, longitude and latitude) a
// vector's direction in cells differs from its physical direction, so each
// cell's vector is divided by that cell's size along each axis first:
//
//     x'(i, j) = x(i, j) * (s / dRow[i])       along the rows (axis 0)
//     y'(i, j) = y(i, j) * (s / dCol(i, j))    along the columns (axis 1)
//
// dRow[i] is the local spacing of the row coordinates at row i: the centred
// difference (c[i + 1] - c[i - 1]) / 2 inside, the one-sided difference at
// the two ends, signed (decreasing coordinates turn the axis round); a
// uniform spacing is that value in every row. dCol likewise along the
// columns; on a geographic grid (degrees, rows latitude, columns longitude)
// it is dLon[j] x cos(latitude[i]). s is the smallest |spacing| of either
// axis: it leaves the vectors' size in cells about what it was, so that
// the near-zero test of the tracer keeps its meaning, and makes a grid of
// equal square cells the plain field bit for bit (s / d is then 1).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/lic.h"

namespace fastlic {

// One axis: a uniform spacing (values empty), or one coordinate per cell
// along the axis, strictly increasing or decreasing.
struct AxisCoordinates {
    std::string name;  // for messages: "x", "--cell-size B (along the columns)", ...
    double spacing = 1.0;
    std::vector<double> values;
};

struct GridCoordinates {
    AxisCoordinates rows;  // along axis 0: y, latitude
    AxisCoordinates cols;  // along axis 1: x, longitude
    // Degrees: rows latitude (strictly between -90 and 90), columns longitude.
    bool geographic = false;
};

// Coordinates that cannot map a field; what() names the axis, the value
// and what is wrong with it.
class CoordinateError : public FieldError {
public:
    using FieldError::FieldError;
};

// The signed local spacing of each of the n cells along the axis. Throws
// CoordinateError for a count that is not n, a value that is not finite,
// a repeated value, values out of order, a spacing that is not a positive
// finite number, or fewer than two values.
std::vector<double> localSpacings(const AxisCoordinates& axis, std::int32_t n);

// Checks the coordinates for a rows x cols grid (latitudes too); throws
// CoordinateError.
void checkCoordinates(const GridCoordinates& c, std::int32_t rows, std::int32_t cols);

// The field's vectors in cell units, into x and y (rows x cols each,
// row-major), and the view that reads them in place of the field's own;
// texture and mask are the field's. Masked cells are copied as they are.
FieldView mapToCells(const FieldView& field, const GridCoordinates& c, std::vector<double>& x,
                     std::vector<double>& y);

}  // namespace fastlic

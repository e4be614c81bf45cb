// Contour lines of a field sampled on a regular grid (marching squares).
#pragma once

#include <Eigen/Core>
#include <vector>

namespace camcal {

// Values at the nodes of a columns x rows grid, row by row; NaN where the
// field is undefined (no line crosses a cell with such a corner).
struct GridField {
  int columns = 0, rows = 0;
  std::vector<double> values;
  double at(int column, int row) const { return values[size_t(row) * columns + column]; }
};

// A piece of a contour line, in grid coordinates (column, row).
struct Segment {
  Eigen::Vector2d from, to;
};

// The pieces of the line where the field equals level, one or two per cell
// the line crosses, the crossing placed by linear interpolation along the
// cell's edges.
std::vector<Segment> contourSegments(const GridField& field, double level);

}  // namespace camcal

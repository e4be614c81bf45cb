#include "plot/contour_lines.h"

#include <cmath>

namespace camcal {

namespace {

// The point on the edge from corner a (value va) to corner b (value vb) where
// the field crosses level.
Eigen::Vector2d crossing(const Eigen::Vector2d& a, const Eigen::Vector2d& b, double va, double vb,
                         double level) {
  const double t = (level - va) / (vb - va);
  return a + t * (b - a);
}

}  // namespace

std::vector<Segment> contourSegments(const GridField& field, double level) {
  std::vector<Segment> segments;
  for (int row = 0; row + 1 < field.rows; ++row) {
    for (int column = 0; column + 1 < field.columns; ++column) {
      // Corners counter-clockwise from the top left: 0 (c, r), 1 (c+1, r),
      // 2 (c+1, r+1), 3 (c, r+1).
      const Eigen::Vector2d corner[4] = {{double(column), double(row)},
                                         {column + 1.0, double(row)},
                                         {column + 1.0, row + 1.0},
                                         {double(column), row + 1.0}};
      const double value[4] = {field.at(column, row), field.at(column + 1, row),
                               field.at(column + 1, row + 1), field.at(column, row + 1)};
      bool defined = true;
      for (double v : value) defined = defined && std::isfinite(v);
      if (!defined) continue;
      // The edges whose ends lie on both sides of the level.
      std::vector<Eigen::Vector2d> points;
      for (int edge = 0; edge < 4; ++edge) {
        const int a = edge, b = (edge + 1) % 4;
        if ((value[a] >= level) != (value[b] >= level)) {
          points.push_back(crossing(corner[a], corner[b], value[a], value[b], level));
        }
      }
      if (points.size() == 2) {
        segments.push_back({points[0], points[1]});
      } else if (points.size() == 4) {
        // A saddle: pair the crossings by the value at the cell's centre.
        const double centre = (value[0] + value[1] + value[2] + value[3]) / 4.0;
        const bool join_first = (centre >= level) == (value[0] >= level);
        segments.push_back({points[0], points[join_first ? 1 : 3]});
        segments.push_back({points[2], points[join_first ? 3 : 1]});
      }
    }
  }
  return segments;
}

}  // namespace camcal

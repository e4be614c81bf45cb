#include "calibration_utils/view_coverage.h"

#include <algorithm>
#include <cmath>

namespace dravik {
namespace calibration {

int coverageCell(const Eigen::Vector2d& p, int width, int height, int columns, int rows) {
  const auto cell = [](double at, int extent, int cells) {
    const double scaled = std::floor(cells * (at + 0.5) / extent);
    // Not a number or beyond the grid: the nearest cell (the first for NaN).
    if (!(scaled >= 0.0)) return 0;
    return static_cast<int>(std::min<double>(scaled, cells - 1));
  };
  return cell(p.y(), height, rows) * columns + cell(p.x(), width, columns);
}

std::vector<std::uint8_t> coveredCells(const std::vector<std::vector<Eigen::Vector2d>>& point_sets,
                                       int width, int height, int columns, int rows) {
  std::vector<std::uint8_t> covered(static_cast<size_t>(columns) * static_cast<size_t>(rows), 0);
  for (const std::vector<Eigen::Vector2d>& points : point_sets) {
    for (const Eigen::Vector2d& p : points) {
      covered[static_cast<size_t>(coverageCell(p, width, height, columns, rows))] = 1;
    }
  }
  return covered;
}

}  // namespace calibration
}  // namespace dravik

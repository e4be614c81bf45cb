// How the points of a calibration's views cover the image, on a grid of
// equal cells: the fit's warning of the parts a compromise lens leaves
// uncovered (3 x 3) and camcal's coverage warning and picture (4 x 3).
//
// Pixels: centres at integers, so the image spans [-0.5, width - 0.5] x
// [-0.5, height - 0.5]; a columns x rows grid cuts it into equal cells,
// numbered row-major from the top left. A point beyond the image counts in
// the nearest cell.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <vector>

namespace dravik {
namespace calibration {

// The cell of pixel p, row * columns + column, with
// column = floor(columns (p.x + 0.5) / width), row likewise, each clamped to
// the grid. For a width, height, columns and rows all positive.
int coverageCell(const Eigen::Vector2d& p, int width, int height, int columns, int rows);

// Per cell of the grid (row-major), 1 where one of the points lies.
std::vector<std::uint8_t> coveredCells(const std::vector<std::vector<Eigen::Vector2d>>& point_sets,
                                       int width, int height, int columns, int rows);

}  // namespace calibration
}  // namespace dravik

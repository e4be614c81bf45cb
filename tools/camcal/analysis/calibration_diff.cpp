#include "analysis/calibration_diff.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>

namespace camcal {

namespace {

// Grid pixels along the longer side of the image.
constexpr int kGridAlongLongerSide = 65;
// The displacement of a ray that B cannot see.
constexpr double kUnseen = std::numeric_limits<double>::infinity();

}  // namespace

double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0.0;
  const size_t rank = static_cast<size_t>(std::ceil(q * sorted.size()));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

DisplacementStatistics compareProjections(const IntrinsicsAtSize& a, const IntrinsicsAtSize& b,
                                          const Eigen::Matrix3d& b_from_a) {
  const dravik::calibration::Lens lens_a = lensOf(a), lens_b = lensOf(b);
  const int longer = std::max(a.width, a.height);
  const int columns = std::max(2, (kGridAlongLongerSide - 1) * a.width / longer + 1);
  const int rows = std::max(2, (kGridAlongLongerSide - 1) * a.height / longer + 1);
  const double b_sound_radius = lens_b.soundRegion().radius;
  DisplacementStatistics statistics;
  std::vector<double> displacements;
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      const double u = double(a.width - 1) * column / (columns - 1);
      const double v = double(a.height - 1) * row / (rows - 1);
      const auto rectified = lens_a.normalize(Eigen::Vector2d(u, v));
      const Eigen::Vector3d in_a(rectified.point.x(), rectified.point.y(), 1.0);
      const Eigen::Vector3d in_b = b_from_a * in_a;
      if (!rectified.converged) {
        ++statistics.skipped;
        continue;
      }
      // Both pixels from the ray, so that equal lenses give exactly zero
      // whatever the residual of the rectification. A ray B cannot see moved
      // without bound: it ranks above every displacement.
      double moved = kUnseen;
      if (in_b.z() > 0.0 && in_b.head<2>().norm() / in_b.z() <= b_sound_radius) {
        moved = (lens_b.project(in_b) - lens_a.project(in_a)).norm();
      }
      if (!std::isfinite(moved)) {
        moved = kUnseen;
        ++statistics.unseen;
      }
      if (displacements.empty() || moved > statistics.max) {
        statistics.max = moved;
        statistics.max_at = {u, v};
      }
      displacements.push_back(moved);
    }
  }
  std::sort(displacements.begin(), displacements.end());
  statistics.rays = static_cast<int>(displacements.size()) - statistics.unseen;
  statistics.median = quantile(displacements, 0.5);
  statistics.p99 = quantile(displacements, 0.99);
  return statistics;
}

double rotationAngleDegrees(const Eigen::Matrix3d& R) {
  return Eigen::AngleAxisd(R).angle() * 180.0 / M_PI;
}

SizeDiff diffAtSize(const IntrinsicsAtSize& a, const IntrinsicsAtSize& b,
                    const Eigen::Matrix3d& b_from_a) {
  SizeDiff diff;
  diff.width = a.width;
  diff.height = a.height;
  diff.displacement = compareProjections(a, b, b_from_a);
  diff.fx_change = double(b.K(0, 0)) - double(a.K(0, 0));
  diff.fy_change = double(b.K(1, 1)) - double(a.K(1, 1));
  diff.cx_change = double(b.K(0, 2)) - double(a.K(0, 2));
  diff.cy_change = double(b.K(1, 2)) - double(a.K(1, 2));
  return diff;
}

int CalibrationDiff::unseen() const {
  int unseen = 0;
  for (const auto& camera : cameras) {
    for (const auto& size : camera.sizes) unseen += size.displacement.unseen;
  }
  return unseen;
}

double CalibrationDiff::largest() const {
  double largest = 0.0;
  for (const auto& camera : cameras) {
    for (const auto& size : camera.sizes) largest = std::max(largest, size.displacement.max);
  }
  return largest;
}

}  // namespace camcal

// How far a calibration moved: the pixels at which two calibrations of one
// camera see the same rays.
//
// A grid of pixels covering the image of calibration A (pixel centres 0 to
// W - 1 and 0 to H - 1, every edge and corner included) is turned into viewing directions through
// A's lens, carried into B's camera frame by the change of orientation, and projected through both
// lenses; the displacement of a ray is the distance between its two pixels. The rays are directions
// (points at infinity): a change of orientation moves them, a change of position alone does not,
// and is reported in millimetres beside them. Pixels of A beyond a fold of its lens have no viewing
// direction and are left out (and counted). Rays that B cannot see (behind its camera, or beyond
// the sound region of its lens, calibration_utils/lens.h) have no pixel in B: they are
// counted apart and fail the comparison.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "inputs/intrinsics_formats.h"

namespace camcal {

// A ray that B cannot see counts as an infinite displacement in the
// maximum and the quantiles; `rays` counts the others.
struct DisplacementStatistics {
  double max = 0.0;
  double median = 0.0;
  double p99 = 0.0;
  // The pixel of A whose ray moved farthest.
  Eigen::Vector2d max_at = Eigen::Vector2d::Zero();
  int rays = 0;
  // Grid pixels of A without a viewing direction.
  int skipped = 0;
  // Rays of A that B cannot see.
  int unseen = 0;
};

// a and b at the same image size; b_from_a turns directions of A's camera
// frame into B's (the identity for two lenses of one camera).
DisplacementStatistics compareProjections(const IntrinsicsAtSize& a, const IntrinsicsAtSize& b,
                                          const Eigen::Matrix3d& b_from_a);

// The nearest-rank quantile of sorted values: the smallest value with at
// least a fraction q of the values at or below it; 0 for no values.
double quantile(const std::vector<double>& sorted, double q);

// The angle, degrees, of the rotation R.
double rotationAngleDegrees(const Eigen::Matrix3d& R);

// One image size (or one PTZ zoom position) of a camera in both calibrations.
struct SizeDiff {
  int width = 0, height = 0;
  bool ptz_zoom = false;  // zoom is meaningful (a PTZ zoom sample)
  int zoom = 0;
  DisplacementStatistics displacement;
  // B less A, pixels.
  double fx_change = 0, fy_change = 0, cx_change = 0, cy_change = 0;
};

struct CameraDiff {
  std::string name;
  std::string model_a, model_b;
  double centre_moved_mm = 0.0;
  double rotation_deg = 0.0;
  std::vector<SizeDiff> sizes;
};

struct CalibrationDiff {
  std::string path_a, path_b;
  bool ptz = false;
  double max_px = 0.5;
  std::vector<CameraDiff> cameras;
  std::vector<std::string> only_in_a, only_in_b;

  // The largest displacement of all (infinite when B cannot see a ray), the
  // rays B cannot see, and whether every ray is seen and moved at most max_px.
  double largest() const;
  int unseen() const;
  bool withinThreshold() const { return largest() <= max_px; }
};

// The comparison of a size or zoom: displacements and the change of K.
SizeDiff diffAtSize(const IntrinsicsAtSize& a, const IntrinsicsAtSize& b,
                    const Eigen::Matrix3d& b_from_a);

std::string diffAsText(const CalibrationDiff& diff);
std::string diffAsJson(const CalibrationDiff& diff);

}  // namespace camcal

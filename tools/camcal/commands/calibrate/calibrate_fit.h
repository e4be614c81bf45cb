// The fit of `camcal calibrate`: the library's multi-view calibration
// (calibration_utils/camera_calibration.h) on the corners found, and what a
// calibrator owes its user about it: the residual of every corner, how the
// kept corners cover the image, the projection uncertainty, the lens's sound
// region, and the warnings.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "calibrate_corners.h"
#include "calibration_utils/lens.h"
#include "calibration_utils/lens_soundness.h"

namespace camcal {

// The grid whose cells the kept corners should cover.
constexpr int kCoverageColumns = 4, kCoverageRows = 3;
// Fewer usable views, or fewer covered cells, earn a warning.
constexpr int kWantedViews = 10;
constexpr int kWantedCoveredCells = 10;
// A view whose board normal is within this angle of the optical axis is
// nearly fronto-parallel.
constexpr double kFrontoParallelDegrees = 10.0;
// A view whose rms exceeds this multiple of the median view's stands out.
constexpr double kOutlyingViewFactor = 3.0;

// One corner of a view the fit used: where it was measured, and measured
// less fitted.
struct CornerResidual {
  Eigen::Vector2d at;
  Eigen::Vector2d residual;
  int view = 0;  // index into CalibrationRun::images
  bool kept = true;
};

// The options of the library's fit (CameraCalibrationOptions), as the
// command line spells them.
struct FitOptions {
  std::string lens_terms = "rational";  // rational, plumb-bob or none
  bool fix_principal_point = false;
  bool same_focal_length = false;
  double outlier_sigma = 0.0;
};

// What the library's fit returns (its CameraCalibration), as camcal keeps
// it. (The fit's result type shares its name with the calibration message of
// one camera, so only calibrate_fit.cpp sees it.)
struct FittedCamera {
  dravik::calibration::Lens lens;
  std::vector<Eigen::Matrix4d> camera_from_target;  // per view
  double rms_px = 0.0;
  std::vector<double> view_rms_px;
  std::vector<std::vector<std::uint8_t>> kept;  // per view, per point
  // fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6; zero for a fixed term, +infinity
  // for one that the views do not determine.
  Eigen::Matrix<double, 12, 1> standard_deviations = Eigen::Matrix<double, 12, 1>::Zero();
  // The directions the views do not determine, described ("k1 and k4 trade
  // against each other").
  std::vector<std::string> undetermined;
  // The convex hull of the kept corners, pixels.
  std::vector<Eigen::Vector2d> covered_region;
};

struct CalibrationRun {
  CornerSet corners;
  // For each image, its view in the fit, or -1 when its board was not found.
  std::vector<int> view_of_image;
  FittedCamera fit;
  std::vector<CornerResidual> residuals;
  // Row-major, kCoverageRows x kCoverageColumns: whether a kept corner lies in the cell.
  std::array<bool, kCoverageColumns * kCoverageRows> covered{};
  dravik::calibration::SoundRegion sound_region;
  // Empty when the lens is sound over the whole image, else why not.
  std::string soundness_problem;
  // projectionUncertainty on a grid of `uncertainty_step` pixels.
  int uncertainty_step = 0;
  int uncertainty_columns = 0, uncertainty_rows = 0;
  std::vector<float> uncertainty;
  float largest_uncertainty = 0.0f;
  Eigen::Vector2d largest_uncertainty_at = Eigen::Vector2d::Zero();
  // The largest uncertainty inside fit.covered_region (+infinity when
  // unbounded there) and where; the shares of the grid above 1 px, above
  // 5 px and unbounded (0 to 1).
  double covered_largest_uncertainty = 0.0;
  Eigen::Vector2d covered_largest_uncertainty_at = Eigen::Vector2d::Zero();
  double share_above_1px = 0.0, share_above_5px = 0.0, share_unbounded = 0.0;
  std::vector<std::string> warnings;

  int keptCount() const;
  int droppedCount(int image) const;
};

// Fits the views of every image whose board was found and works out the
// rest. `source` names the input in errors: no board found anywhere, or the
// library refusing the views (its reason).
CalibrationRun fitCorners(CornerSet corners, const FitOptions& options, const std::string& source);

// "top left", "middle centre-right", ...: a cell of the coverage grid.
std::string coverageCellName(int column, int row);

}  // namespace camcal

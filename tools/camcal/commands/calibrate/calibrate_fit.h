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
#include "calibration_utils/camera_calibration.h"
#include "calibration_utils/lens.h"
#include "calibration_utils/lens_soundness.h"
#include "cli/fit_gate.h"

namespace camcal {

// The grid whose cells the kept corners should cover
// (calibration_utils/view_coverage.h).
constexpr int kCoverageColumns = 4, kCoverageRows = 3;
// Fewer usable views, or fewer covered cells, earn a warning.
constexpr int kWantedViews = 10;
constexpr int kWantedCoveredCells = 10;
// A view whose board normal is within this angle of the optical axis is
// nearly fronto-parallel.
constexpr double kFrontoParallelDegrees = 10.0;
// A view whose rms exceeds this multiple of the median view's stands out.
constexpr double kOutlyingViewFactor = 3.0;

// The checks a fit passes before anything is written; --force writes a fit
// that fails them, with the reason as a warning.
// - Every image point lies on the declared image: pixel centres span
//   [0, width - 1], so a corner may lie up to half a pixel beyond them.
// - The target of each view is planar (the fit starts from each view's
//   homography): no point farther from the view's best plane than this
//   share of the target's extent (its largest distance from its centroid).
constexpr double kPlanarityTolerance = 1e-3;
// - The principal point lies on the image (analysis/lens_check.h).
// - The rms is at most --max-rms (cli/fit_gate.h).
// - Outlier rejection keeps at least half of the corners of the views fitted.
// Two views whose corners all lie within this many pixels of each other are
// one view given twice: the later one is dropped.
constexpr double kDuplicateViewPx = 0.01;
// More views than this are refused (--max-views raises it).
constexpr int kDefaultMaxViews = 10000;
// A fit still running after this many seconds shows its progress on a
// terminal (views, iteration, rms), updated at most every kProgressPeriodS.
constexpr double kProgressAfterS = 1.0;
constexpr double kProgressPeriodS = 0.25;

// One corner of a view the fit used: where it was measured, and measured
// less fitted.
struct CornerResidual {
  Eigen::Vector2d at;
  Eigen::Vector2d residual;
  int view = 0;  // index into CalibrationRun::images
  bool kept = true;
};

// The options of the library's fit (CameraFitOptions), as the command line
// spells them.
struct FitOptions {
  // A spelling of the library's kLensTermsNames: rational, plumb-bob or none.
  std::string lens_terms =
      dravik::calibration::lensTermsName(dravik::calibration::LensTerms::kRational);
  bool fix_principal_point = false;
  bool same_focal_length = false;
  double outlier_sigma = 0.0;
  // camcal's own checks of the result (above).
  FitGate gate;  // --max-rms and --force
  // "fitting N views: iteration I, rms R px" on stderr for a long fit.
  bool progress = false;
};

struct CalibrationRun {
  // An image whose view was dropped (a duplicate, or dropped by the library's
  // fit) is not found, with the reason.
  CornerSet corners;
  // For each image, its view in the fit, or -1 when its board was not found
  // or its view dropped.
  std::vector<int> view_of_image;
  // The library's fit. A view it dropped (seen edge-on) keeps no point and
  // is no image's view: its image is not found.
  dravik::calibration::CameraFit fit;
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

  // Per image, its corners that the fit did not keep.
  std::vector<int> dropped;

  int keptCount() const;
  int droppedCount(int image) const { return dropped[size_t(image)]; }
};

// Fits the views of every image whose board was found, once each (views
// whose corners coincide are dropped with a warning naming them), and works
// out the rest. Throws an operation error, with `source` naming the input,
// when no board was found anywhere, when the library refuses the views (its
// reason), and, without options.force, when the fit fails a check above
// (every reason on one line).
CalibrationRun fitCorners(CornerSet corners, const FitOptions& options, const std::string& source);

// "top left", "middle centre-right", ...: a cell of the coverage grid.
std::string coverageCellName(int column, int row);

}  // namespace camcal

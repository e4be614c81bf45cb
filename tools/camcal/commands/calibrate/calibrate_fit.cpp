#include "calibrate_fit.h"

#include <unistd.h>

#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numeric>

#include "analysis/lens_check.h"
#include "calibration_utils/camera_calibration.h"
#include "calibration_utils/view_coverage.h"
#include "cli/command_error.h"
#include "cli/diagnostics.h"
#include "cli/number_format.h"
#include "cli/options.h"

namespace camcal {

namespace {

using dravik::calibration::CameraFit;
using dravik::calibration::CameraFitOptions;
using dravik::calibration::FitFailure;
using dravik::calibration::LensTerms;
using dravik::calibration::TargetView;

// The uncertainty grid has about this many cells across the image.
constexpr int kUncertaintyColumns = 160;

// Where the fitted camera sees target point P of a view:
// X = camera_from_target (P, 1), through the lens.
Eigen::Vector2d projectTargetPoint(const CameraFit& fit, int view, const Eigen::Vector3d& P) {
  const Eigen::Matrix4d& camera_from_target = fit.camera_from_target[size_t(view)];
  return fit.lens.project(camera_from_target.topLeftCorner<3, 3>() * P +
                          camera_from_target.topRightCorner<3, 1>());
}

// The angle between a view's board normal and the optical axis, degrees.
double tiltDegrees(const Eigen::Matrix4d& camera_from_target) {
  const double cosine = std::abs(camera_from_target(2, 2));
  return std::acos(std::min(1.0, cosine)) * 180.0 / M_PI;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void addResiduals(CalibrationRun* run) {
  run->dropped.assign(run->corners.images.size(), 0);
  for (size_t i = 0; i < run->corners.images.size(); ++i) {
    const int view = run->view_of_image[i];
    if (view < 0) continue;
    const ImageCorners& image = run->corners.images[i];
    const auto& kept = run->fit.kept[size_t(view)];
    for (size_t p = 0; p < image.image_points.size(); ++p) {
      CornerResidual corner;
      corner.at = image.image_points[p];
      corner.residual = corner.at - projectTargetPoint(run->fit, view, image.target_points[p]);
      corner.view = static_cast<int>(i);
      corner.kept = p < kept.size() && kept[p] != 0;
      run->residuals.push_back(corner);
      run->dropped[i] += corner.kept ? 0 : 1;
      if (!corner.kept) continue;
      run->covered[size_t(dravik::calibration::coverageCell(
          corner.at, run->corners.width, run->corners.height, kCoverageColumns, kCoverageRows))] =
          true;
    }
  }
}

void addUncertainty(CalibrationRun* run) {
  const CameraFit& fit = run->fit;
  // An even step, so that the cell centres i step + step / 2 are whole pixels.
  run->uncertainty_step = std::max(2, run->corners.width / kUncertaintyColumns / 2 * 2);
  RecordCapture capture;
  if (!dravik::calibration::projectionUncertainty(fit, run->uncertainty_step, &run->uncertainty)) {
    // The report goes without it; the library's reason shows with -v.
    capture.consume();
    run->uncertainty.clear();
    return;
  }
  run->uncertainty_columns = run->corners.width / run->uncertainty_step;
  run->uncertainty_rows = run->corners.height / run->uncertainty_step;
  if (run->uncertainty.size() != size_t(run->uncertainty_columns) * run->uncertainty_rows) {
    run->uncertainty.clear();
    return;
  }
  for (size_t i = 0; i < run->uncertainty.size(); ++i) {
    if (!(run->uncertainty[i] > run->largest_uncertainty)) continue;
    run->largest_uncertainty = run->uncertainty[i];
    const int column = static_cast<int>(i % size_t(run->uncertainty_columns));
    const int row = static_cast<int>(i / size_t(run->uncertainty_columns));
    run->largest_uncertainty_at = Eigen::Vector2d(column, row) * run->uncertainty_step +
                                  Eigen::Vector2d::Constant(run->uncertainty_step / 2);
  }
  dravik::calibration::UncertaintySummary summary;
  if (dravik::calibration::summarizeUncertainty(fit, run->uncertainty_step, run->uncertainty,
                                                &summary)) {
    run->covered_largest_uncertainty = summary.largest_covered_px;
    run->covered_largest_uncertainty_at = summary.largest_covered_at;
    run->share_above_1px = summary.share_above_1px;
    run->share_above_5px = summary.share_above_5px;
    run->share_unbounded = summary.share_unbounded;
  }
  for (const auto& direction : fit.undetermined) {
    run->warnings.push_back("the views do not determine one direction of the lens (" +
                            direction.description + "): the uncertainty is unbounded over " +
                            formatPrintf("%.0f", 100.0 * run->share_unbounded) + " % of the image");
  }
}

// Whether the fit used the view: the library drops a view seen edge-on,
// keeping none of its points.
bool fitted(const CalibrationRun& run, int view) {
  if (view < 0) return false;
  const auto& kept = run.fit.kept[size_t(view)];
  return std::any_of(kept.begin(), kept.end(), [](std::uint8_t k) { return k != 0; });
}

void addWarnings(CalibrationRun* run) {
  const int views = run->corners.foundCount();
  if (views < kWantedViews) {
    run->warnings.push_back("only " + std::to_string(views) +
                            " usable views; a calibration wants " + std::to_string(kWantedViews) +
                            " or more");
  }
  std::string empty;
  int covered = 0;
  for (int row = 0; row < kCoverageRows; ++row) {
    for (int column = 0; column < kCoverageColumns; ++column) {
      if (run->covered[size_t(row * kCoverageColumns + column)]) {
        ++covered;
      } else {
        empty += (empty.empty() ? "" : ", ") + coverageCellName(column, row);
      }
    }
  }
  if (covered < kWantedCoveredCells) {
    run->warnings.push_back("the kept corners cover " + std::to_string(covered) + " of the " +
                            std::to_string(kCoverageColumns * kCoverageRows) + " cells of a " +
                            std::to_string(kCoverageColumns) + " x " +
                            std::to_string(kCoverageRows) + " grid over the image; none in " +
                            empty + ": show the board there");
  }
  bool all_facing = true;
  std::vector<double> view_rms;
  for (size_t i = 0; i < run->corners.images.size(); ++i) {
    const int view = run->view_of_image[i];
    if (!fitted(*run, view)) continue;
    all_facing = all_facing &&
                 tiltDegrees(run->fit.camera_from_target[size_t(view)]) < kFrontoParallelDegrees;
    view_rms.push_back(run->fit.view_rms_px[size_t(view)]);
  }
  if (all_facing) {
    run->warnings.push_back("every view is within " + formatPrintf("%g", kFrontoParallelDegrees) +
                            " deg of facing the camera: the focal length rests on little "
                            "perspective; tilt the board in some views");
  }
  const double typical = median(view_rms);
  for (size_t i = 0; i < run->corners.images.size(); ++i) {
    const int view = run->view_of_image[i];
    if (!fitted(*run, view) ||
        !(run->fit.view_rms_px[size_t(view)] > kOutlyingViewFactor * typical)) {
      continue;
    }
    run->warnings.push_back("view " + run->corners.images[i].name + ": rms " +
                            formatPrintf("%.3f", run->fit.view_rms_px[size_t(view)]) +
                            " px is more than " + formatPrintf("%g", kOutlyingViewFactor) +
                            "x the median view's " + formatPrintf("%.3f", typical) + " px");
  }
}

CameraFitOptions libraryOptions(const FitOptions& options) {
  CameraFitOptions library;
  // The command line admits only the table's spellings; any other keeps the
  // default.
  dravik::calibration::parseLensTerms(options.lens_terms, &library.lens_terms);
  library.fix_principal_point = options.fix_principal_point;
  library.same_focal_length = options.same_focal_length;
  library.outlier_sigma = options.outlier_sigma;
  return library;
}

// The fit's progress on stderr, one line rewritten in place: shown once the
// fit has run kProgressAfterS, then at most every kProgressPeriodS, and
// cleared when it ends. Between updates a report costs a clock reading.
class FitProgress {
 public:
  explicit FitProgress(size_t views) : views_(views), start_(Clock::now()) {}
  void operator()(int iteration, double rms_px) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    if (elapsed < kProgressAfterS || elapsed < shown_at_ + kProgressPeriodS) return;
    std::fprintf(stderr, "\rfitting %zu views: iteration %d, rms %.4f px   ", views_, iteration,
                 rms_px);
    std::fflush(stderr);
    shown_at_ = elapsed;
    shown_ = true;
  }
  void finish() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  size_t views_;
  Clock::time_point start_;
  double shown_at_ = 0.0;
  bool shown_ = false;
};

// The views of the found images, each compared with those of the same
// number of corners whose first corner lies within kDuplicateViewPx of its
// own (in order of that corner's u): a later view whose every corner lies
// within kDuplicateViewPx of an earlier one's is dropped, named in a warning.
void dropDuplicateViews(CalibrationRun* run) {
  std::vector<ImageCorners>& images = run->corners.images;
  std::vector<size_t> order;
  for (size_t i = 0; i < images.size(); ++i) {
    if (images[i].found && !images[i].image_points.empty()) order.push_back(i);
  }
  const auto key = [&](size_t i) {
    return std::make_pair(images[i].image_points.size(), images[i].image_points[0].x());
  };
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return key(a) != key(b) ? key(a) < key(b) : a < b; });
  const auto coincide = [&](const ImageCorners& a, const ImageCorners& b) {
    for (size_t p = 0; p < a.image_points.size(); ++p) {
      if (!((a.image_points[p] - b.image_points[p]).norm() <= kDuplicateViewPx)) return false;
    }
    return true;
  };
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t a = order[k];
    for (size_t m = k + 1; m < order.size(); ++m) {
      const size_t b = order[m];
      if (key(b).first != key(a).first || key(b).second - key(a).second > kDuplicateViewPx) break;
      const size_t earlier = std::min(a, b), later = std::max(a, b);
      if (!images[earlier].found || !images[later].found ||
          !coincide(images[earlier], images[later])) {
        continue;
      }
      images[later].found = false;
      images[later].reason = "the same corners as " + images[earlier].name + ": dropped";
      run->warnings.push_back("view " + images[later].name + " has the same corners as " +
                              images[earlier].name + " (within " +
                              formatPrintf("%g", kDuplicateViewPx) +
                              " px): dropped, so that no view counts twice");
    }
  }
}

// The checks of the corners themselves, before the fit: reasons to refuse.
std::vector<std::string> checkCorners(const CornerSet& corners) {
  std::vector<std::string> reasons;
  int outside = 0, total = 0;
  std::string first_outside;
  std::string unplanar;
  double worst_share = 0.0;
  for (const ImageCorners& image : corners.images) {
    if (!image.found) continue;
    for (size_t p = 0; p < image.image_points.size(); ++p) {
      const Eigen::Vector2d& at = image.image_points[p];
      ++total;
      if (at.x() >= -0.5 && at.x() <= corners.width - 0.5 && at.y() >= -0.5 &&
          at.y() <= corners.height - 0.5) {
        continue;
      }
      if (outside++ == 0) {
        first_outside = "view " + image.name + " point " + std::to_string(p) + " at (" +
                        formatPrintf("%.1f", at.x()) + ", " + formatPrintf("%.1f", at.y()) + ")";
      }
    }
    // The distance of the farthest point from the view's best plane, against
    // the target's extent.
    const std::vector<Eigen::Vector3d>& target = image.target_points;
    if (target.size() < 4) continue;
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& P : target) centroid += P;
    centroid /= double(target.size());
    Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
    double extent = 0.0;
    for (const Eigen::Vector3d& P : target) {
      scatter += (P - centroid) * (P - centroid).transpose();
      extent = std::max(extent, (P - centroid).norm());
    }
    const Eigen::Vector3d normal =
        Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d>(scatter).eigenvectors().col(0);
    double off = 0.0;
    for (const Eigen::Vector3d& P : target) off = std::max(off, std::abs(normal.dot(P - centroid)));
    if (extent > 0.0 && off > kPlanarityTolerance * extent && off / extent > worst_share) {
      worst_share = off / extent;
      unplanar = "the target of view " + image.name + " is not planar: a point lies " +
                 formatPrintf("%.3g", off) + " m off its plane, " +
                 formatPrintf("%.2g", 100.0 * worst_share) +
                 "% of its extent (the fit takes a planar board)";
    }
  }
  if (outside > 0) {
    reasons.push_back(std::to_string(outside) + " of " + std::to_string(total) +
                      " image points lie outside the declared " +
                      formatImageSize(corners.width, corners.height) +
                      " image (the first: " + first_outside + ")");
  }
  if (!unplanar.empty()) reasons.push_back(unplanar);
  return reasons;
}

// The checks of the fit: reasons to refuse it.
std::vector<std::string> checkFit(const CalibrationRun& run, const FitOptions& options) {
  std::vector<std::string> reasons;
  const std::string centre =
      checkPrincipalPoint(run.fit.lens.K(), run.corners.width, run.corners.height);
  if (!centre.empty()) reasons.push_back(centre);
  for (const std::string& reason :
       fitGateReasons({run.fit.rms_px, run.fit.converged, run.fit.iterations}, options.gate))
    reasons.push_back(reason);
  const int kept = run.keptCount(), total = static_cast<int>(run.residuals.size());
  if (2 * kept < total) {
    reasons.push_back("the outlier rejection kept " + std::to_string(kept) + " of " +
                      std::to_string(total) + " corners, fewer than half");
  }
  return reasons;
}

// A fit that fails a check is refused, or with --force kept with the reasons
// as warnings.
void applyChecks(const std::vector<std::string>& reasons, const FitOptions& options,
                 const std::string& source, CalibrationRun* run) {
  if (reasons.empty()) return;
  std::string joined;
  for (const std::string& reason : reasons) joined += (joined.empty() ? "" : "; ") + reason;
  if (!options.gate.force) {
    throw operationError(source + ": the calibration is refused: " + joined +
                         " (--force writes it anyway)");
  }
  for (const std::string& reason : reasons) {
    run->warnings.push_back("written with --force although " + reason);
  }
}

// A view the library dropped (its points all not kept) leaves the fit: its
// image is listed as not found, with the reason. The library drops a view
// seen edge-on, whose rms is then not a number (its outlier rejection keeps
// points in every view it fits).
void markDroppedViews(const FitOptions& options, CalibrationRun* run) {
  for (size_t i = 0; i < run->corners.images.size(); ++i) {
    const int view = run->view_of_image[i];
    if (fitted(*run, view)) continue;
    if (view < 0) continue;
    ImageCorners& image = run->corners.images[i];
    const bool seen_edge_on = std::isnan(run->fit.view_rms_px[size_t(view)]);
    image.found = false;
    image.reason = seen_edge_on || !(options.outlier_sigma > 0.0)
                       ? "dropped by the fit: the board is seen edge-on (its homography is "
                         "degenerate)"
                       : "dropped by the fit: every corner an outlier";
    run->view_of_image[i] = -1;
    run->warnings.push_back("view " + image.name + ": " + image.reason);
  }
}

// The library's reason in its words, a view of the fit ("View N:") named by
// its image.
std::string namingImage(const FitFailure& failure, const CalibrationRun& run) {
  const std::string reason = dravik::calibration::fitFailureText(failure);
  const std::string prefix = "View " + std::to_string(failure.view) + ":";
  if (!dravik::calibration::fitFailureNamesView(failure.reason) || reason.rfind(prefix, 0) != 0) {
    return reason;
  }
  for (size_t i = 0; i < run.view_of_image.size(); ++i) {
    if (run.view_of_image[i] == failure.view) {
      return "image " + run.corners.images[i].name + ":" + reason.substr(prefix.size());
    }
  }
  return reason;
}

}  // namespace

int CalibrationRun::keptCount() const {
  const int dropped_corners = std::accumulate(dropped.begin(), dropped.end(), 0);
  return static_cast<int>(residuals.size()) - dropped_corners;
}

std::string coverageCellName(int column, int row) {
  static const char* const kRows[kCoverageRows] = {"top", "middle", "bottom"};
  static const char* const kColumns[kCoverageColumns] = {"left", "centre-left", "centre-right",
                                                         "right"};
  return std::string(kRows[row]) + " " + kColumns[column];
}

CalibrationRun fitCorners(CornerSet corners, const FitOptions& options, const std::string& source) {
  CalibrationRun run;
  run.corners = std::move(corners);
  dropDuplicateViews(&run);
  applyChecks(checkCorners(run.corners), options, source, &run);
  std::vector<TargetView> views;
  for (const ImageCorners& image : run.corners.images) {
    run.view_of_image.push_back(image.found ? static_cast<int>(views.size()) : -1);
    if (image.found) views.push_back({image.image_points, image.target_points});
  }
  if (views.empty()) throw operationError(source + ": no board found in any image");
  CameraFitOptions library = libraryOptions(options);
  FitProgress progress(views.size());
  if (options.progress) library.progress = std::ref(progress);
  CameraFit& fit = run.fit;
  FitFailure failure;
  RecordCapture capture;
  const bool fitted_views = dravik::calibration::calibrateCamera(
      views, run.corners.width, run.corners.height, library, &fit, &failure);
  progress.finish();
  if (!fitted_views) {
    capture.consume();
    throw operationError(source + ": cannot calibrate from " + std::to_string(views.size()) +
                         " usable view" + (views.size() == 1 ? "" : "s") + ": " +
                         namingImage(failure, run));
  }
  // Every per-view result is indexed by view and point below: one of the
  // wrong length would read out of bounds.
  bool whole = fit.camera_from_target.size() == views.size() &&
               fit.view_rms_px.size() == views.size() && fit.kept.size() == views.size();
  for (size_t v = 0; whole && v < views.size(); ++v) {
    whole = fit.kept[v].size() == views[v].image_points.size();
  }
  if (!whole) throw operationError(source + ": the fit returned an incomplete calibration");
  markDroppedViews(options, &run);
  addResiduals(&run);
  applyChecks(checkFit(run, options), options, source, &run);
  addUncertainty(&run);
  run.sound_region = dravik::calibration::findSoundRegion(run.fit.lens.distortion());
  run.soundness_problem = checkLensModel(run.fit.lens.K(), run.fit.lens.distortionList(),
                                         run.corners.width, run.corners.height);
  addWarnings(&run);
  return run;
}

}  // namespace camcal

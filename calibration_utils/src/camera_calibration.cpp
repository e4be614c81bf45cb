#define DRAVIK_LOG_FILE "calibration_utils/camera_calibration"

#include "calibration_utils/camera_calibration.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "calibration_covariance.h"
#include "curvature_start.h"
#include "dravik/logging.h"
#include "dravik/rational_lens.h"
#include "levenberg_marquardt.h"
#include "planar_homography.h"
#include "planar_views.h"
#include "reprojection_problem.h"
#include "staged_fit.h"
#include "view_geometry.h"

namespace dravik {
namespace calibration {

namespace {

constexpr const char* kTag = kFitTag;
// The fit of more than twice this many views settles the lens on this many
// first (fitViews), then refines every view from there.
constexpr size_t kSubsetViews = 20;
// Above this rms, pixels, the start without distortion is tried as well.
constexpr double kRetryRmsPx = 0.5;
// Outlier rounds at most; each drops at least one point.
constexpr int kMaxOutlierRounds = 20;
// The rounds of mirrored poses at most (mirrorPoorViews), the views whose
// rms exceeds this multiple of the median view's tried in each, and the
// fraction of its rms a mirrored pose must reach to replace a view's pose.
constexpr int kMaxMirrorRounds = 6;
constexpr double kPoorViewRmsRatio = 2.0;
constexpr double kMirrorGain = 0.8;

// The start of a lens with radial terms: the lens's leading terms from the
// views' bending (lensFromCurvature), before any focal length; the
// homographies with that lens undone give the focal length by Zhang's closed
// form (the principal point at the image centre), the lens's terms at that
// focal length and every view's pose. False when they give no plausible
// focal length. A strong lens bends the views so far that a start without
// distortion leads the fit into a valley of the rational lens's terms far
// from the truth; this one starts next to it.
bool curvatureStart(const std::vector<PreparedView>& prepared, const std::vector<View>& views,
                    int width, int height, const CameraFitOptions& options, CameraState* state) {
  if (options.lens_terms == LensTerms::kNone) return false;
  std::vector<PlanarView> planar(views.size());
  for (size_t v = 0; v < views.size(); ++v) {
    planar[v].image = views[v].image;
    for (const Eigen::Vector3d& target : views[v].target) {
      planar[v].plane.push_back(inPlane(prepared[v], target));
    }
  }
  CurvatureLens lens;
  std::vector<Eigen::Matrix3d> homographies;
  const Eigen::Vector2d c = imageCentre(width, height);
  double wx = 0.0, wy = 0.0;
  if (!lensFromCurvature(planar, width, height, options.lens_terms == LensTerms::kRational, &lens,
                         &homographies) ||
      !inverseSquaredFocalsFromHomographies(homographies, c, &wx, &wy)) {
    return false;
  }
  const double f = 1.0 / std::sqrt(0.5 * (wx + wy));
  if (!plausibleFocalLength(f, width)) return false;
  const CurvatureLens at_f = curvatureLensAtFocalLength(lens, width, height, f);
  *state = CameraState();
  state->intrinsics(kFx) = state->intrinsics(kFy) = f;
  state->intrinsics(kCx) = c.x();
  state->intrinsics(kCy) = c.y();
  for (int i = 0; i < kLensCoefficientCount; ++i) state->intrinsics(kLens + i) = at_f[i];
  for (size_t v = 0; v < prepared.size(); ++v) {
    state->poses.push_back(poseOf(prepared[v], homographies[v], f, f, c));
  }
  return true;
}

// The start without distortion: the principal point at the image centre, fx and
// fy from Zhang's closed form (one focal length for both: lens distortion
// biases the two apart far more than real pixels differ), then each view's
// pose. A strong lens bends the views' homographies enough that the closed
// form can give no focal length (a negative 1 / f^2); the start then takes
// the focal length, of a geometric scan over the plausible ones, whose poses
// reproject the points best.
void closedFormStart(const std::vector<PreparedView>& prepared, const std::vector<View>& views,
                     int width, int height, CameraState* state) {
  // The scan's steps: focal lengths 2^(1/8) apart.
  constexpr double kScanRatio = 1.0905077326652577;
  const Eigen::Vector2d c = imageCentre(width, height);
  const auto plausible = [&](double f) { return plausibleFocalLength(f, width); };
  const auto use = [&](double f) { startWithoutDistortion(prepared, f, c, state); };
  std::vector<Eigen::Matrix3d> homographies;
  for (const PreparedView& view : prepared) homographies.push_back(view.homography);
  double wx = 0.0, wy = 0.0;
  if (inverseSquaredFocalsFromHomographies(homographies, c, &wx, &wy)) {
    const double f = 1.0 / std::sqrt(0.5 * (wx + wy));
    if (plausible(f)) return use(f);
  }
  double best_f = kFallbackFocalLengthPerWidth * width;
  double best_cost = std::numeric_limits<double>::infinity();
  for (double f = kMinimumFocalLengthPerWidth * width; plausible(f); f *= kScanRatio) {
    use(f);
    const ReprojectionProblem problem(views, width, height, *state);
    const double cost = problem.dataCost(*state, best_cost);
    if (cost < best_cost) best_cost = cost, best_f = f;
  }
  if (!std::isfinite(best_cost)) {
    DRAVIK_LOG(3, kTag) << "The views' perspective gives no plausible focal length; assuming "
                        << best_f;
  }
  use(best_f);
}

// The start of curvatureStart, else of closedFormStart; false (logged) when
// its poses put target points behind the camera.
bool closedFormStartInFront(const std::vector<PreparedView>& prepared,
                            const std::vector<View>& views, int width, int height,
                            const CameraFitOptions& options, CameraState* state,
                            FitFailure* failure, bool from_curvature = true) {
  if (!from_curvature || !curvatureStart(prepared, views, width, height, options, state) ||
      !std::isfinite(ReprojectionProblem(views, width, height, *state).dataCost(*state))) {
    closedFormStart(prepared, views, width, height, state);
  }
  if (!std::isfinite(ReprojectionProblem(views, width, height, *state).dataCost(*state))) {
    return refuse(failureOf(FitReason::kPosesBehindCamera), failure);
  }
  return true;
}

// Whether a refinement (fitStages with `refine`) is done: converged, or,
// out of its budget, still crawling along the valley at the unconstrained
// fit's rms with a sound lens (where the fit from the closed-form start would
// end too, for the price of many more passes over every view).
bool settled(const FitOutcome& refined) {
  return refined.converged ||
         (refined.sound && refined.rms <= (1.0 + kSoundCheckFraction) * refined.unconstrained_rms);
}

// The views the first pass fits (fitViews): all of them, or, of more than
// twice kSubsetViews, kSubsetViews spread evenly over the caller's order.
std::vector<size_t> firstPassViews(size_t view_count) {
  std::vector<size_t> first;
  const size_t count = view_count <= 2 * kSubsetViews ? view_count : kSubsetViews;
  for (size_t i = 0; i < count; ++i) first.push_back(i * view_count / count);
  return first;
}

template <typename T>
std::vector<T> pick(const std::vector<T>& all, const std::vector<size_t>& indices) {
  std::vector<T> picked;
  for (const size_t i : indices) picked.push_back(all[i]);
  return picked;
}

// The fit of the kept points from `start`, the closed-form start of the
// first pass's views. Many views are fitted in two passes: the first pass
// settles the lens for the price of a fit of kSubsetViews views; the other
// views are then posed through that lens, and every view together starts
// next to the minimum of all the points and takes a few steps to it. When
// those poses put target points behind the camera, or the refinement runs
// out of its budget, every view is fitted from its closed-form start; false
// (logged) when that start puts target points behind the camera.
bool fitViews(const std::vector<PreparedView>& prepared, const std::vector<View>& views,
              const std::vector<size_t>& first_pass, int width, int height,
              const CameraFitOptions& options, const CameraState& start, FitOutcome* outcome,
              FitFailure* failure) {
  const FitOutcome first = fitStages(pick(views, first_pass), width, height, options, start, false);
  if (first_pass.size() == views.size()) {
    *outcome = first;
    return true;
  }
  CameraState joint;
  joint.intrinsics = first.state.intrinsics;
  const Lens lens = storedLens(joint.intrinsics, width, height);
  const Eigen::Vector2d c(joint.intrinsics(kCx), joint.intrinsics(kCy));
  for (size_t v = 0; v < views.size(); ++v) {
    Pose pose;
    if (!poseThroughLens(prepared[v], views[v], lens, &pose)) {
      pose = poseOf(prepared[v], prepared[v].homography, joint.intrinsics(kFx),
                    joint.intrinsics(kFy), c);
    }
    joint.poses.push_back(pose);
  }
  for (size_t i = 0; i < first_pass.size(); ++i) joint.poses[first_pass[i]] = first.state.poses[i];
  int iterations = first.iterations;
  if (std::isfinite(ReprojectionProblem(views, width, height, joint).dataCost(joint))) {
    FitOutcome refined = fitStages(views, width, height, options, joint, true);
    iterations += refined.iterations;
    if (settled(refined)) {
      refined.iterations = iterations;
      refined.converged = first.converged;
      *outcome = refined;
      return true;
    }
  }
  CameraState every_view;
  if (!closedFormStartInFront(prepared, views, width, height, options, &every_view, failure)) {
    return false;
  }
  *outcome = fitStages(views, width, height, options, every_view, false);
  outcome->iterations += iterations;
  return true;
}

// The rms of one view through the intrinsics of `state` at `pose`.
double viewRms(const View& view, int width, int height, const IntrinsicVector& intrinsics,
               const Pose& pose) {
  CameraState one;
  one.intrinsics = intrinsics;
  one.poses = {pose};
  const std::vector<View> views = {view};
  return rmsOf(ReprojectionProblem(views, width, height, one).dataCost(one), view.image.size());
}

// A board seen small or obliquely has two poses that explain its view
// nearly alike (mirroredPose); a start that puts a view in the wrong one
// leaves the fit in a minimum it cannot step out of, the lens bent to
// serve that pose (views over the image's corners, cut by both edges, are
// prone to it). Each view whose rms exceeds kPoorViewRmsRatio x the median
// view's takes its mirrored pose, settled through the fitted lens, where
// that fits it within kMirrorGain of its rms. The number of views changed.
int mirrorPoorViews(const std::vector<View>& views, int width, int height, CameraState* state) {
  const Lens lens = storedLens(state->intrinsics, width, height);
  const std::vector<std::vector<double>> errors =
      ReprojectionProblem(views, width, height, *state).pointErrors(*state);
  std::vector<double> rms(views.size());
  for (size_t v = 0; v < views.size(); ++v) {
    double squares = 0.0;
    for (const double e : errors[v]) squares += e * e;
    rms[v] = std::sqrt(squares / double(std::max<size_t>(1, errors[v].size())));
  }
  std::vector<double> sorted = rms;
  std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  int changed = 0;
  for (size_t v = 0; v < views.size(); ++v) {
    if (!(rms[v] > kPoorViewRmsRatio * median)) continue;
    std::vector<Pose> mirrored = {mirroredPose(views[v], state->poses[v])};
    if (!refinePosesThroughLens(lens, {views[v]}, &mirrored)) continue;
    if (viewRms(views[v], width, height, state->intrinsics, mirrored[0]) < kMirrorGain * rms[v]) {
      state->poses[v] = mirrored[0];
      ++changed;
    }
  }
  return changed;
}

}  // namespace

bool calibrateCamera(const std::vector<TargetView>& views, int width, int height,
                     const CameraFitOptions& given, CameraFit* result, FitFailure* failure) {
  if (failure != nullptr) *failure = FitFailure();
  if (result == nullptr) {
    return refuse(failureOf(FitReason::kNoResult), failure);
  }
  const FitFailure refused = checkViews(views, width, height, given);
  if (refused.reason != FitReason::kNone) return refuse(refused, failure);
  // Every stage reports its iterations; they are numbered here, over the
  // whole fit.
  int iteration = 0;
  CameraFitOptions options = given;
  if (given.progress) {
    options.progress = [&](int, double rms_px) { given.progress(++iteration, rms_px); };
  }

  std::vector<PreparedView> prepared;
  for (size_t v = 0; v < views.size(); ++v) {
    PreparedView view;
    if (prepareView(views[v], v, &view)) {
      prepared.push_back(std::move(view));
    } else {
      DRAVIK_LOG(3, kTag) << "View " << v
                          << " sees the target edge-on (its homography is degenerate); dropped";
    }
  }
  const size_t minimum_views = minimumViews(options.lens_terms);
  if (prepared.size() < minimum_views) {
    return refuse(
        failureOf(FitReason::kTooFewUsableViews, static_cast<long long>(views.size()),
                  static_cast<long long>(prepared.size()), static_cast<long long>(minimum_views)),
        failure);
  }

  // The kept points of each prepared view, as the problem holds them.
  std::vector<std::vector<std::uint8_t>> kept(views.size());
  for (size_t v = 0; v < views.size(); ++v) kept[v].assign(views[v].image_points.size(), 0);
  for (const PreparedView& view : prepared) kept[view.index].assign(kept[view.index].size(), 1);
  const auto keptViews = [&]() {
    std::vector<View> out;
    for (const PreparedView& view : prepared) {
      View kept_view;
      const TargetView& source = views[view.index];
      for (size_t i = 0; i < source.image_points.size(); ++i) {
        if (!kept[view.index][i]) continue;
        kept_view.image.push_back(source.image_points[i]);
        kept_view.target.push_back(source.target_points[i]);
      }
      out.push_back(std::move(kept_view));
    }
    return out;
  };

  std::vector<View> fitted_views = keptViews();
  const std::vector<size_t> first_pass = firstPassViews(prepared.size());
  CameraState state;  // the first pass's start
  if (!closedFormStartInFront(pick(prepared, first_pass), pick(fitted_views, first_pass), width,
                              height, options, &state, failure)) {
    return false;
  }
  FitOutcome outcome;
  if (!fitViews(prepared, fitted_views, first_pass, width, height, options, state, &outcome,
                failure)) {
    return false;
  }
  int iterations = outcome.iterations;
  // A board's corners are found to a fraction of a pixel: a minimum above
  // kRetryRmsPx may be a valley the curvature start led into (a strongly
  // rational lens whose terms the straightened homographies misjudge), so
  // the start without distortion is fitted too and the lower sound minimum
  // kept.
  if (!(outcome.rms <= kRetryRmsPx)) {
    CameraState plain;
    FitOutcome other;
    FitFailure ignored;
    if (closedFormStartInFront(pick(prepared, first_pass), pick(fitted_views, first_pass), width,
                               height, options, &plain, &ignored, false) &&
        fitViews(prepared, fitted_views, first_pass, width, height, options, plain, &other,
                 &ignored)) {
      iterations += other.iterations;
      if ((other.sound || !outcome.sound) && other.rms < outcome.rms) {
        outcome = other;
        state = plain;
      }
    }
  }

  // Views in the wrong one of their two poses: mirrored, and every view
  // refined together from there, while that lowers the rms.
  bool mirrored = false;
  for (int round = 0; round < kMaxMirrorRounds; ++round) {
    CameraState start = outcome.state;
    if (mirrorPoorViews(fitted_views, width, height, &start) == 0) break;
    FitOutcome refined = fitStages(fitted_views, width, height, options, start, true);
    iterations += refined.iterations;
    if (!((refined.sound || !outcome.sound) &&
          refined.rms < (1.0 - kSoundCheckFraction) * outcome.rms)) {
      break;
    }
    outcome = refined;
    mirrored = true;
  }
  if (mirrored && !outcome.converged) {
    // The last refinement ran out of its budget on its way down: it goes on
    // from where it stopped.
    FitOutcome refined = fitStages(fitted_views, width, height, options, outcome.state, true);
    iterations += refined.iterations;
    if ((refined.sound || !outcome.sound) && refined.rms <= outcome.rms) outcome = refined;
  }

  // Outliers: points beyond outlier_sigma x the rms are dropped, a view
  // keeping at least kMinimumPointsPerView, and the fit repeated.
  for (int round = 0; options.outlier_sigma > 0.0 && round < kMaxOutlierRounds; ++round) {
    ReprojectionProblem problem(fitted_views, width, height, outcome.state);
    const std::vector<std::vector<double>> errors = problem.pointErrors(outcome.state);
    size_t points = 0;
    for (const View& view : fitted_views) points += view.image.size();
    const double threshold = options.outlier_sigma * rmsOf(problem.dataCost(outcome.state), points);
    bool dropped = false;
    for (size_t p = 0; p < prepared.size(); ++p) {
      std::vector<std::uint8_t>& mask = kept[prepared[p].index];
      size_t remaining = fitted_views[p].image.size();
      size_t k = 0;  // index among the kept points
      for (size_t i = 0; i < mask.size(); ++i) {
        if (!mask[i]) continue;
        if (errors[p][k] > threshold && remaining > kMinimumPointsPerView) {
          mask[i] = 0;
          --remaining;
          dropped = true;
        }
        ++k;
      }
    }
    if (!dropped) break;
    fitted_views = keptViews();
    // The fit of the points kept starts from the last one's, as a
    // refinement of every view together; from the closed-form start only
    // when that does not settle.
    FitOutcome refined = fitStages(fitted_views, width, height, options, outcome.state, true);
    iterations += refined.iterations;
    if (settled(refined)) {
      refined.converged = outcome.converged;
      outcome = refined;
    } else {
      if (!fitViews(prepared, fitted_views, first_pass, width, height, options, state, &outcome,
                    failure)) {
        return false;
      }
      iterations += outcome.iterations;
    }
  }
  if (!outcome.converged) {
    DRAVIK_LOG(3, kTag) << "The calibration stopped before converging, after " << iterations
                        << " steps";
  }

  // The lens as it is stored, in single precision, must be sound too.
  CameraFit out;
  out.lens = storedLens(outcome.state.intrinsics, width, height);
  const bool finite = out.lens.K().allFinite() &&
                      std::all_of(out.lens.distortion().begin(), out.lens.distortion().end(),
                                  [](float k) { return std::isfinite(k); });
  if (!finite || !(out.lens.K()(0, 0) > 0.0f) || !(out.lens.K()(1, 1) > 0.0f) ||
      !out.lens.isSoundOverImage()) {
    return refuse(failureOf(FitReason::kLensNotSound), failure);
  }

  ReprojectionProblem problem(fitted_views, width, height, outcome.state);
  const std::vector<std::vector<double>> errors = problem.pointErrors(outcome.state);
  out.camera_from_target.assign(views.size(), Eigen::Matrix4d::Identity());
  out.view_rms_px.assign(views.size(), std::numeric_limits<double>::quiet_NaN());
  double total = 0.0;
  size_t total_points = 0;
  for (size_t v = 0; v < prepared.size(); ++v) {
    const size_t index = prepared[v].index;
    out.camera_from_target[index] = matrixOf(outcome.state.poses[v]);
    double sum = 0.0;
    for (const double e : errors[v]) sum += e * e;
    out.view_rms_px[index] = rmsOf(sum, errors[v].size());
    total += sum;
    total_points += errors[v].size();
  }
  out.rms_px = rmsOf(total, total_points);
  out.kept = kept;
  formCovariance(fitted_views, width, height, freedomOf(options, true), outcome.state, &out);
  out.iterations = iterations;
  out.converged = outcome.converged;
  *result = std::move(out);
  return true;
}

}  // namespace calibration
}  // namespace dravik

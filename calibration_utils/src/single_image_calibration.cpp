#define DRAVIK_LOG_FILE "calibration_utils/single_image_calibration"

#include "calibration_utils/single_image_calibration.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>

#include "dravik/logging.h"
#include "dravik/rational_lens.h"
#include "planar_homography.h"
#include "planar_views.h"
#include "reprojection_problem.h"
#include "staged_fit.h"

namespace dravik {
namespace calibration {

namespace {

constexpr const char* kTag = kFitTag;

// A single view's parameters: the twelve intrinsics and one pose.
constexpr int kSingleViewParameters = kIntrinsics + kPoseParameters;

// Below this much keystone, in pixels across the target, a view shows no
// measurable perspective and its focal length cannot be told from its
// distance.
constexpr double kMinimumKeystonePixels = 1.0;

bool allFinite(const std::vector<Eigen::Vector2f>& points) {
  for (const Eigen::Vector2f& p : points) {
    if (!p.allFinite()) return false;
  }
  return true;
}

// The first problem of the input; kNone when there is none.
FitFailure checkInput(const std::vector<Eigen::Vector2f>& image_points,
                      const std::vector<Eigen::Vector2f>& target_points,
                      const Eigen::Vector2i& image_size, double scalar,
                      const Eigen::Vector2i& sample_size) {
  const long long points = static_cast<long long>(image_points.size());
  if (image_points.size() != target_points.size()) {
    return failureOf(FitReason::kSingleUnequalPoints, 0, points,
                     static_cast<long long>(target_points.size()));
  }
  if (points < kSingleViewParameters) {
    return failureOf(FitReason::kSingleTooFewPoints, 0, points, kSingleViewParameters);
  }
  if (!allFinite(image_points) || !allFinite(target_points) || !std::isfinite(scalar)) {
    return failureOf(FitReason::kSingleNotFinite);
  }
  if (image_size.x() <= 0 || image_size.y() <= 0 || scalar < 0.0) {
    return failureOf(FitReason::kSingleSizeOrScale, 0, image_size.x(), image_size.y(), scalar);
  }
  const bool grid_known = sample_size.x() != 0 || sample_size.y() != 0;
  if (grid_known && (sample_size.x() <= 0 || sample_size.y() <= 0 ||
                     image_points.size() > static_cast<size_t>(sample_size.x()) *
                                               static_cast<size_t>(sample_size.y()))) {
    return failureOf(FitReason::kSingleGrid, points, sample_size.x(), sample_size.y());
  }
  return FitFailure();
}

// How far the homography's perspective moves the view's points, in pixels:
// the relative change of depth across the target (the last row of H on
// target coordinates centred on the target, times the target's mean radius)
// times the image points' mean radius.
double keystonePixels(const Eigen::Matrix3d& H, const std::vector<Eigen::Vector2d>& target,
                      const TargetView& view) {
  Eigen::Vector2d target_mean = Eigen::Vector2d::Zero(), image_mean = Eigen::Vector2d::Zero();
  for (size_t i = 0; i < view.image_points.size(); ++i) {
    target_mean += target[i];
    image_mean += view.image_points[i];
  }
  target_mean /= static_cast<double>(view.image_points.size());
  image_mean /= static_cast<double>(view.image_points.size());
  double target_radius = 0.0, image_radius = 0.0;
  for (size_t i = 0; i < view.image_points.size(); ++i) {
    target_radius += (target[i] - target_mean).norm();
    image_radius += (view.image_points[i] - image_mean).norm();
  }
  target_radius /= static_cast<double>(view.image_points.size());
  image_radius /= static_cast<double>(view.image_points.size());
  // Depth (up to scale) at the target's centre, and its gradient per metre.
  const double centre_depth = H.row(2).dot(Eigen::Vector3d(target_mean.x(), target_mean.y(), 1.0));
  const double depth_gradient = H.block<1, 2>(2, 0).norm();
  return depth_gradient * target_radius / std::abs(centre_depth) * image_radius;
}

// The closed-form start: principal point at the image centre, one focal
// length from the homography (or the fallback for a view without
// perspective), the pose from the homography, no distortion.
void closedFormStart(const PreparedView& prepared, const TargetView& view,
                     const Eigen::Vector2i& image_size, CameraState* camera) {
  const Eigen::Matrix3d& H = prepared.homography;
  const Eigen::Vector2d c = imageCentre(image_size.x(), image_size.y());
  const double width = image_size.x();
  const double keystone = keystonePixels(H, prepared.plane_points, view);
  double f = 1.0 / std::sqrt(inverseSquaredFocalFromHomography(H, c));
  if (!(keystone >= kMinimumKeystonePixels)) {
    f = kFallbackFocalLengthPerWidth * width;
    DRAVIK_LOG(3, kTag) << "The view shows " << keystone
                        << " pixels of perspective, too little to measure the focal length;"
                        << " assuming " << f;
  } else if (!plausibleFocalLength(f, image_size.x())) {
    DRAVIK_LOG(3, kTag) << "The view's perspective gives no plausible focal length (" << f
                        << "); assuming " << kFallbackFocalLengthPerWidth * width;
    f = kFallbackFocalLengthPerWidth * width;
  }
  startWithoutDistortion({prepared}, f, c, camera);
}

// The multi-view fit's stages on the one view, every term free: the
// simplest rational lens without the penalties, then every term with them
// (StageOptions::unconstrained_stage). False, with the reason, when the
// start puts target points behind the camera or the lens folds inside the
// image.
bool fit(const std::vector<View>& views, const Eigen::Vector2i& image_size, CameraState* camera,
         double* error, FitFailure* reason) {
  const int width = image_size.x(), height = image_size.y();
  if (!std::isfinite(ReprojectionProblem(views, width, height, *camera).dataCost(*camera))) {
    return refuse(failureOf(FitReason::kSinglePoseBehindCamera), reason);
  }
  StageOptions stages;
  stages.relative_decrease = kOneViewRelativeDecrease;
  stages.unconstrained_stage = false;
  const FitOutcome outcome =
      fitStages(views, width, height, CameraFitOptions(), *camera, false, stages);
  if (!outcome.converged) {
    DRAVIK_LOG(3, kTag) << "The calibration stopped before converging, after " << outcome.iterations
                        << " steps";
  }
  if (!outcome.sound) return refuse(failureOf(FitReason::kSingleLensFolds), reason);
  *camera = outcome.state;
  *error = outcome.rms;
  return true;
}

void store(const CameraState& camera, OpenCVProjection<double>* projection) {
  *projection = OpenCVProjection<double>();
  const IntrinsicVector& p = camera.intrinsics;
  projection->fx = p(kFx);
  projection->fy = p(kFy);
  projection->cx = p(kCx);
  projection->cy = p(kCy);
  const Pose& pose = camera.poses[0];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) projection->rotation[r][c] = pose.camera_from_target_rotation(r, c);
    projection->translation[r] = pose.translation(r);
  }
  double* lens[kLensCoefficientCount] = {&projection->k1, &projection->k2, &projection->p1,
                                         &projection->p2, &projection->k3, &projection->k4,
                                         &projection->k5, &projection->k6};
  for (int i = 0; i < kLensCoefficientCount; ++i) *lens[i] = p(kLens + i);
}

}  // namespace

double calibrateFromSingleImage(const std::vector<Eigen::Vector2f>& image_points,
                                const std::vector<Eigen::Vector2f>& target_points,
                                const Eigen::Vector2i& image_size, double scalar,
                                const Eigen::Vector2i& sample_size,
                                OpenCVProjection<double>* projection, FitFailure* reason) {
  constexpr double kNoFit = std::numeric_limits<double>::infinity();
  if (reason != nullptr) *reason = FitFailure();
  const FitFailure refused =
      checkInput(image_points, target_points, image_size, scalar, sample_size);
  if (refused.reason != FitReason::kNone) {
    refuse(refused, reason);
    return kNoFit;
  }

  // An unknown scale leaves the target in its own units, taken as metres.
  const double metres_per_unit = scalar > 0.0 ? scalar : 1.0;
  TargetView target_view;
  target_view.image_points.reserve(image_points.size());
  target_view.target_points.reserve(target_points.size());
  for (size_t i = 0; i < image_points.size(); ++i) {
    target_view.image_points.push_back(image_points[i].cast<double>());
    const Eigen::Vector2d target = target_points[i].cast<double>() * metres_per_unit;
    target_view.target_points.emplace_back(target.x(), target.y(), 0.0);
  }
  if (!spanPlane(target_view.target_points) || !spanPlane(target_view.image_points)) {
    refuse(failureOf(FitReason::kSingleOnALine), reason);
    return kNoFit;
  }
  PreparedView prepared;
  if (!prepareView(target_view, 0, &prepared)) {
    refuse(failureOf(FitReason::kSingleNoHomography), reason);
    return kNoFit;
  }

  std::vector<View> views(1);
  views[0].image = target_view.image_points;
  views[0].target = target_view.target_points;
  CameraState camera;
  closedFormStart(prepared, target_view, image_size, &camera);
  double error = kNoFit;
  if (!fit(views, image_size, &camera, &error, reason)) return kNoFit;
  store(camera, projection);
  return error;
}

}  // namespace calibration
}  // namespace dravik

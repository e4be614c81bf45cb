#define DRAVIK_LOG_FILE "calibration_utils/single_image_calibration"

#include "calibration_utils/single_image_calibration.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>

#include "dravik/logging.h"
#include "levenberg_marquardt.h"
#include "planar_homography.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";

// A single view's parameters: the twelve intrinsics and one pose.
constexpr int kSingleViewParameters = kIntrinsics + kPoseParameters;
static_assert(kSingleViewParameters <= 20, "CalibrationJet carries a partial per parameter");

// Below this much keystone, in pixels across the target, a view shows no
// measurable perspective and its focal length cannot be told from its
// distance.
constexpr double kMinimumKeystonePixels = 1.0;
// The solver's budget per stage, and its floor: an error per point of 1e-9
// pixels is far below the rounding of float pixels.
constexpr int kMaxEvaluationsPerStage = 200;
constexpr double kCostFloorPerPoint = 1e-18;
// A stage stops once an accepted step lowers the cost by less than this
// fraction of it. Beyond it, one view leaves the rational lens's terms a long
// valley along which they trade off almost freely, where the steps crawl by
// parts in a hundred thousand of the cost each: a hundred steps and more
// (the head camera's full frame) that move the lens's pixels by thousandths
// of a pixel and the error per point by parts in ten million, and that end,
// for want of progress, still parts in a million above the valley's floor.
constexpr double kRelativeDecreasePerStep = 1e-6;

bool allFinite(const std::vector<Eigen::Vector2f>& points) {
  for (const Eigen::Vector2f& p : points) {
    if (!p.allFinite()) return false;
  }
  return true;
}

// True when the points span a plane: the smaller principal spread of the
// points is not negligible beside the larger.
bool spanPlane(const std::vector<Eigen::Vector2d>& points) {
  constexpr double kMinimumSpreadRatio = 1e-6;
  Eigen::Vector2d mean = Eigen::Vector2d::Zero();
  for (const Eigen::Vector2d& p : points) mean += p;
  mean /= static_cast<double>(points.size());
  Eigen::Matrix2d scatter = Eigen::Matrix2d::Zero();
  for (const Eigen::Vector2d& p : points) scatter += (p - mean) * (p - mean).transpose();
  const Eigen::Vector2d spread =
      Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(scatter, Eigen::EigenvaluesOnly).eigenvalues();
  return spread(0) > kMinimumSpreadRatio * kMinimumSpreadRatio * spread(1);
}

// Checks what the fit needs of its input; logs the first problem found.
bool checkInput(const std::vector<Eigen::Vector2f>& image_points,
                const std::vector<Eigen::Vector2f>& target_points,
                const Eigen::Vector2i& image_size, double scalar,
                const Eigen::Vector2i& sample_size) {
  if (image_points.size() != target_points.size()) {
    DRAVIK_LOG(2, kTag) << "Image and target points differ in number: " << image_points.size()
                        << " vs. " << target_points.size();
    return false;
  }
  if (image_points.size() < static_cast<size_t>(kSingleViewParameters)) {
    DRAVIK_LOG(2, kTag) << "Too few points to calibrate: " << image_points.size() << " for "
                        << kSingleViewParameters << " parameters";
    return false;
  }
  if (!allFinite(image_points) || !allFinite(target_points) || !std::isfinite(scalar)) {
    DRAVIK_LOG(2, kTag) << "Points or target scale not finite";
    return false;
  }
  if (image_size.x() <= 0 || image_size.y() <= 0 || scalar < 0.0) {
    DRAVIK_LOG(2, kTag) << "Image size " << image_size.x() << " x " << image_size.y()
                        << " not positive, or target scale " << scalar << " negative";
    return false;
  }
  const bool grid_known = sample_size.x() != 0 || sample_size.y() != 0;
  if (grid_known && (sample_size.x() <= 0 || sample_size.y() <= 0 ||
                     image_points.size() > static_cast<size_t>(sample_size.x()) *
                                               static_cast<size_t>(sample_size.y()))) {
    DRAVIK_LOG(2, kTag) << image_points.size() << " points do not fit a target grid of "
                        << sample_size.x() << " x " << sample_size.y();
    return false;
  }
  return true;
}

// How far the homography's perspective moves the view's points, in pixels:
// the relative change of depth across the target (the last row of H on
// target coordinates centred on the target, times the target's mean radius)
// times the image points' mean radius.
double keystonePixels(const Eigen::Matrix3d& H, const std::vector<Eigen::Vector2d>& target,
                      const View& view) {
  Eigen::Vector2d target_mean = Eigen::Vector2d::Zero(), image_mean = Eigen::Vector2d::Zero();
  for (size_t i = 0; i < view.image.size(); ++i) {
    target_mean += target[i];
    image_mean += view.image[i];
  }
  target_mean /= static_cast<double>(view.image.size());
  image_mean /= static_cast<double>(view.image.size());
  double target_radius = 0.0, image_radius = 0.0;
  for (size_t i = 0; i < view.image.size(); ++i) {
    target_radius += (target[i] - target_mean).norm();
    image_radius += (view.image[i] - image_mean).norm();
  }
  target_radius /= static_cast<double>(view.image.size());
  image_radius /= static_cast<double>(view.image.size());
  // Depth (up to scale) at the target's centre, and its gradient per metre.
  const double centre_depth = H.row(2).dot(Eigen::Vector3d(target_mean.x(), target_mean.y(), 1.0));
  const double depth_gradient = H.block<1, 2>(2, 0).norm();
  return depth_gradient * target_radius / std::abs(centre_depth) * image_radius;
}

// The closed-form start: principal point at the image centre, one focal
// length from the homography (or the fallback for a view without
// perspective), the pose from the homography, no distortion. False when no
// homography fits the points.
bool closedFormStart(const View& view, const std::vector<Eigen::Vector2d>& target,
                     const Eigen::Vector2i& image_size, CameraState* camera) {
  Eigen::Matrix3d H;
  if (!estimateHomography(target, view.image, &H)) {
    DRAVIK_LOG(2, kTag) << "No homography fits the points: they lie on a line or coincide";
    return false;
  }
  const Eigen::Vector2d c(0.5 * image_size.x(), 0.5 * image_size.y());
  const double width = image_size.x();
  const double keystone = keystonePixels(H, target, view);
  double f = 1.0 / std::sqrt(inverseSquaredFocalFromHomography(H, c));
  if (!(keystone >= kMinimumKeystonePixels)) {
    f = kFallbackFocalLengthPerWidth * width;
    DRAVIK_LOG(3, kTag) << "The view shows " << keystone
                        << " pixels of perspective, too little to measure the focal length;"
                        << " assuming " << f;
  } else if (!(f >= kMinimumFocalLengthPerWidth * width) ||
             !(f <= kMaximumFocalLengthPerWidth * width)) {
    DRAVIK_LOG(3, kTag) << "The view's perspective gives no plausible focal length (" << f
                        << "); assuming " << kFallbackFocalLengthPerWidth * width;
    f = kFallbackFocalLengthPerWidth * width;
  }

  *camera = CameraState();
  camera->intrinsics(kFx) = camera->intrinsics(kFy) = f;
  camera->intrinsics(kCx) = c.x();
  camera->intrinsics(kCy) = c.y();
  camera->poses.resize(1);
  poseFromHomography(H, f, f, c, &camera->poses[0].camera_from_target_rotation,
                     &camera->poses[0].translation);
  return true;
}

// The fit in two stages. First the simplest rational lens, k1 and k4 with
// p1 and p2, whose fit a single view determines well, without the lens
// penalties: they would stop it on its way from no distortion to a strong
// one. Then every coefficient, with the penalties keeping the lens sound.
double refine(const std::vector<View>& views, const Eigen::Vector2i& image_size,
              CameraState* camera) {
  const View& view = views[0];
  ReprojectionProblem problem(views, image_size.x(), image_size.y(), *camera);
  if (!std::isfinite(problem.dataCost(*camera))) {
    DRAVIK_LOG(2, kTag) << "The closed-form pose puts target points behind the camera";
    return std::numeric_limits<double>::infinity();
  }
  SolverOptions options;
  options.max_evaluations = kMaxEvaluationsPerStage;
  options.absolute_cost_tolerance = kCostFloorPerPoint * static_cast<double>(view.image.size());
  options.relative_cost_tolerance = kRelativeDecreasePerStep;
  options.freedom.free.fill(true);
  for (const int fixed : {kLens + 1, kLens + 4, kLens + 6, kLens + 7}) {
    options.freedom.free[fixed] = false;
  }
  problem.setPenalties(false);
  const SolverSummary first = minimize(&problem, options);

  options.freedom.free.fill(true);
  problem.setPenalties(true);
  const SolverSummary second = minimize(&problem, options);
  if (!first.converged || !second.converged) {
    DRAVIK_LOG(3, kTag) << "The calibration stopped before converging, after " << first.evaluations
                        << " + " << second.evaluations << " evaluations";
  }

  *camera = problem.state();
  if (!lensIsSoundOverImage(camera->intrinsics, image_size.x(), image_size.y())) {
    DRAVIK_LOG(2, kTag) << "The fitted lens folds inside the image";
    return std::numeric_limits<double>::infinity();
  }
  return std::sqrt(problem.dataCost(*camera) / static_cast<double>(view.image.size()));
}

void store(const CameraState& camera, OpenCVProjection<CalibrationJet>* projection) {
  *projection = OpenCVProjection<CalibrationJet>();
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
  CalibrationJet* lens[8] = {&projection->k1, &projection->k2, &projection->p1, &projection->p2,
                             &projection->k3, &projection->k4, &projection->k5, &projection->k6};
  for (int i = 0; i < 8; ++i) *lens[i] = p(kLens + i);
}

}  // namespace

double calibrateFromSingleImage(const std::vector<Eigen::Vector2f>& image_points,
                                const std::vector<Eigen::Vector2f>& target_points,
                                const Eigen::Vector2i& image_size, double scalar,
                                const Eigen::Vector2i& sample_size,
                                OpenCVProjection<CalibrationJet>* projection) {
  constexpr double kNoFit = std::numeric_limits<double>::infinity();
  if (!checkInput(image_points, target_points, image_size, scalar, sample_size)) return kNoFit;

  // An unknown scale leaves the target in its own units, taken as metres.
  const double metres_per_unit = scalar > 0.0 ? scalar : 1.0;
  std::vector<View> views(1);
  View& view = views[0];
  std::vector<Eigen::Vector2d> target;
  view.image.reserve(image_points.size());
  view.target.reserve(target_points.size());
  target.reserve(target_points.size());
  for (size_t i = 0; i < image_points.size(); ++i) {
    view.image.push_back(image_points[i].cast<double>());
    target.push_back(target_points[i].cast<double>() * metres_per_unit);
    view.target.emplace_back(target.back().x(), target.back().y(), 0.0);
  }
  if (!spanPlane(target) || !spanPlane(view.image)) {
    DRAVIK_LOG(2, kTag) << "The points lie on a line";
    return kNoFit;
  }

  CameraState camera;
  if (!closedFormStart(view, target, image_size, &camera)) return kNoFit;
  const double error = refine(views, image_size, &camera);
  if (!std::isfinite(error)) return kNoFit;
  store(camera, projection);
  return error;
}

}  // namespace calibration
}  // namespace dravik

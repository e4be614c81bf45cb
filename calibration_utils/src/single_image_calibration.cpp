#define DRAVIK_LOG_FILE "calibration_utils/single_image_calibration"

#include "calibration_utils/single_image_calibration.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>

#include "dravik/logging.h"
#include "lens_soundness.h"
#include "levenberg_marquardt.h"
#include "planar_homography.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";

static_assert(kCalibrationParameters <= 20, "CalibrationJet carries a partial per parameter");

// Below this much keystone, in pixels across the target, a view shows no
// measurable perspective and its focal length cannot be told from its
// distance.
constexpr double kMinimumKeystonePixels = 1.0;
// The focal length assumed for such a view, per pixel of image width: a
// 60 degree horizontal field of view, f = (w / 2) / tan(30 deg).
constexpr double kFallbackFocalPerWidth = 0.8660254037844386;
// A closed-form focal length outside these bounds, per pixel of image width,
// is not a camera (a field of view above 170 or below 0.3 degrees).
constexpr double kMinimumFocalPerWidth = 0.0437;
constexpr double kMaximumFocalPerWidth = 200.0;

// The solver's budget per stage, and its floor: an error per point of 1e-9
// pixels is far below the rounding of float pixels.
constexpr int kMaxEvaluationsPerStage = 200;
constexpr double kCostFloorPerPoint = 1e-18;

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
  if (image_points.size() < static_cast<size_t>(kCalibrationParameters)) {
    DRAVIK_LOG(2, kTag) << "Too few points to calibrate: " << image_points.size() << " for "
                        << kCalibrationParameters << " parameters";
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
double keystonePixels(const Eigen::Matrix3d& H, const View& view) {
  Eigen::Vector2d target_mean = Eigen::Vector2d::Zero(), image_mean = Eigen::Vector2d::Zero();
  for (size_t i = 0; i < view.image.size(); ++i) {
    target_mean += view.target[i];
    image_mean += view.image[i];
  }
  target_mean /= static_cast<double>(view.image.size());
  image_mean /= static_cast<double>(view.image.size());
  double target_radius = 0.0, image_radius = 0.0;
  for (size_t i = 0; i < view.image.size(); ++i) {
    target_radius += (view.target[i] - target_mean).norm();
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
// homography fits the points or the pose leaves points behind the camera.
bool closedFormStart(const View& view, Camera* camera) {
  Eigen::Matrix3d H;
  if (!estimateHomography(view.target, view.image, &H)) {
    DRAVIK_LOG(2, kTag) << "No homography fits the points: they lie on a line or coincide";
    return false;
  }
  const Eigen::Vector2d c(0.5 * view.image_size.x(), 0.5 * view.image_size.y());
  const double width = view.image_size.x();
  const double keystone = keystonePixels(H, view);
  double f = 1.0 / std::sqrt(inverseSquaredFocalFromHomography(H, c));
  if (!(keystone >= kMinimumKeystonePixels)) {
    f = kFallbackFocalPerWidth * width;
    DRAVIK_LOG(3, kTag) << "The view shows " << keystone
                        << " pixels of perspective, too little to measure the focal length;"
                        << " assuming " << f;
  } else if (!(f >= kMinimumFocalPerWidth * width) || !(f <= kMaximumFocalPerWidth * width)) {
    DRAVIK_LOG(3, kTag) << "The view's perspective gives no plausible focal length (" << f
                        << "); assuming " << kFallbackFocalPerWidth * width;
    f = kFallbackFocalPerWidth * width;
  }

  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  poseFromHomography(H, f, c, &R, &t);
  *camera = Camera();
  camera->fx = camera->fy = f;
  camera->cx = c.x();
  camera->cy = c.y();
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) camera->rotation[r][k] = R(r, k);
    camera->translation[r] = t(r);
  }
  return true;
}

// The fit in two stages. First the simplest rational lens, k1 and k4 with
// p1 and p2, whose fit a single view determines well, without the lens
// penalties: they would stop it on its way from no distortion to a strong
// one. Then every coefficient, with the penalties keeping the lens sound.
double refine(const View& view, Camera* camera) {
  ReprojectionProblem problem(view, *camera);
  if (!std::isfinite(problem.dataCost(*camera))) {
    DRAVIK_LOG(2, kTag) << "The closed-form pose puts target points behind the camera";
    return std::numeric_limits<double>::infinity();
  }
  SolverOptions options;
  options.max_evaluations = kMaxEvaluationsPerStage;
  options.absolute_cost_tolerance = kCostFloorPerPoint * static_cast<double>(view.image.size());
  options.free.fill(true);
  for (const int fixed : {kLens + 1, kLens + 4, kLens + 6, kLens + 7}) options.free[fixed] = false;
  problem.setPenalties(false);
  const SolverSummary first = minimize(&problem, options);

  options.free.fill(true);
  problem.setPenalties(true);
  const SolverSummary second = minimize(&problem, options);
  if (!first.converged || !second.converged) {
    DRAVIK_LOG(3, kTag) << "The calibration stopped before converging, after " << first.evaluations
                        << " + " << second.evaluations << " evaluations";
  }

  *camera = problem.camera();
  if (!lensIsSoundOverImage({camera->fx, camera->fy, camera->cx, camera->cy,
                             camera->distortionCoefficients(), view.image_size})) {
    DRAVIK_LOG(2, kTag) << "The fitted lens folds inside the image";
    return std::numeric_limits<double>::infinity();
  }
  return std::sqrt(problem.dataCost(*camera) / static_cast<double>(view.image.size()));
}

void store(const Camera& camera, OpenCVProjection<CalibrationJet>* projection) {
  *projection = OpenCVProjection<CalibrationJet>();
  projection->fx = camera.fx;
  projection->fy = camera.fy;
  projection->cx = camera.cx;
  projection->cy = camera.cy;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) projection->rotation[r][c] = camera.rotation[r][c];
    projection->translation[r] = camera.translation[r];
  }
  projection->k1 = camera.k1;
  projection->k2 = camera.k2;
  projection->k3 = camera.k3;
  projection->k4 = camera.k4;
  projection->k5 = camera.k5;
  projection->k6 = camera.k6;
  projection->p1 = camera.p1;
  projection->p2 = camera.p2;
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
  View view;
  view.image_size = image_size;
  view.image.reserve(image_points.size());
  view.target.reserve(target_points.size());
  for (size_t i = 0; i < image_points.size(); ++i) {
    view.image.push_back(image_points[i].cast<double>());
    view.target.push_back(target_points[i].cast<double>() * metres_per_unit);
  }
  if (!spanPlane(view.target) || !spanPlane(view.image)) {
    DRAVIK_LOG(2, kTag) << "The points lie on a line";
    return kNoFit;
  }

  Camera camera;
  if (!closedFormStart(view, &camera)) return kNoFit;
  const double error = refine(view, &camera);
  if (!std::isfinite(error)) return kNoFit;
  store(camera, projection);
  return error;
}

}  // namespace calibration
}  // namespace dravik

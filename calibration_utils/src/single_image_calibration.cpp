#define DRAVIK_LOG_FILE "calibration_utils/single_image_calibration"

#include "calibration_utils/single_image_calibration.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>

#include "dravik/logging.h"
#include "lens_soundness.h"
#include "levenberg_marquardt.h"
#include "planar_homography.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";

// The parameter vector: fx, fy, cx, cy, a rotation increment w (3), the
// translation (3), and the lens k1, k2, p1, p2, k3, k4, k5, k6.
constexpr int kParameters = 18;
constexpr int kFx = 0, kFy = 1, kCx = 2, kCy = 3, kRotation = 4, kTranslation = 7, kLens = 10;
static_assert(kParameters == kMaxSolverParameters, "the solver holds every parameter");
static_assert(kParameters <= 20, "CalibrationJet carries a partial per parameter");

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

// The margins the penalties keep the lens inside of, and their weight per
// pixel of focal length (lens_soundness.h).
constexpr double kSlopeMargin = 0.05;
constexpr double kDenominatorMargin = 0.5;
constexpr double kPenaltyWeight = 10.0;

// The solver's budget per stage, and its floor: an error per point of 1e-9
// pixels is far below the rounding of float pixels.
constexpr int kMaxEvaluationsPerStage = 200;
constexpr double kCostFloorPerPoint = 1e-18;

using Camera = OpenCVProjection<double>;

// The lens coefficients of a projection in the order k1, k2, p1, p2, k3, k4,
// k5, k6.
template <typename T>
std::array<T*, 8> lensCoefficients(OpenCVProjection<T>* c) {
  return {&c->k1, &c->k2, &c->p1, &c->p2, &c->k3, &c->k4, &c->k5, &c->k6};
}

// The rotation of the vector w: the unit quaternion (1, v) / |(1, v)| with
// v = w / 2 turned into a matrix,
//   R(w) = ((1 - v'v) I + 2 v v' + 2 [v]x) / (1 + v'v).
// Rational in w, so smooth everywhere and exact at w = 0, where
// dR/dw_k = [e_k]x.
template <typename S>
void rotationOfVector(const S w[3], S R[3][3]) {
  const S v[3] = {w[0] * 0.5, w[1] * 0.5, w[2] * 0.5};
  const S vv = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  const S inverse_norm = 1.0 / (1.0 + vv);
  const S diagonal = 1.0 - vv;
  const S cross[3][3] = {{S(0.0), -v[2], v[1]}, {v[2], S(0.0), -v[0]}, {-v[1], v[0], S(0.0)}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      S value = 2.0 * (v[r] * v[c] + cross[r][c]);
      if (r == c) value = value + diagonal;
      R[r][c] = value * inverse_norm;
    }
  }
}

// R = R(w) R0: the rotation R0 turned further by w.
template <typename S>
void turned(const S w[3], const double R0[3][3], S R[3][3]) {
  S increment[3][3];
  rotationOfVector(w, increment);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      R[r][c] =
          increment[r][0] * R0[0][c] + increment[r][1] * R0[1][c] + increment[r][2] * R0[2][c];
    }
  }
}

// The projection at `camera` with its parameters seeded as the variables of
// the parameter vector; the rotation is R(w) R0 at w = 0.
OpenCVProjection<CalibrationJet> seeded(const Camera& camera) {
  OpenCVProjection<CalibrationJet> jet;
  jet.fx = CalibrationJet(camera.fx, kFx);
  jet.fy = CalibrationJet(camera.fy, kFy);
  jet.cx = CalibrationJet(camera.cx, kCx);
  jet.cy = CalibrationJet(camera.cy, kCy);
  const CalibrationJet w[3] = {CalibrationJet(0.0, kRotation), CalibrationJet(0.0, kRotation + 1),
                               CalibrationJet(0.0, kRotation + 2)};
  turned(w, camera.rotation, jet.rotation);
  for (int r = 0; r < 3; ++r) {
    jet.translation[r] = CalibrationJet(camera.translation[r], kTranslation + r);
  }
  const std::array<double, 8> lens = camera.distortionCoefficients();
  const std::array<CalibrationJet*, 8> jet_lens = lensCoefficients(&jet);
  for (int i = 0; i < 8; ++i) *jet_lens[i] = CalibrationJet(lens[i], kLens + i);
  return jet;
}

// The camera moved by the parameter step delta; the rotation becomes
// R(delta_w) R0.
Camera stepped(const Camera& camera, const SolverVector& delta) {
  Camera out = camera;
  out.fx += delta(kFx);
  out.fy += delta(kFy);
  out.cx += delta(kCx);
  out.cy += delta(kCy);
  const double w[3] = {delta(kRotation), delta(kRotation + 1), delta(kRotation + 2)};
  turned(w, camera.rotation, out.rotation);
  for (int r = 0; r < 3; ++r) out.translation[r] += delta(kTranslation + r);
  const std::array<double*, 8> lens = lensCoefficients(&out);
  for (int i = 0; i < 8; ++i) *lens[i] += delta(kLens + i);
  return out;
}

// One view: image points in pixels and target points in metres.
struct View {
  std::vector<Eigen::Vector2d> image;
  std::vector<Eigen::Vector2d> target;
  Eigen::Vector2i image_size;
};

// Reprojection of one view, plus hinge penalties that keep the lens sound
// over the image with a margin: at each soundness radius r (lens_soundness.h)
//   w (kSlopeMargin - dr_d/dr)            where the slope falls below kSlopeMargin,
//   w (kDenominatorMargin - D)            where D falls below kDenominatorMargin,
// with w = kPenaltyWeight fx pixels per unit (fx of the start). A lens sound
// with margin pays nothing, so the penalties do not bias a fit that is sound
// by itself; they let the solver pass through unsound lenses on its way but
// not settle on one. Every target point must stay in front of the camera.
class ReprojectionProblem : public LeastSquaresProblem {
 public:
  ReprojectionProblem(const View& view, const Camera& start)
      : view_(view), camera_(start), penalty_weight_(kPenaltyWeight * start.fx) {}

  const Camera& camera() const { return camera_; }
  void setPenalties(bool on) { penalties_ = on; }

  NormalEquations linearize() const override {
    const OpenCVProjection<CalibrationJet> jet = seeded(camera_);
    NormalEquations normal;
    for (size_t i = 0; i < view_.image.size(); ++i) {
      CalibrationJet u, v;
      jet.projectTargetPoint(view_.target[i].x(), view_.target[i].y(), &u, &v);
      add(u - view_.image[i].x(), &normal);
      add(v - view_.image[i].y(), &normal);
    }
    forEachPenalty(camera_, jet.distortionCoefficients(),
                   [&normal](const CalibrationJet& residual) { add(residual, &normal); });
    const SolverMatrix full = normal.A.selfadjointView<Eigen::Upper>();
    normal.A = full;
    return normal;
  }

  double trialCost(const SolverVector& delta) const override {
    const Camera trial = stepped(camera_, delta);
    double cost = dataCost(trial);
    forEachPenalty(trial, trial.distortionCoefficients(),
                   [&cost](double residual) { cost += residual * residual; });
    return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
  }

  void accept(const SolverVector& delta) override { camera_ = stepped(camera_, delta); }

  // |r|^2 of the view's points through camera; +infinity when a target point
  // is not in front of it.
  double dataCost(const Camera& camera) const {
    double cost = 0.0;
    for (size_t i = 0; i < view_.image.size(); ++i) {
      const double x = view_.target[i].x();
      const double y = view_.target[i].y();
      const double depth =
          camera.rotation[2][0] * x + camera.rotation[2][1] * y + camera.translation[2];
      if (!(depth > 0.0)) return std::numeric_limits<double>::infinity();
      double u, v;
      camera.projectTargetPoint(x, y, &u, &v);
      const double ru = u - view_.image[i].x();
      const double rv = v - view_.image[i].y();
      cost += ru * ru + rv * rv;
    }
    return cost;
  }

 private:
  static void add(const CalibrationJet& residual, NormalEquations* normal) {
    const Eigen::Map<const SolverVector> jacobian(residual.partial);
    normal->A.selfadjointView<Eigen::Upper>().rankUpdate(jacobian);
    normal->g += residual.value * jacobian;
    normal->cost += residual.value * residual.value;
  }

  // Calls visit(residual) for each penalty the lens of `camera` pays; `lens`
  // holds its coefficients on the scalar of the residuals.
  template <typename S, typename Visit>
  void forEachPenalty(const Camera& camera, const std::array<S, 8>& lens, Visit visit) const {
    if (!penalties_) return;
    bool reaches = false;
    const LensOverImage over_image{
        camera.fx,       camera.fy, camera.cx, camera.cy, camera.distortionCoefficients(),
        view_.image_size};
    for (const double r : soundnessRadii(over_image, &reaches)) {
      const RadialProfile<S> p = radialProfile(lens, r);
      if (p.slope < kSlopeMargin) visit((kSlopeMargin - p.slope) * penalty_weight_);
      if (p.denominator < kDenominatorMargin) {
        visit((kDenominatorMargin - p.denominator) * penalty_weight_);
      }
    }
  }

  const View& view_;
  Camera camera_;
  double penalty_weight_;
  bool penalties_ = true;
};

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
  if (image_points.size() < static_cast<size_t>(kParameters)) {
    DRAVIK_LOG(2, kTag) << "Too few points to calibrate: " << image_points.size() << " for "
                        << kParameters << " parameters";
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
  const std::array<double, 8> lens = camera.distortionCoefficients();
  const std::array<CalibrationJet*, 8> out = lensCoefficients(projection);
  for (int i = 0; i < 8; ++i) *out[i] = lens[i];
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

#define DRAVIK_LOG_FILE "calibration_common/pan_tilt_model"

// Forward kinematics of the pan/tilt head, its parameters as a message, and
// the inverse solution: the motor positions at which the camera sees a world
// point along a wanted ray.
//
// The inverse solution works in two stages:
//  1. a closed-form estimate that treats the head as two pure rotations (pan
//     about z, then tilt about a horizontal axis), ignoring the translations
//     of the tilt and device transforms;
//  2. five Gauss-Newton iterations on the full chain, with the Jacobian of a
//     three-component residual from forward-mode automatic differentiation.
#include "calibration_common/pan_tilt_model.h"

#include <Eigen/Cholesky>
#include <Eigen/Geometry>
#include <cmath>

#include "calibration_common/camera_parameters.h"
#include "dravik/autodiff.h"
#include "dravik/geometry.h"
#include "dravik/logging.h"
#include "ptz_camera_model_internal.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "pan_tilt_model";
constexpr int kExtrinsicsValues = 12;

// Tolerance handed to solveAsinBcosCeqn.
constexpr double kRootTolerance = 1e-5;
// A candidate tilt beyond +-pi/2 looks at the target over the top of the
// head; the other root of the same pan is the one wanted.
constexpr double kMaxCandidateTilt = 1.5707963267948966;
// |M p x q| above this: the candidate does not turn the target onto the ray.
constexpr double kMaxCandidateMisalignment = 1e-4;
constexpr int kGaussNewtonIterations = 5;
// Bands of the last squared residual: above the first the call fails, above
// the second it fails with a warning only.
constexpr double kLargeResidualError = 0.01;
constexpr double kHighResidualError = 1e-5;

// One unknown angle with its partials with respect to (pan angle, tilt angle).
using Jet = autodiff::AutoDiff1<double, 2>;
// What depends on the tilt angle alone, with its one partial.
using TiltJet = autodiff::AutoDiff1<double, 1>;

// A tilt-only value among (pan, tilt) values: its pan partial is zero.
Jet withZeroPanPartial(const TiltJet& x) {
  Jet lifted(x.value);
  lifted.partial[1] = x.partial[0];
  return lifted;
}

// The 2x2 block of Rz(a) (rotationZTransf), the rotation that turns x towards
// y: [cos a, -sin a; sin a, cos a]. Rz(a) leaves z and w as they are.
template <typename S>
Eigen::Matrix<S, 2, 2> planeRotation(const S& angle) {
  using std::cos;
  using std::sin;
  const S c = cos(angle);
  const S s = sin(angle);
  Eigen::Matrix<S, 2, 2> rotation;
  rotation << c, -s, s, c;
  return rotation;
}

// The residual of a pan/tilt pair: the cross product of the wanted ray
// d = (dev.x, dev.y, 1) with the target in the camera frame,
//   Xc = D Rz(theta_t) T Rz(theta_p) q,   q = P (world, 1),
//   r = d x Xc = (dev.y Xc.z - Xc.y, Xc.x - dev.x Xc.z, dev.x Xc.y - dev.y Xc.x).
// It vanishes when the target lies on the line of the ray, in front of the
// camera or behind it.
//
// The chain is evaluated from the left, ((D Rz(theta_t)) T) Rz(theta_p),
// then applied to q, in double. Xc.w is not needed, so only the first three
// rows are formed; Rz mixes only the first two columns of what it
// multiplies, so the products with it are written on those. Every sum
// over k of a product adds its terms in the order of k, the order in which
// the solver has always added them, so that its steps and records stay the
// same to the last bit: the terms of (D Rz(theta_t)) T with k = 2, 3 do not
// depend on the angles and are formed once.
class PanTiltResidual {
 public:
  // The links D and T, the target q = P (world, 1) as formed in float, and
  // the wanted ray.
  PanTiltResidual(const Eigen::Matrix4f& camera_from_tilt_rotated,
                  const Eigen::Matrix4f& tilt_base_from_pan_rotated,
                  const Eigen::Vector4f& target_in_pan_base, const Eigen::Vector2f& dev)
      : device_xy_(camera_from_tilt_rotated.topLeftCorner<3, 2>().cast<double>()),
        tilt_xy_(tilt_base_from_pan_rotated.topRows<2>().cast<double>()),
        tilt_z_terms_(camera_from_tilt_rotated.block<3, 1>(0, 2).cast<double>() *
                      tilt_base_from_pan_rotated.row(2).cast<double>()),
        tilt_w_terms_(camera_from_tilt_rotated.block<3, 1>(0, 3).cast<double>() *
                      tilt_base_from_pan_rotated.row(3).cast<double>()),
        ray_(dev.x(), dev.y(), 1.0),
        q_(target_in_pan_base.cast<double>()) {}

  // r at the angles, which are the variables 0 (pan) and 1 (tilt).
  Eigen::Matrix<Jet, 3, 1> operator()(const Jet& pan_angle, const Jet& tilt_angle) const {
    // D Rz(theta_t) T, the terms of the columns k = 0, 1 of D Rz(theta_t)
    // first. It depends on the tilt alone, so it carries the tilt partial
    // only.
    const TiltJet tilt(tilt_angle.value, 0);
    const Eigen::Matrix<Jet, 3, 4> tilted =
        (device_xy_ * planeRotation(tilt) * tilt_xy_ + tilt_z_terms_ + tilt_w_terms_)
            .unaryExpr([](const TiltJet& x) { return withZeroPanPartial(x); });
    // (D Rz(theta_t) T) Rz(theta_p): the pan turns the first two columns.
    const Eigen::Matrix<Jet, 3, 2> panned = tilted.leftCols<2>() * planeRotation(pan_angle);
    const Eigen::Matrix<Jet, 3, 1> Xc = panned.col(0) * q_(0) + panned.col(1) * q_(1) +
                                        tilted.col(2) * q_(2) + tilted.col(3) * q_(3);
    return ray_.cross(Xc);
  }

 private:
  // D, rows 0..2, columns 0, 1: what Rz(theta_t) turns.
  Eigen::Matrix<double, 3, 2> device_xy_;
  // T, rows 0, 1: what meets those columns.
  Eigen::Matrix<double, 2, 4> tilt_xy_;
  // D(r, k) T(k, c) for k = 2 and k = 3, rows r = 0..2.
  Eigen::Matrix<double, 3, 4> tilt_z_terms_;
  Eigen::Matrix<double, 3, 4> tilt_w_terms_;
  Eigen::Vector3d ray_;
  Eigen::Vector4d q_;
};

// The Gauss-Newton system of N unknowns, accumulated one residual at a time:
//   error = sum r^2,   H = sum g g^T,   rhs = -sum r g,
// g being the residual's partials. The step solves H delta = rhs.
template <int N>
struct NormalEquations {
  using Matrix = Eigen::Matrix<double, N, N>;
  using Vector = Eigen::Matrix<double, N, 1>;

  NormalEquations() { reset(); }

  void reset() {
    error = 0.0;
    H.setZero();
    rhs.setZero();
  }

  void add(const autodiff::AutoDiff1<double, N>& r) {
    const Vector& g = r.partial;
    error += r.value * r.value;
    H.noalias() += g * g.transpose();
    rhs -= r.value * g;
  }

  static constexpr int n = N;
  double error;
  Matrix H;
  Vector rhs;
};

// Ry(tilt) Rz(pan), in double, from cos and sin of the pan.
Eigen::Matrix3d panTiltRotation(double cos_pan, double sin_pan, double tilt) {
  const double ct = std::cos(tilt);
  const double st = std::sin(tilt);
  Eigen::Matrix3d Rz;
  Rz << cos_pan, -sin_pan, 0.0, sin_pan, cos_pan, 0.0, 0.0, 0.0, 1.0;
  Eigen::Matrix3d Ry;
  Ry << ct, 0.0, st, 0.0, 1.0, 0.0, -st, 0.0, ct;
  return Ry * Rz;
}

// The first (pan, tilt) angle pair found with Ry(tilt) Rz(pan) u parallel to
// v and |tilt| at most pi/2; false when there is none.
//   y component: sin(pan) p.x + cos(pan) p.y = q.y
//   x component: sin(tilt) p.z + cos(tilt) (cos(pan) p.x - sin(pan) p.y) = q.x
// with p = u / |u| and q = v / |v|. The pan roots are tried in the order
// solveAsinBcosCeqn gives them, and the tilt roots of each in theirs; the z
// component is checked on each pair.
bool findPanTiltCandidate(const Eigen::Vector3f& u, const Eigen::Vector3f& v,
                          Eigen::Vector2f* candidate) {
  const Eigen::Vector3d ud = u.cast<double>();
  const Eigen::Vector3d vd = v.cast<double>();
  const Eigen::Vector3d p = ud / ud.norm();
  const Eigen::Vector3d q = vd / vd.norm();

  double pan_roots[2];
  const int pan_count = solveAsinBcosCeqn(p.x(), p.y(), -q.y(), pan_roots, kRootTolerance);
  for (int i = 0; i < pan_count; ++i) {
    const double pan = pan_roots[i];
    const double cos_pan = std::cos(pan);
    const double sin_pan = std::sin(pan);
    double tilt_roots[2];
    const int tilt_count = solveAsinBcosCeqn(p.z(), cos_pan * p.x() - sin_pan * p.y(), -q.x(),
                                             tilt_roots, kRootTolerance);
    for (int j = 0; j < tilt_count; ++j) {
      const double tilt = tilt_roots[j];
      if (std::fabs(tilt) > kMaxCandidateTilt) continue;
      if ((panTiltRotation(cos_pan, sin_pan, tilt) * p).cross(q).norm() >
          kMaxCandidateMisalignment) {
        continue;
      }
      *candidate = Eigen::Vector2f(static_cast<float>(pan), static_cast<float>(tilt));
      return true;
    }
  }
  return false;
}

// v / |v|, the length's square root taken in double.
Eigen::Vector3f normalised(const Eigen::Vector3f& v) {
  return v / static_cast<float>(std::sqrt(static_cast<double>(v.squaredNorm())));
}

// What the closed-form estimate finds, with the vectors the solver's trace
// records.
struct PanTiltEstimate {
  Eigen::Vector3f target_in_pan_base;  // w3 = P (world, 1)
  Eigen::Vector3f tilt_axis;
  Eigen::Vector3f roll_axis;
  Eigen::Vector3f u;  // the target in the head's axes, normalised
  Eigen::Vector3f v;  // the wanted ray in the head's axes, normalised
  bool found = false;
  // The starting angles, radians, when found.
  float pan = 0.0f;
  float tilt = 0.0f;
};

const Eigen::Vector3f kPanAxis(0.0f, 0.0f, 1.0f);

// Stage 1, the closed-form estimate. Takes the target in the pan base frame
// (w3 = P (world, 1)), the wanted ray dev and the inverses of the tilt and
// device links; treats the head as two pure rotations, the pan about z and
// the tilt about a horizontal axis, ignoring the links' translations.
// Returns the angles of the first candidate that passes the checks, the tilt
// signed by the direction of the true tilt axis, or found = false.
PanTiltEstimate estimatePanTilt(const Eigen::Vector3f& target_in_pan_base,
                                const Eigen::Vector2f& dev,
                                const Eigen::Matrix4f& pan_rotated_from_tilt_base,
                                const Eigen::Matrix4f& tilt_rotated_from_camera) {
  PanTiltEstimate estimate;
  estimate.target_in_pan_base = target_in_pan_base;

  // Directions (w = 0) in the pan-rotated frame at zero tilt: the optical
  // axis a, the wanted ray b and the true tilt axis k.
  const Eigen::Matrix4f pan_rotated_from_camera =
      pan_rotated_from_tilt_base * tilt_rotated_from_camera;
  const Eigen::Vector4f z_axis(0.0f, 0.0f, 1.0f, 0.0f);
  const Eigen::Vector3f a = (pan_rotated_from_camera * z_axis).head<3>();
  const Eigen::Vector3f b =
      (pan_rotated_from_camera * Eigen::Vector4f(dev.x(), dev.y(), 1.0f, 0.0f)).head<3>();
  const Eigen::Vector3f k = (pan_rotated_from_tilt_base * z_axis).head<3>();

  // The head's axes: the pan axis up, the horizontal tilt axis pan x a, and
  // the roll axis tilt x pan under the optical axis. None is normalised.
  estimate.tilt_axis = Eigen::Vector3f(-a.y(), a.x(), 0.0f);
  estimate.roll_axis = Eigen::Vector3f(a.x(), a.y(), 0.0f);
  // The true tilt axis may point against the horizontal one: the estimated
  // tilt then changes sign.
  const float sign = k.dot(estimate.tilt_axis) > 0.0f ? 1.0f : -1.0f;

  // The matrix with the axes as its columns, applied itself (not its
  // transpose).
  Eigen::Matrix3f head_axes;
  head_axes.col(0) = estimate.roll_axis;
  head_axes.col(1) = estimate.tilt_axis;
  head_axes.col(2) = kPanAxis;
  estimate.u = normalised(head_axes * target_in_pan_base);
  estimate.v = normalised(head_axes * b);

  Eigen::Vector2f candidate = Eigen::Vector2f::Zero();
  estimate.found = findPanTiltCandidate(estimate.u, estimate.v, &candidate);
  estimate.pan = candidate.x();
  estimate.tilt = candidate.y() * sign;
  return estimate;
}

// One Gauss-Newton step, as the solver's trace records it.
struct GaussNewtonStep {
  double error;  // sum of the squared residuals before the step
  Eigen::Vector2d delta;
  Eigen::Vector3d residuals;
};

// What the refinement ends with.
struct PanTiltRefinement {
  double pan;         // radians
  double tilt;        // radians
  double last_error;  // the error before the last step; the angles include it
  GaussNewtonStep steps[kGaussNewtonIterations];
};

// Stage 2, the refinement. Takes the residual of the full chain and the
// estimate's angles; runs a fixed five Gauss-Newton steps, with no
// convergence test, from the angles widened to double. Returns the angles
// after the last step, the error before it, and every step for the trace.
PanTiltRefinement refinePanTilt(const PanTiltResidual& residual, float pan0, float tilt0) {
  PanTiltRefinement refinement;
  NormalEquations<2> equations;
  Jet pan_angle(static_cast<double>(pan0), 0);
  Jet tilt_angle(static_cast<double>(tilt0), 1);
  for (GaussNewtonStep& step : refinement.steps) {
    equations.reset();
    const Eigen::Matrix<Jet, 3, 1> r = residual(pan_angle, tilt_angle);
    for (int i = 0; i < 3; ++i) equations.add(r(i));
    // A pivot no larger than 1 / DBL_MAX gives a zero step component.
    step.delta = equations.H.ldlt().solve(equations.rhs);
    step.error = equations.error;
    step.residuals = Eigen::Vector3d(r(0).value, r(1).value, r(2).value);
    pan_angle.value += step.delta(0);
    tilt_angle.value += step.delta(1);
  }
  refinement.pan = pan_angle.value;
  refinement.tilt = tilt_angle.value;
  refinement.last_error = refinement.steps[kGaussNewtonIterations - 1].error;
  return refinement;
}

}  // namespace

PanTiltModel::PanTiltModel()
    : pan_scale_(0.0f),
      tilt_scale_(0.0f),
      pan_offset_(0.0f),
      tilt_offset_(0.0f),
      aux_param_1_(0.0f),
      aux_param_2_(0.0f) {}

bool PanTiltModel::readFromPB(const PanTiltSystemParameters& params) {
  // Every check comes before any member changes, so that a rejected message
  // leaves the model as it was.
  if (params.pan_ext().a_size() < kExtrinsicsValues ||
      params.tilt_ext().a_size() < kExtrinsicsValues ||
      params.device_ext().a_size() < kExtrinsicsValues) {
    DRAVIK_LOG(2, kTag) << "Not enough matrix elements in PanTiltSystemParameters";
    return false;
  }
  Eigen::Matrix4f pan = Eigen::Matrix4f::Zero();
  Eigen::Matrix4f tilt = Eigen::Matrix4f::Zero();
  Eigen::Matrix4f device = Eigen::Matrix4f::Zero();
  CameraParameters::convert(params.pan_ext(), &pan);
  CameraParameters::convert(params.tilt_ext(), &tilt);
  CameraParameters::convert(params.device_ext(), &device);

  pan_scale_ = params.pan_scale();
  tilt_scale_ = params.tilt_scale();
  pan_offset_ = params.pan_offset();
  tilt_offset_ = params.tilt_offset();

  pan_ext_.setTransform(pan, CameraTransform::kParentToChild);
  tilt_ext_.setTransform(tilt, CameraTransform::kParentToChild);
  device_ext_.setTransform(device, CameraTransform::kParentToChild);

  aux_param_1_ = params.aux_param_1();
  aux_param_2_ = params.aux_param_2();
  return true;
}

void PanTiltModel::writeToPB(PanTiltSystemParameters* params) const {
  CameraParameters::convert(pan_ext_.getTransform(), params->mutable_pan_ext());
  CameraParameters::convert(tilt_ext_.getTransform(), params->mutable_tilt_ext());
  CameraParameters::convert(device_ext_.getTransform(), params->mutable_device_ext());
  params->set_pan_scale(pan_scale_);
  params->set_tilt_scale(tilt_scale_);
  params->set_pan_offset(pan_offset_);
  params->set_tilt_offset(tilt_offset_);
  params->set_aux_param_1(aux_param_1_);
  params->set_aux_param_2(aux_param_2_);
}

CameraTransform PanTiltModel::getFullTransform(float pan, float tilt) const {
  CameraTransform pose;
  const Eigen::Matrix4f tilt_rotation = rotationZTransf(tilt_scale_ * (tilt - tilt_offset_));
  const Eigen::Matrix4f pan_rotation = rotationZTransf(pan_scale_ * (pan - pan_offset_));
  // X_cam = D Rz(theta_t) T Rz(theta_p) P X, multiplied from the left.
  Eigen::Matrix4f camera_from_world = device_ext_.getTransform() * tilt_rotation;
  camera_from_world = camera_from_world * tilt_ext_.getTransform();
  camera_from_world = camera_from_world * pan_rotation;
  camera_from_world = camera_from_world * pan_ext_.getTransform();
  pose.setTransform(camera_from_world, CameraTransform::kParentToChild);
  return pose;
}

bool PanTiltModel::computePanTilt(const Eigen::Vector3f& world, const Eigen::Vector2f& dev,
                                  float* pan, float* tilt) const {
  if (pan == nullptr || tilt == nullptr) {
    DRAVIK_LOG(2, kTag) << "computePanTilt: null output";
    return false;
  }
  const Eigen::Matrix4f& pan_base_from_world = pan_ext_.getTransform();
  const Eigen::Vector4f target = pan_base_from_world * world.homogeneous();
  const PanTiltEstimate estimate = estimatePanTilt(
      target.head<3>(), dev, tilt_ext_.getInverseTransform(), device_ext_.getInverseTransform());
  if (isLoggerEnabled(5, kTag)) {
    DRAVIK_LOG(5, kTag) << "world=" << world << " dev=" << dev;
    DRAVIK_LOG(5, kTag) << "w3=" << estimate.target_in_pan_base;
    DRAVIK_LOG(5, kTag) << "pan_axis=" << kPanAxis;
    DRAVIK_LOG(5, kTag) << "tilt_axis=" << estimate.tilt_axis;
    DRAVIK_LOG(5, kTag) << "roll_axis=" << estimate.roll_axis;
    DRAVIK_LOG(5, kTag) << "u=" << estimate.u;
    DRAVIK_LOG(5, kTag) << "v=" << estimate.v;
  }
  if (!estimate.found) {
    DRAVIK_LOG(2, kTag) << "Could not find solutions for pan tilt: world=" << world
                        << " dev=" << dev;
    return false;
  }
  DRAVIK_LOG(5, kTag) << "Pan/tilt estimates:" << estimate.pan << " " << estimate.tilt;

  const PanTiltResidual residual(device_ext_.getTransform(), tilt_ext_.getTransform(), target, dev);
  const PanTiltRefinement refined = refinePanTilt(residual, estimate.pan, estimate.tilt);
  if (isLoggerEnabled(6, kTag)) {
    for (int i = 0; i < kGaussNewtonIterations; ++i) {
      const GaussNewtonStep& step = refined.steps[i];
      DRAVIK_LOGF(6, kTag, "%d Error=%f  dx=%f,dy=%f residuals=%f,%f,%f", i, step.error,
                  step.delta(0), step.delta(1), step.residuals(0), step.residuals(1),
                  step.residuals(2));
    }
  }
  const double last_error = refined.last_error;
  if (isLoggerEnabled(5, kTag)) {
    DRAVIK_LOG(5, kTag) << "last_error=" << last_error;
    DRAVIK_LOG(5, kTag) << "Pan/tilt (rads): " << refined.pan << " " << refined.tilt;
    DRAVIK_LOG(5, kTag) << "Pan/tilt (steps):" << refined.pan / pan_scale_ << " "
                        << refined.tilt / tilt_scale_;
  }

  // steps = angle / scale + offset
  const float pan_steps = static_cast<float>(refined.pan / pan_scale_ + pan_offset_);
  const float tilt_steps = static_cast<float>(refined.tilt / tilt_scale_ + tilt_offset_);
  // A zero scale or a non-finite angle has no motor position: nothing is
  // written and the call fails as for a large error.
  const bool steps_finite = std::isfinite(pan_steps) && std::isfinite(tilt_steps);
  if (steps_finite) {
    *pan = pan_steps;
    *tilt = tilt_steps;
  }

  // A NaN error (from non-finite parameters) counts as large.
  if (!steps_finite || !(last_error <= kLargeResidualError)) {
    DRAVIK_LOG(2, kTag) << "Large residual error for pan tilt: world=" << world << " dev=" << dev
                        << " error=" << last_error;
    return false;
  }
  if (last_error > kHighResidualError) {
    DRAVIK_LOG(3, kTag) << "High residual error for pan tilt: world=" << world << " dev=" << dev
                        << " error=" << last_error;
    return false;
  }
  return true;
}

Eigen::Vector2f PanTiltModel::jointPositions(float pan, float tilt) const {
  return Eigen::Vector2f(pan_scale_ * (pan - pan_offset_), tilt_scale_ * (tilt - tilt_offset_));
}

bool PanTiltModel::motorSteps(float pan_angle, float tilt_angle, float* pan, float* tilt) const {
  if (pan == nullptr || tilt == nullptr) {
    DRAVIK_LOG(2, kTag) << "motorSteps: null output";
    return false;
  }
  const float pan_steps = static_cast<float>(double{pan_angle} / pan_scale_ + pan_offset_);
  const float tilt_steps = static_cast<float>(double{tilt_angle} / tilt_scale_ + tilt_offset_);
  if (!std::isfinite(pan_steps) || !std::isfinite(tilt_steps)) {
    DRAVIK_LOG(2, kTag) << "No motor position for the joint positions " << pan_angle << " "
                        << tilt_angle << " rad (pan scale " << pan_scale_ << ", tilt scale "
                        << tilt_scale_ << ")";
    return false;
  }
  *pan = pan_steps;
  *tilt = tilt_steps;
  return true;
}

bool roundAndLimitMotorSteps(const PanTiltSystemParameters& limits, float pan, float tilt,
                             int* pan_steps, int* tilt_steps) {
  int p, t;
  if (pan_steps == nullptr || tilt_steps == nullptr || !wholeValueToInt(std::round(pan), &p) ||
      !wholeValueToInt(std::round(tilt), &t)) {
    return false;
  }
  // A min, then a max: with inconsistent limits the max wins.
  if (limits.has_pan_min() && p < limits.pan_min()) p = limits.pan_min();
  if (limits.has_pan_max() && p > limits.pan_max()) p = limits.pan_max();
  if (limits.has_tilt_min() && t < limits.tilt_min()) t = limits.tilt_min();
  if (limits.has_tilt_max() && t > limits.tilt_max()) t = limits.tilt_max();
  *pan_steps = p;
  *tilt_steps = t;
  return true;
}

}  // namespace calibration
}  // namespace dravik

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
#include <array>
#include <cmath>

#include "calibration_common/camera_parameters.h"
#include "dravik/autodiff.h"
#include "dravik/geometry.h"
#include "dravik/logging.h"

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
constexpr int kMaxCandidates = 4;
constexpr int kGaussNewtonIterations = 5;
// Bands of the last squared residual: above the first the call fails, above
// the second it fails with a warning only.
constexpr double kLargeResidualError = 0.01;
constexpr double kHighResidualError = 1e-5;

// One unknown angle with its partials with respect to (pan angle, tilt angle).
using Jet = autodiff::AutoDiff1<double, 2>;

// Small dense matrices on any scalar (double or Jet), so that the residual's
// chain is written once.
template <typename S>
using Matrix4 = std::array<std::array<S, 4>, 4>;
template <typename S>
using Vector4 = std::array<S, 4>;

Matrix4<double> widened(const Eigen::Matrix4f& m) {
  Matrix4<double> out;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) out[r][c] = static_cast<double>(m(r, c));
  }
  return out;
}

// (A B)(r, c) = sum_k A(r, k) B(k, c).
template <typename A, typename B>
auto multiply(const Matrix4<A>& a, const Matrix4<B>& b) {
  using S = decltype(a[0][0] * b[0][0]);
  Matrix4<S> p;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      S sum = a[r][0] * b[0][c];
      for (int k = 1; k < 4; ++k) sum = sum + a[r][k] * b[k][c];
      p[r][c] = sum;
    }
  }
  return p;
}

// (A x)(r) = sum_k A(r, k) x(k).
template <typename A, typename B>
auto multiplyVector(const Matrix4<A>& a, const Vector4<B>& x) {
  using S = decltype(a[0][0] * x[0]);
  Vector4<S> p;
  for (int r = 0; r < 4; ++r) {
    S sum = a[r][0] * x[0];
    for (int k = 1; k < 4; ++k) sum = sum + a[r][k] * x[k];
    p[r] = sum;
  }
  return p;
}

// M Rz(a), Rz(a) being the homogeneous rotation about z of rotationZTransf,
// rows (cos a, -sin a, 0, 0), (sin a, cos a, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1).
// The product's terms with the zeros and ones of Rz are written out:
//   columns (M0 cos a + M1 sin a, M1 cos a - M0 sin a, M2, M3).
template <typename S, typename A>
auto multiplyRotationZ(const Matrix4<S>& m, const A& angle) {
  using std::cos;
  using std::sin;
  using R = decltype(m[0][0] * angle);
  const A c = cos(angle);
  const A s = sin(angle);
  Matrix4<R> p;
  for (int r = 0; r < 4; ++r) {
    p[r][0] = m[r][0] * c + m[r][1] * s;
    p[r][1] = m[r][1] * c - m[r][0] * s;
    p[r][2] = R(m[r][2]);
    p[r][3] = R(m[r][3]);
  }
  return p;
}

// The residual of a pan/tilt pair: the cross product of the wanted ray
// d = (dev.x, dev.y, 1) with the target in the camera frame,
//   Xc = D Rz(theta_t) T Rz(theta_p) q,   q = P (world, 1),
//   r = d x Xc = (dev.y Xc.z - Xc.y, Xc.x - dev.x Xc.z, dev.x Xc.y - dev.y Xc.x).
// It vanishes when the target lies on the line of the ray, in front of the
// camera or behind it.
struct PanTiltResidual {
  PanTiltResidual(const Eigen::Matrix4f& device_in, const Eigen::Matrix4f& tilt_in,
                  const Eigen::Matrix4f& pan_in, const Eigen::Vector3f& world_in,
                  const Eigen::Vector2f& dev_in)
      : device(device_in),
        tilt(tilt_in),
        pan(pan_in),
        world(world_in),
        dev(dev_in),
        q(pan_in * world_in.homogeneous()) {}

  void operator()(const Jet& pan_angle, const Jet& tilt_angle, Jet residual[3]) const {
    const Vector4<double> target = {q.x(), q.y(), q.z(), q.w()};
    // Evaluated from the left: (((D Rz(theta_t)) T) Rz(theta_p)) q.
    const Matrix4<Jet> chain = multiplyRotationZ(
        multiply(multiplyRotationZ(widened(device), tilt_angle), widened(tilt)), pan_angle);
    const Vector4<Jet> Xc = multiplyVector(chain, target);
    const double dx = dev.x();
    const double dy = dev.y();
    residual[0] = dy * Xc[2] - Xc[1];
    residual[1] = Xc[0] - dx * Xc[2];
    residual[2] = dx * Xc[1] - dy * Xc[0];
  }

  Eigen::Matrix4f device;
  Eigen::Matrix4f tilt;
  Eigen::Matrix4f pan;
  Eigen::Vector3f world;
  Eigen::Vector2f dev;
  Eigen::Vector4f q;
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
    const Eigen::Map<const Vector> g(r.partial);
    error += r.value * r.value;
    H.noalias() += g * g.transpose();
    rhs -= r.value * g;
  }

  static constexpr int n = N;
  double error;
  Matrix H;
  Vector rhs;
};

// Ry(tilt) Rz(pan), in double.
Eigen::Matrix3d panTiltRotation(double pan, double tilt) {
  const double cp = std::cos(pan);
  const double sp = std::sin(pan);
  const double ct = std::cos(tilt);
  const double st = std::sin(tilt);
  Eigen::Matrix3d Rz;
  Rz << cp, -sp, 0.0, sp, cp, 0.0, 0.0, 0.0, 1.0;
  Eigen::Matrix3d Ry;
  Ry << ct, 0.0, st, 0.0, 1.0, 0.0, -st, 0.0, ct;
  return Ry * Rz;
}

// The (pan, tilt) angle pairs with Ry(tilt) Rz(pan) u parallel to v, |tilt|
// at most pi/2, in the order found; returns how many were written (0 to 4).
//   y component: sin(pan) p.x + cos(pan) p.y = q.y
//   x component: sin(tilt) p.z + cos(tilt) (cos(pan) p.x - sin(pan) p.y) = q.x
// with p = u / |u| and q = v / |v|. The z component is checked afterwards.
int findPanTiltCandidates(const Eigen::Vector3f& u, const Eigen::Vector3f& v,
                          Eigen::Vector2f candidates[kMaxCandidates]) {
  const Eigen::Vector3d ud = u.cast<double>();
  const Eigen::Vector3d vd = v.cast<double>();
  const Eigen::Vector3d p = ud / ud.norm();
  const Eigen::Vector3d q = vd / vd.norm();

  double pan_roots[2];
  const int pan_count = solveAsinBcosCeqn(p.x(), p.y(), -q.y(), pan_roots, kRootTolerance);
  if (pan_count < 1) return 0;

  int count = 0;
  for (int i = 0; i < pan_count; ++i) {
    const double pan = pan_roots[i];
    double tilt_roots[2];
    const int tilt_count = solveAsinBcosCeqn(p.z(), std::cos(pan) * p.x() - std::sin(pan) * p.y(),
                                             -q.x(), tilt_roots, kRootTolerance);
    for (int j = 0; j < tilt_count; ++j) {
      const double tilt = tilt_roots[j];
      if (std::fabs(tilt) > kMaxCandidateTilt) continue;
      if ((panTiltRotation(pan, tilt) * p).cross(q).norm() > kMaxCandidateMisalignment) continue;
      candidates[count++] = Eigen::Vector2f(static_cast<float>(pan), static_cast<float>(tilt));
    }
  }
  return count;
}

// v / |v|, the length's square root taken in double.
Eigen::Vector3f normalised(const Eigen::Vector3f& v) {
  return v / static_cast<float>(std::sqrt(static_cast<double>(v.squaredNorm())));
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
  Eigen::Matrix4f M = device_ext_.getTransform() * tilt_rotation;
  M = M * tilt_ext_.getTransform();
  M = M * pan_rotation;
  M = M * pan_ext_.getTransform();
  pose.setTransform(M, CameraTransform::kParentToChild);
  return pose;
}

bool PanTiltModel::computePanTilt(const Eigen::Vector3f& world, const Eigen::Vector2f& dev,
                                  float* pan, float* tilt) const {
  DRAVIK_LOG(5, kTag) << "world=" << world << " dev=" << dev;
  const Eigen::Matrix4f& P = pan_ext_.getTransform();
  const Eigen::Matrix4f& T = tilt_ext_.getTransform();
  const Eigen::Matrix4f& D = device_ext_.getTransform();
  const Eigen::Matrix4f& T_inverse = tilt_ext_.getInverseTransform();
  const Eigen::Matrix4f& D_inverse = device_ext_.getInverseTransform();

  // The target in the pan base frame.
  const Eigen::Vector3f w3 = (P * world.homogeneous()).head<3>();
  DRAVIK_LOG(5, kTag) << "w3=" << w3;

  // Directions (w = 0) in the pan-rotated frame at zero tilt: the optical
  // axis a, the wanted ray b and the true tilt axis k.
  const Eigen::Matrix4f A = T_inverse * D_inverse;
  const Eigen::Vector4f z_axis(0.0f, 0.0f, 1.0f, 0.0f);
  const Eigen::Vector3f a = (A * z_axis).head<3>();
  const Eigen::Vector3f b = (A * Eigen::Vector4f(dev.x(), dev.y(), 1.0f, 0.0f)).head<3>();
  const Eigen::Vector3f k = (T_inverse * z_axis).head<3>();

  // A frame of the head: pan axis up, the horizontal tilt axis pan x a, and
  // the roll axis tilt x pan under the optical axis. None is normalised.
  const Eigen::Vector3f pan_axis(0.0f, 0.0f, 1.0f);
  const Eigen::Vector3f tilt_axis(-a.y(), a.x(), 0.0f);
  const Eigen::Vector3f roll_axis(a.x(), a.y(), 0.0f);
  // The true tilt axis may point against the horizontal one: the estimated
  // tilt then changes sign.
  const float sign = k.dot(tilt_axis) > 0.0f ? 1.0f : -1.0f;
  DRAVIK_LOG(5, kTag) << "pan_axis=" << pan_axis;
  DRAVIK_LOG(5, kTag) << "tilt_axis=" << tilt_axis;
  DRAVIK_LOG(5, kTag) << "roll_axis=" << roll_axis;

  Eigen::Matrix3f R;
  R.col(0) = roll_axis;
  R.col(1) = tilt_axis;
  R.col(2) = pan_axis;
  const Eigen::Vector3f u = normalised(R * w3);
  const Eigen::Vector3f v = normalised(R * b);
  DRAVIK_LOG(5, kTag) << "u=" << u;
  DRAVIK_LOG(5, kTag) << "v=" << v;

  Eigen::Vector2f candidates[kMaxCandidates];
  for (Eigen::Vector2f& candidate : candidates) candidate.setZero();
  if (findPanTiltCandidates(u, v, candidates) == 0) {
    DRAVIK_LOG(2, kTag) << "Could not find solutions for pan tilt: world=" << world
                        << " dev=" << dev;
    return false;
  }
  const float pan0 = candidates[0].x();
  const float tilt0 = candidates[0].y() * sign;
  DRAVIK_LOG(5, kTag) << "Pan/tilt estimates:" << pan0 << " " << tilt0;

  // Gauss-Newton on the full chain: a fixed five steps, no convergence test.
  const PanTiltResidual residual(D, T, P, world, dev);
  NormalEquations<2> equations;
  Jet pan_angle(static_cast<double>(pan0), 0);
  Jet tilt_angle(static_cast<double>(tilt0), 1);
  double last_error = 0.0;
  for (int i = 0; i < kGaussNewtonIterations; ++i) {
    equations.reset();
    Jet r[3];
    residual(pan_angle, tilt_angle, r);
    for (const Jet& component : r) equations.add(component);
    // A pivot no larger than 1 / DBL_MAX gives a zero step component.
    const Eigen::Vector2d delta = equations.H.ldlt().solve(equations.rhs);
    DRAVIK_LOGF(6, kTag, "%d Error=%f  dx=%f,dy=%f residuals=%f,%f,%f", i, equations.error,
                delta(0), delta(1), r[0].value, r[1].value, r[2].value);
    pan_angle.value += delta(0);
    tilt_angle.value += delta(1);
    // The error before this step; the returned angles include the step.
    last_error = equations.error;
  }

  DRAVIK_LOG(5, kTag) << "last_error=" << last_error;
  DRAVIK_LOG(5, kTag) << "Pan/tilt (rads): " << pan_angle.value << " " << tilt_angle.value;
  DRAVIK_LOG(5, kTag) << "Pan/tilt (steps):" << pan_angle.value / pan_scale_ << " "
                      << tilt_angle.value / tilt_scale_;

  // steps = angle / scale + offset
  const float pan_steps = static_cast<float>(pan_angle.value / pan_scale_ + pan_offset_);
  const float tilt_steps = static_cast<float>(tilt_angle.value / tilt_scale_ + tilt_offset_);
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

}  // namespace calibration
}  // namespace dravik

#include "reprojection_problem.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "calibration_utils/lens.h"
#include "calibration_utils/lens_jacobian.h"
#include "calibration_utils/lens_soundness.h"
#include "dravik/autodiff.h"
#include "dravik/geometry.h"
#include "wide_vectors.h"

namespace dravik {
namespace calibration {

namespace {

// The penalties' derivatives run over the eight lens coefficients only.
using LensJet = autodiff::AutoDiff1<double, 8>;

// The penalties look at the radial mapping at this many radii per corner
// radius (a margin kept while searching, not the rule: the exact rule
// decides soundness).
constexpr int kPenaltyRadiiPerCorner = 128;
// The search for the corner stops at this many corner radii (undistorted):
// a lens that needs more has all but flattened out.
constexpr int kMaxCornerRadii = 3;
// A shortfall beyond this counts as this: a lens that folds pays the same
// wherever it folds, so that the penalty pulls it back rather than rewarding
// focal lengths that shrink the image's radius.
constexpr double kLargestShortfall = 1.0;

const double* lensOf(const IntrinsicVector& intrinsics) { return intrinsics.data() + kLens; }

// The normalized distorted radius of the image corner farthest from the
// principal point (dravik/rational_lens.h), without skew.
double farthestCornerRadius(const IntrinsicVector& intrinsics, int width, int height) {
  return dravik::farthestCornerRadius(intrinsics(kFx), 0.0, intrinsics(kCx), intrinsics(kFy),
                                      intrinsics(kCy), width, height);
}

// A shortfall below a margin, capped at kLargestShortfall (where it no longer
// varies).
LensJet shortfall(const LensJet& amount) {
  return amount.value > kLargestShortfall ? LensJet(kLargestShortfall) : amount;
}

// Adds one residual whose derivatives are those of `residual` in the lens
// columns.
void addLensResidual(const LensJet& residual, NormalEquations* normal) {
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) {
      normal->U(kLens + i, kLens + j) += residual.partial(i) * residual.partial(j);
    }
    normal->u(kLens + i) += residual.value * residual.partial(i);
  }
  normal->cost += residual.value * residual.value;
}

// R(w) R0, with R(w) the rotation of the unit quaternion (1, w / 2) / |(1, w / 2)|.
Eigen::Matrix3d rotated(const Eigen::Matrix3d& R0, double w0, double w1, double w2) {
  const double v[3] = {0.5 * w0, 0.5 * w1, 0.5 * w2};
  const double norm = std::sqrt(1.0 + (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
  const Eigen::Quaterniond q(1.0 / norm, v[0] / norm, v[1] / norm, v[2] / norm);
  const Eigen::Matrix3d increment = q.toRotationMatrix();
  Eigen::Matrix3d R;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      R(r, c) =
          increment(r, 0) * R0(0, c) + increment(r, 1) * R0(1, c) + increment(r, 2) * R0(2, c);
    }
  }
  return R;
}

Eigen::Vector3d cameraPoint(const Pose& pose, const Eigen::Vector3d& target) {
  const Eigen::Matrix3d& R = pose.camera_from_target_rotation;
  Eigen::Vector3d X;
  for (int r = 0; r < 3; ++r) {
    X(r) = R(r, 0) * target(0) + R(r, 1) * target(1) + R(r, 2) * target(2) + pose.translation(r);
  }
  return X;
}

// Sums of one view's rows: the pose block, the cross block and the view's
// share of U and u, in plain arrays (upper triangles of the square ones).
struct ViewSums {
  double U[kIntrinsics][kIntrinsics] = {};
  double u[kIntrinsics] = {};
  double V[kPoseParameters][kPoseParameters] = {};
  double W[kIntrinsics][kPoseParameters] = {};
  double v[kPoseParameters] = {};
  double cost = 0.0;
};

// One point's two rows, u then v: residuals e, intrinsic rows a, pose rows p.
struct PointRows {
  double e[2];
  double a[2][kIntrinsics];
  double p[2][kPoseParameters];
};

// Row I of U, W and u, then the pose rows: each entry gains the u row's
// term, then the v row's, as two rows added one after the other. A term
// with a zero factor is a signed zero, which leaves a sum that starts at +0
// as it is: the sums are those of skipping it, provided every entry of the
// rows is finite (addPoint).
template <int I>
WIDE_VECTORS_INLINE void addIntrinsicRow(const PointRows& __restrict r, ViewSums* __restrict s) {
  const double a0 = r.a[0][I], a1 = r.a[1][I];
  for (int j = I; j < kIntrinsics; ++j) {
    s->U[I][j] = (s->U[I][j] + a0 * r.a[0][j]) + a1 * r.a[1][j];
  }
  for (int c = 0; c < kPoseParameters; ++c) {
    s->W[I][c] = (s->W[I][c] + a0 * r.p[0][c]) + a1 * r.p[1][c];
  }
  s->u[I] = (s->u[I] + r.e[0] * a0) + r.e[1] * a1;
}

template <int C>
WIDE_VECTORS_INLINE void addPoseRow(const PointRows& __restrict r, ViewSums* __restrict s) {
  const double p0 = r.p[0][C], p1 = r.p[1][C];
  for (int j = C; j < kPoseParameters; ++j) {
    s->V[C][j] = (s->V[C][j] + p0 * r.p[0][j]) + p1 * r.p[1][j];
  }
  s->v[C] = (s->v[C] + r.e[0] * p0) + r.e[1] * p1;
}

template <int... I, int... C>
WIDE_VECTORS_INLINE void addRows(const PointRows& __restrict r, ViewSums* __restrict s,
                                 std::integer_sequence<int, I...>,
                                 std::integer_sequence<int, C...>) {
  (addIntrinsicRow<I>(r, s), ...);
  (addPoseRow<C>(r, s), ...);
  s->cost = (s->cost + r.e[0] * r.e[0]) + r.e[1] * r.e[1];
}

// One residual e with intrinsic row a and pose row p, skipping the zero
// entries of a: the rule the sums follow.
void addRowSkippingZeros(double e, const double (&a)[kIntrinsics],
                         const double (&p)[kPoseParameters], ViewSums* s) {
  for (int i = 0; i < kIntrinsics; ++i) {
    if (a[i] == 0.0) continue;
    for (int j = i; j < kIntrinsics; ++j) s->U[i][j] += a[i] * a[j];
    for (int c = 0; c < kPoseParameters; ++c) s->W[i][c] += a[i] * p[c];
    s->u[i] += e * a[i];
  }
  for (int i = 0; i < kPoseParameters; ++i) {
    for (int j = i; j < kPoseParameters; ++j) s->V[i][j] += p[i] * p[j];
    s->v[i] += e * p[i];
  }
  s->cost += e * e;
}

// `finite`: whether every entry of the rows is finite.
WIDE_VECTORS_INLINE void addPointRows(const PointRows& __restrict r, bool finite,
                                      ViewSums* __restrict s) {
  if (finite) {
    addRows(r, s, std::make_integer_sequence<int, kIntrinsics>(),
            std::make_integer_sequence<int, kPoseParameters>());
  } else {
    for (int k = 0; k < 2; ++k) addRowSkippingZeros(r.e[k], r.a[k], r.p[k], s);
  }
}

// The pixel of the camera point (X, Y, Z), Z > 0, through the intrinsics k,
// with its derivatives (projectWithDerivatives), on plain doubles.
struct PointDerivatives {
  double pixel[2];
  double d_point[2][3];
  double d_intrinsics[2][kIntrinsics];
};

WIDE_VECTORS_INLINE void pointDerivatives(const double* __restrict k, double X, double Y, double Z,
                                          PointDerivatives* __restrict out) {
  const double inverse_depth = 1.0 / Z;
  const double x = X * inverse_depth;
  const double y = Y * inverse_depth;
  double xd, yd, a, b, c;
  RadialTerms<double> factor;
  distortNormalizedWithJacobian(k + kLens, x, y, &xd, &yd, &a, &b, &c, &factor);
  const double fx = k[kFx], fy = k[kFy];
  pixelOfDistorted(fx, k[kCx], fy, k[kCy], xd, yd, &out->pixel[0], &out->pixel[1]);
  // d(x, y)/d(X, Y, Z) = (1, 0, -x; 0, 1, -y) / Z, through the lens and K.
  const double du[2] = {fx * a * inverse_depth, fx * b * inverse_depth};
  const double dv[2] = {fy * b * inverse_depth, fy * c * inverse_depth};
  out->d_point[0][0] = du[0];
  out->d_point[0][1] = du[1];
  out->d_point[0][2] = -(du[0] * x + du[1] * y);
  out->d_point[1][0] = dv[0];
  out->d_point[1][1] = dv[1];
  out->d_point[1][2] = -(dv[0] * x + dv[1] * y);
  double dxd[8], dyd[8];
  distortionCoefficientJacobian(x, y, factor, dxd, dyd);
  double* ru = out->d_intrinsics[0];
  double* rv = out->d_intrinsics[1];
  ru[kFx] = xd, ru[kFy] = 0.0, ru[kCx] = 1.0, ru[kCy] = 0.0;
  rv[kFx] = 0.0, rv[kFy] = yd, rv[kCx] = 0.0, rv[kCy] = 1.0;
  for (int i = 0; i < 8; ++i) {
    ru[kLens + i] = fx * dxd[i];
    rv[kLens + i] = fy * dyd[i];
  }
}

// The entries of the rows that are the same for every point: 1 in the u
// row's cx column and the v row's cy column, 0 in the other of fx, fy, cx, cy
// that the row does not depend on.
constexpr bool isFixedEntry(int axis, int column) {
  return column == kCx || column == kCy || column == (axis == 0 ? kFy : kFx);
}
constexpr double fixedEntry(int axis, int column) {
  return column == (axis == 0 ? kCx : kCy) ? 1.0 : 0.0;
}

// The rows of a batch of points, one array per entry (but the fixed ones).
constexpr int kRowBatch = 16;
struct RowBatch {
  double depth[kRowBatch];
  // 0 when every entry of the point's rows is finite (0 x = 0 exactly then),
  // not a number otherwise.
  double probe[kRowBatch];
  double e[2][kRowBatch];
  double a[2][kIntrinsics][kRowBatch];
  double p[2][kPoseParameters][kRowBatch];
};

// The residuals of point i are r_u = u(X) - u_i and r_v = v(X) - v_i, with
// X = R(w) q + t, q = R0 P_i. By the chain rule, with d_point the derivative
// of the pixel in X (projectWithDerivatives),
//   dr/dt = d_point,   dr/dw_k = d_point (e_k x q),
// and the intrinsic columns come from projectWithDerivatives as they are.
// The rows of `count` <= kRowBatch points are computed in one loop without
// branches, which the compiler vectorises, then added to the sums point by
// point; false when a point is not in front of the camera (it adds nothing).
WIDE_VECTORS_INLINE bool addRowBatchOf(const double* __restrict k, const double (&R)[3][3],
                                       const double (&t)[3], const double* __restrict P,
                                       const double* __restrict image, int count,
                                       ViewSums* __restrict sums) {
  RowBatch batch;
  for (int i = 0; i < count; ++i) {
    const double* target = P + 3 * i;
    double q[3];
    for (int r = 0; r < 3; ++r) {
      q[r] = R[r][0] * target[0] + R[r][1] * target[1] + R[r][2] * target[2];
    }
    PointDerivatives d;
    pointDerivatives(k, q[0] + t[0], q[1] + t[1], q[2] + t[2], &d);
    batch.depth[i] = q[2] + t[2];
    for (int axis = 0; axis < 2; ++axis) {
      for (int c = 0; c < kIntrinsics; ++c) {
        if (!isFixedEntry(axis, c)) batch.a[axis][c][i] = d.d_intrinsics[axis][c];
      }
      const double dX = d.d_point[axis][0], dY = d.d_point[axis][1], dZ = d.d_point[axis][2];
      double(&p)[kPoseParameters][kRowBatch] = batch.p[axis];
      p[0][i] = dZ * q[1] - dY * q[2];
      p[1][i] = dX * q[2] - dZ * q[0];
      p[2][i] = dY * q[0] - dX * q[1];
      p[3][i] = dX, p[4][i] = dY, p[5][i] = dZ;
      batch.e[axis][i] = d.pixel[axis] - image[2 * i + axis];
    }
    double probe[4] = {};
    for (int axis = 0; axis < 2; ++axis) {
      for (int c = 0; c < kIntrinsics; ++c) probe[c % 4] += 0.0 * d.d_intrinsics[axis][c];
      for (int c = 0; c < kPoseParameters; ++c) probe[c % 4] += 0.0 * batch.p[axis][c][i];
      probe[axis] += 0.0 * batch.e[axis][i];
    }
    batch.probe[i] = (probe[0] + probe[1]) + (probe[2] + probe[3]);
  }
  bool in_front = true;
  for (int i = 0; i < count; ++i) {
    if (!(batch.depth[i] > 0.0)) {
      in_front = false;
      continue;
    }
    PointRows rows;
    for (int axis = 0; axis < 2; ++axis) {
      rows.e[axis] = batch.e[axis][i];
      for (int c = 0; c < kIntrinsics; ++c) {
        rows.a[axis][c] = isFixedEntry(axis, c) ? fixedEntry(axis, c) : batch.a[axis][c][i];
      }
      for (int c = 0; c < kPoseParameters; ++c) rows.p[axis][c] = batch.p[axis][c][i];
    }
    addPointRows(rows, batch.probe[i] == 0.0, sums);
  }
  return in_front;
}

// The squared reprojection errors of `count` target points P (x, y, z
// triples) against their image points (u, v pairs) through the intrinsics k
// and the pose R, t, with each point's depth: the arithmetic of dataCost,
// point by point, in one loop without branches, which the compiler
// vectorises. A point not in front of the camera gives a meaningless error.
WIDE_VECTORS_INLINE void squaredErrorsOf(const double* __restrict k, const double (&R)[3][3],
                                         const double (&t)[3], const double* __restrict P,
                                         const double* __restrict image, int count,
                                         double* __restrict depth, double* __restrict error) {
  for (int i = 0; i < count; ++i) {
    const double* q = P + 3 * i;
    double X[3];
    for (int r = 0; r < 3; ++r) X[r] = R[r][0] * q[0] + R[r][1] * q[1] + R[r][2] * q[2] + t[r];
    const double x = X[0] / X[2];
    const double y = X[1] / X[2];
    double xd, yd;
    distortNormalized(k + kLens, x, y, &xd, &yd);
    const double ru = (k[kFx] * xd + k[kCx]) - image[2 * i];
    const double rv = (k[kFy] * yd + k[kCy]) - image[2 * i + 1];
    error[i] = ru * ru + rv * rv;
    depth[i] = X[2];
  }
}

// The radial profile of the lens d at the radii j step, j = first, ...,
// first + count - 1, one array per quantity, in one loop without branches.
WIDE_VECTORS_INLINE void radialProfilesOf(const double* __restrict d, double step, int first,
                                          int count, double* __restrict denominator,
                                          double* __restrict distorted, double* __restrict slope) {
  for (int i = 0; i < count; ++i) {
    const RadialProfile<double> p = radialProfile<double>(d, (first + i) * step);
    denominator[i] = p.denominator;
    distorted[i] = p.distorted;
    slope[i] = p.slope;
  }
}

// The pose as plain arrays, for the batches.
void poseArrays(const Pose& pose, double (&R)[3][3], double (&t)[3]) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R[r][c] = pose.camera_from_target_rotation(r, c);
    t[r] = pose.translation(r);
  }
}

// Each loop of the sums, errors and profiles compiled for the x86-64 baseline
// and for AVX2, four doubles per instruction, without FMA: the same bits on
// every processor.
EXACT_WIDE_VECTOR_FUNCTION(bool, addRowBatch, addRowBatchOf,
                           (const double* k, const double (&R)[3][3], const double (&t)[3],
                            const double* P, const double* image, int count, ViewSums* sums),
                           (k, R, t, P, image, count, sums))
EXACT_WIDE_VECTOR_FUNCTION(void, radialProfiles, radialProfilesOf,
                           (const double* d, double step, int first, int count, double* denominator,
                            double* distorted, double* slope),
                           (d, step, first, count, denominator, distorted, slope))
EXACT_WIDE_VECTOR_FUNCTION(void, squaredErrors, squaredErrorsOf,
                           (const double* k, const double (&R)[3][3], const double (&t)[3],
                            const double* P, const double* image, int count, double* depth,
                            double* error),
                           (k, R, t, P, image, count, depth, error))

}  // namespace

bool projectWithDerivatives(const IntrinsicVector& intrinsics, const Eigen::Vector3d& camera_point,
                            PixelDerivatives* out) {
  if (!(camera_point.z() > 0.0)) return false;
  PointDerivatives d;
  pointDerivatives(intrinsics.data(), camera_point.x(), camera_point.y(), camera_point.z(), &d);
  out->pixel = Eigen::Vector2d(d.pixel[0], d.pixel[1]);
  std::copy_n(&d.d_point[0][0], 6, &out->d_point[0][0]);
  std::copy_n(&d.d_intrinsics[0][0], 2 * kIntrinsics, &out->d_intrinsics[0][0]);
  return true;
}

bool projectPoint(const IntrinsicVector& intrinsics, const Eigen::Vector3d& camera_point,
                  Eigen::Vector2d* pixel) {
  if (!(camera_point.z() > 0.0)) return false;
  const double x = camera_point.x() / camera_point.z();
  const double y = camera_point.y() / camera_point.z();
  double xd, yd;
  distortNormalized(lensOf(intrinsics), x, y, &xd, &yd);
  pixelOfDistorted(intrinsics(kFx), intrinsics(kCx), intrinsics(kFy), intrinsics(kCy), xd, yd,
                   &pixel->x(), &pixel->y());
  return true;
}

Lens storedLens(const IntrinsicVector& intrinsics, int width, int height) {
  Eigen::Matrix3f K = Eigen::Matrix3f::Identity();
  K(0, 0) = static_cast<float>(intrinsics(kFx));
  K(1, 1) = static_cast<float>(intrinsics(kFy));
  K(0, 2) = static_cast<float>(intrinsics(kCx));
  K(1, 2) = static_cast<float>(intrinsics(kCy));
  std::vector<float> distortion(kLensCoefficientCount);
  for (int i = 0; i < kLensCoefficientCount; ++i) {
    distortion[i] = static_cast<float>(intrinsics(kLens + i));
  }
  // Checked quietly first: a fit's step may leave intrinsics that make no
  // lens, which its callers refuse on their own terms.
  Lens lens;
  Lens::fromIntrinsicsQuietly(K, distortion, width, height, &lens);
  return lens;
}

bool lensIsSoundOverImage(const IntrinsicVector& intrinsics, int width, int height) {
  // The lens as it is stored and handed on, in single precision, under the
  // one rule every map, check and plot applies.
  return storedLens(intrinsics, width, height).isSoundOverImage();
}

CameraState stepped(const CameraState& state, const Step& step) {
  CameraState out = state;
  out.intrinsics += step.intrinsics;
  for (size_t v = 0; v < state.poses.size(); ++v) {
    const PoseVector& delta = step.poses[v];
    Pose& pose = out.poses[v];
    pose.camera_from_target_rotation =
        rotated(state.poses[v].camera_from_target_rotation, delta(0), delta(1), delta(2));
    for (int r = 0; r < 3; ++r) pose.translation(r) += delta(3 + r);
  }
  return out;
}

ReprojectionProblem::ReprojectionProblem(const std::vector<View>& views, int width, int height,
                                         const CameraState& start, double penalty_weight)
    : views_(views),
      width_(width),
      height_(height),
      state_(start),
      penalty_weight_(penalty_weight * start.intrinsics(kFx)) {
  sound_ = lensIsSoundOverImage(state_.intrinsics, width_, height_);
}

void ReprojectionProblem::setPenalties(bool on) {
  penalties_ = on;
  sound_ = lensIsSoundOverImage(state_.intrinsics, width_, height_);
}

// The views' rows, a batch of points at a time (addRowBatchOf).
void ReprojectionProblem::linearize(NormalEquations* normal) {
  normal->U.setZero();
  normal->u.setZero();
  normal->views.assign(views_.size(), PoseBlock());
  normal->cost = 0.0;
  corner_radius_ = farthestCornerRadius(state_.intrinsics, width_, height_);
  double U[kIntrinsics][kIntrinsics] = {};
  double u[kIntrinsics] = {};
  for (size_t v = 0; v < views_.size(); ++v) {
    const View& view = views_[v];
    ViewSums sums;
    double R[3][3], t[3];
    poseArrays(state_.poses[v], R, t);
    for (size_t begin = 0; begin < view.image.size(); begin += kRowBatch) {
      const int count = static_cast<int>(std::min<size_t>(kRowBatch, view.image.size() - begin));
      if (!addRowBatch(state_.intrinsics.data(), R, t, view.target[begin].data(),
                       view.image[begin].data(), count, &sums)) {
        sums.cost = std::numeric_limits<double>::infinity();
      }
    }
    PoseBlock& block = normal->views[v];
    for (int r = 0; r < kPoseParameters; ++r) {
      for (int c = r; c < kPoseParameters; ++c) block.V(r, c) = block.V(c, r) = sums.V[r][c];
      block.v(r) = sums.v[r];
    }
    for (int r = 0; r < kIntrinsics; ++r) {
      for (int c = 0; c < kPoseParameters; ++c) block.W(r, c) = sums.W[r][c];
      for (int c = r; c < kIntrinsics; ++c) U[r][c] += sums.U[r][c];
      u[r] += sums.u[r];
    }
    normal->cost += sums.cost;
  }
  for (int r = 0; r < kIntrinsics; ++r) {
    for (int c = r; c < kIntrinsics; ++c) normal->U(r, c) = normal->U(c, r) = U[r][c];
    normal->u(r) = u[r];
  }
  if (progress_ != nullptr && *progress_) (*progress_)(normal->cost);
  penaltyCost(state_.intrinsics, normal);
  current_cost_ = normal->cost;
}

// A trial whose points alone cost more than the current parameters is
// rejected whatever its penalties; its partial sum is returned as soon as it
// exceeds the current cost. One that costs no less than the current
// parameters with its penalties is rejected whether its lens is sound or
// not, and skips the exact test.
double ReprojectionProblem::trialCost(const Step& step) const {
  const CameraState trial = stepped(state_, step);
  double cost = dataCost(trial, current_cost_);
  if (cost > current_cost_) return cost;
  if (penalties_) {
    cost += penaltyCost(trial.intrinsics, nullptr);
    if (cost >= current_cost_) return cost;
    if (sound_ && !lensIsSoundOverImage(trial.intrinsics, width_, height_)) {
      return std::numeric_limits<double>::infinity();
    }
  }
  return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
}

void ReprojectionProblem::accept(const Step& step) {
  state_ = stepped(state_, step);
  if (penalties_ && !sound_) sound_ = lensIsSoundOverImage(state_.intrinsics, width_, height_);
}

// The points' errors are computed a batch at a time, then summed in order:
// the sum, and where it stops, are those of one point at a time.
double ReprojectionProblem::dataCost(const CameraState& state, double bound) const {
  static_assert(sizeof(Eigen::Vector3d) == 3 * sizeof(double) &&
                    sizeof(Eigen::Vector2d) == 2 * sizeof(double),
                "a view's points lie packed in their vectors");
  constexpr int kBatch = 32;
  double cost = 0.0;
  for (size_t v = 0; v < views_.size(); ++v) {
    const View& view = views_[v];
    double R[3][3], t[3];
    poseArrays(state.poses[v], R, t);
    for (size_t begin = 0; begin < view.image.size(); begin += kBatch) {
      const int count = static_cast<int>(std::min<size_t>(kBatch, view.image.size() - begin));
      double depth[kBatch], error[kBatch];
      squaredErrors(state.intrinsics.data(), R, t, view.target[begin].data(),
                    view.image[begin].data(), count, depth, error);
      for (int i = 0; i < count; ++i) {
        if (!(depth[i] > 0.0)) return std::numeric_limits<double>::infinity();
        cost += error[i];
        if (cost > bound) return cost;
      }
    }
  }
  return cost;
}

std::vector<std::vector<double>> ReprojectionProblem::pointErrors(const CameraState& state) const {
  std::vector<std::vector<double>> errors(views_.size());
  for (size_t v = 0; v < views_.size(); ++v) {
    const View& view = views_[v];
    errors[v].resize(view.image.size(), std::numeric_limits<double>::infinity());
    for (size_t i = 0; i < view.image.size(); ++i) {
      Eigen::Vector2d pixel;
      if (projectPoint(state.intrinsics, cameraPoint(state.poses[v], view.target[i]), &pixel)) {
        const double ru = pixel.x() - view.image[i].x();
        const double rv = pixel.y() - view.image[i].y();
        errors[v][i] = std::sqrt(ru * ru + rv * rv);
      }
    }
  }
  return errors;
}

// The profile is computed in doubles at every radius; the derivatives only
// where a penalty is paid.
double ReprojectionProblem::penaltyCost(const IntrinsicVector& intrinsics,
                                        NormalEquations* normal) const {
  if (!penalties_) return 0.0;
  const double corner = corner_radius_;
  if (!std::isfinite(corner) || !(corner > 0.0)) return std::numeric_limits<double>::infinity();
  const double* d = lensOf(intrinsics);
  LensJet lens[8];
  for (int i = 0; i < 8; ++i) lens[i] = LensJet(d[i], i);
  double cost = 0.0;
  const auto pay = [&](const LensJet& residual) {
    cost += residual.value * residual.value;
    if (normal != nullptr) addLensResidual(residual, normal);
  };
  // The profiles a batch of radii at a time, then the radii in order.
  constexpr int kRadiiBatch = 32;
  constexpr int kLastRadius = kPenaltyRadiiPerCorner * kMaxCornerRadii;
  const double step = corner / kPenaltyRadiiPerCorner;
  for (int first = 1; first <= kLastRadius; first += kRadiiBatch) {
    const int count = std::min(kRadiiBatch, kLastRadius - first + 1);
    double denominator[kRadiiBatch], distorted[kRadiiBatch], slope[kRadiiBatch];
    radialProfiles(d, step, first, count, denominator, distorted, slope);
    for (int i = 0; i < count; ++i) {
      const bool slope_low = !(slope[i] >= kSlopeMargin);
      const bool denominator_low = !(denominator[i] >= kDenominatorMargin);
      if (slope_low || denominator_low) {
        const RadialProfile<LensJet> jet = radialProfile<LensJet>(lens, (first + i) * step);
        if (slope_low) pay(shortfall(kSlopeMargin - jet.slope) * penalty_weight_);
        if (denominator_low) {
          pay(shortfall(kDenominatorMargin - jet.denominator) * penalty_weight_);
        }
      }
      if (distorted[i] >= corner) return cost;
    }
  }
  return cost;
}

}  // namespace calibration
}  // namespace dravik

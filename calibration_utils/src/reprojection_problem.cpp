#include "reprojection_problem.h"

#include <cmath>
#include <limits>

#include "calibration_utils/lens_jacobian.h"
#include "dravik/autodiff.h"
#include "lens_soundness.h"

namespace dravik {
namespace calibration {

namespace {

// The lens coefficients of a projection in the order k1, k2, p1, p2, k3, k4,
// k5, k6.
std::array<double*, 8> lensCoefficients(Camera* c) {
  return {&c->k1, &c->k2, &c->p1, &c->p2, &c->k3, &c->k4, &c->k5, &c->k6};
}

// The rotation of the vector w: the unit quaternion (1, v) / |(1, v)| with
// v = w / 2 turned into a matrix,
//   R(w) = ((1 - v'v) I + 2 v v' + 2 [v]x) / (1 + v'v).
// Rational in w, so smooth everywhere and exact at w = 0, where
// dR/dw_k = [e_k]x.
void rotationOfVector(const double w[3], double R[3][3]) {
  const double v[3] = {w[0] * 0.5, w[1] * 0.5, w[2] * 0.5};
  const double vv = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
  const double inverse_norm = 1.0 / (1.0 + vv);
  const double diagonal = 1.0 - vv;
  const double cross[3][3] = {{0.0, -v[2], v[1]}, {v[2], 0.0, -v[0]}, {-v[1], v[0], 0.0}};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double value = 2.0 * (v[r] * v[c] + cross[r][c]);
      if (r == c) value = value + diagonal;
      R[r][c] = value * inverse_norm;
    }
  }
}

// The penalties' derivatives run over the eight lens coefficients only.
using LensJet = autodiff::AutoDiff1<double, 8>;

// Adds one residual whose derivatives are those of `residual` in the lens
// columns.
void addLensResidual(const LensJet& residual, NormalEquations* normal) {
  const Eigen::Map<const Eigen::Matrix<double, 8, 1>> jacobian(residual.partial);
  normal->A.block<8, 8>(kLens, kLens).noalias() += jacobian * jacobian.transpose();
  normal->g.segment<8>(kLens) += residual.value * jacobian;
  normal->cost += residual.value * residual.value;
}

}  // namespace

Camera stepped(const Camera& camera, const SolverVector& delta) {
  Camera out = camera;
  out.fx += delta(kFx);
  out.fy += delta(kFy);
  out.cx += delta(kCx);
  out.cy += delta(kCy);
  const double w[3] = {delta(kRotation), delta(kRotation + 1), delta(kRotation + 2)};
  double increment[3][3];
  rotationOfVector(w, increment);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      out.rotation[r][c] = increment[r][0] * camera.rotation[0][c] +
                           increment[r][1] * camera.rotation[1][c] +
                           increment[r][2] * camera.rotation[2][c];
    }
  }
  for (int r = 0; r < 3; ++r) out.translation[r] += delta(kTranslation + r);
  const std::array<double*, 8> lens = lensCoefficients(&out);
  for (int i = 0; i < 8; ++i) *lens[i] += delta(kLens + i);
  return out;
}

ReprojectionProblem::ReprojectionProblem(const View& view, const Camera& start)
    : view_(view), camera_(start), penalty_weight_(kPenaltyWeight * start.fx) {}

// The residuals of point i are r_u = fx xd + cx - u_i and r_v = fy yd + cy - v_i,
// with (xd, yd) the lens of (x, y) = (X / Z, Y / Z) and X_c = R(w) q + t,
// q = R0 (x_i, y_i, 0). By the chain rule, with a = dxd/dx, b = dxd/dy =
// dyd/dx, c = dyd/dy (calibration_utils/lens_jacobian.h):
//   dr_u/d(X, Y, Z) = fx (a, b, -(a x + b y)) / Z,
//   dr_v/d(X, Y, Z) = fy (b, c, -(b x + c y)) / Z,
//   dX_c/dt = I,   dX_c/dw = -[q]x,
// and in the lens, with N / D the radial factor R and r2 = x^2 + y^2,
//   dxd/dk_j = x r2^j / D (j = 1, 2, 3),  dxd/dk_(3+j) = -x R r2^j / D,
//   dxd/dp1 = 2 x y,   dxd/dp2 = r2 + 2 x^2,
//   dyd/dp1 = r2 + 2 y^2,   dyd/dp2 = 2 x y,   and y for x in the k_j.
NormalEquations ReprojectionProblem::linearize() {
  const Eigen::Index n = static_cast<Eigen::Index>(view_.image.size());
  jacobian_.resize(2 * n, kCalibrationParameters);
  residuals_.resize(2 * n);
  const Camera& c = camera_;
  const std::array<double, 8> d = c.distortionCoefficients();
  for (Eigen::Index i = 0; i < n; ++i) {
    const double tx = view_.target[i].x(), ty = view_.target[i].y();
    const double q[3] = {c.rotation[0][0] * tx + c.rotation[0][1] * ty,
                         c.rotation[1][0] * tx + c.rotation[1][1] * ty,
                         c.rotation[2][0] * tx + c.rotation[2][1] * ty};
    const double inverse_depth = 1.0 / (q[2] + c.translation[2]);
    const double x = (q[0] + c.translation[0]) * inverse_depth;
    const double y = (q[1] + c.translation[1]) * inverse_depth;
    double xd, yd, a, b, cc;
    distortNormalizedWithJacobian(d.data(), x, y, &xd, &yd, &a, &b, &cc);
    residuals_(2 * i) = c.fx * xd + c.cx - view_.image[i].x();
    residuals_(2 * i + 1) = c.fy * yd + c.cy - view_.image[i].y();

    const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
    const double inverse_denominator = 1.0 / (1.0 + r2 * (d[5] + r2 * (d[6] + r2 * d[7])));
    const double radial = (1.0 + r2 * (d[0] + r2 * (d[1] + r2 * d[4]))) * inverse_denominator;
    const double powers[3] = {r2, r4, r6};

    const double row_scale[2] = {c.fx, c.fy};
    const double lens_x[2][2] = {{a, b}, {b, cc}};
    const double point[2] = {x, y};
    for (int axis = 0; axis < 2; ++axis) {
      auto row = jacobian_.row(2 * i + axis);
      const double f = row_scale[axis];
      const double dX = f * lens_x[axis][0] * inverse_depth;
      const double dY = f * lens_x[axis][1] * inverse_depth;
      const double dZ = -(dX * x + dY * y);
      row(kFx) = axis == 0 ? xd : 0.0;
      row(kFy) = axis == 0 ? 0.0 : yd;
      row(kCx) = axis == 0 ? 1.0 : 0.0;
      row(kCy) = axis == 0 ? 0.0 : 1.0;
      // dX_c/dw_k = e_k x q.
      row(kRotation) = dZ * q[1] - dY * q[2];
      row(kRotation + 1) = dX * q[2] - dZ * q[0];
      row(kRotation + 2) = dY * q[0] - dX * q[1];
      row(kTranslation) = dX;
      row(kTranslation + 1) = dY;
      row(kTranslation + 2) = dZ;
      const double g = f * point[axis] * inverse_denominator;
      row(kLens + 0) = g * powers[0];
      row(kLens + 1) = g * powers[1];
      row(kLens + 4) = g * powers[2];
      row(kLens + 5) = -g * radial * powers[0];
      row(kLens + 6) = -g * radial * powers[1];
      row(kLens + 7) = -g * radial * powers[2];
      const double tangential_cross = 2.0 * f * x * y;
      const double tangential_square = f * (r2 + 2.0 * point[axis] * point[axis]);
      row(kLens + 2) = axis == 0 ? tangential_cross : tangential_square;
      row(kLens + 3) = axis == 0 ? tangential_square : tangential_cross;
    }
  }
  NormalEquations normal;
  normal.A.setZero();
  normal.A.selfadjointView<Eigen::Upper>().rankUpdate(jacobian_.transpose());
  const SolverMatrix full = normal.A.selfadjointView<Eigen::Upper>();
  normal.A = full;
  normal.g.noalias() = jacobian_.transpose() * residuals_;
  normal.cost = residuals_.squaredNorm();
  penaltyCost(camera_, &normal);
  return normal;
}

double ReprojectionProblem::trialCost(const SolverVector& delta) const {
  const Camera trial = stepped(camera_, delta);
  const double cost = dataCost(trial) + penaltyCost(trial, nullptr);
  return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
}

void ReprojectionProblem::accept(const SolverVector& delta) { camera_ = stepped(camera_, delta); }

double ReprojectionProblem::dataCost(const Camera& camera) const {
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

// The profile is computed in doubles at every radius; the derivatives only
// where a penalty is paid.
double ReprojectionProblem::penaltyCost(const Camera& camera, NormalEquations* normal) const {
  if (!penalties_) return 0.0;
  const std::array<double, 8> d = camera.distortionCoefficients();
  std::array<LensJet, 8> lens;
  for (int i = 0; i < 8; ++i) lens[i] = LensJet(d[i], i);
  bool reaches = false;
  const LensOverImage over_image{camera.fx, camera.fy, camera.cx, camera.cy, d, view_.image_size};
  double cost = 0.0;
  const auto pay = [&](const LensJet& residual) {
    cost += residual.value * residual.value;
    if (normal != nullptr) addLensResidual(residual, normal);
  };
  for (const double r : soundnessRadii(over_image, &reaches)) {
    const RadialProfile<double> p = radialProfile(d, r);
    const bool slope_low = p.slope < kSlopeMargin;
    const bool denominator_low = p.denominator < kDenominatorMargin;
    if (!slope_low && !denominator_low) continue;
    const RadialProfile<LensJet> jet = radialProfile(lens, r);
    if (slope_low) pay((kSlopeMargin - jet.slope) * penalty_weight_);
    if (denominator_low) pay((kDenominatorMargin - jet.denominator) * penalty_weight_);
  }
  return cost;
}

}  // namespace calibration
}  // namespace dravik

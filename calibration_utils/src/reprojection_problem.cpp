#include "reprojection_problem.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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
//   dX_c/dt = I,   dX_c/dw_k = e_k x q,
// and in the lens, with N / D the radial factor R and r2 = x^2 + y^2,
//   dxd/dk_j = x r2^j / D (j = 1, 2, 3),  dxd/dk_(3+j) = -x R r2^j / D,
//   dxd/dp1 = 2 x y,   dxd/dp2 = r2 + 2 x^2,
//   dyd/dp1 = r2 + 2 y^2,   dyd/dp2 = 2 x y,   and y for x in the k_j.
//
// So each row of the Jacobian is a geometric part G (10 columns: fx or fy,
// cx or cy, w, t, p1, p2) and a radial part g rho, with g = f x / D for r_u
// and f y / D for r_v, and rho = (r2, r4, r6, -R r2, -R r4, -R r6) shared by
// both rows of the point. J'J is gathered point by point from these pieces
// without a Jacobian matrix:
//   geometry_u += G_u G_u',  geometry_v += G_v G_v',
//   cross += rho (g_u G_u + g_v G_v)'  (over the columns both share),
//   radial += (g_u^2 + g_v^2) rho rho'.
namespace {

// The columns of the parameter vector the pieces stand for.
constexpr int kGeometryColumns[2][10] = {
    {kFx, kCx, kRotation, kRotation + 1, kRotation + 2, kTranslation, kTranslation + 1,
     kTranslation + 2, kLens + 2, kLens + 3},
    {kFy, kCy, kRotation, kRotation + 1, kRotation + 2, kTranslation, kTranslation + 1,
     kTranslation + 2, kLens + 2, kLens + 3}};
constexpr int kRadialColumns[6] = {kLens + 0, kLens + 1, kLens + 4,
                                   kLens + 5, kLens + 6, kLens + 7};

// out += w a and M += w a b' over plain arrays, unrolled by index packs into
// straight-line code that vectorises and has no loop to test, in every build
// (sanitised fuzzing builds trace each loop comparison).
template <int N, size_t... I>
inline void addScaled(double w, const double (&a)[N], double (&out)[N], std::index_sequence<I...>) {
  ((out[I] += w * a[I]), ...);
}

template <int N>
inline void addScaled(double w, const double (&a)[N], double (&out)[N]) {
  addScaled(w, a, out, std::make_index_sequence<N>());
}

template <int Rows, int Columns, size_t... I>
inline void addOuter(double w, const double (&a)[Rows], const double (&b)[Columns],
                     double (&M)[Rows][Columns], std::index_sequence<I...>) {
  (addScaled(w * a[I], b, M[I]), ...);
}

template <int Rows, int Columns>
inline void addOuter(double w, const double (&a)[Rows], const double (&b)[Columns],
                     double (&M)[Rows][Columns]) {
  addOuter(w, a, b, M, std::make_index_sequence<Rows>());
}

struct GatheredNormalEquations {
  double geometry[2][10][10] = {};
  // Radial rows against the geometric columns of the u row (first 10) and
  // the two intrinsic columns of the v row (last 2).
  double cross[6][12] = {};
  double radial[6][6] = {};
  double geometry_gradient[2][10] = {};
  double radial_gradient[6] = {};
  double cost = 0.0;

  // The rows of one point: geometric parts G, radial factors g, the shared
  // rho, and the residuals e.
  void add(const double (&G)[2][10], const double (&g)[2], const double (&rho)[6],
           const double (&e)[2]) {
    addOuter(1.0, G[0], G[0], geometry[0]);
    addOuter(1.0, G[1], G[1], geometry[1]);
    double mixed[12];
    for (int j = 0; j < 10; ++j) mixed[j] = g[0] * G[0][j];
    for (int j = 2; j < 10; ++j) mixed[j] += g[1] * G[1][j];
    mixed[10] = g[1] * G[1][0];
    mixed[11] = g[1] * G[1][1];
    addOuter(1.0, rho, mixed, cross);
    addOuter(g[0] * g[0] + g[1] * g[1], rho, rho, radial);
    addScaled(e[0], G[0], geometry_gradient[0]);
    addScaled(e[1], G[1], geometry_gradient[1]);
    addScaled(e[0] * g[0] + e[1] * g[1], rho, radial_gradient);
    cost += e[0] * e[0] + e[1] * e[1];
  }

  NormalEquations assembled() const {
    NormalEquations normal;
    for (int axis = 0; axis < 2; ++axis) {
      const int* columns = kGeometryColumns[axis];
      for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 10; ++j) normal.A(columns[i], columns[j]) += geometry[axis][i][j];
        normal.g(columns[i]) += geometry_gradient[axis][i];
      }
    }
    for (int i = 0; i < 6; ++i) {
      const int row = kRadialColumns[i];
      for (int j = 0; j < 12; ++j) {
        const int column = j < 10 ? kGeometryColumns[0][j] : kGeometryColumns[1][j - 10];
        normal.A(row, column) = normal.A(column, row) = cross[i][j];
      }
      for (int j = 0; j < 6; ++j) normal.A(row, kRadialColumns[j]) = radial[i][j];
      normal.g(row) = radial_gradient[i];
    }
    normal.cost = cost;
    return normal;
  }
};

}  // namespace

NormalEquations ReprojectionProblem::linearize() {
  const Camera& c = camera_;
  const std::array<double, 8> d = c.distortionCoefficients();
  GatheredNormalEquations gathered;
  for (size_t i = 0; i < view_.image.size(); ++i) {
    const double tx = view_.target[i].x(), ty = view_.target[i].y();
    const double q[3] = {c.rotation[0][0] * tx + c.rotation[0][1] * ty,
                         c.rotation[1][0] * tx + c.rotation[1][1] * ty,
                         c.rotation[2][0] * tx + c.rotation[2][1] * ty};
    const double inverse_depth = 1.0 / (q[2] + c.translation[2]);
    const double x = (q[0] + c.translation[0]) * inverse_depth;
    const double y = (q[1] + c.translation[1]) * inverse_depth;
    double xd, yd, a, b, cc;
    distortNormalizedWithJacobian(d.data(), x, y, &xd, &yd, &a, &b, &cc);
    const double e[2] = {c.fx * xd + c.cx - view_.image[i].x(),
                         c.fy * yd + c.cy - view_.image[i].y()};

    const double r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
    const double inverse_denominator = 1.0 / (1.0 + r2 * (d[5] + r2 * (d[6] + r2 * d[7])));
    const double radial = (1.0 + r2 * (d[0] + r2 * (d[1] + r2 * d[4]))) * inverse_denominator;
    const double rho[6] = {r2, r4, r6, -radial * r2, -radial * r4, -radial * r6};

    const double f[2] = {c.fx, c.fy};
    const double lens_x[2][2] = {{a, b}, {b, cc}};
    const double point[2] = {x, y};
    const double distorted[2] = {xd, yd};
    double G[2][10];
    double g[2];
    for (int axis = 0; axis < 2; ++axis) {
      const double dX = f[axis] * lens_x[axis][0] * inverse_depth;
      const double dY = f[axis] * lens_x[axis][1] * inverse_depth;
      const double dZ = -(dX * x + dY * y);
      const double tangential_cross = 2.0 * f[axis] * x * y;
      const double tangential_square = f[axis] * (r2 + 2.0 * point[axis] * point[axis]);
      const double row[10] = {distorted[axis],
                              1.0,
                              dZ * q[1] - dY * q[2],
                              dX * q[2] - dZ * q[0],
                              dY * q[0] - dX * q[1],
                              dX,
                              dY,
                              dZ,
                              axis == 0 ? tangential_cross : tangential_square,
                              axis == 0 ? tangential_square : tangential_cross};
      std::copy(row, row + 10, G[axis]);
      g[axis] = f[axis] * point[axis] * inverse_denominator;
    }
    gathered.add(G, g, rho, e);
  }
  NormalEquations normal = gathered.assembled();
  penaltyCost(camera_, &normal);
  current_cost_ = normal.cost;
  return normal;
}

// A trial whose points alone cost more than the current parameters is
// rejected whatever its penalties; its partial sum is returned as soon as it
// exceeds the current cost.
double ReprojectionProblem::trialCost(const SolverVector& delta) const {
  const Camera trial = stepped(camera_, delta);
  double cost = dataCost(trial, current_cost_);
  if (cost > current_cost_) return cost;
  cost += penaltyCost(trial, nullptr);
  return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
}

void ReprojectionProblem::accept(const SolverVector& delta) { camera_ = stepped(camera_, delta); }

double ReprojectionProblem::dataCost(const Camera& camera, double bound) const {
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
    if (cost > bound) return cost;
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

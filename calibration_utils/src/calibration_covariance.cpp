#define DRAVIK_LOG_FILE "calibration_utils/calibration_covariance"

#include "calibration_covariance.h"

#include <Eigen/QR>
#include <Eigen/SVD>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "dravik/logging.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";
constexpr const char* kTermNames[kIntrinsics] = {"fx", "fy", "cx", "cy", "k1", "k2",
                                                 "p1", "p2", "k3", "k4", "k5", "k6"};
// A singular value of the scaled Jacobian (the intrinsics' columns with the
// poses projected out, each of unit length) below this fraction of the
// largest is a direction the views do not determine: an exact degeneracy
// (square-on views, which cannot tell the focal length from the distance, or
// a lens whose numerator and denominator share a factor) leaves 1e-13 to
// 1e-9, rounding and the poses' slight tilts; the nearly free trade of the
// rational terms, which the views do determine, stays above 1e-6.
constexpr double kRankTolerance = 1e-8;
// A term whose part of an undetermined direction (of unit length) exceeds
// this moves with it.
constexpr double kDirectionWeight = 1e-3;
// sigma^2 is at least this (px^2): the residual of exact data is rounding,
// and a fitted term keeps a standard deviation above zero.
constexpr double kVarianceFloor = 1e-24;

using Direction = CameraFit::UndeterminedDirection;

// "k1 and k4 trade against each other" of the terms a direction moves.
std::string describe(const IntrinsicVector& scaled) {
  std::array<int, kIntrinsics> order;
  for (int i = 0; i < kIntrinsics; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return std::abs(scaled(a)) > std::abs(scaled(b)); });
  std::vector<std::string> names;
  for (const int i : order) {
    if (std::abs(scaled(i)) > kDirectionWeight) names.push_back(kTermNames[i]);
  }
  if (names.size() == 1) return "the views do not determine " + names[0];
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return list + (names.size() == 2 ? " trade against each other" : " trade against one another");
}

// The columns of the free intrinsics in the Jacobian of every kept corner's
// pixel, each view's pose projected out: A = (I - Q Q') J_i per view, Q an
// orthonormal basis of that view's pose columns. A'A is the information of
// the intrinsics with the poses marginalised, formed without the
// cancellation of U - W V^-1 W'. Column c is intrinsic terms[c] (fx with fy
// folded in when they are tied).
bool marginalJacobian(const std::vector<View>& views, const CameraState& state,
                      const IntrinsicFreedom& freedom, const std::vector<int>& terms,
                      Eigen::MatrixXd* A) {
  size_t rows = 0;
  for (const View& view : views) rows += 2 * view.image.size();
  A->setZero(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(terms.size()));
  Eigen::Index row = 0;
  for (size_t v = 0; v < views.size(); ++v) {
    const View& view = views[v];
    const Pose& pose = state.poses[v];
    const Eigen::Index n = static_cast<Eigen::Index>(2 * view.image.size());
    Eigen::MatrixXd intrinsic(n, static_cast<Eigen::Index>(terms.size()));
    Eigen::MatrixXd posed(n, kPoseParameters);
    for (size_t i = 0; i < view.image.size(); ++i) {
      const Eigen::Vector3d q = pose.camera_from_target_rotation * view.target[i];
      PixelDerivatives d;
      if (!projectWithDerivatives(state.intrinsics, q + pose.translation, &d)) return false;
      for (int axis = 0; axis < 2; ++axis) {
        const Eigen::Index r = static_cast<Eigen::Index>(2 * i) + axis;
        for (size_t c = 0; c < terms.size(); ++c) {
          const int t = terms[c];
          intrinsic(r, static_cast<Eigen::Index>(c)) =
              d.d_intrinsics[axis][t] +
              (freedom.tie_focal_lengths && t == kFx ? d.d_intrinsics[axis][kFy] : 0.0);
        }
        const Eigen::Vector3d dp(d.d_point[axis][0], d.d_point[axis][1], d.d_point[axis][2]);
        // X = R(w) q + t: dX/dw_k = e_k x q, dX/dt = I.
        posed(r, 0) = dp(2) * q(1) - dp(1) * q(2);
        posed(r, 1) = dp(0) * q(2) - dp(2) * q(0);
        posed(r, 2) = dp(1) * q(0) - dp(0) * q(1);
        for (int k = 0; k < 3; ++k) posed(r, 3 + k) = dp(k);
      }
    }
    const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(posed);
    const Eigen::MatrixXd basis =
        (qr.householderQ() * Eigen::MatrixXd::Identity(n, kPoseParameters)).leftCols(qr.rank());
    A->middleRows(row, n) = intrinsic - basis * (basis.transpose() * intrinsic);
    row += n;
  }
  return A->allFinite();
}

// The covariance of the free intrinsics and the directions the views do not
// determine, from the singular value decomposition of the marginal Jacobian
// A D = U S V' (D scaling A's columns to unit length): the covariance is
// sigma^2 D V S^-2 V' D over the singular values above kRankTolerance of the
// largest, sigma^2 = |r|^2 / (2 n - p) (n points, p free intrinsics plus six
// per view).
bool covarianceOf(const std::vector<View>& views, int width, int height,
                  const IntrinsicFreedom& freedom, const CameraState& state,
                  IntrinsicMatrix* covariance, std::vector<Direction>* undetermined) {
  const ReprojectionProblem problem(views, width, height, state);
  const double cost = problem.dataCost(state);
  std::vector<int> free_terms;
  for (int i = 0; i < kIntrinsics; ++i) {
    if (freedom.free[i] && !(freedom.tie_focal_lengths && i == kFy)) free_terms.push_back(i);
  }
  size_t points = 0;
  for (const View& view : views) points += view.image.size();
  const double dof = 2.0 * static_cast<double>(points) - static_cast<double>(free_terms.size()) -
                     static_cast<double>(kPoseParameters * views.size());
  Eigen::MatrixXd A;
  if (!(dof > 0.0) || !std::isfinite(cost) ||
      !marginalJacobian(views, state, freedom, free_terms, &A)) {
    return false;
  }
  const double variance = std::max(kVarianceFloor, cost / dof);

  // A free term the corners do not feel at all is undetermined by itself.
  std::vector<int> terms;
  std::vector<Eigen::Index> columns;
  covariance->setZero();
  undetermined->clear();
  IntrinsicVector scale = IntrinsicVector::Zero();
  for (size_t c = 0; c < free_terms.size(); ++c) {
    const double norm = A.col(static_cast<Eigen::Index>(c)).norm();
    if (norm > 0.0) {
      scale(free_terms[c]) = 1.0 / norm;
      terms.push_back(free_terms[c]);
      columns.push_back(static_cast<Eigen::Index>(c));
    } else {
      Direction alone;
      alone.direction(free_terms[c]) = 1.0;
      undetermined->push_back(alone);
    }
  }
  const Eigen::Index k = static_cast<Eigen::Index>(terms.size());
  if (k > 0) {
    Eigen::MatrixXd scaled(A.rows(), k);
    for (Eigen::Index c = 0; c < k; ++c) scaled.col(c) = A.col(columns[c]) * scale(terms[c]);
    const Eigen::BDCSVD<Eigen::MatrixXd> svd(scaled, Eigen::ComputeThinV);
    const double largest = svd.singularValues()(0);
    for (Eigen::Index e = 0; e < k; ++e) {
      const double value = svd.singularValues()(e);
      IntrinsicVector v = IntrinsicVector::Zero();
      for (Eigen::Index a = 0; a < k; ++a) v(terms[a]) = svd.matrixV()(a, e);
      if (!(value > kRankTolerance * largest)) {
        Direction direction;
        direction.direction = v;
        undetermined->push_back(direction);
        continue;
      }
      const IntrinsicVector d = v.cwiseProduct(scale);
      *covariance += (variance / (value * value)) * d * d.transpose();
    }
  }
  for (Direction& direction : *undetermined) {
    direction.description = describe(direction.direction);
    if (freedom.tie_focal_lengths) direction.direction(kFy) = direction.direction(kFx);
  }
  if (freedom.tie_focal_lengths) {
    // fy is fx: it shares fx's row and column.
    covariance->row(kFy) = covariance->row(kFx);
    covariance->col(kFy) = covariance->col(kFx);
  }
  return true;
}

// The convex hull of the points, counter-clockwise (Andrew's monotone chain).
std::vector<Eigen::Vector2d> convexHull(std::vector<Eigen::Vector2d> points) {
  std::sort(points.begin(), points.end(), [](const Eigen::Vector2d& a, const Eigen::Vector2d& b) {
    return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
  });
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (points.size() < 3) return points;
  const auto cross = [](const Eigen::Vector2d& o, const Eigen::Vector2d& a,
                        const Eigen::Vector2d& b) {
    return (a.x() - o.x()) * (b.y() - o.y()) - (a.y() - o.y()) * (b.x() - o.x());
  };
  std::vector<Eigen::Vector2d> hull(2 * points.size());
  size_t n = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    while (n >= 2 && cross(hull[n - 2], hull[n - 1], points[i]) <= 0.0) --n;
    hull[n++] = points[i];
  }
  for (size_t i = points.size() - 1, lower = n + 1; i-- > 0;) {
    while (n >= lower && cross(hull[n - 2], hull[n - 1], points[i]) <= 0.0) --n;
    hull[n++] = points[i];
  }
  hull.resize(n - 1);
  return hull;
}

}  // namespace

void formCovariance(const std::vector<View>& views, int width, int height,
                    const IntrinsicFreedom& freedom, const CameraState& state, CameraFit* result) {
  IntrinsicMatrix covariance = IntrinsicMatrix::Zero();
  std::vector<Direction> undetermined;
  if (!covarianceOf(views, width, height, freedom, state, &covariance, &undetermined)) {
    // Too few points to tell the noise, or a pose the corners do not fix:
    // nothing is determined.
    covariance.setZero();
    undetermined.clear();
    Direction everything;
    for (int i = 0; i < kIntrinsics; ++i) everything.direction(i) = freedom.free[i] ? 1.0 : 0.0;
    if (freedom.tie_focal_lengths) everything.direction(kFy) = everything.direction(kFx);
    everything.direction.normalize();
    everything.description = "the views do not determine the intrinsics";
    undetermined.push_back(everything);
  }
  result->covariance = covariance;
  for (int i = 0; i < kIntrinsics; ++i) {
    result->standard_deviations(i) = std::sqrt(std::max(0.0, covariance(i, i)));
  }
  for (const Direction& direction : undetermined) {
    DRAVIK_LOG(3, kTag) << "The views do not determine one direction of the intrinsics: "
                        << direction.description;
    for (int i = 0; i < kIntrinsics; ++i) {
      if (std::abs(direction.direction(i)) > kDirectionWeight) {
        result->standard_deviations(i) = std::numeric_limits<double>::infinity();
      }
    }
  }
  result->undetermined = std::move(undetermined);
  std::vector<Eigen::Vector2d> corners;
  for (const View& view : views)
    corners.insert(corners.end(), view.image.begin(), view.image.end());
  result->covered_region = convexHull(std::move(corners));
}

}  // namespace calibration
}  // namespace dravik

#define DRAVIK_LOG_FILE "calibration_utils/calibration_covariance"

#include "calibration_covariance.h"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "calibration_utils/rectify.h"
#include "dravik/logging.h"

namespace dravik {
namespace calibration {

namespace {

constexpr char kTag[] = "calibration_utils";
constexpr const char* kTermNames[kIntrinsics] = {"fx", "fy", "cx", "cy", "k1", "k2",
                                                 "p1", "p2", "k3", "k4", "k5", "k6"};
// An eigenvalue of the scaled information below this fraction of the
// largest is a direction the views do not determine: rounding leaves the
// eigenvalues of S uncertain by about 1e-16 of the largest per term, so
// that an exact degeneracy (square-on views, a lens whose numerator and
// denominator share a factor) shows as 1e-15 or less, while the nearly free
// trade of the rational terms, which the views do determine, stays above
// 1e-13.
constexpr double kRankTolerance = 1e-14;
// A term whose part of an undetermined direction (of unit length) exceeds
// this moves with it.
constexpr double kDirectionWeight = 1e-3;
// A pixel that an undetermined direction moves by more than this per unit
// of it is not determined by the views.
constexpr double kUnboundedMotionPx = 1e-6;
// sigma^2 is at least this (px^2): the residual of exact data is rounding,
// and a fitted term keeps a standard deviation above zero.
constexpr double kVarianceFloor = 1e-24;

using Direction = views::CameraCalibration::UndeterminedDirection;

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

// The covariance of the free intrinsics and the directions the views do not
// determine, from the information S of the intrinsics with the poses
// marginalised: with D = diag(S)^-1/2 and D S D = V L V', the covariance is
// sigma^2 D V L^+ V' D over the eigenvalues above kRankTolerance of the
// largest, sigma^2 = |r|^2 / (2 n - p).
bool covarianceOf(const std::vector<View>& views, int width, int height,
                  const IntrinsicFreedom& freedom, const CameraState& state,
                  IntrinsicMatrix* covariance, std::vector<Direction>* undetermined) {
  ReprojectionProblem problem(views, width, height, state);
  problem.setPenalties(false);
  NormalEquations normal;
  problem.linearize(&normal);
  IntrinsicMatrix information;
  int free_count = 0;
  if (!marginalInformation(normal, freedom, &information, &free_count)) return false;
  size_t points = 0;
  for (const View& view : views) points += view.image.size();
  const double dof = 2.0 * static_cast<double>(points) - free_count -
                     static_cast<double>(kPoseParameters * views.size());
  if (!(dof > 0.0) || !information.allFinite()) return false;
  const double variance = std::max(kVarianceFloor, normal.cost / dof);

  // The free terms (fy folded into fx when tied); a free term the corners
  // do not feel at all is undetermined by itself.
  std::vector<int> terms;
  covariance->setZero();
  undetermined->clear();
  IntrinsicVector scale = IntrinsicVector::Zero();
  for (int i = 0; i < kIntrinsics; ++i) {
    if (!freedom.free[i] || (freedom.tie_focal_lengths && i == kFy)) continue;
    if (information(i, i) > 0.0) {
      scale(i) = 1.0 / std::sqrt(information(i, i));
      terms.push_back(i);
    } else {
      Direction alone;
      alone.direction(i) = 1.0;
      undetermined->push_back(alone);
    }
  }
  const int k = static_cast<int>(terms.size());
  Eigen::MatrixXd scaled(k, k);
  for (int a = 0; a < k; ++a) {
    for (int b = 0; b < k; ++b) {
      scaled(a, b) = information(terms[a], terms[b]) * scale(terms[a]) * scale(terms[b]);
    }
  }
  if (k > 0) {
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(scaled);
    if (eigen.info() != Eigen::Success) return false;
    const double largest = eigen.eigenvalues().maxCoeff();
    for (int e = 0; e < k; ++e) {
      const double value = eigen.eigenvalues()(e);
      IntrinsicVector v = IntrinsicVector::Zero();
      for (int a = 0; a < k; ++a) v(terms[a]) = eigen.eigenvectors()(a, e);
      if (!(value > kRankTolerance * largest)) {
        Direction direction;
        direction.direction = v;
        undetermined->push_back(direction);
        continue;
      }
      const IntrinsicVector d = v.cwiseProduct(scale);
      *covariance += (variance / value) * d * d.transpose();
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

// Whether p lies inside the counter-clockwise convex polygon or on its border.
bool inside(const std::vector<Eigen::Vector2d>& polygon, const Eigen::Vector2d& p) {
  if (polygon.size() < 3) return false;
  for (size_t i = 0; i < polygon.size(); ++i) {
    const Eigen::Vector2d& a = polygon[i];
    const Eigen::Vector2d& b = polygon[(i + 1) % polygon.size()];
    if ((b.x() - a.x()) * (p.y() - a.y()) - (b.y() - a.y()) * (p.x() - a.x()) < 0.0) return false;
  }
  return true;
}

}  // namespace

void formCovariance(const std::vector<View>& views, int width, int height,
                    const IntrinsicFreedom& freedom, const CameraState& state,
                    views::CameraCalibration* result) {
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

inline namespace views {

bool projectionUncertainty(const CameraCalibration& calibration, int step,
                           std::vector<float>* sigma_px) {
  const Lens& lens = calibration.lens;
  if (sigma_px == nullptr || step <= 0) {
    DRAVIK_LOG(2, kTag) << "No uncertainty to fill, or a step " << step << " not positive";
    return false;
  }
  bool directions_finite = true;
  for (const CameraCalibration::UndeterminedDirection& d : calibration.undetermined) {
    directions_finite = directions_finite && d.direction.allFinite();
  }
  if (lens.width <= 0 || lens.height <= 0 || lens.width / step == 0 || lens.height / step == 0 ||
      static_cast<long long>(lens.width) * lens.height > kMaxUndistortionPixels ||
      lens.distortion.size() != 8 || !lens.K.allFinite() || !(lens.K(0, 0) > 0.0f) ||
      !(lens.K(1, 1) > 0.0f) || !calibration.covariance.allFinite() || !directions_finite) {
    DRAVIK_LOG(2, kTag) << "The calibration's lens (" << lens.width << " x " << lens.height << ", "
                        << lens.distortion.size()
                        << " coefficients) or covariance is not usable at a step of " << step;
    return false;
  }
  IntrinsicVector intrinsics;
  intrinsics << lens.K(0, 0), lens.K(1, 1), lens.K(0, 2), lens.K(1, 2), 0, 0, 0, 0, 0, 0, 0, 0;
  for (int i = 0; i < 8; ++i) intrinsics(kLens + i) = lens.distortion[i];
  const float principal_point[2] = {lens.K(0, 2), lens.K(1, 2)};
  const float focal_length[2] = {lens.K(0, 0), lens.K(1, 1)};
  const int columns = lens.width / step, rows = lens.height / step;
  sigma_px->assign(static_cast<size_t>(columns) * static_cast<size_t>(rows),
                   std::numeric_limits<float>::quiet_NaN());
  const IntrinsicMatrix& C = calibration.covariance;
  for (int j = 0; j < rows; ++j) {
    for (int i = 0; i < columns; ++i) {
      const Eigen::Vector2f pixel(static_cast<float>(i * step + step / 2),
                                  static_cast<float>(j * step + step / 2));
      const RectifiedPoint ray =
          rectifyPointWithStatus(lens.distortion.data(), principal_point, focal_length, pixel);
      PixelDerivatives d;
      if (!ray.converged ||
          !projectWithDerivatives(intrinsics, Eigen::Vector3d(ray.point.x(), ray.point.y(), 1.0),
                                  &d)) {
        continue;
      }
      const Eigen::Map<const Eigen::Matrix<double, 2, kIntrinsics, Eigen::RowMajor>> J(
          &d.d_intrinsics[0][0]);
      float& out = (*sigma_px)[static_cast<size_t>(j) * columns + i];
      bool unbounded = false;
      for (const CameraCalibration::UndeterminedDirection& u : calibration.undetermined) {
        unbounded = unbounded || (J * u.direction).norm() > kUnboundedMotionPx;
      }
      if (unbounded) {
        out = std::numeric_limits<float>::infinity();
        continue;
      }
      // The variance of each pixel coordinate, J C J', averaged over the two.
      const double variance = (J * C * J.transpose()).trace();
      out = static_cast<float>(std::sqrt(std::max(0.0, 0.5 * variance)));
    }
  }
  return true;
}

bool summarizeUncertainty(const CameraCalibration& calibration, int step,
                          const std::vector<float>& sigma_px, UncertaintySummary* summary) {
  const Lens& lens = calibration.lens;
  if (summary == nullptr || step <= 0 || lens.width <= 0 || lens.height <= 0 ||
      sigma_px.size() != static_cast<size_t>(lens.width / step) * (lens.height / step) ||
      sigma_px.empty()) {
    DRAVIK_LOG(2, kTag) << "No summary to fill, or a grid of " << sigma_px.size()
                        << " values not that of a " << lens.width << " x " << lens.height
                        << " image at a step of " << step;
    return false;
  }
  UncertaintySummary out;
  const int columns = lens.width / step;
  size_t above_1 = 0, above_5 = 0, unbounded = 0;
  for (size_t c = 0; c < sigma_px.size(); ++c) {
    const double sigma = sigma_px[c];
    above_1 += sigma > 1.0;
    above_5 += sigma > 5.0;
    unbounded += std::isinf(sigma);
    const Eigen::Vector2d pixel(
        static_cast<double>(static_cast<int>(c % columns) * step + step / 2),
        static_cast<double>(static_cast<int>(c / columns) * step + step / 2));
    if (sigma > out.largest_covered_px && inside(calibration.covered_region, pixel)) {
      out.largest_covered_px = sigma;
      out.largest_covered_at = pixel;
    }
  }
  const double cells = static_cast<double>(sigma_px.size());
  out.share_above_1px = above_1 / cells;
  out.share_above_5px = above_5 / cells;
  out.share_unbounded = unbounded / cells;
  *summary = out;
  return true;
}

}  // namespace views
}  // namespace calibration
}  // namespace dravik

#include "planar_homography.h"

#include <Eigen/Dense>
#include <cmath>

namespace dravik {
namespace calibration {

namespace {

// The similarity that moves points to their centroid and scales them to a
// mean distance of sqrt(2) from it; a zero scale where all points coincide.
Eigen::Matrix3d normalizingTransform(const std::vector<Eigen::Vector2d>& points) {
  Eigen::Vector2d centroid = Eigen::Vector2d::Zero();
  for (const Eigen::Vector2d& p : points) centroid += p;
  centroid /= static_cast<double>(points.size());
  double mean_distance = 0.0;
  for (const Eigen::Vector2d& p : points) mean_distance += (p - centroid).norm();
  mean_distance /= static_cast<double>(points.size());
  const double s = mean_distance > 0.0 ? std::sqrt(2.0) / mean_distance : 0.0;
  Eigen::Matrix3d T;
  T << s, 0.0, -s * centroid.x(), 0.0, s, -s * centroid.y(), 0.0, 0.0, 1.0;
  return T;
}

// The homogeneous point (p, 1) through T, dehomogenised (T is affine).
Eigen::Vector2d apply(const Eigen::Matrix3d& T, const Eigen::Vector2d& p) {
  return T.topLeftCorner<2, 2>() * p + T.topRightCorner<2, 1>();
}

}  // namespace

bool estimateHomography(const std::vector<Eigen::Vector2d>& target,
                        const std::vector<Eigen::Vector2d>& image, Eigen::Matrix3d* H) {
  // Two smallest eigenvalues of A'A closer than this, relative to the largest,
  // leave more than one homography fitting the points.
  constexpr double kDegenerateEigenvalueRatio = 1e-12;

  const Eigen::Matrix3d Tt = normalizingTransform(target);
  const Eigen::Matrix3d Ti = normalizingTransform(image);
  // Each pair (X, Y) -> (u, v) gives two rows of A h = 0, h = H row by row:
  //   [X Y 1 0 0 0 -uX -uY -u], [0 0 0 X Y 1 -vX -vY -v].
  Eigen::Matrix<double, 9, 9> AtA = Eigen::Matrix<double, 9, 9>::Zero();
  for (size_t i = 0; i < target.size(); ++i) {
    const Eigen::Vector2d P = apply(Tt, target[i]);
    const Eigen::Vector2d p = apply(Ti, image[i]);
    Eigen::Matrix<double, 1, 9> row_u, row_v;
    row_u << P.x(), P.y(), 1.0, 0.0, 0.0, 0.0, -p.x() * P.x(), -p.x() * P.y(), -p.x();
    row_v << 0.0, 0.0, 0.0, P.x(), P.y(), 1.0, -p.y() * P.x(), -p.y() * P.y(), -p.y();
    AtA.noalias() += row_u.transpose() * row_u;
    AtA.noalias() += row_v.transpose() * row_v;
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 9, 9>> eigen(AtA);
  if (eigen.info() != Eigen::Success) return false;
  const auto& values = eigen.eigenvalues();  // ascending
  if (!(values(1) > kDegenerateEigenvalueRatio * values(8))) return false;

  const Eigen::Matrix<double, 9, 1> h = eigen.eigenvectors().col(0);
  Eigen::Matrix3d Hn;
  Hn << h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), h(8);
  *H = Ti.inverse() * Hn * Tt;
  H->normalize();
  return H->allFinite();
}

namespace {

// The two orthogonality constraints of the target's axes on H moved to the
// principal point c, G = shift(-c) H, as rows (coefficient of 1/fx^2,
// coefficient of 1/fy^2, constant):
//   (G00 G01, G10 G11, G20 G21),   (G00^2 - G01^2, G10^2 - G11^2, G20^2 - G21^2).
void focalConstraints(const Eigen::Matrix3d& H, const Eigen::Vector2d& c, double rows[2][3]) {
  Eigen::Matrix3d shift = Eigen::Matrix3d::Identity();
  shift(0, 2) = -c.x();
  shift(1, 2) = -c.y();
  const Eigen::Matrix3d G = shift * H;
  for (int axis = 0; axis < 3; ++axis) {
    rows[0][axis] = G(axis, 0) * G(axis, 1);
    rows[1][axis] = G(axis, 0) * G(axis, 0) - G(axis, 1) * G(axis, 1);
  }
}

}  // namespace

double inverseSquaredFocalFromHomography(const Eigen::Matrix3d& H, const Eigen::Vector2d& c) {
  double rows[2][3];
  focalConstraints(H, c, rows);
  const double a1 = rows[0][0] + rows[0][1], b1 = rows[0][2];
  const double a2 = rows[1][0] + rows[1][1], b2 = rows[1][2];
  return -(a1 * b1 + a2 * b2) / (a1 * a1 + a2 * a2);
}

bool inverseSquaredFocalsFromHomographies(const std::vector<Eigen::Matrix3d>& homographies,
                                          const Eigen::Vector2d& c, double* wx, double* wy) {
  // The normal equations of the constraints of every homography, each
  // homography's rows scaled to unit norm so that every view weighs alike.
  double AtA[2][2] = {{0.0, 0.0}, {0.0, 0.0}}, Atb[2] = {0.0, 0.0};
  for (const Eigen::Matrix3d& H : homographies) {
    double rows[2][3];
    focalConstraints(H, c, rows);
    for (const auto& row : rows) {
      const double norm = std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
      if (!(norm > 0.0)) continue;
      const double a = row[0] / norm, b = row[1] / norm, k = -row[2] / norm;
      AtA[0][0] += a * a;
      AtA[0][1] += a * b;
      AtA[1][1] += b * b;
      Atb[0] += a * k;
      Atb[1] += b * k;
    }
  }
  const double det = AtA[0][0] * AtA[1][1] - AtA[0][1] * AtA[0][1];
  if (!(std::abs(det) > 1e-12 * (AtA[0][0] * AtA[1][1]))) return false;
  *wx = (Atb[0] * AtA[1][1] - Atb[1] * AtA[0][1]) / det;
  *wy = (Atb[1] * AtA[0][0] - Atb[0] * AtA[0][1]) / det;
  return *wx > 0.0 && *wy > 0.0 && std::isfinite(*wx) && std::isfinite(*wy);
}

void poseFromHomography(const Eigen::Matrix3d& H, double fx, double fy, const Eigen::Vector2d& c,
                        Eigen::Matrix3d* R, Eigen::Vector3d* t) {
  Eigen::Matrix3d K_inverse;
  K_inverse << 1.0 / fx, 0.0, -c.x() / fx, 0.0, 1.0 / fy, -c.y() / fy, 0.0, 0.0, 1.0;
  const Eigen::Matrix3d M = K_inverse * H;
  double s = 2.0 / (M.col(0).norm() + M.col(1).norm());
  if (M(2, 2) * s < 0.0) s = -s;

  Eigen::Matrix3d Q;
  Q.col(0) = s * M.col(0);
  Q.col(1) = s * M.col(1);
  Q.col(2) = Q.col(0).cross(Q.col(1));
  // The nearest rotation: U V' of Q = U S V', with the sign of the last
  // singular direction fixed so that det R = +1.
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(Q, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d U = svd.matrixU();
  if ((U * svd.matrixV().transpose()).determinant() < 0.0) U.col(2) = -U.col(2);
  *R = U * svd.matrixV().transpose();
  *t = s * M.col(2);
}

}  // namespace calibration
}  // namespace dravik

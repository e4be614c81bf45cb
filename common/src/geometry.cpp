#include "dravik/geometry.h"

#include <algorithm>
#include <cmath>

namespace dravik {

Eigen::Vector2f project3dToCamera(const CameraTransform& pose, const std::vector<float>& distortion,
                                  const Eigen::Matrix3f& K, const Eigen::Vector3f& point) {
  double d[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::copy_n(distortion.begin(), std::min<size_t>(distortion.size(), 8), d);

  const Eigen::Matrix4f& T = pose.getTransform();
  const double X = point.x(), Y = point.y(), Z = point.z();
  const double xc = T(0, 0) * X + double(T(0, 1)) * Y + double(T(0, 2)) * Z + double(T(0, 3));
  const double yc = T(1, 0) * X + double(T(1, 1)) * Y + double(T(1, 2)) * Z + double(T(1, 3));
  const double zc = T(2, 0) * X + double(T(2, 1)) * Y + double(T(2, 2)) * Z + double(T(2, 3));

  const double inverse_z = 1.0 / zc;
  double xd, yd;
  distortNormalized(d, xc * inverse_z, yc * inverse_z, &xd, &yd);

  const double u = xd * double(K(0, 0)) + yd * double(K(0, 1)) + double(K(0, 2));
  const double v = yd * double(K(1, 1)) + double(K(1, 2));
  return Eigen::Vector2f(static_cast<float>(u), static_cast<float>(v));
}

Eigen::Matrix4f rotationZTransf(float a) {
  const float c = std::cos(a);
  const float s = std::sin(a);
  Eigen::Matrix4f r;
  r << c, -s, 0, 0, s, c, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1;
  return r;
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// Wraps an angle into (-pi, pi].
double wrapAngle(double x) {
  x = std::remainder(x, 2.0 * kPi);
  if (x <= -kPi) x += 2.0 * kPi;
  return x;
}

}  // namespace

int solveAsinBcosCeqn(double a, double b, double c, double* x, double tol) {
  // a sin x + b cos x = R sin(x + phi), with R = |(a, b)| and phi = atan2(b, a).
  const double R = std::hypot(a, b);
  if (!(R > tol) || !std::isfinite(R) || !std::isfinite(c)) return 0;
  const double s = -c / R;  // sin(x + phi)
  const double phi = std::atan2(b, a);
  if (std::fabs(s) > 1.0 + tol) return 0;
  if (std::fabs(s) >= 1.0) {
    // Tangency, reached or missed by at most tol: the line touches the
    // circle in one (double) root. Inside the circle the two roots are kept
    // apart however close they are: near tangency they differ by about
    // 2 sqrt(2 (1 - |s|)), far more than tol, and a midpoint would solve
    // neither.
    x[0] = wrapAngle((s > 0 ? 0.5 * kPi : -0.5 * kPi) - phi);
    return 1;
  }
  const double base = std::asin(s);
  double r0 = wrapAngle(base - phi);
  double r1 = wrapAngle(kPi - base - phi);
  if (std::fabs(r1) < std::fabs(r0)) std::swap(r0, r1);
  x[0] = r0;
  x[1] = r1;
  return 2;
}

}  // namespace dravik

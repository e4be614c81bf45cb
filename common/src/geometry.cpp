#define DRAVIK_LOG_FILE "common/geometry"
#include "dravik/geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dravik/logging.h"
#include "dravik/wide_vectors.h"

namespace dravik {

PointProjector::PointProjector()
    : rotation{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, translation{0, 0, 0} {}

PointProjector::PointProjector(const CameraTransform& pose, const float* distortion,
                               const Eigen::Matrix3f& K)
    : lens(distortion, K) {
  const Eigen::Matrix4f& T = pose.getTransform();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) rotation[r][c] = T(r, c);
    translation[r] = T(r, 3);
  }
}

namespace {

// The batch over [0, count): one loop without branches, which the compiler
// vectorises to the width of the instruction set it compiles for, in the
// exact variants of dravik/wide_vectors.h (no fused multiply-add: a batch
// gives the bits of the single-point call on every processor).
WIDE_VECTORS_INLINE void projectRange(const PointProjector& camera, const float* __restrict x,
                                      const float* __restrict y, const float* __restrict z,
                                      int count, float* __restrict u, float* __restrict v) {
  for (int i = 0; i < count; ++i) {
    double pixel_u, pixel_v;
    camera.projectToPixel(x[i], y[i], z[i], &pixel_u, &pixel_v);
    u[i] = static_cast<float>(pixel_u);
    v[i] = static_cast<float>(pixel_v);
  }
}

EXACT_WIDE_VECTOR_FUNCTION(void, projectPointRange, projectRange,
                           (const PointProjector& camera, const float* x, const float* y,
                            const float* z, int count, float* u, float* v),
                           (camera, x, y, z, count, u, v))

// The camera points' batch: as projectRange, on interleaved arrays.
WIDE_VECTORS_INLINE void projectCameraRange(const PreparedLens& lens, const double* __restrict xyz,
                                            std::size_t count, double* __restrict uv) {
  for (std::size_t i = 0; i < count; ++i) {
    const double inverse_z = 1.0 / xyz[3 * i + 2];
    lens.pixelOfNormalized(xyz[3 * i] * inverse_z, xyz[3 * i + 1] * inverse_z, &uv[2 * i],
                           &uv[2 * i + 1]);
  }
}

EXACT_WIDE_VECTOR_FUNCTION(void, projectCameraPointRange, projectCameraRange,
                           (const PreparedLens& lens, const double* xyz, std::size_t count,
                            double* uv),
                           (lens, xyz, count, uv))

}  // namespace

void PreparedLens::projectCameraPoints(const double* xyz, std::size_t count, double* uv) const {
  projectCameraPointRange(*this, xyz, count, uv);
}

void PointProjector::project(const float* x, const float* y, const float* z, int count, float* u,
                             float* v) const {
  projectPointRange(*this, x, y, z, count, u, v);
}

Eigen::Vector2f project3dToCamera(const CameraTransform& pose, const std::vector<float>& distortion,
                                  const Eigen::Matrix3f& K, const Eigen::Vector3f& point) {
  if (distortion.size() != 8) {
    DRAVIK_LOG(2, "dravik_common") << "The lens distortion is not eight coefficients ("
                                   << distortion.size() << " given): no pixel";
    return Eigen::Vector2f::Constant(std::numeric_limits<float>::quiet_NaN());
  }
  return PointProjector(pose, distortion.data(), K).project(point);
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

// Projection through the rational lens model (dravik/rational_lens.h) and
// small helpers of the kinematics.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <vector>

#include "dravik/camera_transform.h"
#include "dravik/eigen_types.h"
#include "dravik/rational_lens.h"

namespace dravik {

// A lens ready to project: the eight coefficients and K widened once to
// double and held in fixed-size members, so that a projection reads no
// container and converts nothing but the point. K = [[fx, skew, cx],
// [0, fy, cy], [0, 0, 1]].
struct PreparedLens {
  double d[kLensCoefficientCount];
  double fx, skew, cx, fy, cy;

  // No distortion, K = I.
  PreparedLens() : d{0, 0, 0, 0, 0, 0, 0, 0}, fx(1), skew(0), cx(0), fy(1), cy(0) {}
  // `distortion` points to the eight coefficients. Inline: a call that
  // normalizes one pixel prepares its lens.
  PreparedLens(const float* distortion, const dravik::Matrix3f& K)
      : fx(K(0, 0)), skew(K(0, 1)), cx(K(0, 2)), fy(K(1, 1)), cy(K(1, 2)) {
    for (int i = 0; i < kLensCoefficientCount; ++i) d[i] = distortion[i];
  }

  // The pixel (u, v) of the normalized camera point (x, y): the lens, then K.
  void pixelOfNormalized(double x, double y, double* u, double* v) const {
    double xd, yd;
    distortNormalized(d, x, y, &xd, &yd);
    pixelOfDistorted(fx, skew, cx, fy, cy, xd, yd, u, v);
  }
  // The distorted normalized point (xd, yd) of the pixel (u, v): K^-1.
  void distortedOfPixel(double u, double v, double* xd, double* yd) const {
    dravik::distortedOfPixel(fx, skew, cx, fy, cy, u, v, xd, yd);
  }
  // The pixels uv[2 i], uv[2 i + 1] of `count` points xyz[3 i .. 3 i + 2] of
  // the camera frame, each equal to the last bit to pixelOfNormalized of
  // (X / Z, Y / Z). The output must not overlap the input. Uses 256-bit
  // vector instructions where the processor has them.
  void projectCameraPoints(const double* xyz, std::size_t count, double* uv) const;
};

// A camera ready to project world points: the pose (world to camera, as
// getTransform() holds it) and the prepared lens, widened once to double and
// held in fixed-size members, so that a projection reads no container and
// converts nothing but the point. The pixel is computed in
// double precision and rounded once to float; a point on the camera's plane
// (Z = 0) projects to a non-finite pixel.
//
// The batch form runs the same operations in the same order on several
// points per vector instruction (no fused multiply-add, which would round
// differently), so that each of its pixels equals, to the last bit, the
// pixel of the single-point call.
struct PointProjector {
  // World to camera: camera = rotation * world + translation.
  double rotation[3][3];
  double translation[3];
  PreparedLens lens;

  // The identity pose, no distortion, K = I.
  PointProjector();
  // `distortion` points to the eight coefficients.
  PointProjector(const CameraTransform& pose, const float* distortion, const dravik::Matrix3f& K);

  // The pixel (u, v) of the world point (X, Y, Z), in double precision.
  void projectToPixel(double X, double Y, double Z, double* u, double* v) const {
    const double xc = rotation[0][0] * X + rotation[0][1] * Y + rotation[0][2] * Z + translation[0];
    const double yc = rotation[1][0] * X + rotation[1][1] * Y + rotation[1][2] * Z + translation[1];
    const double zc = rotation[2][0] * X + rotation[2][1] * Y + rotation[2][2] * Z + translation[2];
    const double inverse_z = 1.0 / zc;
    lens.pixelOfNormalized(xc * inverse_z, yc * inverse_z, u, v);
  }

  // The pixel of a world point.
  Eigen::Vector2f project(const Eigen::Vector3f& point) const {
    double u, v;
    projectToPixel(point.x(), point.y(), point.z(), &u, &v);
    return Eigen::Vector2f(static_cast<float>(u), static_cast<float>(v));
  }

  // The pixels (u[i], v[i]) of `count` world points (x[i], y[i], z[i]), held
  // as separate coordinate arrays. The outputs must not overlap the inputs.
  // Uses 256-bit vector instructions where the processor has them.
  void project(const float* x, const float* y, const float* z, int count, float* u, float* v) const;
};

// The pixel of a world point: pose maps world into camera coordinates
// (getTransform()), then the lens model and K (PointProjector). A distortion
// that is not eight coefficients gives a pixel that is not a number and a
// level-2 record under "dravik_common".
Eigen::Vector2f project3dToCamera(const CameraTransform& pose, const std::vector<float>& distortion,
                                  const dravik::Matrix3f& K, const Eigen::Vector3f& point);

// The homogeneous rotation about z by a (radians):
// rows (cos a, -sin a, 0, 0), (sin a, cos a, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1).
// A positive angle turns the x axis towards the y axis.
dravik::Matrix4f rotationZTransf(float a);

// The roots x in (-pi, pi] of a sin x + b cos x + c = 0, written to x[0..n-1]
// (x must hold two values), nearest to zero first. With R = sqrt(a^2 + b^2)
// and phi = atan2(b, a) the equation reads sin(x + phi) = -c / R, so
//   x = asin(-c / R) - phi  or  x = pi - asin(-c / R) - phi.
// Returns n:
//   0 when a and b both vanish (R <= tol), or when |c| / R > 1 + tol (the
//     line a sin x + b cos x = -c misses the circle);
//   1 at tangency, when 1 <= |c| / R <= 1 + tol: x = +-pi/2 - phi;
//   2 otherwise, however close the two roots are.
// tol is relative to R, so that scaling a, b and c together does not change
// the count.
int solveAsinBcosCeqn(double a, double b, double c, double* x, double tol);

}  // namespace dravik

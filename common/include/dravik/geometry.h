// Projection through the rational lens model and small helpers of the
// kinematics.
//
// Lens model (OpenCV's rational model with tangential terms). For a point
// (X, Y, Z) in the camera frame, x = X/Z, y = Y/Z, r2 = x^2 + y^2:
//   radial = (1 + k1 r2 + k2 r2^2 + k3 r2^3) / (1 + k4 r2 + k5 r2^2 + k6 r2^3)
//   x'' = x radial + 2 p1 x y + p2 (r2 + 2 x^2)
//   y'' = y radial + p1 (r2 + 2 y^2) + 2 p2 x y
//   u = fx x'' + skew y'' + cx,   v = fy y'' + cy
// Coefficients are given in the order k1, k2, p1, p2, k3, k4, k5, k6; missing
// trailing coefficients count as zero, extra ones are ignored.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "dravik/camera_transform.h"

namespace dravik {

// The lens mapping from normalized camera coordinates (x, y) to distorted
// normalized coordinates, on any scalar type (float, double, AutoDiff1).
// `d` points to the eight coefficients k1, k2, p1, p2, k3, k4, k5, k6.
// The operations are ordered as OpenCV's projectPoints orders them, so that
// double precision results agree with it to the last bit.
template <typename T, typename C>
inline void distortNormalized(const C* d, const T& x, const T& y, T* xd, T* yd) {
  const T r2 = x * x + y * y;
  const T r4 = r2 * r2;
  const T r6 = r4 * r2;
  const T a1 = T(2.0) * x * y;
  const T a2 = r2 + T(2.0) * x * x;
  const T a3 = r2 + T(2.0) * y * y;
  const T numerator = T(1.0) + T(d[0]) * r2 + T(d[1]) * r4 + T(d[4]) * r6;
  const T inverse_denominator = T(1.0) / (T(1.0) + T(d[5]) * r2 + T(d[6]) * r4 + T(d[7]) * r6);
  *xd = x * numerator * inverse_denominator + T(d[2]) * a1 + T(d[3]) * a2;
  *yd = y * numerator * inverse_denominator + T(d[2]) * a3 + T(d[3]) * a1;
}

// The pixel of a world point: pose maps world into camera coordinates
// (getTransform()), then the lens model and K. Computed in double precision
// and rounded once to float. A point on the camera's plane (Z = 0) projects
// to a non-finite pixel.
Eigen::Vector2f project3dToCamera(const CameraTransform& pose, const std::vector<float>& distortion,
                                  const Eigen::Matrix3f& K, const Eigen::Vector3f& point);

// The homogeneous rotation about z by a (radians):
// rows (cos a, -sin a, 0, 0), (sin a, cos a, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1).
// A positive angle turns the x axis towards the y axis.
Eigen::Matrix4f rotationZTransf(float a);

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

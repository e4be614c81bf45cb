// The rational lens mapping with its Jacobian, written out by hand so that
// value and derivatives share their subexpressions (one division per point).
//
// Lens model: dravik/geometry.h (distortNormalized), coefficients in the
// order k1, k2, p1, p2, k3, k4, k5, k6. With r2 = x^2 + y^2,
//   N = 1 + k1 r2 + k2 r2^2 + k3 r2^3,   M = 1 + k4 r2 + k5 r2^2 + k6 r2^3,
//   R = N / M,   R' = dR/dr2 = (N' - R M') / M,
//   N' = k1 + 2 k2 r2 + 3 k3 r2^2,       M' = k4 + 2 k5 r2 + 3 k6 r2^2,
//   xd = x R + 2 p1 x y + p2 (r2 + 2 x^2)
//   yd = y R + p1 (r2 + 2 y^2) + 2 p2 x y
// and, as d(r2)/dx = 2 x, d(r2)/dy = 2 y, the Jacobian (symmetric):
//   dxd/dx = R + 2 x^2 R' + 2 p1 y + 6 p2 x
//   dxd/dy = dyd/dx = 2 x y R' + 2 p1 x + 2 p2 y
//   dyd/dy = R + 2 y^2 R' + 6 p1 y + 2 p2 x
#pragma once

namespace dravik {
namespace calibration {

// The distorted point D(x, y) = (xd, yd) and the Jacobian of D, written as
// its three distinct entries: jacobian_xx = dxd/dx, jacobian_xy = dxd/dy =
// dyd/dx, jacobian_yy = dyd/dy. `d` points to the eight coefficients.
template <typename T, typename C>
inline void distortNormalizedWithJacobian(const C* d, T x, T y, T* xd, T* yd, T* jacobian_xx,
                                          T* jacobian_xy, T* jacobian_yy) {
  const T k1 = T(d[0]), k2 = T(d[1]), p1 = T(d[2]), p2 = T(d[3]);
  const T k3 = T(d[4]), k4 = T(d[5]), k5 = T(d[6]), k6 = T(d[7]);
  const T xx = x * x, yy = y * y, xy = x * y;
  const T r2 = xx + yy;
  const T numerator = T(1) + r2 * (k1 + r2 * (k2 + r2 * k3));
  const T denominator = T(1) + r2 * (k4 + r2 * (k5 + r2 * k6));
  const T numerator_slope = k1 + r2 * (T(2) * k2 + r2 * (T(3) * k3));
  const T denominator_slope = k4 + r2 * (T(2) * k5 + r2 * (T(3) * k6));
  const T inverse_denominator = T(1) / denominator;
  const T radial = numerator * inverse_denominator;
  const T radial_slope = (numerator_slope - radial * denominator_slope) * inverse_denominator;
  *xd = x * radial + T(2) * p1 * xy + p2 * (r2 + T(2) * xx);
  *yd = y * radial + p1 * (r2 + T(2) * yy) + T(2) * p2 * xy;
  const T twice_slope = T(2) * radial_slope;
  *jacobian_xx = radial + twice_slope * xx + T(2) * p1 * y + T(6) * p2 * x;
  *jacobian_xy = twice_slope * xy + T(2) * (p1 * x + p2 * y);
  *jacobian_yy = radial + twice_slope * yy + T(6) * p1 * y + T(2) * p2 * x;
}

}  // namespace calibration
}  // namespace dravik

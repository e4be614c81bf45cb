// The rational lens mapping with its derivatives, written out by hand so that
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
// In the coefficients, with j = 1, 2, 3:
//   dxd/dk_j = x r2^j / M,   dxd/dk_(3+j) = -x R r2^j / M   (k3 is the j = 3 of N),
//   dxd/dp1 = 2 x y,   dxd/dp2 = r2 + 2 x^2,   dyd/dp1 = r2 + 2 y^2,   dyd/dp2 = 2 x y,
// and y for x in the radial ones.
#pragma once

namespace dravik {
namespace calibration {

// The radial factor R = N / M at r2 and its slope R' = dR/dr2, with M and
// 1 / M.
template <typename T>
struct RadialFactor {
  T radial, radial_slope, denominator, inverse_denominator;
};

template <typename T, typename C>
inline RadialFactor<T> radialFactor(const C* d, const T& r2) {
  const T k1 = T(d[0]), k2 = T(d[1]), k3 = T(d[4]);
  const T k4 = T(d[5]), k5 = T(d[6]), k6 = T(d[7]);
  const T numerator = T(1) + r2 * (k1 + r2 * (k2 + r2 * k3));
  const T denominator = T(1) + r2 * (k4 + r2 * (k5 + r2 * k6));
  const T numerator_slope = k1 + r2 * (T(2) * k2 + r2 * (T(3) * k3));
  const T denominator_slope = k4 + r2 * (T(2) * k5 + r2 * (T(3) * k6));
  const T inverse_denominator = T(1) / denominator;
  const T radial = numerator * inverse_denominator;
  const T radial_slope = (numerator_slope - radial * denominator_slope) * inverse_denominator;
  return {radial, radial_slope, denominator, inverse_denominator};
}

// The distorted point D(x, y) = (xd, yd) and the Jacobian of D, written as
// its three distinct entries: jacobian_xx = dxd/dx, jacobian_xy = dxd/dy =
// dyd/dx, jacobian_yy = dyd/dy. `d` points to the eight coefficients.
// `factor`, when given, receives the radial factor.
template <typename T, typename C>
inline void distortNormalizedWithJacobian(const C* d, T x, T y, T* xd, T* yd, T* jacobian_xx,
                                          T* jacobian_xy, T* jacobian_yy,
                                          RadialFactor<T>* factor = nullptr) {
  const T p1 = T(d[2]), p2 = T(d[3]);
  const T xx = x * x, yy = y * y, xy = x * y;
  const T r2 = xx + yy;
  const RadialFactor<T> f = radialFactor(d, r2);
  const T radial = f.radial;
  *xd = x * radial + T(2) * p1 * xy + p2 * (r2 + T(2) * xx);
  *yd = y * radial + p1 * (r2 + T(2) * yy) + T(2) * p2 * xy;
  const T twice_slope = T(2) * f.radial_slope;
  *jacobian_xx = radial + twice_slope * xx + T(2) * p1 * y + T(6) * p2 * x;
  *jacobian_xy = twice_slope * xy + T(2) * (p1 * x + p2 * y);
  *jacobian_yy = radial + twice_slope * yy + T(6) * p1 * y + T(2) * p2 * x;
  if (factor != nullptr) *factor = f;
}

// The derivatives of (xd, yd) in the eight coefficients k1, k2, p1, p2, k3,
// k4, k5, k6 at (x, y), from the radial factor there.
template <typename T>
inline void distortionCoefficientJacobian(T x, T y, const RadialFactor<T>& f, T (&dxd)[8],
                                          T (&dyd)[8]) {
  const T r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
  const T rho[6] = {r2, r4, r6, -f.radial * r2, -f.radial * r4, -f.radial * r6};
  const int radial_columns[6] = {0, 1, 4, 5, 6, 7};
  const T gx = x * f.inverse_denominator, gy = y * f.inverse_denominator;
  for (int j = 0; j < 6; ++j) {
    dxd[radial_columns[j]] = gx * rho[j];
    dyd[radial_columns[j]] = gy * rho[j];
  }
  dxd[2] = T(2) * x * y;
  dxd[3] = r2 + T(2) * x * x;
  dyd[2] = r2 + T(2) * y * y;
  dyd[3] = T(2) * x * y;
}

// The radial mapping r -> r_d = r R(r^2) at radius r: the denominator M, r_d
// and its slope dr_d/dr = R + 2 r^2 R', on any scalar of the coefficients
// (double, or an automatic-differentiation scalar over them).
template <typename T>
struct RadialProfile {
  T denominator, distorted, slope;
};

template <typename T, typename C>
inline RadialProfile<T> radialProfile(const C* d, double r) {
  const T r2 = T(r * r);
  const RadialFactor<T> f = radialFactor(d, r2);
  return {f.denominator, f.radial * r, f.radial + T(2) * r2 * f.radial_slope};
}

}  // namespace calibration
}  // namespace dravik

// The rational lens model, in one place: its formula, its coefficient
// layout, every form it is evaluated in, the pinhole step around it, the
// image's extent and centre, and the conversion to and from a calibration
// message. Every other header of the model points here.
//
// The model. For a point (X, Y, Z) of the camera frame (Z along the optical
// axis, x right, y down), x = X / Z, y = Y / Z, r2 = x^2 + y^2:
//   N = 1 + k1 r2 + k2 r2^2 + k3 r2^3,   M = 1 + k4 r2 + k5 r2^2 + k6 r2^3,
//   R = N / M                                      (the radial factor)
//   xd = x R + 2 p1 x y + p2 (r2 + 2 x^2)
//   yd = y R + p1 (r2 + 2 y^2) + 2 p2 x y
//   u = fx xd + skew yd + cx,   v = fy yd + cy      (the pinhole step, K)
// with K = [[fx, skew, cx], [0, fy, cy], [0, 0, 1]]. The eight coefficients
// travel together in the order k1, k2, p1, p2, k3, k4, k5, k6
// (LensCoefficient). Slopes are taken in r2: N' = k1 + 2 k2 r2 + 3 k3 r2^2,
// M' = k4 + 2 k5 r2 + 3 k6 r2^2, R' = (N' - R M') / M.
//
// The forms, each on any scalar type that must pass through it (float,
// double, AutoDiff1), each with its own order of operations. The orders are
// not interchangeable: each keeps the bits its callers were checked against.
// - distortNormalized: the plain mapping, in OpenCV projectPoints' order
//   (powers r2, r4, r6, one division): double results agree with it to the
//   last bit. Every projection and the fits' residuals.
// - radialPolynomials: N, M, N', M', each as (a + b s) + s^2 (c + d s), two
//   halves side by side, no division: the Newton inversion (rectify.cpp),
//   whose chain of dependent operations it shortens.
// - radialFactor: R, R', M, 1 / M by Horner's rule, one division: the
//   hand-written Jacobians (distortNormalizedWithJacobian), the fit's rows.
// - radialProfile: the radial mapping r -> r R, its slope and M at a radius
//   (from radialFactor): the fit's soundness penalties.
// - tangentialDisplacement: the tangential terms alone, in double: the
//   inverse's starts.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cmath>

namespace dravik {

// The eight coefficients in storage order.
enum LensCoefficient : int { kK1 = 0, kK2, kP1, kP2, kK3, kK4, kK5, kK6, kLensCoefficientCount };

// The radial coefficients, numerator then denominator: k1 k2 k3 k4 k5 k6.
inline constexpr std::array<int, 6> kRadialCoefficients = {kK1, kK2, kK3, kK4, kK5, kK6};
// The tangential coefficients: p1 p2.
inline constexpr std::array<int, 2> kTangentialCoefficients = {kP1, kP2};
// Every coefficient of the plumb-bob lens: k1 k2 p1 p2 k3.
inline constexpr std::array<int, 5> kPlumbBobCoefficients = {kK1, kK2, kP1, kP2, kK3};
// The simplest rational lens: k1 p1 p2 k4.
inline constexpr std::array<int, 4> kSimplestRationalCoefficients = {kK1, kP1, kP2, kK4};
// The simplest plumb-bob lens: k1 p1 p2.
inline constexpr std::array<int, 3> kSimplestPlumbBobCoefficients = {kK1, kP1, kP2};

// The eight coefficients of one lens, in storage order.
using LensCoefficients = std::array<float, kLensCoefficientCount>;

// The plain mapping from normalized camera coordinates (x, y) to distorted
// normalized coordinates. `d` points to the eight coefficients.
template <typename T, typename C>
inline void distortNormalized(const C* d, const T& x, const T& y, T* xd, T* yd) {
  const T r2 = x * x + y * y;
  const T r4 = r2 * r2;
  const T r6 = r4 * r2;
  const T a1 = T(2.0) * x * y;
  const T a2 = r2 + T(2.0) * x * x;
  const T a3 = r2 + T(2.0) * y * y;
  const T numerator = T(1.0) + T(d[kK1]) * r2 + T(d[kK2]) * r4 + T(d[kK3]) * r6;
  const T inverse_denominator =
      T(1.0) / (T(1.0) + T(d[kK4]) * r2 + T(d[kK5]) * r4 + T(d[kK6]) * r6);
  *xd = x * numerator * inverse_denominator + T(d[kP1]) * a1 + T(d[kP2]) * a2;
  *yd = y * numerator * inverse_denominator + T(d[kP1]) * a3 + T(d[kP2]) * a1;
}

// The radial quantities at s = r2. radialPolynomials fills the first four;
// radialFactor fills all of them.
template <typename T>
struct RadialTerms {
  T numerator{}, denominator{};              // N, M
  T numerator_slope{}, denominator_slope{};  // N', M'
  T radial{}, radial_slope{};                // R = N / M, R'
  T inverse_denominator{};                   // 1 / M
};

// N, M, N', M' at s, each summed as (a + b s) + s^2 (c + d s).
template <typename T, typename C>
inline RadialTerms<T> radialPolynomials(const C* d, const T& s) {
  const T s2 = s * s;
  RadialTerms<T> p;
  p.numerator = (T(1.0) + T(d[kK1]) * s) + s2 * (T(d[kK2]) + T(d[kK3]) * s);
  p.denominator = (T(1.0) + T(d[kK4]) * s) + s2 * (T(d[kK5]) + T(d[kK6]) * s);
  p.numerator_slope = (T(d[kK1]) + T(2.0) * T(d[kK2]) * s) + s2 * (T(3.0) * T(d[kK3]));
  p.denominator_slope = (T(d[kK4]) + T(2.0) * T(d[kK5]) * s) + s2 * (T(3.0) * T(d[kK6]));
  return p;
}

// Every radial quantity at r2, the polynomials by Horner's rule.
template <typename T, typename C>
inline RadialTerms<T> radialFactor(const C* d, const T& r2) {
  const T k1 = T(d[kK1]), k2 = T(d[kK2]), k3 = T(d[kK3]);
  const T k4 = T(d[kK4]), k5 = T(d[kK5]), k6 = T(d[kK6]);
  RadialTerms<T> f;
  f.numerator = T(1) + r2 * (k1 + r2 * (k2 + r2 * k3));
  f.denominator = T(1) + r2 * (k4 + r2 * (k5 + r2 * k6));
  f.numerator_slope = k1 + r2 * (T(2) * k2 + r2 * (T(3) * k3));
  f.denominator_slope = k4 + r2 * (T(2) * k5 + r2 * (T(3) * k6));
  f.inverse_denominator = T(1) / f.denominator;
  f.radial = f.numerator * f.inverse_denominator;
  f.radial_slope = (f.numerator_slope - f.radial * f.denominator_slope) * f.inverse_denominator;
  return f;
}

// The radial mapping r -> r_d = r R(r^2) at radius r (not r2): M, r_d and
// its slope dr_d/dr = R + 2 r^2 R', on any scalar of the coefficients.
template <typename T>
struct RadialProfile {
  T denominator, distorted, slope;
};

template <typename T, typename C>
inline RadialProfile<T> radialProfile(const C* d, double r) {
  const T r2 = T(r * r);
  const RadialTerms<T> f = radialFactor(d, r2);
  return {f.denominator, f.radial * r, f.radial + T(2) * r2 * f.radial_slope};
}

// The tangential displacement at (x, y): the p1, p2 terms of (xd, yd).
inline void tangentialDisplacement(const double* d, double x, double y, double* dx, double* dy) {
  const double xy = x * y, r2 = x * x + y * y;
  *dx = 2.0 * d[kP1] * xy + d[kP2] * (r2 + 2.0 * x * x);
  *dy = d[kP1] * (r2 + 2.0 * y * y) + 2.0 * d[kP2] * xy;
}

// The distorted point (xd, yd) and its Jacobian in (x, y), symmetric, as its
// three distinct entries: jacobian_xx = dxd/dx, jacobian_xy = dxd/dy =
// dyd/dx, jacobian_yy = dyd/dy. As d(r2)/dx = 2 x:
//   dxd/dx = R + 2 x^2 R' + 2 p1 y + 6 p2 x
//   dxd/dy = 2 x y R' + 2 p1 x + 2 p2 y
//   dyd/dy = R + 2 y^2 R' + 6 p1 y + 2 p2 x
// `factor`, when given, receives the radial terms (for the coefficients'
// Jacobian).
template <typename T, typename C>
inline void distortNormalizedWithJacobian(const C* d, T x, T y, T* xd, T* yd, T* jacobian_xx,
                                          T* jacobian_xy, T* jacobian_yy,
                                          RadialTerms<T>* factor = nullptr) {
  const T p1 = T(d[kP1]), p2 = T(d[kP2]);
  const T xx = x * x, yy = y * y, xy = x * y;
  const T r2 = xx + yy;
  const RadialTerms<T> f = radialFactor(d, r2);
  const T radial = f.radial;
  *xd = x * radial + T(2) * p1 * xy + p2 * (r2 + T(2) * xx);
  *yd = y * radial + p1 * (r2 + T(2) * yy) + T(2) * p2 * xy;
  const T twice_slope = T(2) * f.radial_slope;
  *jacobian_xx = radial + twice_slope * xx + T(2) * p1 * y + T(6) * p2 * x;
  *jacobian_xy = twice_slope * xy + T(2) * (p1 * x + p2 * y);
  *jacobian_yy = radial + twice_slope * yy + T(6) * p1 * y + T(2) * p2 * x;
  if (factor != nullptr) *factor = f;
}

// The derivatives of (xd, yd) in the eight coefficients at (x, y), from the
// radial terms there: with j = 1, 2, 3,
//   dxd/dk_j = x r2^j / M,   dxd/dk_(3+j) = -x R r2^j / M,
//   dxd/dp1 = 2 x y,   dxd/dp2 = r2 + 2 x^2,   dyd/dp1 = r2 + 2 y^2,   dyd/dp2 = 2 x y,
// and y for x in the radial ones.
template <typename T>
inline void distortionCoefficientJacobian(T x, T y, const RadialTerms<T>& f, T (&dxd)[8],
                                          T (&dyd)[8]) {
  const T r2 = x * x + y * y, r4 = r2 * r2, r6 = r4 * r2;
  // In the order of kRadialCoefficients.
  const T rho[6] = {r2, r4, r6, -f.radial * r2, -f.radial * r4, -f.radial * r6};
  const T gx = x * f.inverse_denominator, gy = y * f.inverse_denominator;
  for (int j = 0; j < 6; ++j) {
    dxd[kRadialCoefficients[j]] = gx * rho[j];
    dyd[kRadialCoefficients[j]] = gy * rho[j];
  }
  dxd[kP1] = T(2) * x * y;
  dxd[kP2] = r2 + T(2) * x * x;
  dyd[kP1] = r2 + T(2) * y * y;
  dyd[kP2] = T(2) * x * y;
}

// The pinhole step: the pixel (u, v) of the distorted normalized point
// (xd, yd) through K. The form without skew is the same step at skew 0,
// without the term (which would turn an infinite yd into a NaN u).
template <typename T, typename S>
inline void pixelOfDistorted(const S& fx, const S& skew, const S& cx, const S& fy, const S& cy,
                             const T& xd, const T& yd, T* u, T* v) {
  *u = xd * fx + yd * skew + cx;
  *v = yd * fy + cy;
}
template <typename T, typename S>
inline void pixelOfDistorted(const S& fx, const S& cx, const S& fy, const S& cy, const T& xd,
                             const T& yd, T* u, T* v) {
  *u = xd * fx + cx;
  *v = yd * fy + cy;
}

// Its inverse, K^-1: the distorted normalized point of the pixel (u, v),
//   yd = (v - cy) / fy,  xd = (u - cx - skew yd) / fx.
inline void distortedOfPixel(double fx, double skew, double cx, double fy, double cy, double u,
                             double v, double* xd, double* yd) {
  *yd = (v - cy) / fy;
  *xd = (u - cx - skew * *yd) / fx;
}

// The image of width x height pixels. Pixel centres sit at integer
// coordinates, so that the centres span [0, width - 1] x [0, height - 1] and
// the image's centre is ((width - 1) / 2, (height - 1) / 2).
inline Eigen::Vector2d imageCentre(int width, int height) {
  return Eigen::Vector2d(0.5 * (width - 1), 0.5 * (height - 1));
}

// The normalized distorted radius of the image corner farthest from the
// principal point (K^-1 of the corner), of the corners (0, 0), (width, 0),
// (0, height) and (width, height): the reach the soundness rule asks a lens
// to cover, half a pixel beyond the outermost pixels' edges. A corner
// without a radius (K not finite, or fx or fy zero) gives a NaN.
inline double farthestCornerRadius(double fx, double skew, double cx, double fy, double cy,
                                   int width, int height) {
  double squared = 0.0;
  for (const double u : {0.0, double(width)}) {
    for (const double v : {0.0, double(height)}) {
      double xd, yd;
      distortedOfPixel(fx, skew, cx, fy, cy, u, v, &xd, &yd);
      const double corner = xd * xd + yd * yd;
      // std::max would drop a NaN.
      squared = std::isnan(corner) || corner > squared ? corner : squared;
    }
  }
  return std::sqrt(squared);
}

// The eight coefficients of a calibration message's intrinsics, whose
// repeated `k` holds k1 k2 k3 k4 k5 k6 and `p` holds p1 p2 (at least six
// and two of them: the caller checks).
template <typename Intrinsics>
inline LensCoefficients lensCoefficientsOf(const Intrinsics& message) {
  LensCoefficients d{};
  for (int j = 0; j < 6; ++j) d[kRadialCoefficients[j]] = float(message.k(j));
  for (int j = 0; j < 2; ++j) d[kTangentialCoefficients[j]] = float(message.p(j));
  return d;
}

// The message's `k` and `p` replaced by the eight coefficients d[0..7].
template <typename Coefficients, typename Intrinsics>
inline void setLensCoefficients(const Coefficients& d, Intrinsics* message) {
  message->clear_k();
  for (const int i : kRadialCoefficients) message->add_k(d[i]);
  message->clear_p();
  for (const int i : kTangentialCoefficients) message->add_p(d[i]);
}

}  // namespace dravik

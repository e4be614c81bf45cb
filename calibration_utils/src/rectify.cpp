#include "calibration_utils/rectify.h"

#include <algorithm>
#include <cmath>

namespace dravik {
namespace calibration {

namespace {

// Pixels rectified per block of the batch form; the block's results live on
// the stack.
constexpr int kBatchBlock = 64;
// Newton updates of the batch form's fixed path: enough for ordinary lenses
// from the series start.
constexpr int kBatchUpdates = 3;
// Halvings of a step that does not lower the residual.
constexpr int kMaxStepHalvings = 30;
constexpr double kSquaredTolerance = kRectifyResidualTolerance * kRectifyResidualTolerance;

// The lens in double precision with the intrinsics.
struct Lens {
  const RationalLens& rational;
  const double* d;  // k1, k2, p1, p2, k3, k4, k5, k6
  double cx, cy, fx, fy;

  Lens(const RationalLens& lens, const float* principal_point, const float* focal_length)
      : rational(lens),
        d(lens.d),
        cx(principal_point[0]),
        cy(principal_point[1]),
        fx(focal_length[0]),
        fy(focal_length[1]) {}
};

// True for a finite value; written without a call so that loops using it
// still vectorise (x - x is NaN for infinities and NaN).
inline bool isFinite(double v) { return v - v == 0.0; }

// The residual e = D(x, y) - t and the Jacobian J of the lens mapping D at
// (x, y), for the target t (calibration_utils/lens_jacobian.h), held scaled
// by the radial denominator M: E = M e and G = M^2 J. With R = N / M,
//   M^2 R = N M,   M^2 R' = N' M - N M',
// G needs no division, and the Newton step J^-1 e = M G^-1 E takes a single
// one, 1 / det G: in the iteration, a chain of dependent operations, this
// saves a division per update. The scale is positive (M^2), so that G keeps
// the orientation of J. G is symmetric: g01 is also its lower entry.
struct Linearization {
  double ex, ey;            // E = M e
  double g00, g01, g11;     // G = M^2 J
  double m;                 // M
  double squared_residual;  // |e|^2 = |E|^2 / M^2

  double squaredResidual() const { return squared_residual; }
  double determinant() const { return g00 * g11 - g01 * g01; }
  // Positive where both eigenvalues of J have a positive real part: the lens
  // maps the neighbourhood one to one and without mirroring it. This is the
  // image-forming part of the lens, about the optical axis, up to its fold;
  // beyond the fold the mapping turns back (a root there is no viewing
  // direction of the pixel).
  double imagingMargin() const { return std::min(determinant(), g00 + g11); }
  bool isImaging() const { return imagingMargin() > 0.0 && isFinite(squaredResidual()); }
};

// The radial polynomials of the lens at s = r^2 and their slopes d/ds:
//   N = 1 + k1 s + k2 s^2 + k3 s^3,   N' = k1 + 2 k2 s + 3 k3 s^2,
//   M = 1 + k4 s + k5 s^2 + k6 s^3,   M' = k4 + 2 k5 s + 3 k6 s^2,
// each summed as (a + b s) + s^2 (c + d s), whose two halves run side by
// side: a shorter chain of dependent operations than Horner's rule.
struct RadialPolynomials {
  double numerator, denominator, numerator_slope, denominator_slope;
};

inline RadialPolynomials radialPolynomials(const double* d, double s) {
  const double s2 = s * s;
  RadialPolynomials p;
  p.numerator = (1.0 + d[0] * s) + s2 * (d[1] + d[4] * s);
  p.denominator = (1.0 + d[5] * s) + s2 * (d[6] + d[7] * s);
  p.numerator_slope = (d[0] + 2.0 * d[1] * s) + s2 * (3.0 * d[4]);
  p.denominator_slope = (d[5] + 2.0 * d[6] * s) + s2 * (3.0 * d[7]);
  return p;
}

inline Linearization linearize(const Lens& lens, double x, double y, double tx, double ty) {
  const double* d = lens.d;
  const double p1 = d[2], p2 = d[3];
  const double xx = x * x, yy = y * y, xy = x * y;
  const double r2 = xx + yy;
  const RadialPolynomials p = radialPolynomials(d, r2);
  const double m2 = p.denominator * p.denominator;
  const double scaled_radial = p.numerator * p.denominator;
  const double scaled_twice_slope =
      2.0 * (p.numerator_slope * p.denominator - p.numerator * p.denominator_slope);
  Linearization l;
  l.m = p.denominator;
  l.ex = x * p.numerator + p.denominator * (2.0 * p1 * xy + p2 * (r2 + 2.0 * xx) - tx);
  l.ey = y * p.numerator + p.denominator * (p1 * (r2 + 2.0 * yy) + 2.0 * p2 * xy - ty);
  l.g00 = scaled_radial + scaled_twice_slope * xx + m2 * (2.0 * p1 * y + 6.0 * p2 * x);
  l.g01 = scaled_twice_slope * xy + m2 * (2.0 * (p1 * x + p2 * y));
  l.g11 = scaled_radial + scaled_twice_slope * yy + m2 * (6.0 * p1 * y + 2.0 * p2 * x);
  // Off the chain of the iteration: only the tests of progress read it.
  l.squared_residual = (l.ex * l.ex + l.ey * l.ey) / m2;
  return l;
}

// The Newton step s solving J s = e, by Cramer's rule on G s = M E.
inline void newtonStep(const Linearization& l, double* sx, double* sy) {
  const double scale = l.m / l.determinant();
  *sx = (l.g11 * l.ex - l.g01 * l.ey) * scale;
  *sy = (l.g00 * l.ey - l.g01 * l.ex) * scale;
}

// The start of the iteration: one Newton step from the distorted point
// itself, (x, y)_0 = t - J(t)^-1 (D(t) - t). Near the optical axis D is close
// to the identity, so t is a fair first guess; the step corrects it by the
// lens's local magnification, which saves about half an update on average
// over the plain fixed-point step t - (D(t) - t).
inline void newtonStart(const Lens& lens, double tx, double ty, double* x, double* y) {
  double sx, sy;
  newtonStep(linearize(lens, tx, ty, tx, ty), &sx, &sy);
  *x = tx - sx;
  *y = ty - sy;
}

// The tangential displacement of the lens mapping at (x, y):
//   (2 p1 x y + p2 (r2 + 2 x^2), p1 (r2 + 2 y^2) + 2 p2 x y).
inline void tangentialDisplacement(const double* d, double x, double y, double* dx, double* dy) {
  const double xy = x * y, r2 = x * x + y * y;
  *dx = 2.0 * d[2] * xy + d[3] * (r2 + 2.0 * x * x);
  *dy = d[2] * (r2 + 2.0 * y * y) + 2.0 * d[3] * xy;
}

// The series start. The lens maps (x, y) to t = (x, y) R + T(x, y): the
// radial factor R keeps the direction, the tangential displacement T is
// small. Taking T off the target leaves the radial part u = (x, y) R, which
// the series reversion of R inverts: (x, y) = u Q(|u|^2) (RationalLens). A
// first estimate takes T at t and Q at |t|^2, side by side; the start takes
// T at that estimate and Q at the |u|^2 it leaves. No division: the start
// adds little to the chain of dependent operations. Its error, mostly the
// truncation of the series, grows towards the image corners, where an
// update or two more than at the centre remain; a step of Newton's method
// on the radial equation alone would cut it there, but costs a division on
// every pixel, more than it saves on an ordinary lens. False where the
// series is out of its depth: Q not positive, or its terms beyond the first
// correction b1 w outweighing it (far out on a strong lens, where the
// truncated series can point past a fold).
inline bool seriesStart(const Lens& lens, double tx, double ty, double* x, double* y) {
  double dx, dy;
  tangentialDisplacement(lens.d, tx, ty, &dx, &dy);
  double q = lens.rational.inverseRadialFactor(tx * tx + ty * ty);
  tangentialDisplacement(lens.d, (tx - dx) * q, (ty - dy) * q, &dx, &dy);
  const double ux = tx - dx, uy = ty - dy;
  const double w = ux * ux + uy * uy;
  q = lens.rational.inverseRadialFactor(w);
  *x = ux * q;
  *y = uy * q;
  const double first_order = lens.rational.inverse_series[0] * w;
  // Both tests taken, without a branch: the batch's loop stays vectorised.
  return (q > 0.0) & (std::abs(q - 1.0 - first_order) <= std::abs(first_order));
}

// The former start, in the image-forming part of the lens, with the
// linearization there: one Newton step from t, else t, else the optical
// axis, where J = I. False when the lens is not finite even on its axis.
bool findFormerStart(const Lens& lens, double tx, double ty, double* x, double* y,
                     Linearization* l) {
  double starts[3][2] = {{0, 0}, {tx, ty}, {0, 0}};
  newtonStart(lens, tx, ty, &starts[0][0], &starts[0][1]);
  for (const auto& start : starts) {
    *l = linearize(lens, start[0], start[1], tx, ty);
    if (l->isImaging()) {
      *x = start[0];
      *y = start[1];
      return true;
    }
  }
  return false;
}

// Newton steps from (x, y), where the linearization is l, each halved until
// it lowers the residual without leaving the image-forming part of the lens.
RectifiedPoint iterate(const Lens& lens, double tx, double ty, double x, double y,
                       Linearization l) {
  RectifiedPoint result;
  double residual = l.squaredResidual();
  while (result.iterations < kRectifyMaxIterations) {
    double sx, sy;
    newtonStep(l, &sx, &sy);
    if (!isFinite(sx) || !isFinite(sy)) break;
    if (residual <= kSquaredTolerance) {
      // Quadratic convergence: from a residual this small, one more step
      // reaches the floor of double precision.
      x -= sx;
      y -= sy;
      ++result.iterations;
      result.converged = true;
      break;
    }
    bool improved = false;
    for (int halving = 0; halving <= kMaxStepHalvings && !improved; ++halving) {
      const Linearization candidate = linearize(lens, x - sx, y - sy, tx, ty);
      if (candidate.isImaging() && candidate.squaredResidual() < residual) {
        x -= sx;
        y -= sy;
        l = candidate;
        residual = candidate.squaredResidual();
        improved = true;
      } else {
        sx *= 0.5;
        sy *= 0.5;
      }
    }
    // No step helps: the pixel lies beyond what the lens images (or the
    // iteration stalls); (x, y) is the closest point found.
    if (!improved) break;
    ++result.iterations;
  }
  result.point = Eigen::Vector2d(x, y);
  return result;
}

// The careful path: Newton steps (iterate) from the series start where it
// lies in the image-forming part of the lens. Where that start is refused or
// does not converge (a lens that folds and unfolds again can take it into an
// outer region), the iteration runs again from the former start, and its
// report stands. `flatten` inlines the lens model (the iteration is a chain
// of dependent operations; a call adds to each link).
__attribute__((flatten)) RectifiedPoint rectify(const Lens& lens, double tx, double ty) {
  double x, y;
  Linearization l;
  if (seriesStart(lens, tx, ty, &x, &y)) {
    l = linearize(lens, x, y, tx, ty);
    if (l.isImaging()) {
      const RectifiedPoint result = iterate(lens, tx, ty, x, y, l);
      if (result.converged) return result;
    }
  }
  if (findFormerStart(lens, tx, ty, &x, &y, &l)) return iterate(lens, tx, ty, x, y, l);
  // The lens is not finite even on its axis: the plain normalization is the
  // best estimate there is.
  RectifiedPoint result;
  result.point = Eigen::Vector2d(tx, ty);
  return result;
}

RectifiedPoint rectify(const Lens& lens, const Eigen::Vector2f& pixel) {
  const double tx = (double(pixel.x()) - lens.cx) / lens.fx;
  const double ty = (double(pixel.y()) - lens.cy) / lens.fy;
  if (isFinite(tx) && isFinite(ty)) return rectify(lens, tx, ty);
  // A non-finite pixel stays non-finite; a finite pixel with degenerate
  // intrinsics has no direction to speak of: the optical axis.
  RectifiedPoint result;
  const bool finite_pixel = std::isfinite(pixel.x()) && std::isfinite(pixel.y());
  result.point = finite_pixel ? Eigen::Vector2d::Zero() : Eigen::Vector2d(tx, ty);
  return result;
}

// The fixed path of the batch form: kBatchUpdates plain Newton updates per
// pixel from the series start, without branches, so that the loop over
// pixels vectorises. Leaves, per pixel, the squared residual and the imaging
// margin (see Linearization) before the last update, from which the caller
// decides convergence.
// `flatten` inlines the lens model into the loop (a call would stop it).
__attribute__((flatten)) void rectifyBlock(const Lens& lens, const float* u, const float* v,
                                           int size, float* x, float* y, double* squared_residual,
                                           double* imaging_margin) {
  for (int i = 0; i < size; ++i) {
    const double tx = (double(u[i]) - lens.cx) / lens.fx;
    const double ty = (double(v[i]) - lens.cy) / lens.fy;
    double px, py;
    // Where the series is out of its depth, the margin left says so and the
    // careful path takes the pixel.
    const bool series_holds = seriesStart(lens, tx, ty, &px, &py);
    double residual = 0.0, margin = 0.0;
#pragma GCC unroll 8
    for (int k = 0; k < kBatchUpdates; ++k) {
      const Linearization l = linearize(lens, px, py, tx, ty);
      double sx, sy;
      newtonStep(l, &sx, &sy);
      px -= sx;
      py -= sy;
      residual = l.squaredResidual();
      margin = l.imagingMargin();
    }
    x[i] = float(px);
    y[i] = float(py);
    squared_residual[i] = residual;
    imaging_margin[i] = series_holds ? margin : -1.0;
  }
}

}  // namespace

RectifiedPoint rectifyPointWithStatus(const RationalLens& lens, const float* principal_point,
                                      const float* focal_length, const Eigen::Vector2f& pixel) {
  return rectify(Lens(lens, principal_point, focal_length), pixel);
}

Eigen::Vector2f rectifyPoint(const RationalLens& lens, const float* principal_point,
                             const float* focal_length, const Eigen::Vector2f& pixel) {
  return rectify(Lens(lens, principal_point, focal_length), pixel).point.cast<float>();
}

RectifiedPoint rectifyPointWithStatus(const float* distortion, const float* principal_point,
                                      const float* focal_length, const Eigen::Vector2f& pixel) {
  const RationalLens lens(distortion);
  return rectify(Lens(lens, principal_point, focal_length), pixel);
}

Eigen::Vector2f rectifyPoint(const float* distortion, const float* principal_point,
                             const float* focal_length, const Eigen::Vector2f& pixel) {
  const RationalLens lens(distortion);
  return rectify(Lens(lens, principal_point, focal_length), pixel).point.cast<float>();
}

int rectifyPoints(const float* distortion, const float* principal_point, const float* focal_length,
                  const float* u, const float* v, int count, float* x, float* y) {
  const RationalLens rational(distortion);
  const Lens lens(rational, principal_point, focal_length);
  int not_converged = 0;
  for (int begin = 0; begin < count; begin += kBatchBlock) {
    const int size = std::min(kBatchBlock, count - begin);
    float block_x[kBatchBlock], block_y[kBatchBlock];
    double squared_residual[kBatchBlock], imaging_margin[kBatchBlock];
    rectifyBlock(lens, u + begin, v + begin, size, block_x, block_y, squared_residual,
                 imaging_margin);

    // Pixels that the fixed path left away from the floor, or took beyond
    // the lens's fold, take the careful path one by one. Each pixel is read
    // before its output is written, so that outputs may overwrite inputs.
    for (int i = 0; i < size; ++i) {
      const bool converged = squared_residual[i] <= kSquaredTolerance && imaging_margin[i] > 0.0 &&
                             std::isfinite(block_x[i]) && std::isfinite(block_y[i]);
      if (!converged) {
        const RectifiedPoint p = rectify(lens, Eigen::Vector2f(u[begin + i], v[begin + i]));
        not_converged += p.converged ? 0 : 1;
        block_x[i] = float(p.point.x());
        block_y[i] = float(p.point.y());
      }
      x[begin + i] = block_x[i];
      y[begin + i] = block_y[i];
    }
  }
  return not_converged;
}

}  // namespace calibration
}  // namespace dravik

#include "calibration_utils/rectify.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "lens_inverse.h"
#include "wide_vectors.h"

namespace dravik {
namespace calibration {

namespace {

// Newton updates of the batch form's fixed path: enough for ordinary lenses
// from the series start.
constexpr int kBatchUpdates = 3;
// Halvings of a step that does not lower the residual.
constexpr int kMaxStepHalvings = 30;

// True for a finite value; written without a call so that loops using it
// still vectorise (x - x is NaN for infinities and NaN).
inline bool isFinite(double v) { return v - v == 0.0; }

// The residual e = D(x, y) - t and the Jacobian J of the lens mapping D at
// (x, y), for the target t (dravik/rational_lens.h), held scaled
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
  double det;               // det G, for the step and the imaging test alike

  double squaredResidual() const { return squared_residual; }
  double determinant() const { return det; }
  // Positive where both eigenvalues of J have a positive real part: the lens
  // maps the neighbourhood one to one and without mirroring it. This is the
  // image-forming part of the lens, about the optical axis, up to its fold;
  // beyond the fold the mapping turns back (a root there is no viewing
  // direction of the pixel).
  double imagingMargin() const { return std::min(determinant(), g00 + g11); }
  bool isImaging() const { return imagingMargin() > 0.0 && isFinite(squaredResidual()); }
};

inline Linearization linearize(const LensInverse& lens, double x, double y, double tx, double ty) {
  const double* d = lens.lens.d;
  const double p1 = d[kP1], p2 = d[kP2];
  const double xx = x * x, yy = y * y, xy = x * y;
  const double r2 = xx + yy;
  const RadialTerms<double> p = radialPolynomials(d, r2);
  const double m2 = p.denominator * p.denominator;
  const double scaled_radial = p.numerator * p.denominator;
  // M^2 R' / 2 = (N' M - N M') / 2; the factor 2 of R' goes on x^2, x y and
  // y^2, off the chain (a product by 2 is exact: the same bits wherever it
  // goes).
  const double scaled_slope = p.numerator_slope * p.denominator - p.numerator * p.denominator_slope;
  const double xx2 = 2.0 * xx, yy2 = 2.0 * yy, xy2 = 2.0 * xy;
  Linearization l;
  l.m = p.denominator;
  l.ex = x * p.numerator + p.denominator * (2.0 * p1 * xy + p2 * (r2 + xx2) - tx);
  l.ey = y * p.numerator + p.denominator * (p1 * (r2 + yy2) + 2.0 * p2 * xy - ty);
  l.g00 = scaled_radial + scaled_slope * xx2 + m2 * (2.0 * p1 * y + 6.0 * p2 * x);
  l.g01 = scaled_slope * xy2 + m2 * (2.0 * (p1 * x + p2 * y));
  l.g11 = scaled_radial + scaled_slope * yy2 + m2 * (6.0 * p1 * y + 2.0 * p2 * x);
  l.det = l.g00 * l.g11 - l.g01 * l.g01;
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
inline void newtonStart(const LensInverse& lens, double tx, double ty, double* x, double* y) {
  double sx, sy;
  newtonStep(linearize(lens, tx, ty, tx, ty), &sx, &sy);
  *x = tx - sx;
  *y = ty - sy;
}

// The series start. The lens maps (x, y) to t = (x, y) R + T(x, y): the
// radial factor R keeps the direction, the tangential displacement T is
// small. Taking T off the target leaves the radial part u = (x, y) R, which
// the series reversion of R inverts: (x, y) = u Q(|u|^2) (LensInverse). A
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
inline bool seriesStart(const LensInverse& lens, double tx, double ty, double* x, double* y) {
  double dx, dy;
  tangentialDisplacement(lens.lens.d, tx, ty, &dx, &dy);
  double q = lens.inverseRadialFactor(tx * tx + ty * ty);
  tangentialDisplacement(lens.lens.d, (tx - dx) * q, (ty - dy) * q, &dx, &dy);
  const double ux = tx - dx, uy = ty - dy;
  const double w = ux * ux + uy * uy;
  q = lens.inverseRadialFactor(w);
  *x = ux * q;
  *y = uy * q;
  const double first_order = lens.inverse_series[0] * w;
  // Both tests taken, without a branch: the batch's loop stays vectorised.
  return (q > 0.0) & (std::abs(q - 1.0 - first_order) <= std::abs(first_order));
}

// The fallback start, for a pixel whose series start is refused or does
// not converge: the first point of the image-forming part of the lens among
// one Newton step from t, t itself and the optical axis (where J = I), with
// the linearization there. False when the lens is not finite even on its
// axis.
bool findFallbackStart(const LensInverse& lens, double tx, double ty, double* x, double* y,
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
RectifiedPoint iterate(const LensInverse& lens, double tx, double ty, double x, double y,
                       Linearization l) {
  RectifiedPoint result;
  double residual = l.squaredResidual();
  while (result.iterations < kRectifyMaxIterations) {
    double sx, sy;
    newtonStep(l, &sx, &sy);
    if (!isFinite(sx) || !isFinite(sy)) break;
    if (residual <= kSquaredResidualTolerance) {
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
// outer region), the iteration runs again from the fallback start, and its
// report stands. `flatten` inlines the lens model (the iteration is a chain
// of dependent operations; a call adds to each link).
__attribute__((flatten)) RectifiedPoint rectify(const LensInverse& lens, double tx, double ty) {
  double x, y;
  Linearization l;
  if (seriesStart(lens, tx, ty, &x, &y)) {
    l = linearize(lens, x, y, tx, ty);
    if (l.isImaging()) {
      const RectifiedPoint result = iterate(lens, tx, ty, x, y, l);
      if (result.converged) return result;
    }
  }
  if (findFallbackStart(lens, tx, ty, &x, &y, &l)) {
    const RectifiedPoint fallback = iterate(lens, tx, ty, x, y, l);
    if (fallback.converged) return fallback;
    // The start of last resort, from the radial mapping bisected; where it
    // fails too, the fallback's estimate stands.
    if (radialInverseStart(lens, tx, ty, &x, &y)) {
      l = linearize(lens, x, y, tx, ty);
      if (l.isImaging()) {
        const RectifiedPoint bracketed = iterate(lens, tx, ty, x, y, l);
        if (bracketed.converged) return bracketed;
      }
    }
    return fallback;
  }
  // The lens is not finite even on its axis: the plain normalization is the
  // best estimate there is.
  RectifiedPoint result;
  result.point = Eigen::Vector2d(tx, ty);
  return result;
}

// The distorted point of the pixel, to the bit that of
// PreparedLens::distortedOfPixel, with its two divisions side by side where
// K has no skew: u - cx - skew yd is then u - cx, save where that is -0 (a
// zero's sign follows skew yd's) or yd is not finite (0 yd is not a number).
inline void distortedOfPixel(const PreparedLens& lens, double u, double v, double* tx, double* ty) {
  if (lens.skew == 0.0) {
    *ty = (v - lens.cy) / lens.fy;
    *tx = (u - lens.cx) / lens.fx;
    if (*tx != 0.0 && isFinite(*ty)) return;
  }
  lens.distortedOfPixel(u, v, tx, ty);
}

WIDE_VECTORS_INLINE void invertBody(const LensInverse& lens, double u, double v,
                                    RectifiedPoint* result) {
  double tx, ty;
  distortedOfPixel(lens.lens, u, v, &tx, &ty);
  if (isFinite(tx) && isFinite(ty)) {
    *result = rectify(lens, tx, ty);
    return;
  }
  // A non-finite pixel stays non-finite; a finite pixel with degenerate
  // intrinsics has no direction to speak of: the optical axis.
  *result = RectifiedPoint();
  const bool finite_pixel = std::isfinite(u) && std::isfinite(v);
  result->point = finite_pixel ? Eigen::Vector2d::Zero() : Eigen::Vector2d(tx, ty);
}

// The one-pixel inversion, also compiled for AVX2 (without FMA: the same
// bits): its three-operand instructions need none of the baseline's register
// copies, which leaves room for the processor to overlap the next pixel's
// chain of dependent operations with this one's.
EXACT_WIDE_VECTOR_VARIANTS(invertInto, invertBody,
                           (const LensInverse& lens, double u, double v, RectifiedPoint* result),
                           (lens, u, v, result))

// invertPixel, for the calls of this file.
inline RectifiedPoint invert(const LensInverse& lens, double u, double v) {
  RectifiedPoint result;
  invertInto(lens, u, v, &result);
  return result;
}

}  // namespace

RectifiedPoint invertPixel(const LensInverse& lens, double u, double v) {
  return invert(lens, u, v);
}

RectifiedPoint LensInverse::normalize(const Eigen::Vector2d& pixel) const {
  return invert(*this, pixel.x(), pixel.y());
}

namespace {

// The fixed path of the batch form: kBatchUpdates plain Newton updates per
// pixel from the series start, without branches, so that the loop over
// pixels vectorises. Leaves, per pixel, the squared residual and the imaging
// margin (see Linearization) before the last update, from which the caller
// decides convergence. The AVX2 variant runs four pixels per instruction,
// without FMA: each pixel's bits are those of the baseline's.
WIDE_VECTORS_INLINE void rectifyBlockBody(const LensInverse& lens, const double* __restrict u,
                                          const double* __restrict v, int size,
                                          double* __restrict x, double* __restrict y,
                                          double* __restrict squared_residual,
                                          double* __restrict imaging_margin) {
  for (int i = 0; i < size; ++i) {
    double tx, ty;
    lens.lens.distortedOfPixel(u[i], v[i], &tx, &ty);
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
    x[i] = px;
    y[i] = py;
    squared_residual[i] = residual;
    imaging_margin[i] = series_holds ? margin : -1.0;
  }
}

EXACT_WIDE_VECTOR_VARIANTS(rectifyBlock, rectifyBlockBody,
                           (const LensInverse& lens, const double* u, const double* v, int size,
                            double* x, double* y, double* squared_residual, double* imaging_margin),
                           (lens, u, v, size, x, y, squared_residual, imaging_margin))

}  // namespace

int invertBlock(const LensInverse& lens, const double* u, const double* v, int size, double* x,
                double* y, std::uint8_t* converged) {
  double block_x[kInverseBlock], block_y[kInverseBlock];
  double squared_residual[kInverseBlock], imaging_margin[kInverseBlock];
  rectifyBlock(lens, u, v, size, block_x, block_y, squared_residual, imaging_margin);
  // Pixels that the fixed path left away from the floor, or took beyond the
  // lens's fold, take the careful path one by one. Each pixel is read before
  // its outputs are written, so that outputs may overwrite inputs.
  int not_converged = 0;
  for (int i = 0; i < size; ++i) {
    bool ok = squared_residual[i] <= kSquaredResidualTolerance && imaging_margin[i] > 0.0 &&
              isFinite(block_x[i]) && isFinite(block_y[i]);
    if (!ok) {
      const RectifiedPoint p = invert(lens, u[i], v[i]);
      ok = p.converged;
      block_x[i] = p.point.x();
      block_y[i] = p.point.y();
    }
    not_converged += ok ? 0 : 1;
    x[i] = block_x[i];
    y[i] = block_y[i];
    converged[i] = ok ? 1 : 0;
  }
  return not_converged;
}

namespace {

// The lens of the free functions: eight coefficients, (cx, cy) and (fx, fy),
// no skew.
LensInverse lensOf(const float* distortion, const float* principal_point,
                   const float* focal_length) {
  Eigen::Matrix3f K;
  K << focal_length[0], 0.0f, principal_point[0], 0.0f, focal_length[1], principal_point[1], 0.0f,
      0.0f, 1.0f;
  return LensInverse(distortion, K);
}

}  // namespace

RectifiedPoint rectifyPointWithStatus(const float* distortion, const float* principal_point,
                                      const float* focal_length, const Eigen::Vector2f& pixel) {
  return invert(lensOf(distortion, principal_point, focal_length), pixel.x(), pixel.y());
}

Eigen::Vector2f rectifyPoint(const float* distortion, const float* principal_point,
                             const float* focal_length, const Eigen::Vector2f& pixel) {
  return invert(lensOf(distortion, principal_point, focal_length), pixel.x(), pixel.y())
      .point.cast<float>();
}

int rectifyPoints(const float* distortion, const float* principal_point, const float* focal_length,
                  const float* u, const float* v, int count, float* x, float* y) {
  const LensInverse lens = lensOf(distortion, principal_point, focal_length);
  int not_converged = 0;
  for (int begin = 0; begin < count; begin += kInverseBlock) {
    const int size = std::min(kInverseBlock, count - begin);
    double block_u[kInverseBlock], block_v[kInverseBlock];
    std::uint8_t converged[kInverseBlock];
    for (int i = 0; i < size; ++i) {
      block_u[i] = u[begin + i];
      block_v[i] = v[begin + i];
    }
    not_converged += invertBlock(lens, block_u, block_v, size, block_u, block_v, converged);
    for (int i = 0; i < size; ++i) {
      x[begin + i] = float(block_u[i]);
      y[begin + i] = float(block_v[i]);
    }
  }
  return not_converged;
}

}  // namespace calibration
}  // namespace dravik

#include "calibration_utils/rectify.h"

#include <algorithm>
#include <cmath>

#include "calibration_utils/lens_jacobian.h"

namespace dravik {
namespace calibration {

namespace {

// Pixels rectified per block of the batch form; the block's results live on
// the stack.
constexpr int kBatchBlock = 64;
// Newton updates of the batch form's fixed path: enough for ordinary lenses
// from the Newton start.
constexpr int kBatchUpdates = 4;
// Halvings of a step that does not lower the residual.
constexpr int kMaxStepHalvings = 30;
constexpr double kSquaredTolerance = kRectifyResidualTolerance * kRectifyResidualTolerance;

// The lens, widened once to double.
struct Lens {
  double d[8];
  double cx, cy, fx, fy;

  Lens(const float* distortion, const float* principal_point, const float* focal_length)
      : cx(principal_point[0]), cy(principal_point[1]), fx(focal_length[0]), fy(focal_length[1]) {
    std::copy_n(distortion, 8, d);
  }
};

// True for a finite value; written without a call so that loops using it
// still vectorise (x - x is NaN for infinities and NaN).
inline bool isFinite(double v) { return v - v == 0.0; }

// The residual e = D(x, y) - t and the Jacobian J of the lens mapping D at
// (x, y), for the target t. J is symmetric: j01 is also its lower entry.
struct Linearization {
  double ex, ey;
  double j00, j01, j11;

  double squaredResidual() const { return ex * ex + ey * ey; }
  double determinant() const { return j00 * j11 - j01 * j01; }
  // Positive where both eigenvalues of J have a positive real part: the lens
  // maps the neighbourhood one to one and without mirroring it. This is the
  // image-forming part of the lens, about the optical axis, up to its fold;
  // beyond the fold the mapping turns back (a root there is no viewing
  // direction of the pixel).
  double imagingMargin() const { return std::min(determinant(), j00 + j11); }
  bool isImaging() const { return imagingMargin() > 0.0 && isFinite(squaredResidual()); }
};

inline Linearization linearize(const Lens& lens, double x, double y, double tx, double ty) {
  Linearization l;
  distortNormalizedWithJacobian(lens.d, x, y, &l.ex, &l.ey, &l.j00, &l.j01, &l.j11);
  l.ex -= tx;
  l.ey -= ty;
  return l;
}

// The Newton step s solving J s = e, by Cramer's rule.
inline void newtonStep(const Linearization& l, double* sx, double* sy) {
  const double inverse_det = 1.0 / l.determinant();
  *sx = (l.j11 * l.ex - l.j01 * l.ey) * inverse_det;
  *sy = (l.j00 * l.ey - l.j01 * l.ex) * inverse_det;
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

// The careful path: a start in the image-forming part of the lens (the
// Newton start, else t, else the optical axis, where J = I), then Newton
// steps, each halved until it lowers the residual without leaving that part.
// `flatten` inlines the lens model (the iteration is a chain of dependent
// operations; a call adds to each link).
__attribute__((flatten)) RectifiedPoint rectify(const Lens& lens, double tx, double ty) {
  RectifiedPoint result;
  double starts[3][2] = {{0, 0}, {tx, ty}, {0, 0}};
  newtonStart(lens, tx, ty, &starts[0][0], &starts[0][1]);
  double x = tx, y = ty;
  Linearization l{};
  bool started = false;
  for (const auto& start : starts) {
    l = linearize(lens, start[0], start[1], tx, ty);
    if (l.isImaging()) {
      x = start[0];
      y = start[1];
      started = true;
      break;
    }
  }
  if (!started) {
    // The lens is not finite even on its axis: the plain normalization is
    // the best estimate there is.
    result.point = Eigen::Vector2d(tx, ty);
    return result;
  }

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
// pixel, without branches, so that the loop over pixels vectorises. Leaves,
// per pixel, the squared residual and the imaging margin (see Linearization)
// before the last update, from which the caller decides convergence.
// `flatten` inlines the lens model into the loop (a call would stop it).
__attribute__((flatten)) void rectifyBlock(const Lens& lens, const float* u, const float* v,
                                           int size, float* x, float* y, double* squared_residual,
                                           double* imaging_margin) {
  for (int i = 0; i < size; ++i) {
    const double tx = (double(u[i]) - lens.cx) / lens.fx;
    const double ty = (double(v[i]) - lens.cy) / lens.fy;
    double px, py;
    newtonStart(lens, tx, ty, &px, &py);
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
    imaging_margin[i] = margin;
  }
}

}  // namespace

RectifiedPoint rectifyPointWithStatus(const float* distortion, const float* principal_point,
                                      const float* focal_length, const Eigen::Vector2f& pixel) {
  return rectify(Lens(distortion, principal_point, focal_length), pixel);
}

Eigen::Vector2f rectifyPoint(const float* distortion, const float* principal_point,
                             const float* focal_length, const Eigen::Vector2f& pixel) {
  return rectify(Lens(distortion, principal_point, focal_length), pixel).point.cast<float>();
}

int rectifyPoints(const float* distortion, const float* principal_point, const float* focal_length,
                  const float* u, const float* v, int count, float* x, float* y) {
  const Lens lens(distortion, principal_point, focal_length);
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

// The exact inverse of the rational lens (Newton's method, rectify.h's
// method): the lens prepared for it and the two forms it runs in, one pixel
// at a time and a block of pixels at a time. Lens::normalize, rectifyPoint
// and the batch calls all run these.
#pragma once

#include <cstdint>

#include "calibration_utils/rectify.h"
#include "dravik/geometry.h"

namespace dravik {
namespace calibration {

// Pixels rectified per block of the batch forms; a block's results live on
// the stack.
constexpr int kInverseBlock = 64;
// The squared residual under which the iteration takes its last step.
constexpr double kSquaredResidualTolerance = kRectifyResidualTolerance * kRectifyResidualTolerance;

// The lens in double precision with the start of its inversion: the series
// reversion of the radial factor. With the radial factor expanded as
//   R(s) = N(s) / M(s) = 1 + c1 s + c2 s^2 + c3 s^3 + ...,  s = r^2,
//   c1 = k1 - k4,  c2 = k2 - k5 - k4 c1,  c3 = k3 - k6 - k4 c2 - k5 c1,
// the distorted radius rd = r R(r^2) = r + c1 r^3 + c2 r^5 + c3 r^7 + ...
// reverts to r = rd Q(rd^2) + O(rd^9), with
//   Q(w) = 1 + b1 w + b2 w^2 + b3 w^3,
//   b1 = -c1,  b2 = 3 c1^2 - c2,  b3 = 8 c1 c2 - 12 c1^3 - c3.
struct LensInverse {
  PreparedLens lens;
  double inverse_series[3];  // b1, b2, b3

  explicit LensInverse(const PreparedLens& prepared);

  // Q(w): the undistorted radius over the distorted one rd, w = rd^2, summed
  // as (1 + b1 w) + w^2 (b2 + b3 w) (two halves side by side).
  double inverseRadialFactor(double w) const {
    return (1.0 + inverse_series[0] * w) + (w * w) * (inverse_series[1] + inverse_series[2] * w);
  }
};

// The normalized camera point of the pixel (u, v), with the iteration's
// report. A non-finite pixel stays non-finite; a finite pixel whose
// normalization is not finite (degenerate intrinsics) gives the optical axis.
RectifiedPoint invertPixel(const LensInverse& lens, double u, double v);

// The same for `size` (at most kInverseBlock) pixels (u[i], v[i]): a fixed
// number of Newton updates on all of them, without branches, so that the
// loop vectorises, then the careful path of invertPixel for those the fixed
// path left short. Writes x[i], y[i] and converged[i] (1 or 0); the outputs
// may alias the inputs. Returns the number not converged.
int invertBlock(const LensInverse& lens, const double* u, const double* v, int size, double* x,
                double* y, std::uint8_t* converged);

}  // namespace calibration
}  // namespace dravik

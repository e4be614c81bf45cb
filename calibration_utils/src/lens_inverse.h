// The exact inverse of the rational lens (Newton's method, rectify.h's
// method) on a prepared LensInverse (lens.h), in the two forms it runs in,
// one pixel at a time and a block of pixels at a time. Lens::normalize,
// rectifyPoint and the batch calls all run these.
#pragma once

#include <cstdint>

#include "calibration_utils/lens.h"
#include "calibration_utils/rectify.h"

namespace dravik {
namespace calibration {

// Pixels rectified per block of the batch forms; a block's results live on
// the stack.
constexpr int kInverseBlock = 64;
// The squared residual under which the iteration takes its last step.
constexpr double kSquaredResidualTolerance = kRectifyResidualTolerance * kRectifyResidualTolerance;

// Fixed-point rounds of radialInverseStart.
constexpr int kRadialStartIterations = 60;

// The start of last resort for the distorted point (tx, ty), where Newton's
// method from the series and fallback starts did not converge (a radial
// mapping that runs nearly flat, or very steep, on the way to the pixel):
// the radial mapping, monotone over the sound region, inverted by bisection
// for the target less the tangential displacement, that displacement taken
// again at the new point until the point settles. False where the target
// lies beyond the sound region's image. Slow (a sound region found per
// call): only the pixels the iteration failed on take it.
__attribute__((visibility("hidden"))) bool radialInverseStart(const LensInverse& lens, double tx,
                                                              double ty, double* x, double* y);

// The normalized camera point of the pixel (u, v), with the iteration's
// report. A non-finite pixel stays non-finite; a finite pixel whose
// normalization is not finite (degenerate intrinsics) gives the optical axis.
__attribute__((visibility("hidden"))) RectifiedPoint invertPixel(const LensInverse& lens, double u,
                                                                 double v);

// The same for `size` (at most kInverseBlock) pixels (u[i], v[i]): a fixed
// number of Newton updates on all of them, without branches, so that the
// loop vectorises, then the careful path of invertPixel for those the fixed
// path left short. Writes x[i], y[i] and converged[i] (1 or 0); the outputs
// may alias the inputs. Returns the number not converged.
__attribute__((visibility("hidden"))) int invertBlock(const LensInverse& lens, const double* u,
                                                      const double* v, int size, double* x,
                                                      double* y, std::uint8_t* converged);

}  // namespace calibration
}  // namespace dravik

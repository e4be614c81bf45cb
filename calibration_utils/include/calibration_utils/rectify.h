// Undistortion of pixels: the inverse of the rational lens model, as free
// functions on raw coefficient arrays. A camera's lens at an image size
// (calibration_utils/lens.h) runs the same inverse, with skew: Lens::normalize
// and Lens::normalizePixels.
//
// Conventions
// - Lens model: dravik/rational_lens.h, here without skew: a point (x, y)
//   of normalized camera coordinates, the viewing direction (x, y, 1) in the
//   camera frame, lands on the pixel (fx xd + cx, fy yd + cy).
// - Pixels are those of the image the intrinsics (cx, cy), (fx, fy) belong to.
//
// Method. Rectifying a pixel solves D(x, y) = (xd, yd) for (x, y), where D is
// the lens mapping and (xd, yd) = ((u - cx) / fx, (v - cy) / fy). Newton's
// method on the 2x2 Jacobian J of D (dravik/rational_lens.h), in
// double precision, from the series start: the tangential displacement taken
// off t = (xd, yd), and the radial factor inverted by its series reversion,
// computed once per lens. Where that start
// is not in the image-forming part of the lens (below), the iteration starts
// from one Newton step from t itself, t - J(t)^-1 (D(t) - t), else from t,
// else from the optical axis.
// It stops once the residual |D(x, y) - (xd, yd)| is at most
// kRectifyResidualTolerance, after one last Newton step from there, which
// brings the point to the double-precision floor (about 1e-12 in normalized
// coordinates, and far below that on ordinary lenses).
//
// The iteration stays in the image-forming part of the lens: the region
// about the optical axis where J keeps orientation (both eigenvalues with a
// positive real part), up to the fold where a strong barrel lens turns back
// and maps farther directions nearer the centre again. A step that would
// leave it, or that does not lower the residual, is halved until it does
// neither. A pixel beyond the fold has no viewing direction; the result is
// then the point of smallest residual reached (at the fold, in the pixel's
// direction), reported as not converged. Roots beyond the fold are never
// returned as converged. For a finite pixel the result is always finite.
// Ordinary lenses converge in 1 or 2 updates over most of the image, up to 3
// to 5 at its corners.
//
// Thread safety: the functions keep no state.
#pragma once

#include <Eigen/Core>

#include "dravik/geometry.h"

namespace dravik {
namespace calibration {

// Residual, in normalized coordinates, under which the iteration takes its
// last step and reports convergence.
constexpr double kRectifyResidualTolerance = 1e-7;
// Newton updates tried before giving up.
constexpr int kRectifyMaxIterations = 20;

// An undistorted point with the report of the iteration that found it.
struct RectifiedPoint {
  // Normalized camera coordinates (x, y), in double precision.
  Eigen::Vector2d point = Eigen::Vector2d::Zero();
  // True when the residual fell under kRectifyResidualTolerance within the
  // image-forming part of the lens.
  bool converged = false;
  // Newton updates applied, the last one included.
  int iterations = 0;
};

// The undistorted point, in normalized camera coordinates, of `pixel`.
// `distortion` points to the eight coefficients k1, k2, p1, p2, k3, k4, k5, k6,
// `principal_point` to (cx, cy) and `focal_length` to (fx, fy).
// For a finite pixel the result is finite: (0, 0) when the focal length is
// zero or the intrinsics are not finite; the best estimate found where the
// iteration does not converge (see rectifyPointWithStatus).
Eigen::Vector2f rectifyPoint(const float* distortion, const float* principal_point,
                             const float* focal_length, const Eigen::Vector2f& pixel);

// As rectifyPoint, with the point kept in double precision and the report of
// whether the iteration converged and in how many updates.
RectifiedPoint rectifyPointWithStatus(const float* distortion, const float* principal_point,
                                      const float* focal_length, const Eigen::Vector2f& pixel);

// Rectifies `count` pixels (u[i], v[i]) into (x[i], y[i]), with the same
// results as rectifyPoint. The pixels are held as separate coordinate arrays
// so that the common case (a fixed number of Newton updates, no branches)
// runs several pixels per vector instruction; pixels that have not converged
// by then are finished one at a time. Returns the number of pixels that did
// not converge. The output arrays may alias the input arrays.
int rectifyPoints(const float* distortion, const float* principal_point, const float* focal_length,
                  const float* u, const float* v, int count, float* x, float* y);

}  // namespace calibration
}  // namespace dravik

// The inverse map: for each pixel of the lens's image, where it lands in the
// view, by the exact inverse of the lens (lens_inverse.h). The first row
// takes the inverse's own start; every later pixel starts Newton's method from the
// solution of the pixel above it, a fraction of a pixel away, so that three
// updates reach the floor of double precision. The rows do not depend on
// their neighbours within the row, so the updates vectorise; a pixel that
// has not converged by then takes the inverse's careful path.
#define DRAVIK_LOG_FILE "calibration_utils/inverse_undistortion_map"
#include <cmath>

#include "calibration_utils/lens_jacobian.h"
#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"
#include "lens_inverse.h"
#include "undistortion_inputs.h"
#include "wide_vectors.h"

namespace dravik {
namespace calibration {

namespace {

// Newton updates from the solution of the pixel above.
constexpr int kUpdates = 3;

// kUpdates Newton updates per pixel of a row, from (x, y) in place, towards
// the distorted points (xd, yd); leaves the squared residual and the imaging
// margin (both eigenvalues of the Jacobian with positive real part where it
// is positive) of the last linearization before the last update.
WIDE_VECTORS_INLINE void refineRowBody(const PreparedLens& lens, int v, int width,
                                       double* __restrict x, double* __restrict y,
                                       double* __restrict squared_residual,
                                       double* __restrict margin) {
  const PreparedLens l = lens;  // held in registers: the stores cannot change it
  for (int u = 0; u < width; ++u) {
    double xd, yd;
    l.distortedOfPixel(u, v, &xd, &yd);
    double px = x[u], py = y[u], residual = 0.0, imaging = 0.0;
    for (int k = 0; k < kUpdates; ++k) {
      double ex, ey, j00, j01, j11;
      distortNormalizedWithJacobian(l.d, px, py, &ex, &ey, &j00, &j01, &j11);
      ex -= xd;
      ey -= yd;
      const double det = j00 * j11 - j01 * j01;
      const double inverse_det = 1.0 / det;
      px -= (j11 * ex - j01 * ey) * inverse_det;
      py -= (j00 * ey - j01 * ex) * inverse_det;
      residual = ex * ex + ey * ey;
      const double trace = j00 + j11;
      imaging = det < trace ? det : trace;
    }
    x[u] = px;
    y[u] = py;
    squared_residual[u] = residual;
    margin[u] = imaging;
  }
}

WIDE_VECTOR_VARIANTS(refineRow, refineRowBody,
                     (const PreparedLens& lens, int v, int width, double* x, double* y,
                      double* squared_residual, double* margin),
                     (lens, v, width, x, y, squared_residual, margin))

}  // namespace

bool buildInverseUndistortionMap(const Lens& lens, const PinholeView& view, UndistortionMap* map) {
  if (!checkLens(lens) || !checkView(view) ||
      !prepareMap(lens.width(), lens.height(), view.width, view.height, map)) {
    return false;
  }
  const int width = lens.width();

  const LensInverse inverse(lens.distortion().data(), lens.K());
  const PreparedLens& source = inverse.lens;
  const SoundRegion region = lens.soundRegion();
  const double sound_r2 = region.radius * region.radius;
  // Without tangential terms the lens maps the sound region onto the disc of
  // its edge's distorted radius, and nothing beyond it.
  const bool radial_only = lens.distortion()[2] == 0.0f && lens.distortion()[3] == 0.0f &&
                           region.edge != SoundRegion::Edge::kNone;
  const Eigen::Matrix3f& V = view.K;
  // The row's solutions in normalized coordinates; each row starts from the last.
  std::vector<double> x(width, 0.0), y(width, 0.0), residual(width), margin(width);
  for (int v = 0; v < lens.height(); ++v) {
    if (v > 0) refineRow(source, v, width, x.data(), y.data(), residual.data(), margin.data());
    const size_t row = size_t(v) * size_t(width);
    for (int u = 0; u < width; ++u) {
      bool converged = v > 0 && residual[u] <= kSquaredResidualTolerance && margin[u] > 0.0 &&
                       std::isfinite(x[u]) && std::isfinite(y[u]);
      double xd, yd;
      source.distortedOfPixel(u, v, &xd, &yd);
      const double distorted_r = std::hypot(xd, yd);
      if (!converged && radial_only && distorted_r > region.distorted_radius) {
        // No direction of the sound region reaches this far out: the best
        // estimate is the region's edge in the pixel's direction.
        x[u] = xd * (region.radius / distorted_r);
        y[u] = yd * (region.radius / distorted_r);
      } else if (!converged) {
        const RectifiedPoint p = invertPixel(inverse, u, v);
        converged = p.converged;
        x[u] = p.point.x();
        y[u] = p.point.y();
      }
      map->valid[row + u] = (converged && x[u] * x[u] + y[u] * y[u] <= sound_r2) ? 1 : 0;
      map->x[row + u] = float(V(0, 0) * x[u] + V(0, 1) * y[u] + V(0, 2));
      map->y[row + u] = float(V(1, 1) * y[u] + V(1, 2));
    }
  }
  return true;
}

}  // namespace calibration
}  // namespace dravik

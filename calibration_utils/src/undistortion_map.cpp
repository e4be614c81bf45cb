// The forward map: for each view pixel, where its ray is seen in the lens's
// image. One row at a time, in single precision, with every per-row term
// hoisted, so that the loop over a row vectorises (about 35 operations and
// one division per pixel).
#define DRAVIK_LOG_FILE "calibration_utils/undistortion_map"
#include "calibration_utils/undistortion.h"
#include "dravik/geometry.h"
#include "dravik/logging.h"
#include "undistortion_inputs.h"
#include "wide_vectors.h"

namespace dravik {
namespace calibration {

namespace {

// The forward map of one view row v: the ray of each pixel through the lens
// (distortNormalized, dravik/geometry.h, in float) and K. Everything the
// loop reads is copied into locals first, so that the compiler keeps it in
// registers (the stores cannot change it) and vectorises the loop.
WIDE_VECTORS_INLINE void mapRowBody(const Lens& lens, const ViewInverse& view, int v,
                                    float sound_r2, int width, float* __restrict out_x,
                                    float* __restrict out_y, std::uint8_t* __restrict valid) {
  float d[8];
  for (int i = 0; i < 8; ++i) d[i] = lens.distortion()[i];
  const float fx = lens.K()(0, 0), skew = lens.K()(0, 1), cx = lens.K()(0, 2);
  const float fy = lens.K()(1, 1), cy = lens.K()(1, 2);
  const float last_x = float(lens.width() - 1), last_y = float(lens.height() - 1);
  const double row_y = (v - view.cy) * view.inverse_fy;
  const float y = float(row_y), y2 = float(row_y * row_y);
  const float x_origin = float((-view.cx - view.skew * row_y) * view.inverse_fx);
  const float x_step = float(view.inverse_fx);
  for (int u = 0; u < width; ++u) {
    const float x = x_origin + x_step * float(u);
    float xd, yd;
    distortNormalized(d, x, y, &xd, &yd);
    const float source_x = fx * xd + skew * yd + cx;
    const float source_y = fy * yd + cy;
    // Bitwise, not short-circuit: no branch in the loop.
    const int sound = x * x + y2 <= sound_r2;
    const int inside =
        (source_x >= 0.0f) & (source_x <= last_x) & (source_y >= 0.0f) & (source_y <= last_y);
    out_x[u] = sound ? source_x : kOutsideSource;
    out_y[u] = sound ? source_y : kOutsideSource;
    valid[u] = std::uint8_t(sound & inside);
  }
}

WIDE_VECTOR_VARIANTS(mapRow, mapRowBody,
                     (const Lens& lens, const ViewInverse& view, int v, float sound_r2, int width,
                      float* out_x, float* out_y, std::uint8_t* valid),
                     (lens, view, v, sound_r2, width, out_x, out_y, valid))

}  // namespace

bool buildUndistortionMap(const Lens& lens, const PinholeView& view, UndistortionMap* map) {
  if (!checkLens(lens) || !checkView(view) ||
      !prepareMap(view.width, view.height, lens.width(), lens.height(), map)) {
    return false;
  }
  const ViewInverse inverse(view.K);
  const float sound_r2 = float(soundRadiusSquared(lens));
  for (int v = 0; v < view.height; ++v) {
    const size_t row = size_t(v) * size_t(view.width);
    mapRow(lens, inverse, v, sound_r2, view.width, map->x.data() + row, map->y.data() + row,
           map->valid.data() + row);
  }
  return true;
}

}  // namespace calibration
}  // namespace dravik

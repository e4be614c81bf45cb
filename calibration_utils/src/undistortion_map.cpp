// The forward map: for each view pixel, where its ray is seen in the lens's
// image. One row at a time, in single precision, with every per-row term
// hoisted, so that the loop over a row vectorises (about 30 operations and
// one division per pixel).
#define DRAVIK_LOG_FILE "calibration_utils/undistortion_map"
#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"
#include "undistortion_inputs.h"
#include "wide_vectors.h"

namespace dravik {
namespace calibration {

namespace {

// The lens and the per-row terms of one view row, in float.
struct RowTerms {
  float k1, k2, k3, k4, k5, k6, p1, p2;
  float fx, skew, cx, fy, cy;
  float x_origin, x_step;  // x = x_origin + x_step u
  float y, y2;             // the row's y and y^2
  float sound_r2;          // r^2 of the sound region's edge
  float last_x, last_y;    // width - 1, height - 1 of the lens's image
};

// distortNormalized (dravik/geometry.h) along one row, then K:
//   r2 = x^2 + y^2,  R = N(r2) / D(r2),
//   xd = x R + 2 p1 x y + p2 (r2 + 2 x^2),  yd = y R + p1 (r2 + 2 y^2) + 2 p2 x y,
//   (u_s, v_s) = (fx xd + skew yd + cx, fy yd + cy).
WIDE_VECTORS_INLINE void mapRowBody(const RowTerms& terms, int width, float* __restrict out_x,
                                    float* __restrict out_y, std::uint8_t* __restrict valid) {
  const RowTerms t = terms;  // held in registers: the stores cannot change it
  const float y = t.y, y2 = t.y2;
  const float p1_y2 = t.p1 * (3.0f * y2), two_p1_y = 2.0f * t.p1 * y, two_p2_y = 2.0f * t.p2 * y;
  for (int u = 0; u < width; ++u) {
    const float x = t.x_origin + t.x_step * float(u);
    const float xx = x * x;
    const float r2 = xx + y2;
    const float numerator = 1.0f + r2 * (t.k1 + r2 * (t.k2 + r2 * t.k3));
    const float denominator = 1.0f + r2 * (t.k4 + r2 * (t.k5 + r2 * t.k6));
    const float radial = numerator / denominator;
    // 2 p1 x y + p2 (r2 + 2 x^2) and p1 (r2 + 2 y^2) + 2 p2 x y, with r2 = xx + y2.
    const float xd = x * (radial + two_p1_y) + t.p2 * (3.0f * xx + y2);
    const float yd = y * radial + t.p1 * xx + p1_y2 + two_p2_y * x;
    const float source_x = t.fx * xd + t.skew * yd + t.cx;
    const float source_y = t.fy * yd + t.cy;
    // Bitwise, not short-circuit: no branch in the loop.
    const int sound = r2 <= t.sound_r2;
    const int inside =
        (source_x >= 0.0f) & (source_x <= t.last_x) & (source_y >= 0.0f) & (source_y <= t.last_y);
    out_x[u] = sound ? source_x : kOutsideSource;
    out_y[u] = sound ? source_y : kOutsideSource;
    valid[u] = std::uint8_t(sound & inside);
  }
}

WIDE_VECTOR_VARIANTS(mapRow, mapRowBody,
                     (const RowTerms& t, int width, float* out_x, float* out_y,
                      std::uint8_t* valid),
                     (t, width, out_x, out_y, valid))

}  // namespace

bool buildUndistortionMap(const Lens& lens, const PinholeView& view, UndistortionMap* map) {
  if (!checkLens(lens) || !checkView(view) || !prepareMap(view.width, view.height, map)) {
    return false;
  }

  const auto& d = lens.distortion;
  const Eigen::Matrix3f& K = lens.K;
  const ViewInverse inverse(view.K);
  RowTerms t{d[0],    d[1],    d[4],    d[5], d[6], d[7], d[2], d[3], K(0, 0), K(0, 1),
             K(0, 2), K(1, 1), K(1, 2), 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f};
  t.x_step = float(inverse.inverse_fx);
  t.sound_r2 = float(soundRadiusSquared(lens));
  t.last_x = float(lens.width - 1);
  t.last_y = float(lens.height - 1);
  for (int v = 0; v < view.height; ++v) {
    const double y = (v - inverse.cy) * inverse.inverse_fy;
    t.y = float(y);
    t.y2 = float(y * y);
    t.x_origin = float((-inverse.cx - inverse.skew * y) * inverse.inverse_fx);
    const size_t row = size_t(v) * size_t(view.width);
    mapRow(t, view.width, map->x.data() + row, map->y.data() + row, map->valid.data() + row);
  }
  return true;
}

}  // namespace calibration
}  // namespace dravik

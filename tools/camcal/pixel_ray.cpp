#include "pixel_ray.h"

#include <algorithm>

namespace camcal {

dravik::calibration::RectifiedPoint rayOfPixel(const IntrinsicsAtSize& lens, double u, double v) {
  float distortion[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::copy_n(lens.distortion.begin(), std::min<size_t>(lens.distortion.size(), 8), distortion);
  const float principal_point[2] = {lens.K(0, 2), lens.K(1, 2)};
  const float focal_length[2] = {lens.K(0, 0), lens.K(1, 1)};
  // The rectification knows no skew (u = fx xd + skew yd + cx): take it out
  // of u first, with yd = (v - cy) / fy.
  const double yd = (v - principal_point[1]) / focal_length[1];
  const double u_without_skew = u - double(lens.K(0, 1)) * yd;
  return dravik::calibration::rectifyPointWithStatus(
      distortion, principal_point, focal_length, Eigen::Vector2f(float(u_without_skew), float(v)));
}

}  // namespace camcal

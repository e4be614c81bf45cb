#include "pixel_ray.h"

namespace camcal {

dravik::calibration::Lens lensOf(const IntrinsicsAtSize& intrinsics) {
  dravik::calibration::Lens lens;
  lens.width = intrinsics.width;
  lens.height = intrinsics.height;
  lens.K = intrinsics.K;
  lens.distortion = intrinsics.distortion;
  return lens;
}

dravik::calibration::Lens pinholeOf(const IntrinsicsAtSize& intrinsics) {
  dravik::calibration::Lens lens = lensOf(intrinsics);
  lens.distortion.assign(8, 0.0f);
  return lens;
}

}  // namespace camcal

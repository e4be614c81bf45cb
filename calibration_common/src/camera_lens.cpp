// The lens of a camera at an image size (calibration_utils/lens.h).
#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"

namespace dravik {
namespace calibration {

Lens CameraParameters::getLens(int width, int height) const {
  Lens lens;
  lens.width = width;
  lens.height = height;
  lens.K = getIntrinsics(width, height);
  lens.distortion = getDistortion(width, height);
  return lens;
}

}  // namespace calibration
}  // namespace dravik

// The lens of a camera at an image size (calibration_utils/lens.h).
#include <algorithm>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"

namespace dravik {
namespace calibration {

Lens CameraParameters::getLens(int width, int height) const {
  Lens lens;
  lens.width = width;
  lens.height = height;
  lens.K = getIntrinsics(width, height);
  const std::vector<float>& distortion = getDistortion(width, height);  // eight, as loaded
  std::copy_n(distortion.begin(), std::min(distortion.size(), lens.distortion.size()),
              lens.distortion.begin());
  return lens;
}

}  // namespace calibration
}  // namespace dravik

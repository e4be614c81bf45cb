// The lens of a camera at an image size (calibration_utils/lens.h).
#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"

namespace dravik {
namespace calibration {

LensCheck CameraParameters::getLens(int width, int height, Lens* lens) const {
  // The record's values were checked as it loaded: refused here only for a
  // size that is not positive, without a second record.
  return Lens::fromIntrinsicsQuietly(getIntrinsics(width, height), getDistortion(width, height),
                                     width, height, lens);
}

Lens CameraParameters::getLens(int width, int height) const {
  Lens lens;
  getLens(width, height, &lens);
  return lens;
}

}  // namespace calibration
}  // namespace dravik

// The lens of a camera or of a PTZ setting, as whole-image undistortion
// (calibration_utils/undistortion.h) takes it.
#include "calibration_common/camera_parameters.h"
#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/undistortion.h"

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

Lens PTZCameraModelConfiguration::getLens() const {
  Lens result;
  result.width = calWidth();
  result.height = calHeight();
  result.K << focal_length_[0], 0.0f, principal_point_[0], 0.0f, focal_length_[1],
      principal_point_[1], 0.0f, 0.0f, 1.0f;
  // A configuration moved from has no distortion left: a lens without any.
  result.distortion = distortion_;
  result.distortion.resize(8, 0.0f);
  return result;
}

}  // namespace calibration
}  // namespace dravik

#include "ptz_lens.h"

#include "calibration_utils/undistortion.h"

namespace camcal {

using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;

PtzLens::PtzLens(const dravik::calibration::PTZCameraParameters& params)
    : model_(std::make_shared<PTZCameraModel>(params)),
      width_(params.intrinsics().cal_width()),
      height_(params.intrinsics().cal_height()) {}

Eigen::Matrix3f PtzLens::K(int zoom) const {
  return PTZCameraModelConfiguration(model_, 0, 0, zoom).getLens().K;
}

IntrinsicsAtSize PtzLens::intrinsicsAt(int pan, int tilt, int zoom) const {
  const dravik::calibration::Lens lens =
      PTZCameraModelConfiguration(model_, pan, tilt, zoom).getLens();
  IntrinsicsAtSize intrinsics;
  intrinsics.camera = "ptz";
  intrinsics.model = "ptz";
  intrinsics.model_description = "PTZ camera";
  intrinsics.width = lens.width;
  intrinsics.height = lens.height;
  intrinsics.source = IntrinsicsSource::kPtzSetting;
  intrinsics.pan = pan;
  intrinsics.tilt = tilt;
  intrinsics.zoom = zoom;
  intrinsics.K = lens.K;
  intrinsics.distortion = lens.distortion;
  return intrinsics;
}

}  // namespace camcal

// K and distortion of a PTZ camera at one zoom position, as the library's
// configuration computes them (interpolated between the two zoom samples
// that bracket the position).
#pragma once

#include <Eigen/Core>
#include <memory>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "intrinsics_formats.h"

namespace camcal {

class PtzLens {
 public:
  // params: a PTZ calibration the library finds valid.
  explicit PtzLens(const dravik::calibration::PTZCameraParameters& params);

  // K = [f 0 cx; 0 f cy; 0 0 1] at the zoom, for the calibration image. Pan
  // and tilt do not change it.
  Eigen::Matrix3f K(int zoom) const;

  // K and distortion at the setting, for the intrinsics formats.
  IntrinsicsAtSize intrinsicsAt(int pan, int tilt, int zoom) const;

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  std::shared_ptr<dravik::calibration::PTZCameraModel> model_;
  int width_;
  int height_;
};

}  // namespace camcal

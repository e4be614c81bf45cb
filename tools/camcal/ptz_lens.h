// K and distortion of a PTZ camera at one zoom position, as the library's
// configuration computes them (the interpolation between the two zoom
// samples that bracket the position is the library's; this only reads it).
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

  // K = [f 0 cx; 0 f cy; 0 0 1] and k1, k2, p1, p2, k3, k4, k5, k6 at the zoom,
  // for the calibration image. Pan and tilt do not change them.
  Eigen::Matrix3f K(int zoom) const;
  std::vector<float> distortion(int zoom) const;

  // K and distortion at the setting, for the intrinsics formats.
  IntrinsicsAtSize intrinsicsAt(int pan, int tilt, int zoom) const;

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  std::shared_ptr<dravik::calibration::PTZCameraModel> model_;
  // The same zoom table behind an identity head, and once more with the
  // principal points and lens terms of its samples set to zero: see K().
  std::shared_ptr<dravik::calibration::PTZCameraModel> centred_probe_;
  std::shared_ptr<dravik::calibration::PTZCameraModel> focal_probe_;
  int width_;
  int height_;
};

}  // namespace camcal

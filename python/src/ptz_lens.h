// The lens of a PTZ configuration in the form the undistortion functions of
// calibration_utils/rectify.h take it.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/undistortion.h"

namespace camera_parameters_python {

struct PtzLens {
  explicit PtzLens(const dravik::calibration::PTZCameraModelConfiguration& c)
      : lens(c.getLens()),
        K(lens.K),
        principal_point{lens.K(0, 2), lens.K(1, 2)},
        focal_length{lens.K(0, 0), lens.K(1, 1)},
        distortion(lens.distortion.data()) {}

  dravik::calibration::Lens lens;
  Eigen::Matrix3f K;
  float principal_point[2];
  float focal_length[2];
  // k1, k2, p1, p2, k3, k4, k5, k6.
  const float* distortion;
};

}  // namespace camera_parameters_python

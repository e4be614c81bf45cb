// Plain-text description of cameras: pose, and intrinsics and distortion at
// every image size a camera serves.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"

namespace camcal {

// The eight coefficients as "k1 -0.21  k2 0.045  p1 ...".
std::string formatDistortion(const std::vector<float>& distortion);
// "[a b c; d e f; ...]".
std::string formatMatrix(const Eigen::MatrixXf& matrix);
// "x y z".
std::string formatVector(const Eigen::VectorXf& vector);

// Name, model, pose and one line per image size: the full frame and each
// entry of the model's table.
std::string describeCameraRecord(const std::string& name,
                                 const dravik::calibration::CameraParameters& camera);

}  // namespace camcal

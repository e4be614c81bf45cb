// Reading one camera's calibration from the YAML of other tools: OpenCV's
// FileStorage (image_width, image_height, camera_matrix and
// distortion_coefficients as !!opencv-matrix nodes) and the camera_info YAML
// of ROS camera drivers (the same names without the tags, with
// distortion_model). These are the formats `camcal intrinsics` writes.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "inputs/calibration_input.h"
#include "inputs/yaml_fields.h"

namespace camcal {

struct ImportedIntrinsics {
  int width = 0;
  int height = 0;
  // [fx skew cx; 0 fy cy; 0 0 1].
  Eigen::Matrix3d K = Eigen::Matrix3d::Identity();
  // k1, k2, p1, p2, k3, k4, k5, k6: five coefficients (plumb bob) padded with
  // zeros.
  std::vector<double> distortion;
  // The ROS camera_name, empty when absent.
  std::string camera_name;
};

// The format of a flag of kYamlFormats.
YamlFormat yamlFormatFromFlag(const std::string& flag);

// Throws an operation error naming the file and what is wrong: not YAML, not
// this format (with a hint when it is the other one), a missing or malformed
// field, a distortion model other than the rational or plumb-bob one, fewer
// than 5 coefficients.
ImportedIntrinsics readIntrinsicsYaml(const InputFile& input, YamlFormat format);

}  // namespace camcal

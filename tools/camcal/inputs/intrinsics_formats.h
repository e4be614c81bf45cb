// One camera's intrinsics at one image size, in the formats other tools
// read: plain text, JSON, OpenCV's FileStorage YAML and the camera_info YAML
// of ROS camera drivers.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "calibration_utils/lens.h"

namespace camcal {

// Where K and the distortion of an image size come from.
enum class IntrinsicsSource {
  kTable,            // an entry of the camera model's table
  kFullFrame,        // the full frame of a generic camera, whose model has no table
  kScaledFullFrame,  // the full frame scaled to the size (the size is not in the table)
  kPtzSetting,       // a PTZ calibration evaluated at one pan/tilt/zoom setting
  kFitted,           // fitted to views of a board (camcal calibrate)
};

struct IntrinsicsAtSize {
  std::string camera;
  std::string model;
  // "kv007n (navigation camera)", "PTZ camera": the model as the text format names it.
  std::string model_description;
  int width = 0;
  int height = 0;
  IntrinsicsSource source = IntrinsicsSource::kTable;
  // A model the library does not know: it has no table of sizes.
  bool generic = false;
  // The setting, for kPtzSetting (motor steps).
  int pan = 0, tilt = 0, zoom = 0;
  Eigen::Matrix3f K = Eigen::Matrix3f::Identity();
  // k1, k2, p1, p2, k3, k4, k5, k6.
  std::vector<float> distortion;
};

// The library's lens of the intrinsics, as they are (calibration_utils/lens.h:
// its normalize gives a pixel's viewing direction, its project a direction's
// pixel), checked: intrinsics that make no lens (a distortion that is not
// eight finite coefficients, say) end the command (CommandError) with the
// reason.
dravik::calibration::Lens lensOf(const IntrinsicsAtSize& intrinsics);
// The lens with the same K and size and no distortion: the pinhole camera.
dravik::calibration::Lens pinholeOf(const IntrinsicsAtSize& intrinsics);

// The names accepted by --format, in the order they are listed.
const std::vector<std::string>& intrinsicsFormatNames();
// Renders in the named format (one of intrinsicsFormatNames()).
std::string formatIntrinsics(const IntrinsicsAtSize& intrinsics, const std::string& format);

std::string intrinsicsAsText(const IntrinsicsAtSize& intrinsics);
// {"camera", "model", "image_width", "image_height", "from_table" (or, for a PTZ
//  setting, "pan", "tilt", "zoom"),
//  "camera_matrix": 3x3 rows, "distortion_model": "rational_polynomial",
//  "distortion_coefficients": [k1, k2, p1, p2, k3, k4, k5, k6]}
std::string intrinsicsAsJson(const IntrinsicsAtSize& intrinsics);
// image_width, image_height, camera_matrix and distortion_coefficients
// (1x8) as !!opencv-matrix nodes of doubles, readable by cv::FileStorage.
std::string intrinsicsAsOpenCvYaml(const IntrinsicsAtSize& intrinsics);
// The camera_info layout: image size, camera_name, camera_matrix,
// distortion_model "rational_polynomial", distortion_coefficients,
// rectification_matrix (identity) and projection_matrix [K | 0].
std::string intrinsicsAsRosYaml(const IntrinsicsAtSize& intrinsics);

}  // namespace camcal

// Finding one camera of a robot calibration and its intrinsics at an image
// size, as `camcal intrinsics` and `camcal plot` name them on the command line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/ptz_camera_model.h"
#include "cli/options.h"
#include "inputs/intrinsics_formats.h"

namespace camcal {

// K and distortion of a camera record at width x height: the model's entry
// for that size, or else the full frame scaled to it.
IntrinsicsAtSize intrinsicsOf(const std::string& name,
                              const dravik::calibration::CameraParameters& camera, int width,
                              int height);

// K and distortion of the PTZ camera at a setting, for the calibration image
// (the configuration's lens).
IntrinsicsAtSize intrinsicsOf(const dravik::calibration::PTZCameraModelConfiguration& setting);

// The image sizes a camera serves: its full frame, then each entry of its
// model's table that differs from it, in the model's order.
std::vector<ImageSize> servedSizes(const dravik::calibration::CameraParameters& camera);

struct CameraAtSize {
  // The record stays valid for as long as it is held.
  std::shared_ptr<const dravik::calibration::CameraParameters> camera;
  IntrinsicsAtSize intrinsics;
};

// The camera of the robot calibration at calibration_path (the embedded
// default when empty) at the size. An unknown camera is an operation error
// listing the cameras of the file; a size off the model's table is a note
// saying that K is the full frame scaled.
CameraAtSize findCameraAtSize(const std::string& calibration_path, const std::string& camera_name,
                              const ImageSize& size);

// "navigation, front, rear", or "none".
std::string joinNames(const std::vector<std::string>& names);

}  // namespace camcal

// What `camcal validate` finds in one calibration: whether the library loads
// it without falling back to its default (and why not, from its own log
// records), and warnings about values that load but will mislead.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "inputs/calibration_input.h"

namespace camcal {

struct Verdict {
  // What the file holds, e.g. "robot calibration (text, 2 cameras)".
  std::string what;
  // The library loads it without falling back to its default, and it holds
  // nothing that no real camera has (a principal point off its image).
  bool loaded = false;
  // Why not.
  std::string reason;
  std::vector<std::string> warnings;
};

// The largest |R^T R - I| entry a rotation may show before it is reported:
// far above float rounding, far below any real misalignment.
constexpr float kRotationTolerance = 1e-3f;
// The largest entry a rotation applied to every camera pose (camcal adjust)
// may show: a misfit that moves no pixel of any camera.
constexpr float kAppliedRotationTolerance = 1e-4f;

// Loads through CameraParametersSet, then checks each camera's principal
// point (off the image: not valid) and lens model at every image size it
// serves (full frame and table entries), and each pose's rotation.
Verdict checkRobotCalibration(const InputFile& input, const ParsedCalibration& parsed);
// Loads through BaseCalibrationData, then checks the global transform's
// rotation.
Verdict checkBaseCalibration(const InputFile& input, const ParsedCalibration& parsed);
// Builds a PTZCameraModel, then checks the order of the zoom samples, their
// place on the zoom grid, and each sample's lens over the calibration image.
Verdict checkPtzCalibration(const InputFile& input, const ParsedCalibration& parsed);

// "" when R is a rotation within tolerance, else why not.
std::string checkRotation(const Eigen::Matrix3f& R, float tolerance = kRotationTolerance);

}  // namespace camcal

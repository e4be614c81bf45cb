// Loading calibrations through the library, as the robot loads them, and
// explaining a failed load from the library's own log records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"
#include "calibration_common/ptz_camera_model.h"
#include "inputs/calibration_input.h"

namespace camcal {

struct LoadResult {
  bool loaded = false;
  // Why not, when not loaded: one line.
  std::string reason;
};

// set->loadFromString(data): loaded when the library did not fall back to
// its embedded default. The reason names the first camera the library
// rejects.
LoadResult loadRobotCalibration(const std::string& data,
                                dravik::calibration::CameraParametersSet* set);
LoadResult loadBaseCalibration(const std::string& data,
                               dravik::calibration::BaseCalibrationData* base);
// Builds the model; loaded when the library finds it valid.
LoadResult loadPtzModel(const dravik::calibration::PTZCameraParameters& params,
                        std::shared_ptr<dravik::calibration::PTZCameraModel>* model);

// The same, for subcommands that cannot go on without the calibration:
// throws "PATH: not a valid robot calibration: <reason>".
void requireRobotCalibration(const InputFile& input, dravik::calibration::CameraParametersSet* set);
void requireBaseCalibration(const InputFile& input, dravik::calibration::BaseCalibrationData* base);
std::shared_ptr<dravik::calibration::PTZCameraModel> requirePtzModel(const InputFile& input);

// The PTZ calibration of a file, checked valid by the library; errors name
// the file.
dravik::calibration::PTZCameraParameters requirePtzParameters(const InputFile& input);

// The pan/tilt head of a PTZ calibration file: its message, whose motor
// limits the model does not hold, and its model. Errors name the file.
struct PtzHead {
  dravik::calibration::PanTiltSystemParameters params;
  dravik::calibration::PanTiltModel model;
};
PtzHead requirePtzHead(const InputFile& input);

// The camera names of a calibration, in file order, each once. A set also
// keeps the embedded default's cameras that the file does not name; these
// are the file's own.
std::vector<std::string> cameraNamesOf(const dravik::calibration::RobotCalibration& calibration);

// "camera \"front\"", or "camera #2" for a camera without a name.
std::string describeCamera(const dravik::calibration::CameraCalibration& camera, int index);

// "kv007n (navigation camera)", "generic camera" (no model), "arm-cam (generic camera)", ...
std::string describeModel(const std::string& model);

}  // namespace camcal

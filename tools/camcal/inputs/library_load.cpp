#include "inputs/library_load.h"

#include <algorithm>

#include "calibration_common/camera_models.h"
#include "cli/command_error.h"
#include "cli/diagnostics.h"
#include "dravik/calibration_bytes.h"

namespace camcal {

using dravik::calibration::BaseCalibrationData;
using dravik::calibration::CameraCalibration;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::RobotCalibration;

namespace {

// Why the library rejects one camera message: its own record, or, where it
// logs nothing (a generic camera without a usable size), what it needs.
std::string cameraRejection(const CameraCalibration& camera, int index) {
  RecordCapture capture;
  capture.discard();
  CameraParameters record;
  if (record.readProto(camera)) return "";
  std::string why = capture.reason();
  if (why.empty() && dravik::calibration::cameraModelDescription(camera.model()) == nullptr) {
    why = "a generic camera needs a positive intrinsics width and height";
  }
  if (why.empty()) why = "rejected without a logged reason";
  return describeCamera(camera, index) + ": " + why;
}

// Runs a load; when it fails, the library's records of it become the reason.
template <typename Load>
LoadResult explainedLoad(Load load, const char* unlogged_reason) {
  LoadResult result;
  RecordCapture capture;
  result.loaded = load();
  if (result.loaded) return result;
  capture.consume();
  result.reason = capture.reason();
  if (result.reason.empty()) result.reason = unlogged_reason;
  return result;
}

}  // namespace

std::string describeCamera(const CameraCalibration& camera, int index) {
  if (camera.name().empty()) return "camera #" + std::to_string(index + 1);
  return "camera \"" + camera.name() + "\"";
}

std::string describeModel(const std::string& model) {
  if (const char* known = dravik::calibration::cameraModelDescription(model)) {
    return model + " (" + known + ")";
  }
  if (model.empty()) return "generic camera";
  return model + " (generic camera)";
}

LoadResult loadRobotCalibration(const std::string& data, CameraParametersSet* set) {
  LoadResult result = explainedLoad([&] { return set->loadFromString(data); },
                                    "the library fell back to its default");
  if (result.loaded) return result;
  // The set holds the default again; read the data once more, as the library
  // does, to name the camera it stopped at and why.
  RobotCalibration calibration;
  if (dravik::readCalibrationBytes(data, &calibration)) {
    for (int i = 0; i < calibration.camera_size(); ++i) {
      const std::string rejection = cameraRejection(calibration.camera(i), i);
      if (!rejection.empty()) return LoadResult{false, rejection};
    }
  }
  return result;
}

LoadResult loadBaseCalibration(const std::string& data, BaseCalibrationData* base) {
  return explainedLoad([&] { return base->loadFromString(data); },
                       "the library fell back to its default");
}

LoadResult loadPtzModel(const dravik::calibration::PTZCameraParameters& params,
                        std::shared_ptr<dravik::calibration::PTZCameraModel>* model) {
  return explainedLoad(
      [&] {
        *model = std::make_shared<dravik::calibration::PTZCameraModel>(params);
        return (*model)->valid();
      },
      "the library finds the model invalid");
}

void requireRobotCalibration(const InputFile& input, CameraParametersSet* set) {
  parseExpected(input, CalibrationKind::kRobot);
  const LoadResult result = loadRobotCalibration(input.data, set);
  if (!result.loaded) {
    throw operationError(input.path + ": not a valid robot calibration: " + result.reason);
  }
}

void requireBaseCalibration(const InputFile& input, BaseCalibrationData* base) {
  parseExpected(input, CalibrationKind::kBase);
  const LoadResult result = loadBaseCalibration(input.data, base);
  if (!result.loaded) {
    throw operationError(input.path + ": not a valid base calibration: " + result.reason);
  }
}

std::shared_ptr<dravik::calibration::PTZCameraModel> requirePtzModel(const InputFile& input) {
  const ParsedCalibration parsed = parseExpected(input, CalibrationKind::kPtz);
  std::shared_ptr<dravik::calibration::PTZCameraModel> model;
  const LoadResult result = loadPtzModel(
      static_cast<const dravik::calibration::PTZCameraParameters&>(*parsed.message), &model);
  if (!result.loaded) {
    throw operationError(input.path + ": not a valid PTZ calibration: " + result.reason);
  }
  return model;
}

dravik::calibration::PTZCameraParameters requirePtzParameters(const InputFile& input) {
  requirePtzModel(input);
  const ParsedCalibration parsed = parseExpected(input, CalibrationKind::kPtz);
  return static_cast<const dravik::calibration::PTZCameraParameters&>(*parsed.message);
}

PtzHead requirePtzHead(const InputFile& input) {
  PtzHead head;
  head.params = requirePtzParameters(input).pan_tilt();
  if (!head.model.readFromPB(head.params)) {
    throw operationError(input.path +
                         ": not a valid PTZ calibration: the pan/tilt head does not "
                         "load");
  }
  return head;
}

std::vector<std::string> cameraNamesOf(const RobotCalibration& calibration) {
  std::vector<std::string> names;
  for (const CameraCalibration& camera : calibration.camera()) {
    if (std::find(names.begin(), names.end(), camera.name()) == names.end()) {
      names.push_back(camera.name());
    }
  }
  return names;
}

}  // namespace camcal

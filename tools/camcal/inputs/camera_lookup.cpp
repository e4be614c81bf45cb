#include "inputs/camera_lookup.h"

#include <algorithm>

#include "calibration_common/camera_models.h"
#include "calibration_utils/lens.h"
#include "cli/command_error.h"
#include "cli/diagnostics.h"
#include "inputs/library_load.h"

namespace camcal {

using dravik::calibration::CameraParameters;

IntrinsicsAtSize intrinsicsOf(const std::string& name, const CameraParameters& camera, int width,
                              int height) {
  IntrinsicsAtSize intrinsics;
  intrinsics.camera = name;
  intrinsics.model = camera.getModel();
  intrinsics.model_description = describeModel(camera.getModel());
  intrinsics.width = width;
  intrinsics.height = height;
  intrinsics.generic = dravik::calibration::cameraModelDescription(camera.getModel()) == nullptr;
  // A generic camera's one entry is its full frame.
  intrinsics.source = !camera.hasIntrinsics(width, height) ? IntrinsicsSource::kScaledFullFrame
                      : intrinsics.generic                 ? IntrinsicsSource::kFullFrame
                                                           : IntrinsicsSource::kTable;
  // The lens's values, as loaded (checked where a lens is made of them: lensOf).
  intrinsics.K = camera.getIntrinsics(width, height);
  intrinsics.distortion = camera.getDistortion(width, height);
  return intrinsics;
}

IntrinsicsAtSize intrinsicsOf(const dravik::calibration::PTZCameraModelConfiguration& setting) {
  const dravik::calibration::Lens& lens = setting.getLens();
  IntrinsicsAtSize intrinsics;
  intrinsics.camera = "ptz";
  intrinsics.model = "ptz";
  intrinsics.model_description = "PTZ camera";
  intrinsics.width = lens.width();
  intrinsics.height = lens.height();
  intrinsics.source = IntrinsicsSource::kPtzSetting;
  intrinsics.pan = setting.pan();
  intrinsics.tilt = setting.tilt();
  intrinsics.zoom = setting.zoom();
  intrinsics.K = lens.K();
  intrinsics.distortion = lens.distortionList();
  return intrinsics;
}

std::vector<ImageSize> servedSizes(const CameraParameters& camera) {
  std::vector<ImageSize> sizes = {{camera.getFullFrame().width, camera.getFullFrame().height}};
  for (const auto& entry : camera.getIntrinsicsTable()) {
    const bool known = std::any_of(sizes.begin(), sizes.end(), [&](const ImageSize& s) {
      return s.width == entry.width && s.height == entry.height;
    });
    if (!known) sizes.push_back({entry.width, entry.height});
  }
  return sizes;
}

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "none" : text;
}

CameraAtSize findCameraAtSize(const std::string& calibration_path, const std::string& camera_name,
                              const ImageSize& size) {
  dravik::calibration::CameraParametersSet set;
  std::string source = "the embedded default calibration";
  std::vector<std::string> names = set.getCameraNames();
  if (!calibration_path.empty()) {
    const InputFile input = readInput(calibration_path);
    requireRobotCalibration(input, &set);
    source = input.path;
    names = cameraNamesOf(set.getRawCalData());
  }
  // Only the cameras of the file count: the set also keeps the default's.
  CameraAtSize found;
  if (std::find(names.begin(), names.end(), camera_name) != names.end()) {
    found.camera = set.getCamera(camera_name);
  }
  if (!found.camera) {
    throw operationError("unknown camera '" + camera_name + "' in " + source +
                         " (cameras: " + joinNames(names) + ")");
  }
  found.intrinsics = intrinsicsOf(camera_name, *found.camera, size.width, size.height);
  if (found.intrinsics.source == IntrinsicsSource::kScaledFullFrame) {
    const auto& full = found.camera->getFullFrame();
    note(
        std::to_string(size.width) + "x" + std::to_string(size.height) +
        " is not an image size of camera '" + camera_name + "' (" +
        (found.intrinsics.generic ? "a generic camera: only its full frame" : "its model's table") +
        "); K is its full frame " + std::to_string(full.width) + "x" + std::to_string(full.height) +
        " scaled to " + std::to_string(size.width) + "x" + std::to_string(size.height));
  }
  return found;
}

}  // namespace camcal

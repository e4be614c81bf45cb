// Loads arbitrary bytes as a robot calibration, then exercises every lookup
// of every camera, the base adjustment, and copies of the set.
#include <cstdint>
#include <string>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "quiet_logs.h"

namespace {

using dravik::calibration::BaseCalibrationData;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;

float exercise(const CameraParameters& camera) {
  float sum = camera.getFullFrameIntrinsics().sum() + camera.getRotation().sum() +
              camera.getTranslation().sum() + camera.getTransform().getCameraCenter().sum();
  for (float d : camera.getFullFrameDistortion()) sum += d;
  const int sizes[][2] = {{640, 480},  {800, 600}, {1024, 768}, {1280, 960},
                          {1280, 720}, {320, 240}, {0, 0},      {-1, 7}};
  for (const auto& size : sizes) {
    sum += camera.getIntrinsics(size[0], size[1]).sum();
    for (float d : camera.getDistortion(size[0], size[1])) sum += d;
  }
  for (const auto& entry : camera.getIntrinsicsTable()) {
    sum += camera.getIntrinsics(entry.width, entry.height).sum();
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  const std::string input(reinterpret_cast<const char*>(data), size);

  CameraParametersSet set;
  set.loadFromString(input);
  volatile float sink = 0.0f;
  for (const auto& name : set.getCameraNames()) sink = sink + exercise(*set.getCamera(name));

  static const BaseCalibrationData base;
  set.adjustUsingBaseCalibration(base);

  // Every fallback to the default recalibrates the head camera, so the
  // harness builds no more sets than it exercises.
  const CameraParametersSet copy(set);
  static CameraParametersSet assigned;
  assigned = set;
  for (const auto& name : copy.getCameraNames()) sink = sink + exercise(*copy.getCamera(name));
  assigned.loadFromString(input);
  return 0;
}

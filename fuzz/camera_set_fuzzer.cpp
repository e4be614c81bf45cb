// Loads arbitrary bytes into a fresh set and checks the load's contract: on
// true, every camera of the message has a record and every record is finite;
// on false, the message is the default and every name of the default has the
// default's record. Then exercises every lookup of every camera, the base
// adjustment, and copies of the set.
#include <google/protobuf/util/message_differencer.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "quiet_logs.h"

namespace {

using dravik::calibration::BaseCalibrationData;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using google::protobuf::util::MessageDifferencer;

bool isFinite(const std::vector<float>& distortion) {
  return distortion.size() == 8 && std::all_of(distortion.begin(), distortion.end(),
                                               [](float d) { return std::isfinite(d); });
}

// The K matrices hold fx, fy, skew, cx and cy of the full frame and of each entry.
bool isFinite(const CameraParameters& camera) {
  if (!isFinite(camera.getFullFrameDistortion()) || !camera.getFullFrameIntrinsics().allFinite() ||
      !camera.getRotation().allFinite() || !camera.getTranslation().allFinite() ||
      !camera.getTransform().getTransform().allFinite() ||
      !camera.getTransform().getInverseTransform().allFinite()) {
    return false;
  }
  for (const auto& entry : camera.getIntrinsicsTable()) {
    if (!isFinite(entry.distortion) || !camera.getIntrinsics(entry.width, entry.height).allFinite())
      return false;
  }
  return true;
}

// The same record: the same message, read into the same numbers.
bool sameRecord(const CameraParameters& a, const CameraParameters& b) {
  if (!MessageDifferencer::Equals(a.getCalibration(), b.getCalibration())) return false;
  if (a.getFullFrameIntrinsics() != b.getFullFrameIntrinsics()) return false;
  if (a.getIntrinsicsTable().size() != b.getIntrinsicsTable().size()) return false;
  for (const auto& entry : a.getIntrinsicsTable()) {
    if (a.getIntrinsics(entry.width, entry.height) != b.getIntrinsics(entry.width, entry.height) ||
        a.getDistortion(entry.width, entry.height) != b.getDistortion(entry.width, entry.height)) {
      return false;
    }
  }
  return true;
}

// The lookups off the table (the table itself: isFinite, sameRecord), at
// sizes that are not sizes too.
float exercise(const CameraParameters& camera) {
  float sum = camera.getTransform().getCameraCenter().sum();
  const int sizes[][2] = {{640, 480}, {800, 600}, {1280, 720}, {320, 240}, {0, 0}, {-1, 7}};
  for (const auto& size : sizes) {
    sum += camera.getIntrinsics(size[0], size[1]).sum();
    for (float d : camera.getDistortion(size[0], size[1])) sum += d;
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  static const CameraParametersSet defaults;
  const std::string input(reinterpret_cast<const char*>(data), size);

  CameraParametersSet set;
  if (set.loadFromString(input)) {
    for (const auto& camera : set.getRawCalData().camera()) {
      const auto record = set.getCamera(camera.name());
      if (!record || !isFinite(*record)) __builtin_trap();
    }
  } else {
    if (!MessageDifferencer::Equals(set.getRawCalData(), defaults.getRawCalData()))
      __builtin_trap();
    for (const auto& name : defaults.getCameraNames()) {
      const auto record = set.getCamera(name);
      if (!record || !sameRecord(*record, *defaults.getCamera(name))) __builtin_trap();
    }
  }
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

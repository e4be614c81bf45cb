// Builds a PTZ camera model from arbitrary bytes and, when it is valid,
// evaluates it at fuzzed settings and runs every projection, rectification
// and aiming operation on fuzzed (possibly non-finite) inputs.
//
// Input layout: a 16-bit little-endian length n, then n bytes of
// PTZCameraParameters (wire format, or text format if that fails), then the
// numbers the operations take.
#include <google/protobuf/text_format.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "calibration_common/pan_tilt_model.h"
#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/rectify.h"
#include "fuzzed_numbers.h"
#include "quiet_logs.h"

namespace {

using dravik::calibration::PanTiltModel;
using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

float exercise(const PTZCameraModelConfiguration& c, FuzzedNumbers* in) {
  const Eigen::Vector3f world = in->v3();
  const Eigen::Vector2f pixel = in->v2();
  float sum = c.project3dToCamera(world).sum() + c.projectPixelToRay(pixel).sum() +
              c.rectifyPoint(in->v2()).sum() + c.getCameraCenter().sum();
  int pan = 0, tilt = 0, zoom = 0;
  sum += static_cast<float>(c.getPanTilt(pixel, &pan, &tilt));
  sum += static_cast<float>(c.getPanTiltZoom(in->v2(), in->v2(), &pan, &tilt, &zoom));
  float pan_f = 0.0f, tilt_f = 0.0f;
  sum += static_cast<float>(c.getPanTilt(world, in->v2(), &pan_f, &tilt_f));
  // Each output on its own: the motor positions may lie anywhere in the int range.
  return sum + static_cast<float>(pan) + static_cast<float>(tilt) + static_cast<float>(zoom) +
         pan_f + tilt_f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quietLogs();
  if (size < 2) return 0;
  const size_t message_size = std::min<size_t>(size - 2, size_t(data[0]) | size_t(data[1]) << 8);
  const std::string message(reinterpret_cast<const char*>(data + 2), message_size);
  FuzzedNumbers in(data + 2 + message_size, size - 2 - message_size);

  PTZCameraParameters params;
  if (!params.ParseFromString(message) &&
      !google::protobuf::TextFormat::ParseFromString(message, &params)) {
    return 0;
  }
  const auto model = std::make_shared<PTZCameraModel>(params);
  volatile float sink = model->stepsToZoomXFactor(in.i()) +
                        static_cast<float>(model->zoomXFactorToSteps(in.f())) +
                        model->maxZoomXFactor();

  // A configuration of a model without samples is a documented fatal check.
  if (model->valid() && params.intrinsics().samples_size() > 0) {
    for (int k = 0; k < 3; ++k) {
      const PTZCameraModelConfiguration configuration(model, in.i(), in.i(), in.i());
      sink = sink + exercise(configuration, &in);
    }
  }

  PanTiltModel head;
  if (head.readFromPB(params.pan_tilt())) {
    float pan = 0.0f, tilt = 0.0f;
    sink = sink + static_cast<float>(head.computePanTilt(in.v3(), in.v2(), &pan, &tilt));
    sink = sink + head.getFullTransform(in.f(), in.f()).getCameraCenter().sum();
  }

  float lens[8], principal_point[2], focal_length[2];
  for (float& value : lens) value = in.f();
  for (float& value : principal_point) value = in.f();
  for (float& value : focal_length) value = in.f();
  sink =
      sink + dravik::calibration::rectifyPoint(lens, principal_point, focal_length, in.v2()).sum();
  return 0;
}

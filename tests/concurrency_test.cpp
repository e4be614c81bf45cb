// Threads that read calibrations at once see exactly what one thread sees.
// Built under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_common/ptz_camera_model.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/ptz_models.h"

namespace {

using dravik::calibration::BaseCalibrationData;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;

// Everything a reader computes, flags and motor positions as floats.
using Observation = std::vector<float>;
void add(Observation* out, const Eigen::MatrixXf& m) {
  out->insert(out->end(), m.data(), m.data() + m.size());
}
// Bitwise: NaN or not, the same computation gives the same bits.
bool same(const Observation& a, const Observation& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void readCamera(const CameraParameters& camera, Observation* out) {
  add(out, camera.getFullFrameIntrinsics());
  add(out, camera.getTransform().getTransform());
  add(out, camera.getTransform().getInverseTransform());
  for (const auto& entry : camera.getIntrinsicsTable()) {
    add(out, camera.getIntrinsics(entry.width, entry.height));
    const auto& d = camera.getDistortion(entry.width, entry.height);
    out->insert(out->end(), d.begin(), d.end());
  }
  add(out, camera.getIntrinsics(333, 222));  // a miss: logs and scales the full frame
}

// The camera set, the base calibration and the PTZ configurations on one model.
void readAll(const CameraParametersSet& set, const BaseCalibrationData& base,
             const std::vector<PTZCameraModelConfiguration>& configurations,
             const PTZCameraModel& model, Observation* out) {
  for (const auto& name : set.getCameraNames()) readCamera(*set.getCamera(name), out);
  add(out, base.getWorldRotation());
  add(out, base.getWorldTranslation());
  out->insert(out->end(),
              {float(set.hasCamera("no such camera")), base.getGyroscopeGain(), base.getWheelBase(),
               float(base.isGyroscopeGainCalibrationValid("factory default"))});
  for (const auto& c : configurations) {
    const Eigen::Vector3f world = c.getCameraCenter() + c.projectPixelToRay({700.0f, 400.0f});
    add(out, c.project3dToCamera(world));
    add(out, c.projectPixelToRay({100.0f, 900.0f}));
    add(out, c.rectifyPoint({0.9f, 0.1f}));
    int pan = 0, tilt = 0, zoom = 0;
    const bool aimed = c.getPanTilt(Eigen::Vector2f(1500.0f, 300.0f), &pan, &tilt);
    out->insert(out->end(), {float(aimed), float(pan), float(tilt)});
    const bool zoomed = c.getPanTiltZoom({800.0f, 400.0f}, {1100.0f, 650.0f}, &pan, &tilt, &zoom);
    out->insert(out->end(), {float(zoomed), float(pan), float(tilt), float(zoom)});
    float pan_f = 0.0f, tilt_f = 0.0f;
    out->insert(out->end(),
                {float(c.getPanTilt(world, Eigen::Vector2f(960.0f, 540.0f), &pan_f, &tilt_f)),
                 pan_f, tilt_f});
  }
  out->insert(out->end(), {model.stepsToZoomXFactor(5000), float(model.zoomXFactorToSteps(3.0f))});
}

TEST(Concurrency, ReadersAgreeWithOneThreadWhileRecordsAreReleasedAndAnotherSetReloads) {
  dravik::testing::LogCapture log(6);  // the readers share the logger as well
  const CameraParametersSet set;
  const BaseCalibrationData base;
  const auto model = std::make_shared<PTZCameraModel>(dravik::testing::ptzExampleParameters());
  ASSERT_TRUE(model->valid());
  std::vector<PTZCameraModelConfiguration> configurations;
  for (int zoom : {0, 3000, 9000, 16000})
    configurations.emplace_back(model, 150 * zoom / 1000, -40, zoom);
  // The reloaded set hands its records out before the reloads begin.
  CameraParametersSet reloaded;
  std::vector<std::shared_ptr<const CameraParameters>> held;
  for (const auto& name : reloaded.getCameraNames()) held.push_back(reloaded.getCamera(name));

  Observation expected;
  readAll(set, base, configurations, *model, &expected);
  std::vector<Observation> expected_held(held.size());
  for (size_t i = 0; i < held.size(); ++i) readCamera(*held[i], &expected_held[i]);

  // A calibration of other cameras for the reloading set, without the head's recalibration.
  const std::string other =
      dravik::testing::cameraText("left", "kv007n") + dravik::testing::cameraText("right", "b910");
  std::atomic<int> mismatches{0};
  // Each reader owns its copies of the held records and drops them one by
  // one, while the reloading set and the other readers still hold theirs.
  const auto read = [&](int t, decltype(held) mine) {
    for (int round = 0; round < 40; ++round) {
      Observation seen;
      readAll(set, base, configurations, *model, &seen);
      if (!same(seen, expected)) ++mismatches;
      for (size_t i = 0; i < mine.size(); ++i) {
        if (!mine[i]) continue;
        Observation record;
        readCamera(*mine[i], &record);
        if (!same(record, expected_held[i])) ++mismatches;
        if (round == 2 * static_cast<int>(i) + t) mine[i].reset();
      }
    }
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) readers.emplace_back(read, t, held);
  for (int round = 0; round < 6; ++round) {
    // A valid load, then an unusable one that falls back to the default.
    EXPECT_TRUE(reloaded.loadFromString(other));
    EXPECT_FALSE(reloaded.loadFromString("not a calibration"));
  }
  held.clear();
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(log.records().size(), 0u);
}

}  // namespace

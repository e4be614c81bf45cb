// Threads that read calibrations at once see exactly what one thread sees.
// Built under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"

namespace {

using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;

// Everything a reader computes, as floats.
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

void readSet(const CameraParametersSet& set, Observation* out) {
  for (const auto& name : set.getCameraNames()) readCamera(*set.getCamera(name), out);
  out->push_back(float(set.hasCamera("no such camera")));
}

// The readers share the camera records and the logger (the PTZ model and the
// base calibration hold no state a reader could change).
TEST(Concurrency, ReadersAgreeWithOneThreadWhileRecordsAreReleasedAndAnotherSetReloads) {
  dravik::testing::LogCapture log(6);
  const CameraParametersSet set;
  // The reloaded set hands its records out before the reloads begin.
  CameraParametersSet reloaded;
  std::vector<std::shared_ptr<const CameraParameters>> held;
  for (const auto& name : reloaded.getCameraNames()) held.push_back(reloaded.getCamera(name));

  Observation expected;
  readSet(set, &expected);
  std::vector<Observation> expected_held(held.size());
  for (size_t i = 0; i < held.size(); ++i) readCamera(*held[i], &expected_held[i]);

  const std::string other =
      dravik::testing::cameraText("left", "kv007n") + dravik::testing::cameraText("right", "b910");
  std::atomic<int> mismatches{0};
  // Each reader owns its copies of the held records and drops them one by
  // one, while the reloading set and the other readers still hold theirs.
  const auto read = [&](int t, decltype(held) mine) {
    for (int round = 0; round < 40; ++round) {
      Observation seen;
      readSet(set, &seen);
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

// The pan/tilt head's forward transform and inverse solution on a realistic
// head, with logging disabled as on the robot.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "calibration_common/pan_tilt_model.h"
#include "dravik/logging.h"
#include "support/pan_tilt_heads.h"

namespace {

using dravik::calibration::PanTiltModel;

struct Target {
  Eigen::Vector3f world;
  Eigen::Vector2f dev;
};

// Targets seen from a spread of motor positions through a spread of rays.
std::vector<Target> targets(const PanTiltModel& model, const dravik::testing::HeadGeometry& head) {
  std::vector<Target> out;
  for (int i = 0; i < 64; ++i) {
    const float pan_angle = -2.8f + 0.09f * i;
    const float tilt_angle = -0.9f + 0.03f * (i % 61);
    const Eigen::Vector2f dev(0.004f * (i % 50) - 0.1f, 0.1f - 0.003f * (i % 67));
    const float depth = 2.0f + 0.1f * i;
    const Eigen::Vector4f in_camera(depth * dev.x(), depth * dev.y(), depth, 1.0f);
    const float pan = pan_angle / head.pan_scale + head.pan_offset;
    const float tilt = tilt_angle / head.tilt_scale + head.tilt_offset;
    const Eigen::Vector4f world =
        model.getFullTransform(pan, tilt).getInverseTransform() * in_camera;
    out.push_back({world.head<3>(), dev});
  }
  return out;
}

void BM_ComputePanTilt(benchmark::State& state) {
  dravik::setLogLevel(0);
  const auto head = dravik::testing::realisticHead();
  const PanTiltModel model = dravik::testing::headModel(head);
  const std::vector<Target> cases = targets(model, head);
  size_t i = 0;
  int64_t solved = 0;
  for (auto _ : state) {
    const Target& target = cases[i++ % cases.size()];
    float pan, tilt;
    solved += model.computePanTilt(target.world, target.dev, &pan, &tilt);
    benchmark::DoNotOptimize(pan);
    benchmark::DoNotOptimize(tilt);
  }
  // The share of calls that converged: failures stop early and cost less.
  state.counters["solved"] =
      benchmark::Counter(static_cast<double>(solved), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ComputePanTilt);

void BM_GetFullTransform(benchmark::State& state) {
  const PanTiltModel model = dravik::testing::headModel(dravik::testing::realisticHead());
  float pan = 1000.0f;
  float tilt = -500.0f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.getFullTransform(pan, tilt));
    pan += 1.0f;
    tilt -= 0.5f;
  }
}
BENCHMARK(BM_GetFullTransform);

}  // namespace

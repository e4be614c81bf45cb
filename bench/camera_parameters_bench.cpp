// The camera set: construction with the embedded default, loading a
// four-camera calibration (text and wire format), loading ten different head
// calibrations (each recalibrates the head camera's 640 x 480 mode from its
// sample points), and intrinsics lookups.
//   build/bench/camera_parameters_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
// Each benchmark also reports the heap allocations per iteration.
#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>

#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "dravik/logging.h"
// Counts every allocation of this program.
#include "allocation_counter.h"

namespace {

using dravik::calibration::CameraParametersSet;
using dravik::calibration::RobotCalibration;

// A robot with four cameras: navigation, a B910 front camera and a generic
// stereo pair; no sample points.
const char kFourCameras[] = R"(
camera {
  name: "navigation" model: "kv007n"
  intrinsics { fx: 618.25 fy: 617.9 skew: 0 cx: 641.7 cy: 478.3
               k: [-0.21, 0.045, 0.0, 0.12, 0.006, 0.0] p: [0.0004, -0.0003]
               width: 1280 height: 960 }
  extrinsics { a: [0, -1, 0, 0, -0.17364817766693, 0, -0.98480775301221, 929.7390221,
                   0.98480775301221, 0, -0.17364817766693, -89.9185784] }
}
camera {
  name: "front" model: "b910"
  intrinsics { fx: 2482.6 fy: 2479.8 skew: 0 cx: 1293.4 cy: 975.1
               k: [0.061, -0.142, 0.0, 0.0, 0.0, 0.0] p: [0.0006, 0.0002]
               width: 2592 height: 1944 }
  extrinsics { a: [0, -1, 0, 0, 0, 0, -1, 1100, 1, 0, 0, -180] }
}
camera {
  name: "stereo_left" model: "mono752"
  intrinsics { fx: 425.1 fy: 424.8 skew: 0 cx: 376.2 cy: 240.9
               k: [-0.28, 0.07, 0.0, 0.0, 0.0, 0.0] p: [0.0001, 0.0002]
               width: 752 height: 480 }
  extrinsics { a: [0, -1, 0, 60, 0, 0, -1, 1250, 1, 0, 0, -150] }
}
camera {
  name: "stereo_right" model: "mono752"
  intrinsics { fx: 424.7 fy: 424.5 skew: 0 cx: 375.8 cy: 239.6
               k: [-0.279, 0.069, 0.0, 0.0, 0.0, 0.0] p: [-0.0001, 0.0001]
               width: 752 height: 480 }
  extrinsics { a: [0, -1, 0, -60, 0, 0, -1, 1250, 1, 0, 0, -150] }
}
)";

void reportAllocations(benchmark::State& state, long before) {
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(dravik::testing::allocationCount() - before),
                         benchmark::Counter::kAvgIterations);
}

void BM_ConstructDefaultSet(benchmark::State& state) {
  const long before = dravik::testing::allocationCount();
  for (auto _ : state) {
    CameraParametersSet set;
    benchmark::DoNotOptimize(&set);
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ConstructDefaultSet)->Unit(benchmark::kMillisecond);

void loadFourCameras(benchmark::State& state, const std::string& data) {
  CameraParametersSet set;
  const long before = dravik::testing::allocationCount();
  for (auto _ : state) {
    if (!set.loadFromString(data)) state.SkipWithError("the calibration does not load");
  }
  reportAllocations(state, before);
}

void BM_LoadFourCamerasText(benchmark::State& state) { loadFourCameras(state, kFourCameras); }
BENCHMARK(BM_LoadFourCamerasText);

void BM_LoadFourCamerasWire(benchmark::State& state) {
  RobotCalibration message;
  google::protobuf::TextFormat::ParseFromString(kFourCameras, &message);
  loadFourCameras(state, message.SerializeAsString());
}
BENCHMARK(BM_LoadFourCamerasWire);

// Ten head calibrations: the embedded default's, each with its head camera's
// sample pixels moved by a different pattern of up to 0.05 px.
std::vector<std::string> tenHeadCalibrations() {
  constexpr int kVariants = 10;
  const CameraParametersSet defaults;
  std::vector<std::string> variants;
  for (int k = 0; k < kVariants; ++k) {
    RobotCalibration cal = defaults.getRawCalData();
    for (auto& camera : *cal.mutable_camera()) {
      if (camera.model() != "kv006h") continue;
      int i = 0;
      for (auto& point : *camera.mutable_intrinsics()->mutable_sample_points()) {
        const float step = 0.01f * static_cast<float>((7 * i + 13 * k) % 11 - 5);
        point.set_pixel_x(point.pixel_x() + step);
        point.set_pixel_y(point.pixel_y() - 0.5f * step);
        ++i;
      }
    }
    variants.push_back(cal.SerializeAsString());
  }
  return variants;
}

// One set loads the ten calibrations in turn.
void BM_LoadTenHeadCalibrations(benchmark::State& state) {
  const std::vector<std::string> variants = tenHeadCalibrations();
  CameraParametersSet set;
  size_t next = 0;
  const long before = dravik::testing::allocationCount();
  for (auto _ : state) {
    if (!set.loadFromString(variants[next])) state.SkipWithError("the calibration does not load");
    next = (next + 1) % variants.size();
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_LoadTenHeadCalibrations)->Unit(benchmark::kMillisecond);

// A new set for each of the ten: construction with the default, then the load.
void BM_ConstructAndLoadTenHeadCalibrations(benchmark::State& state) {
  const std::vector<std::string> variants = tenHeadCalibrations();
  size_t next = 0;
  const long before = dravik::testing::allocationCount();
  for (auto _ : state) {
    CameraParametersSet set;
    if (!set.loadFromString(variants[next])) state.SkipWithError("the calibration does not load");
    next = (next + 1) % variants.size();
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ConstructAndLoadTenHeadCalibrations)->Unit(benchmark::kMillisecond);

void lookUp(benchmark::State& state, int width, int height) {
  dravik::setLogLevel(0);
  const CameraParametersSet set;
  const auto camera = set.getCamera("navigation");
  const long before = dravik::testing::allocationCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(width);
    benchmark::DoNotOptimize(height);
    Eigen::Matrix3f K = camera->getIntrinsics(width, height);
    benchmark::DoNotOptimize(K);
  }
  reportAllocations(state, before);
  dravik::setLogLevel(3);
}

// 1280 x 720 is the last of the navigation camera's three entries.
void BM_GetIntrinsicsHit(benchmark::State& state) { lookUp(state, 1280, 720); }
BENCHMARK(BM_GetIntrinsicsHit);

void BM_GetIntrinsicsMiss(benchmark::State& state) { lookUp(state, 320, 240); }
BENCHMARK(BM_GetIntrinsicsMiss);

}  // namespace

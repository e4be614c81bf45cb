// The C++ side of python/bench/bench_python.py: the library calls the Python
// module makes, on the data the script uses.
// - The example PTZ camera at pan 3100, tilt 900, zoom 5000: a 400 x 250 grid
//   of pixels over its 1920 x 1080 image, and the world points seen at them at
//   depths of 2 to 18 m; time per point.
// - remapImage of a 1280 x 960 frame, gray and colour, through the navigation
//   camera's forward map at alpha 0; time per frame.
//   build/test/python/batch_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/undistortion.h"
#include "dravik/logging.h"

namespace {

using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

constexpr int kColumns = 400;
constexpr int kRows = 250;

std::shared_ptr<PTZCameraModel> exampleModel() {
  std::ifstream file(std::string(CAMERA_PARAMETERS_SOURCE_DIR) + "/data/ptz_camera_example.txt");
  std::stringstream text;
  text << file.rdbuf();
  PTZCameraParameters params;
  if (!google::protobuf::TextFormat::ParseFromString(text.str(), &params)) std::abort();
  return std::make_shared<PTZCameraModel>(params);
}

// The grid and points of bench_python.py, interleaved as numpy holds them:
// pixel i = (r, c) at ((c + 0.5) * 1920 / 400, (r + 0.5) * 1080 / 250), its
// world point at depth 2 + (i % 17) metres along the unit ray.
struct Scene {
  std::shared_ptr<PTZCameraModel> model = exampleModel();
  PTZCameraModelConfiguration config{model, 3100, 900, 5000};
  std::vector<double> pixels, points;

  Scene() {
    dravik::setLogLevel(0);
    const std::size_t n = std::size_t(kRows) * kColumns;
    for (int r = 0; r < kRows; ++r) {
      for (int c = 0; c < kColumns; ++c) {
        pixels.push_back((c + 0.5) * 1920.0 / kColumns);
        pixels.push_back((r + 0.5) * 1080.0 / kRows);
      }
    }
    std::vector<double> rays(3 * n);
    config.projectPixelsToRays(pixels.data(), n, rays.data());
    const Eigen::Vector3d centre = config.getCameraCenter().cast<double>();
    for (std::size_t i = 0; i < n; ++i) {
      const Eigen::Vector3d ray = Eigen::Vector3d(&rays[3 * i]).normalized();
      const Eigen::Vector3d point = centre + double(2 + i % 17) * ray;
      points.insert(points.end(), point.data(), point.data() + 3);
    }
  }
  std::size_t size() const { return pixels.size() / 2; }
};

const Scene& scene() {
  static const Scene s;
  return s;
}

// Time per point: items/s is points per second.
void BM_ProjectPoints(benchmark::State& state) {
  const Scene& s = scene();
  std::vector<double> uv(2 * s.size());
  for (auto _ : state) {
    s.config.projectPoints(s.points.data(), s.size(), uv.data());
    benchmark::DoNotOptimize(uv.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(BM_ProjectPoints);

void BM_NormalizePixels(benchmark::State& state) {
  const Scene& s = scene();
  std::vector<double> xy(2 * s.size());
  std::vector<std::uint8_t> converged(s.size());
  for (auto _ : state) {
    s.config.getLens().normalizePixels(s.pixels.data(), s.size(), xy.data(), converged.data());
    benchmark::DoNotOptimize(xy.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(BM_NormalizePixels);

// Time per frame: items/s is frames per second. The frame of bench_python.py:
// byte i is (i * 7) % 251.
void BM_RemapImage(benchmark::State& state, int channels) {
  const dravik::calibration::CameraParametersSet set;
  const dravik::calibration::Lens lens = set.getCamera("navigation")->getLens(1280, 960);
  dravik::calibration::PinholeView view;
  dravik::calibration::UndistortionMap map;
  if (!dravik::calibration::choosePinholeView(lens, 0.0f, 1280, 960, &view) ||
      !dravik::calibration::buildUndistortionMap(lens, view, &map)) {
    state.SkipWithError("no map");
    return;
  }
  const std::size_t stride = std::size_t(1280) * std::size_t(channels);
  std::vector<std::uint8_t> frame(stride * 960), out(stride * 960);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = std::uint8_t(i * 7 % 251);
  for (auto _ : state) {
    dravik::calibration::remapImage(frame.data(), 1280, 960, channels, stride, map, out.data(),
                                    stride, 0, /*threads=*/1);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK_CAPTURE(BM_RemapImage, gray, 1);
BENCHMARK_CAPTURE(BM_RemapImage, colour, 3);

}  // namespace

// The C++ side of python/bench/bench_python.py: the library's own cost per
// point of the PTZ camera's batch work that the Python module does, on the
// data the script uses (the example camera at pan 3100, tilt 900, zoom 5000;
// a 400 x 250 grid of pixels over its 1920 x 1080 image, and the world points
// seen at them at depths of 2 to 18 m).
//   build/test/python/batch_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/rectify.h"
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

// The grid and points of bench_python.py: pixel i = (r, c) at
// ((c + 0.5) * 1920 / 400, (r + 0.5) * 1080 / 250), its world point at depth
// 2 + (i % 17) metres along the unit ray.
struct Scene {
  std::shared_ptr<PTZCameraModel> model = exampleModel();
  PTZCameraModelConfiguration config{model, 3100, 900, 5000};
  dravik::calibration::Lens lens = config.getLens();
  std::vector<float> u, v;
  std::vector<Eigen::Vector3f> points;

  Scene() {
    dravik::setLogLevel(0);
    for (int r = 0; r < kRows; ++r) {
      for (int c = 0; c < kColumns; ++c) {
        const float x = float((c + 0.5) * 1920.0 / kColumns);
        const float y = float((r + 0.5) * 1080.0 / kRows);
        const float depth = float(2 + (u.size() % 17));
        u.push_back(x);
        v.push_back(y);
        const Eigen::Vector3f ray = config.projectPixelToRay(Eigen::Vector2f(x, y)).normalized();
        points.push_back(config.getCameraCenter() + depth * ray);
      }
    }
  }
};

const Scene& scene() {
  static const Scene s;
  return s;
}

// Time per point: items/s is points per second. The batch form over
// coordinate arrays, as the module calls it.
void BM_Project3dToCameraBatch(benchmark::State& state) {
  const Scene& s = scene();
  const size_t n = s.points.size();
  std::vector<float> x(n), y(n), z(n), u(n), v(n);
  for (size_t i = 0; i < n; ++i) {
    x[i] = s.points[i].x();
    y[i] = s.points[i].y();
    z[i] = s.points[i].z();
  }
  for (auto _ : state) {
    s.config.project3dToCamera(x.data(), y.data(), z.data(), int(n), u.data(), v.data());
    benchmark::DoNotOptimize(u.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_Project3dToCameraBatch);

void BM_RectifyPointsBatch(benchmark::State& state) {
  const Scene& s = scene();
  const float principal_point[2] = {s.lens.K(0, 2), s.lens.K(1, 2)};
  const float focal_length[2] = {s.lens.K(0, 0), s.lens.K(1, 1)};
  std::vector<float> x(s.u.size()), y(s.u.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(dravik::calibration::rectifyPoints(
        s.lens.distortion.data(), principal_point, focal_length, s.u.data(), s.v.data(),
        int(s.u.size()), x.data(), y.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.u.size()));
}
BENCHMARK(BM_RectifyPointsBatch);

}  // namespace

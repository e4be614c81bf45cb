// The PTZ camera on the example calibration (data/ptz_camera_example.txt):
// evaluating the model at a setting, projection, rays and aiming, with
// OpenCV's projectPoints on the same lens and pose as the baseline. The
// counter vs_opencv is the time per point over that of OpenCV's
// projectPoints on all the points in one call, measured right after.
//   build/bench/ptz_camera_model_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <google/protobuf/text_format.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "calibration_common/ptz_camera_model.h"
#include "dravik/logging.h"
#include "peer_ratio.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

std::shared_ptr<PTZCameraModel> exampleModel() {
  std::ifstream file(CAMERA_PARAMETERS_SOURCE_DIR "/data/ptz_camera_example.txt");
  std::stringstream text;
  text << file.rdbuf();
  PTZCameraParameters params;
  if (!google::protobuf::TextFormat::ParseFromString(text.str(), &params)) std::abort();
  return std::make_shared<PTZCameraModel>(params);
}

// The example camera between two zoom samples, with world points that it
// sees all over its image and pixels all over its image.
struct Scene {
  std::shared_ptr<PTZCameraModel> model = exampleModel();
  PTZCameraModelConfiguration config{model, 3100, 900, 5000};
  std::vector<Eigen::Vector3f> points;
  std::vector<Eigen::Vector2f> pixels;

  Scene() {
    dravik::setLogLevel(0);  // logging disabled
    const Eigen::Matrix4f& world_from_camera = config.getTransform().getInverseTransform();
    for (float y = -0.12f; y <= 0.12f; y += 0.04f) {
      for (float x = -0.2f; x <= 0.2f; x += 0.04f) {
        const float depth = 3.0f + 10.0f * (x + 0.2f);
        points.push_back(
            (world_from_camera * Eigen::Vector4f(x * depth, y * depth, depth, 1.0f)).head<3>());
      }
    }
    for (float v = 20; v < 1080; v += 70) {
      for (float u = 20; u < 1920; u += 110) pixels.emplace_back(u, v);
    }
  }
};

const Scene& scene() {
  static const Scene s;
  return s;
}

void BM_ConfigurationConstruction(benchmark::State& state) {
  const Scene& s = scene();
  int zoom = 0;
  for (auto _ : state) {
    const PTZCameraModelConfiguration config(s.model, 3100, 900, zoom);
    benchmark::DoNotOptimize(config.distortion().data());
    zoom = zoom == 16000 ? 0 : zoom + 250;
  }
}
BENCHMARK(BM_ConfigurationConstruction);

// Calls op on the items in turn, one per iteration.
template <typename Item, typename Op>
void eachItem(benchmark::State& state, const std::vector<Item>& items, Op op) {
  size_t i = 0;
  for (auto _ : state) {
    op(items[i]);
    i = i + 1 == items.size() ? 0 : i + 1;
  }
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// The configuration's pose, lens and intrinsics in OpenCV's terms.
struct OpenCvCamera {
  cv::Vec3d rvec, tvec;
  cv::Matx33d K;
  std::vector<double> distortion;

  explicit OpenCvCamera(const PTZCameraModelConfiguration& config) {
    const Eigen::Matrix4f& T = config.getTransform().getTransform();
    cv::Matx33d R;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) R(r, c) = T(r, c);
      tvec[r] = T(r, 3);
    }
    cv::Rodrigues(R, rvec);
    // The intrinsics as the projection shows them.
    const Eigen::Matrix4f& world_from_camera = config.getTransform().getInverseTransform();
    const Eigen::Vector2f centre =
        config.project3dToCamera((world_from_camera * Eigen::Vector4f(0, 0, 1, 1)).head<3>());
    const Eigen::Vector2f right =
        config.project3dToCamera((world_from_camera * Eigen::Vector4f(1e-4f, 0, 1, 1)).head<3>());
    const double f = (right.x() - centre.x()) / 1e-4;
    K = cv::Matx33d(f, 0, centre.x(), 0, f, centre.y(), 0, 0, 1);
    distortion.assign(config.distortion().begin(), config.distortion().end());
  }
};

// OpenCV's projectPoints over all the scene's points in one call.
struct OpenCvProjection {
  const OpenCvCamera camera{scene().config};
  std::vector<cv::Point3f> points;
  std::vector<cv::Point2f> pixels;

  OpenCvProjection() {
    for (const auto& p : scene().points) points.emplace_back(p.x(), p.y(), p.z());
  }
  int64_t items() const { return int64_t(points.size()); }
  void operator()() {
    cv::projectPoints(points, camera.rvec, camera.tvec, camera.K, camera.distortion, pixels);
    benchmark::DoNotOptimize(pixels.data());
  }
};
// The peer of the ratios.
using Peer = OpenCvProjection;
#else
using Peer = dravik::bench::NoPeer;
#endif

void BM_Project3dToCamera(benchmark::State& state) {
  const Scene& s = scene();
  size_t i = 0;
  dravik::bench::runBesidePeer<Peer>(state, 1, [&] {
    benchmark::DoNotOptimize(s.config.project3dToCamera(s.points[i]));
    i = i + 1 == s.points.size() ? 0 : i + 1;
  });
}
BENCHMARK(BM_Project3dToCamera);

// All points in one call, as coordinate arrays; items/s is points per
// second.
void BM_Project3dToCameraBatch(benchmark::State& state) {
  const Scene& s = scene();
  std::vector<float> x, y, z;
  for (const auto& p : s.points) {
    x.push_back(p.x());
    y.push_back(p.y());
    z.push_back(p.z());
  }
  std::vector<float> u(x.size()), v(x.size());
  dravik::bench::runBesidePeer<Peer>(state, int64_t(x.size()), [&] {
    s.config.project3dToCamera(x.data(), y.data(), z.data(), int(x.size()), u.data(), v.data());
    benchmark::ClobberMemory();
  });
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(x.size()));
}
BENCHMARK(BM_Project3dToCameraBatch);

void BM_ProjectPixelToRay(benchmark::State& state) {
  const Scene& s = scene();
  eachItem(state, s.pixels, [&](const Eigen::Vector2f& pixel) {
    benchmark::DoNotOptimize(s.config.projectPixelToRay(pixel));
  });
}
BENCHMARK(BM_ProjectPixelToRay);

void BM_GetPanTiltOfAPixel(benchmark::State& state) {
  const Scene& s = scene();
  eachItem(state, s.pixels, [&](const Eigen::Vector2f& pixel) {
    int pan, tilt;
    benchmark::DoNotOptimize(s.config.getPanTilt(pixel, &pan, &tilt));
    benchmark::DoNotOptimize(pan + tilt);
  });
}
BENCHMARK(BM_GetPanTiltOfAPixel);

// Regions from a pixel to its mirror image across the vertical centre line,
// 60 px high.
void BM_GetPanTiltZoom(benchmark::State& state) {
  const Scene& s = scene();
  eachItem(state, s.pixels, [&](const Eigen::Vector2f& corner) {
    int pan, tilt, zoom;
    const Eigen::Vector2f opposite(1920.0f - corner.x(), corner.y() + 60.0f);
    benchmark::DoNotOptimize(s.config.getPanTiltZoom(corner, opposite, &pan, &tilt, &zoom));
    benchmark::DoNotOptimize(pan + tilt + zoom);
  });
}
BENCHMARK(BM_GetPanTiltZoom);

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// All points in one call; items/s is points per second.
void BM_OpenCvProjectPoints(benchmark::State& state) {
  OpenCvProjection projection;
  for (auto _ : state) projection();
  state.SetItemsProcessed(int64_t(state.iterations()) * projection.items());
}
BENCHMARK(BM_OpenCvProjectPoints);

// One point per call, buffers kept.
void BM_OpenCvProjectPointsOnePoint(benchmark::State& state) {
  const Scene& s = scene();
  const OpenCvCamera camera(s.config);
  std::vector<cv::Point3f> point(1);
  std::vector<cv::Point2f> pixel(1);
  eachItem(state, s.points, [&](const Eigen::Vector3f& p) {
    point[0] = cv::Point3f(p.x(), p.y(), p.z());
    cv::projectPoints(point, camera.rvec, camera.tvec, camera.K, camera.distortion, pixel);
    benchmark::DoNotOptimize(pixel.data());
  });
}
BENCHMARK(BM_OpenCvProjectPointsOnePoint);
#endif

}  // namespace

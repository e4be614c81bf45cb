// Undistortion of pixels, one at a time and in batches, against OpenCV's
// undistortPoints on the same lens: the head camera of the default
// calibration, a 1280 x 960 rational lens of about 113 degrees. The counter
// vs_opencv is the time per pixel over that of OpenCV's default
// undistortPoints on the whole grid in one call, measured right after.
//   build/bench/rectify_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "calibration_utils/lens.h"
#include "calibration_utils/rectify.h"
#include "peer_ratio.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

using dravik::calibration::rectifyPoint;
using dravik::calibration::rectifyPoints;
using dravik::calibration::rectifyPointWithStatus;

// k1, k2, p1, p2, k3, k4, k5, k6. OpenCV's default five fixed-point steps
// leave up to 2.4 px of error at the corners of this lens.
const float kDistortion[8] = {0.35f, 0.02f, 0.0006f, -0.0004f, 0.0f, 0.62f, 0.06f, 0.0f};
const float kPrincipalPoint[2] = {643.1f, 478.6f};
const float kFocalLength[2] = {758.4f, 757.9f};

// Pixels over the whole 1280 x 960 image, 16 px apart.
struct PixelGrid {
  std::vector<float> u, v;
  PixelGrid() {
    for (int y = 0; y <= 960; y += 16) {
      for (int x = 0; x <= 1280; x += 16) {
        u.push_back(float(x));
        v.push_back(float(y));
      }
    }
  }
  size_t size() const { return u.size(); }
};

const PixelGrid& grid() {
  static const PixelGrid pixels;
  return pixels;
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV's undistortPoints with its default criteria (5 fixed-point steps)
// over the whole grid in one call.
struct OpenCvUndistortion {
  const cv::Matx33d K{
      kFocalLength[0], 0, kPrincipalPoint[0], 0, kFocalLength[1], kPrincipalPoint[1], 0, 0, 1};
  const cv::Mat d{1, 8, CV_32F, const_cast<float*>(kDistortion)};
  std::vector<cv::Point2f> in, out;

  OpenCvUndistortion() {
    const PixelGrid& pixels = grid();
    for (size_t i = 0; i < pixels.size(); ++i) in.emplace_back(pixels.u[i], pixels.v[i]);
  }
  int64_t items() const { return int64_t(in.size()); }
  void operator()() {
    cv::undistortPoints(in, out, K, d);
    benchmark::DoNotOptimize(out.data());
  }
};
// The peer of the ratios.
using Peer = OpenCvUndistortion;
#else
using Peer = dravik::bench::NoPeer;
#endif

// Calls rectify(u, v) on the grid's pixels in turn, one per iteration.
template <typename Rectify>
void eachPixel(benchmark::State& state, Rectify rectify) {
  const PixelGrid& pixels = grid();
  size_t i = 0;
  dravik::bench::runBesidePeer<Peer>(state, 1, [&] {
    rectify(pixels.u[i], pixels.v[i]);
    i = i + 1 == pixels.size() ? 0 : i + 1;
  });
}

void BM_RectifyPoint(benchmark::State& state) {
  eachPixel(state, [](float u, float v) {
    benchmark::DoNotOptimize(
        rectifyPoint(kDistortion, kPrincipalPoint, kFocalLength, Eigen::Vector2f(u, v)));
  });
}
BENCHMARK(BM_RectifyPoint);

// The same lens as a camera's Lens, as a PTZ configuration holds it.
dravik::calibration::Lens benchLens() {
  Eigen::Matrix3f K;
  K << kFocalLength[0], 0, kPrincipalPoint[0], 0, kFocalLength[1], kPrincipalPoint[1], 0, 0, 1;
  dravik::calibration::Lens lens;
  dravik::calibration::Lens::fromIntrinsics(K, std::vector<float>(kDistortion, kDistortion + 8),
                                            1280, 960, &lens);
  return lens;
}

void BM_LensNormalize(benchmark::State& state) {
  const dravik::calibration::Lens lens = benchLens();
  eachPixel(state, [&](float u, float v) {
    benchmark::DoNotOptimize(lens.normalize(Eigen::Vector2d(u, v)));
  });
}
BENCHMARK(BM_LensNormalize);

void BM_RectifyPointWithStatus(benchmark::State& state) {
  eachPixel(state, [](float u, float v) {
    benchmark::DoNotOptimize(
        rectifyPointWithStatus(kDistortion, kPrincipalPoint, kFocalLength, Eigen::Vector2f(u, v)));
  });
}
BENCHMARK(BM_RectifyPointWithStatus);

// Time per pixel: items/s is pixels per second.
void BM_RectifyPointsBatch(benchmark::State& state) {
  const PixelGrid& pixels = grid();
  std::vector<float> x(pixels.size()), y(pixels.size());
  dravik::bench::runBesidePeer<Peer>(state, int64_t(pixels.size()), [&] {
    const int failures = rectifyPoints(kDistortion, kPrincipalPoint, kFocalLength, pixels.u.data(),
                                       pixels.v.data(), int(pixels.size()), x.data(), y.data());
    benchmark::DoNotOptimize(failures);
    benchmark::ClobberMemory();
  });
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(pixels.size()));
}
BENCHMARK(BM_RectifyPointsBatch);

// The batch on interleaved pixels, as the Python module hands them over.
void BM_LensNormalizePixels(benchmark::State& state) {
  const dravik::calibration::Lens lens = benchLens();
  const PixelGrid& pixels = grid();
  std::vector<double> uv, xy(2 * pixels.size());
  std::vector<std::uint8_t> ok(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) uv.insert(uv.end(), {pixels.u[i], pixels.v[i]});
  dravik::bench::runBesidePeer<Peer>(state, int64_t(pixels.size()), [&] {
    lens.normalizePixels(uv.data(), pixels.size(), xy.data(), ok.data());
    benchmark::ClobberMemory();
  });
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(pixels.size()));
}
BENCHMARK(BM_LensNormalizePixels);

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// One pixel per call, default criteria (5 fixed-point steps), buffers kept.
void BM_OpenCvUndistortPointsDefault(benchmark::State& state) {
  const OpenCvUndistortion reference;
  cv::Mat in(1, 1, CV_32FC2), out(1, 1, CV_32FC2);
  const PixelGrid& pixels = grid();
  size_t i = 0;
  for (auto _ : state) {
    in.at<cv::Vec2f>(0) = cv::Vec2f(pixels.u[i], pixels.v[i]);
    cv::undistortPoints(in, out, reference.K, reference.d);
    benchmark::DoNotOptimize(out.at<cv::Vec2f>(0));
    i = i + 1 == pixels.size() ? 0 : i + 1;
  }
}
BENCHMARK(BM_OpenCvUndistortPointsDefault);

// All pixels in one call, default criteria; items/s is pixels per second.
void BM_OpenCvUndistortPointsDefaultBatch(benchmark::State& state) {
  OpenCvUndistortion undistortion;
  for (auto _ : state) undistortion();
  state.SetItemsProcessed(int64_t(state.iterations()) * undistortion.items());
}
BENCHMARK(BM_OpenCvUndistortPointsDefaultBatch);
#endif

}  // namespace

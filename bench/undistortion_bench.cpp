// Whole-image undistortion against OpenCV on the same lens and view, one
// thread each: the navigation camera of the default calibration at
// 1280 x 960, the view keeping its K.
//   build/bench/undistortion_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <vector>

#include "calibration_utils/undistortion.h"
#include "support/undistortion_lenses.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using dravik::calibration::buildInverseUndistortionMap;
using dravik::calibration::buildUndistortionMap;
using dravik::calibration::Lens;
using dravik::calibration::PinholeView;
using dravik::calibration::remapImage;
using dravik::calibration::UndistortionMap;
using dravik::testing::navigationLens;
using dravik::testing::sameView;
using dravik::testing::texturedImage;

const Lens& lens() {
  static const Lens navigation = navigationLens();
  return navigation;
}

const UndistortionMap& forwardMap() {
  static const UndistortionMap map = [] {
    UndistortionMap m;
    buildUndistortionMap(lens(), sameView(lens()), &m);
    return m;
  }();
  return map;
}

void setPixels(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * int64_t(lens().width) * lens().height);
}

void BM_BuildUndistortionMap(benchmark::State& state) {
  UndistortionMap map;
  for (auto _ : state) {
    buildUndistortionMap(lens(), sameView(lens()), &map);
    benchmark::DoNotOptimize(map.x.data());
  }
  setPixels(state);
}
BENCHMARK(BM_BuildUndistortionMap)->Unit(benchmark::kMillisecond);

void BM_BuildInverseUndistortionMap(benchmark::State& state) {
  UndistortionMap map;
  for (auto _ : state) {
    buildInverseUndistortionMap(lens(), sameView(lens()), &map);
    benchmark::DoNotOptimize(map.x.data());
  }
  setPixels(state);
}
BENCHMARK(BM_BuildInverseUndistortionMap)->Unit(benchmark::kMillisecond);

void BM_RemapImage(benchmark::State& state) {
  const int channels = int(state.range(0));
  const std::vector<std::uint8_t> src = texturedImage(lens().width, lens().height, channels);
  std::vector<std::uint8_t> dst(src.size());
  const size_t stride = size_t(lens().width) * channels;
  for (auto _ : state) {
    remapImage(src.data(), lens().width, lens().height, channels, stride, forwardMap(), dst.data(),
               stride);
    benchmark::DoNotOptimize(dst.data());
  }
  setPixels(state);
}
BENCHMARK(BM_RemapImage)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
using dravik::testing::cvCameraMatrix;
using dravik::testing::cvDistortion;

void BM_OpenCV_InitUndistortRectifyMap(benchmark::State& state) {
  cv::setNumThreads(1);
  const cv::Mat K = cvCameraMatrix(lens().K), d = cvDistortion(lens().distortion);
  cv::Mat map_x, map_y;
  for (auto _ : state) {
    cv::initUndistortRectifyMap(K, d, cv::Mat(), K, cv::Size(lens().width, lens().height), CV_32FC1,
                                map_x, map_y);
    benchmark::DoNotOptimize(map_x.data);
  }
  setPixels(state);
}
BENCHMARK(BM_OpenCV_InitUndistortRectifyMap)->Unit(benchmark::kMillisecond);

void BM_OpenCV_UndistortPointsEveryPixel(benchmark::State& state) {
  cv::setNumThreads(1);
  const cv::Mat K = cvCameraMatrix(lens().K), d = cvDistortion(lens().distortion);
  std::vector<cv::Point2f> pixels, undistorted;
  for (int v = 0; v < lens().height; ++v) {
    for (int u = 0; u < lens().width; ++u) pixels.emplace_back(float(u), float(v));
  }
  for (auto _ : state) {
    cv::undistortPoints(pixels, undistorted, K, d, cv::noArray(), K);
    benchmark::DoNotOptimize(undistorted.data());
  }
  setPixels(state);
}
BENCHMARK(BM_OpenCV_UndistortPointsEveryPixel)->Unit(benchmark::kMillisecond);

// cv::remap from its fastest map: the fixed-point pair that convertMaps
// makes of OpenCV's own float map.
void BM_OpenCV_Remap(benchmark::State& state) {
  cv::setNumThreads(1);
  const int channels = int(state.range(0));
  const cv::Mat K = cvCameraMatrix(lens().K), d = cvDistortion(lens().distortion);
  cv::Mat map_x, map_y, fixed_xy, fixed_fraction;
  const cv::Size size(lens().width, lens().height);
  cv::initUndistortRectifyMap(K, d, cv::Mat(), K, size, CV_32FC1, map_x, map_y);
  cv::convertMaps(map_x, map_y, fixed_xy, fixed_fraction, CV_16SC2);
  std::vector<std::uint8_t> pixels = texturedImage(size.width, size.height, channels);
  const cv::Mat src(size, CV_8UC(channels), pixels.data());
  cv::Mat dst(size, CV_8UC(channels));
  for (auto _ : state) {
    cv::remap(src, dst, fixed_xy, fixed_fraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    benchmark::DoNotOptimize(dst.data);
  }
  setPixels(state);
}
BENCHMARK(BM_OpenCV_Remap)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

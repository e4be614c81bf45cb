// Whole-image undistortion against OpenCV on the same lens and view, one
// thread each: the navigation camera of the default calibration at
// 1280 x 960, the view keeping its K. Each benchmark runs OpenCV's
// counterpart right after it and reports its time over OpenCV's as
// "vs_opencv".
//   build/bench/undistortion_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <vector>

#include "calibration_utils/undistortion.h"
#include "peer_ratio.h"
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

int64_t pixelCount() { return int64_t(lens().width) * lens().height; }

void setPixels(benchmark::State& state) {
  state.SetItemsProcessed(int64_t(state.iterations()) * pixelCount());
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
using dravik::testing::cvCameraMatrix;
using dravik::testing::cvDistortion;

struct OpenCvLens {
  OpenCvLens() {
    cv::setNumThreads(1);
    K = cvCameraMatrix(lens().K);
    d = cvDistortion(lens().distortion);
  }
  int64_t items() const { return pixelCount(); }
  cv::Size size() const { return {lens().width, lens().height}; }
  cv::Mat K, d;
};

// cv::initUndistortRectifyMap to float maps (CV_32FC1).
struct OpenCvForwardMap : OpenCvLens {
  void operator()() {
    cv::initUndistortRectifyMap(K, d, cv::Mat(), K, size(), CV_32FC1, map_x, map_y);
    benchmark::DoNotOptimize(map_x.data);
  }
  cv::Mat map_x, map_y;
};

// cv::undistortPoints over every pixel of the image, default criteria.
struct OpenCvEveryPixel : OpenCvLens {
  OpenCvEveryPixel() {
    for (int v = 0; v < lens().height; ++v) {
      for (int u = 0; u < lens().width; ++u) pixels.emplace_back(float(u), float(v));
    }
  }
  void operator()() {
    cv::undistortPoints(pixels, undistorted, K, d, cv::noArray(), K);
    benchmark::DoNotOptimize(undistorted.data());
  }
  std::vector<cv::Point2f> pixels, undistorted;
};

// cv::remap from its fastest map: the fixed-point pair that convertMaps
// makes of OpenCV's own float map.
template <int kChannels>
struct OpenCvRemap : OpenCvLens {
  OpenCvRemap() : pixels(texturedImage(lens().width, lens().height, kChannels)) {
    cv::Mat map_x, map_y;
    cv::initUndistortRectifyMap(K, d, cv::Mat(), K, size(), CV_32FC1, map_x, map_y);
    cv::convertMaps(map_x, map_y, fixed_xy, fixed_fraction, CV_16SC2);
    src = cv::Mat(size(), CV_8UC(kChannels), pixels.data());
    dst = cv::Mat(size(), CV_8UC(kChannels));
  }
  void operator()() {
    cv::remap(src, dst, fixed_xy, fixed_fraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    benchmark::DoNotOptimize(dst.data);
  }
  std::vector<std::uint8_t> pixels;
  cv::Mat fixed_xy, fixed_fraction, src, dst;
};
#else
using OpenCvForwardMap = dravik::bench::NoPeer;
using OpenCvEveryPixel = dravik::bench::NoPeer;
template <int kChannels>
using OpenCvRemap = dravik::bench::NoPeer;
#endif

void BM_BuildUndistortionMap(benchmark::State& state) {
  UndistortionMap map;
  dravik::bench::runBesidePeer<OpenCvForwardMap>(state, pixelCount(), [&] {
    buildUndistortionMap(lens(), sameView(lens()), &map);
    benchmark::DoNotOptimize(map.x.data());
  });
  setPixels(state);
}
BENCHMARK(BM_BuildUndistortionMap)->Unit(benchmark::kMillisecond);

void BM_BuildInverseUndistortionMap(benchmark::State& state) {
  UndistortionMap map;
  dravik::bench::runBesidePeer<OpenCvEveryPixel>(state, pixelCount(), [&] {
    buildInverseUndistortionMap(lens(), sameView(lens()), &map);
    benchmark::DoNotOptimize(map.x.data());
  });
  setPixels(state);
}
BENCHMARK(BM_BuildInverseUndistortionMap)->Unit(benchmark::kMillisecond);

template <int kChannels>
void BM_RemapImage(benchmark::State& state) {
  const std::vector<std::uint8_t> src = texturedImage(lens().width, lens().height, kChannels);
  std::vector<std::uint8_t> dst(src.size());
  const size_t stride = size_t(lens().width) * kChannels;
  const UndistortionMap& map = forwardMap();
  dravik::bench::runBesidePeer<OpenCvRemap<kChannels>>(state, pixelCount(), [&] {
    remapImage(src.data(), lens().width, lens().height, kChannels, stride, map, dst.data(), stride);
    benchmark::DoNotOptimize(dst.data());
  });
  setPixels(state);
}
BENCHMARK(BM_RemapImage<1>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<3>)->Unit(benchmark::kMillisecond);

}  // namespace

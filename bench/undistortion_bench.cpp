// Whole-image undistortion against OpenCV on the same lens and view: the
// navigation camera of the default calibration at 1280 x 960 (and scaled to
// 1920 x 1080), the view keeping its K. Each benchmark runs OpenCV's
// counterpart right after it and reports its time over OpenCV's as
// "vs_opencv": CPU time of one thread each, or, for the rows on several
// threads ("threads:N", "threads:all" against OpenCV's default threads),
// wall time. BM_Memcpy measures the machine's copy bandwidth in the same
// run, the limit of a resampling that reads its map and frame and writes
// its output (bytes_per_second of the remap rows counts those bytes).
//   build/bench/undistortion_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
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
using dravik::calibration::choosePinholeView;
using dravik::calibration::CompactRemapMap;
using dravik::calibration::Lens;
using dravik::calibration::PinholeView;
using dravik::calibration::prepareRemap;
using dravik::calibration::remapImage;
using dravik::calibration::UndistortionMap;
using dravik::testing::navigationLens;
using dravik::testing::sameView;
using dravik::testing::texturedImage;

const Lens& lens() {
  static const Lens navigation = navigationLens();
  return navigation;
}

// The navigation lens scaled by 1.5 and cropped to 1920 x 1080 about its centre.
const Lens& wideLens() {
  static const Lens wide = [] {
    Eigen::Matrix3f K = lens().K();
    K.topRows(2) *= 1.5f;
    K(1, 2) -= (960 * 1.5f - 1080) / 2;
    Lens l;
    Lens::fromIntrinsics(K, lens().distortion(), 1920, 1080, &l);
    return l;
  }();
  return wide;
}

// The lens of a frame of width w.
const Lens& lensOf(int width) { return width == 1920 ? wideLens() : lens(); }

const UndistortionMap& forwardMap(int width = 1280) {
  static const UndistortionMap maps[2] = {[] {
                                            UndistortionMap m;
                                            buildUndistortionMap(lens(), sameView(lens()), &m);
                                            return m;
                                          }(),
                                          [] {
                                            UndistortionMap m;
                                            buildUndistortionMap(wideLens(), sameView(wideLens()),
                                                                 &m);
                                            return m;
                                          }()};
  return maps[width == 1920];
}

// The 1280 x 960 lens undistorted to a 640 x 480 view at alpha 0.
const PinholeView& smallView() {
  static const PinholeView view = [] {
    PinholeView v;
    choosePinholeView(lens(), 0.0f, 640, 480, &v);
    return v;
  }();
  return view;
}
const UndistortionMap& smallMap() {
  static const UndistortionMap map = [] {
    UndistortionMap m;
    buildUndistortionMap(lens(), smallView(), &m);
    return m;
  }();
  return map;
}

int64_t pixelCount() { return int64_t(lens().width()) * lens().height(); }

void setPixels(benchmark::State& state, int64_t pixels = pixelCount()) {
  state.SetItemsProcessed(int64_t(state.iterations()) * pixels);
}

// The bytes a resampling moves per frame: the map read (two floats and a
// flag per output pixel; prepared: an offset and a weights' word), the
// source read once, the output written.
int64_t remapBytes(const UndistortionMap& map, int64_t source_bytes, int64_t pixel_bytes,
                   bool prepared) {
  return int64_t(map.width) * map.height * ((prepared ? 8 : 9) + pixel_bytes) + source_bytes;
}

// A frame of T samples: texturedImage's bytes, widened to 16 bits by
// repeating the byte in both halves (the full range, same texture).
template <typename T>
std::vector<T> frameOf(int width, int height, int channels) {
  const std::vector<std::uint8_t> bytes = texturedImage(width, height, channels);
  return std::vector<T>(bytes.begin(), bytes.end());
}
template <>
std::vector<std::uint16_t> frameOf<std::uint16_t>(int width, int height, int channels) {
  const std::vector<std::uint8_t> bytes = texturedImage(width, height, channels);
  std::vector<std::uint16_t> frame(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) frame[i] = std::uint16_t(bytes[i] * 257);
  return frame;
}

// Wall seconds since an arbitrary origin (the rows on several threads).
double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// runBesidePeer in wall time: both sides may use several threads.
template <typename Peer, typename Body>
void runBesidePeerWall(benchmark::State& state, Body body) {
  if constexpr (std::is_same_v<Peer, dravik::bench::NoPeer>) {
    for (auto _ : state) body();
  } else {
    Peer peer;
    const double begin = wallSeconds();
    for (auto _ : state) body();
    const double elapsed = wallSeconds() - begin;
    const double ours = elapsed / double(state.iterations());
    const double peer_begin = wallSeconds();
    int64_t calls = 0;
    do {
      peer();
      ++calls;
    } while (wallSeconds() - peer_begin < elapsed);
    state.counters["vs_opencv"] = ours / ((wallSeconds() - peer_begin) / double(calls));
  }
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
using dravik::testing::cvCameraMatrix;
using dravik::testing::cvDistortion;

struct OpenCvLens {
  OpenCvLens() {
    cv::setNumThreads(1);
    K = cvCameraMatrix(lens().K());
    d = cvDistortion(lens().distortionList());
  }
  int64_t items() const { return pixelCount(); }
  cv::Size size() const { return {lens().width(), lens().height()}; }
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
    for (int v = 0; v < lens().height(); ++v) {
      for (int u = 0; u < lens().width(); ++u) pixels.emplace_back(float(u), float(v));
    }
  }
  void operator()() {
    cv::undistortPoints(pixels, undistorted, K, d, cv::noArray(), K);
    benchmark::DoNotOptimize(undistorted.data());
  }
  std::vector<cv::Point2f> pixels, undistorted;
};

// cv::remap from its fastest map: the fixed-point pair that convertMaps
// makes of OpenCV's own float map, on the frame of the benchmark's size and
// sample type; kThreads 1, or 0 for OpenCV's default.
template <typename T, int kChannels, int kWidth, int kThreads = 1>
struct OpenCvRemap {
  OpenCvRemap() {
    const Lens& l = lensOf(kWidth);
    cv::setNumThreads(kThreads == 0 ? -1 : kThreads);
    cv::Mat map_x, map_y;
    const cv::Size size(l.width(), l.height());
    cv::initUndistortRectifyMap(cvCameraMatrix(l.K()), cvDistortion(l.distortionList()), cv::Mat(),
                                cvCameraMatrix(l.K()), size, CV_32FC1, map_x, map_y);
    cv::convertMaps(map_x, map_y, fixed_xy, fixed_fraction, CV_16SC2);
    pixels = frameOf<T>(l.width(), l.height(), kChannels);
    const int type = CV_MAKETYPE(cv::DataType<T>::depth, kChannels);
    src = cv::Mat(size, type, pixels.data());
    dst = cv::Mat(size, type);
  }
  ~OpenCvRemap() { cv::setNumThreads(1); }
  int64_t items() const { return int64_t(src.rows) * src.cols; }
  void operator()() {
    cv::remap(src, dst, fixed_xy, fixed_fraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    benchmark::DoNotOptimize(dst.data);
  }
  std::vector<T> pixels;
  cv::Mat fixed_xy, fixed_fraction, src, dst;
};

// The 1280 x 960 frame undistorted at full size by cv::remap (fixed-point
// map) and then shrunk to 640 x 480 by cv::resize (INTER_LINEAR, its
// fastest smoothing one), one thread.
template <int kChannels>
struct OpenCvRemapResize : OpenCvRemap<std::uint8_t, kChannels, 1280> {
  void operator()() {
    OpenCvRemap<std::uint8_t, kChannels, 1280>::operator()();
    cv::resize(this->dst, small, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
    benchmark::DoNotOptimize(small.data);
  }
  int64_t items() const { return 640 * 480; }
  cv::Mat small;
};
#else
using OpenCvForwardMap = dravik::bench::NoPeer;
using OpenCvEveryPixel = dravik::bench::NoPeer;
template <typename T, int kChannels, int kWidth, int kThreads = 1>
using OpenCvRemap = dravik::bench::NoPeer;
template <int kChannels>
using OpenCvRemapResize = dravik::bench::NoPeer;
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

// A 16 MiB copy: the copy bandwidth (bytes_per_second counts both the read
// and the write) that bounds the resampling's.
void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = size_t(16) << 20;
  std::vector<char> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * bytes));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

// remapImage of a frame of kWidth (1280 x 960 or 1920 x 1080) on kThreads
// threads (0: every core) against cv::remap on as many (0: its default);
// kPrepared: through the map prepared for the frame (prepareRemap, once,
// outside the timing).
template <typename T, int kChannels, int kWidth, int kThreads = 1, bool kPrepared = false>
void BM_RemapImage(benchmark::State& state) {
  const Lens& l = lensOf(kWidth);
  const std::vector<T> src = frameOf<T>(l.width(), l.height(), kChannels);
  std::vector<T> dst(src.size());
  const size_t stride = size_t(l.width()) * kChannels * sizeof(T);
  const UndistortionMap& map = forwardMap(kWidth);
  CompactRemapMap compact;
  if (kPrepared && !prepareRemap(map, l.width(), l.height(), kChannels, stride, &compact)) {
    state.SkipWithError("the map cannot be prepared");
    return;
  }
  const auto remap = [&] {
    if constexpr (kPrepared) {
      remapImage(src.data(), l.width(), l.height(), kChannels, stride, compact, dst.data(), stride,
                 T(0), kThreads);
    } else {
      remapImage(src.data(), l.width(), l.height(), kChannels, stride, map, dst.data(), stride,
                 T(0), kThreads);
    }
    benchmark::DoNotOptimize(dst.data());
  };
  const int64_t pixels = int64_t(l.width()) * l.height();
  if (kThreads == 1) {
    dravik::bench::runBesidePeer<OpenCvRemap<T, kChannels, kWidth, 1>>(state, pixels, remap);
  } else {
    runBesidePeerWall<OpenCvRemap<T, kChannels, kWidth, kThreads>>(state, remap);
  }
  setPixels(state, pixels);
  state.SetBytesProcessed(
      int64_t(state.iterations()) *
      remapBytes(map, int64_t(src.size() * sizeof(T)), int64_t(kChannels * sizeof(T)), kPrepared));
}
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1280>)
    ->Name("BM_RemapImage/gray/1280x960")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1280>)
    ->Name("BM_RemapImage/colour/1280x960")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1920>)
    ->Name("BM_RemapImage/gray/1920x1080")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1920>)
    ->Name("BM_RemapImage/colour/1920x1080")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1280, 1, true>)
    ->Name("BM_RemapImage/gray/1280x960/prepared")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1280, 1, true>)
    ->Name("BM_RemapImage/colour/1280x960/prepared")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1920, 1, true>)
    ->Name("BM_RemapImage/gray/1920x1080/prepared")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1920, 1, true>)
    ->Name("BM_RemapImage/colour/1920x1080/prepared")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint16_t, 1, 1280>)
    ->Name("BM_RemapImage/gray16/1280x960")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint16_t, 3, 1280>)
    ->Name("BM_RemapImage/colour16/1280x960")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint16_t, 1, 1920>)
    ->Name("BM_RemapImage/gray16/1920x1080")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint16_t, 3, 1920>)
    ->Name("BM_RemapImage/colour16/1920x1080")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1280, 2>)
    ->Name("BM_RemapImage/gray/1280x960/threads:2")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1280, 2>)
    ->Name("BM_RemapImage/colour/1280x960/threads:2")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1280, 0>)
    ->Name("BM_RemapImage/gray/1280x960/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1280, 0>)
    ->Name("BM_RemapImage/colour/1280x960/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1920, 0>)
    ->Name("BM_RemapImage/gray/1920x1080/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1920, 0>)
    ->Name("BM_RemapImage/colour/1920x1080/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint16_t, 1, 1280, 0>)
    ->Name("BM_RemapImage/gray16/1280x960/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint16_t, 1, 1920, 0>)
    ->Name("BM_RemapImage/gray16/1920x1080/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint16_t, 3, 1280, 0>)
    ->Name("BM_RemapImage/colour16/1280x960/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint16_t, 3, 1920, 0>)
    ->Name("BM_RemapImage/colour16/1920x1080/threads:all")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1280, 0, true>)
    ->Name("BM_RemapImage/gray/1280x960/threads:all/prepared")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 1, 1920, 0, true>)
    ->Name("BM_RemapImage/gray/1920x1080/threads:all/prepared")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1280, 0, true>)
    ->Name("BM_RemapImage/colour/1280x960/threads:all/prepared")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RemapImage<std::uint8_t, 3, 1920, 0, true>)
    ->Name("BM_RemapImage/colour/1920x1080/threads:all/prepared")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The 1280 x 960 frame undistorted straight into a 640 x 480 view, one
// thread, against cv::remap at full size plus cv::resize.
template <int kChannels>
void BM_RemapImageToSmallerView(benchmark::State& state) {
  const std::vector<std::uint8_t> src = texturedImage(lens().width(), lens().height(), kChannels);
  const UndistortionMap& map = smallMap();
  std::vector<std::uint8_t> dst(size_t(map.width) * map.height * kChannels);
  dravik::bench::runBesidePeer<OpenCvRemapResize<kChannels>>(state, 640 * 480, [&] {
    remapImage(src.data(), lens().width(), lens().height(), kChannels,
               size_t(lens().width()) * kChannels, map, dst.data(), size_t(map.width) * kChannels,
               0, 1);
    benchmark::DoNotOptimize(dst.data());
  });
  setPixels(state, 640 * 480);
}
BENCHMARK(BM_RemapImageToSmallerView<1>)
    ->Name("BM_RemapImageToSmallerView/gray/640x480")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemapImageToSmallerView<3>)
    ->Name("BM_RemapImageToSmallerView/colour/640x480")
    ->Unit(benchmark::kMillisecond);

}  // namespace

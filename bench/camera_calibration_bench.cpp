// The multi-view calibration beside OpenCV's calibrateCamera
// (CALIB_RATIONAL_MODEL, one thread) on the same synthetic points, in the
// same run: a 9 x 6 board at poses spread over a 1280 x 960 image, 0.2 px of
// Gaussian noise per coordinate.
// - Navigation20, Navigation100: the navigation camera's lens, 20 and 100
//   views. Each iteration runs both fits one after the other, each timed by
//   the thread's CPU clock; the reported time is ours, `opencv_ms` OpenCV's,
//   `ratio` ours over OpenCV's. Counters of the last iteration: `rms` and
//   `opencv_rms`, `rms_ratio` ours over OpenCV's, `max_px` and `opencv_max_px`
//   the largest distance between where the fitted and the true lens see the
//   rays of a 32-px grid over the image, `sd_deviation` the largest relative
//   difference of our standard deviations from OpenCV's, `opencv_sound` 1
//   when OpenCV's lens is sound over the image.
// - WideCentreThird: a wide lens seen by 20 views whose points lie in the
//   middle third of the image, over 20 seeds: `sound` and `opencv_sound` how
//   many of the fitted lenses are sound over the whole image.
// - WideNear: exact views of wide rational lenses up close and tilted
//   (below).
// - ManyViews: 100, 1,000 and 10,000 views, ours alone (below).
//   build/test/bench/camera_calibration_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <vector>

#include "calibration_utils/rectify.h"
#include "dravik/logging.h"
#include "support/calibration_views.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#endif

namespace {

using dravik::calibration::calibrateCamera;
using dravik::calibration::CameraFit;
using dravik::calibration::Lens;
using dravik::calibration::TargetView;
using dravik::testing::BoardViewOptions;
using dravik::testing::boardViews;

// The largest distance, in pixels, between where two lenses see the rays of
// the first lens's pixels on a `step`-pixel grid over the image (rays that
// the second lens cannot see count as infinitely far).
double largestProjectionDifference(const Lens& truth, const Lens& fitted, int step) {
  const float principal_point[2] = {truth.K()(0, 2), truth.K()(1, 2)},
              focal_length[2] = {truth.K()(0, 0), truth.K()(1, 1)};
  double largest = 0.0;
  for (int v = 0; v < truth.height(); v += step) {
    for (int u = 0; u < truth.width(); u += step) {
      const dravik::calibration::RectifiedPoint ray = dravik::calibration::rectifyPointWithStatus(
          truth.distortion().data(), principal_point, focal_length, Eigen::Vector2f(u, v));
      const Eigen::Vector2d seen = fitted.project(Eigen::Vector3d(ray.point.x(), ray.point.y(), 1));
      const double difference = (seen - Eigen::Vector2d(u, v)).norm();
      largest = std::isfinite(difference) ? std::max(largest, difference) : INFINITY;
    }
  }
  return largest;
}

double threadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void calibrateBesideOpenCV(benchmark::State& state, int view_count) {
  dravik::setLogLevel(2);
  const Lens truth = dravik::testing::navigationLens();
  BoardViewOptions options;
  options.count = view_count;
  const std::vector<TargetView> views = boardViews(truth, options);
  CameraFit ours;
  double ours_seconds = 0.0;
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  cv::setNumThreads(1);
  dravik::testing::OpenCvCalibration opencv;
  double opencv_seconds = 0.0;
#endif
  for (auto _ : state) {
    const double start = threadSeconds();
    benchmark::DoNotOptimize(calibrateCamera(views, truth.width(), truth.height(), {}, &ours));
    const double elapsed = threadSeconds() - start;
    ours_seconds += elapsed;
    state.SetIterationTime(elapsed);
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
    const double opencv_start = threadSeconds();
    opencv = dravik::testing::openCvCalibration(views, truth.width(), truth.height(),
                                                cv::CALIB_RATIONAL_MODEL);
    opencv_seconds += threadSeconds() - opencv_start;
#endif
  }
  state.counters["rms"] = ours.rms_px;
  state.counters["max_px"] = largestProjectionDifference(truth, ours.lens, 32);
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  const double iterations = static_cast<double>(state.iterations());
  state.counters["opencv_ms"] = 1e3 * opencv_seconds / iterations;
  state.counters["ratio"] = ours_seconds / opencv_seconds;
  state.counters["opencv_rms"] = opencv.rms;
  state.counters["rms_ratio"] = ours.rms_px / opencv.rms;
  state.counters["opencv_max_px"] = largestProjectionDifference(truth, opencv.lens, 32);
  double deviation = 0.0;
  for (int i = 0; i < 12; ++i) {
    deviation = std::max(
        deviation, std::abs(ours.standard_deviations(i) / opencv.standard_deviations(i) - 1.0));
  }
  state.counters["sd_deviation"] = deviation;
  state.counters["opencv_sound"] = opencv.lens.isSoundOverImage() ? 1.0 : 0.0;
#endif
}

void BM_CalibrateNavigation20(benchmark::State& state) { calibrateBesideOpenCV(state, 20); }
BENCHMARK(BM_CalibrateNavigation20)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CalibrateNavigation100(benchmark::State& state) { calibrateBesideOpenCV(state, 100); }
BENCHMARK(BM_CalibrateNavigation100)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Many views of the navigation lens, ours alone, without and with outlier
// rejection at 4 sigma (the second argument 1): the fit's time grows in
// proportion to the views (`ms_per_1000_views`).
void BM_CalibrateManyViews(benchmark::State& state) {
  dravik::setLogLevel(2);
  const Lens truth = dravik::testing::navigationLens();
  BoardViewOptions options;
  options.count = static_cast<int>(state.range(0));
  const std::vector<TargetView> views = boardViews(truth, options);
  dravik::calibration::CameraFitOptions fit;
  fit.outlier_sigma = state.range(1) != 0 ? 4.0 : 0.0;
  CameraFit ours;
  double seconds = 0.0;
  for (auto _ : state) {
    const double start = threadSeconds();
    benchmark::DoNotOptimize(calibrateCamera(views, truth.width(), truth.height(), fit, &ours));
    const double elapsed = threadSeconds() - start;
    seconds += elapsed;
    state.SetIterationTime(elapsed);
  }
  state.counters["rms"] = ours.rms_px;
  state.counters["ms_per_1000_views"] =
      1e6 * seconds / static_cast<double>(state.iterations()) / static_cast<double>(views.size());
}
BENCHMARK(BM_CalibrateManyViews)
    ->Args({100, 0})
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_CalibrateWideCentreThird(benchmark::State& state) {
  dravik::setLogLevel(2);
  constexpr int kSeeds = 20;
  const Lens truth = dravik::testing::wideLens();
  std::vector<std::vector<TargetView>> view_sets;
  for (int seed = 1; seed <= kSeeds; ++seed) {
    BoardViewOptions options;
    options.coverage = 1.0 / 3.0;
    options.seed = static_cast<unsigned>(seed);
    view_sets.push_back(boardViews(truth, options));
  }
  int sound = 0, opencv_sound = 0;
  for (auto _ : state) {
    sound = opencv_sound = 0;
    for (const std::vector<TargetView>& views : view_sets) {
      CameraFit ours;
      if (calibrateCamera(views, truth.width(), truth.height(), {}, &ours) &&
          ours.lens.isSoundOverImage()) {
        ++sound;
      }
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
      cv::setNumThreads(1);
      const dravik::testing::OpenCvCalibration opencv = dravik::testing::openCvCalibration(
          views, truth.width(), truth.height(), cv::CALIB_RATIONAL_MODEL);
      if (opencv.lens.isSoundOverImage()) ++opencv_sound;
#endif
    }
  }
  state.counters["fits"] = kSeeds;
  state.counters["sound"] = sound;
  state.counters["opencv_sound"] = opencv_sound;
}
BENCHMARK(BM_CalibrateWideCentreThird)->Iterations(1)->Unit(benchmark::kMillisecond);

// Exact views of wide rational lenses, 15 boards near (0.25 to 1 m) and
// tilted 15 to 40 degrees, spread over the image (nearTiltedViews): the
// navigation lens over 20 pose seeds (range 0), or 30 lenses drawn around it
// (range 1, wideRationalLens). `exact` and `opencv_exact`: how many fits
// reach the zero-residual minimum (rms below 0.01 px).
void BM_CalibrateWideNear(benchmark::State& state) {
  dravik::setLogLevel(2);
  const bool drawn_lenses = state.range(0) != 0;
  const int seeds = drawn_lenses ? 30 : 20;
  int exact = 0, opencv_exact = 0;
  for (auto _ : state) {
    exact = opencv_exact = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
      const Lens truth =
          dravik::testing::wideRationalLens(drawn_lenses ? static_cast<unsigned>(seed) : 0u);
      dravik::testing::NearViewOptions options;
      options.seed = static_cast<unsigned>(seed);
      const std::vector<TargetView> views = dravik::testing::nearTiltedViews(truth, options);
      CameraFit ours;
      if (calibrateCamera(views, truth.width(), truth.height(), {}, &ours) && ours.rms_px < 0.01) {
        ++exact;
      }
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
      cv::setNumThreads(1);
      if (dravik::testing::openCvCalibration(views, truth.width(), truth.height(),
                                             cv::CALIB_RATIONAL_MODEL)
              .rms < 0.01) {
        ++opencv_exact;
      }
#endif
    }
  }
  state.counters["fits"] = seeds;
  state.counters["exact"] = exact;
  state.counters["opencv_exact"] = opencv_exact;
}
BENCHMARK(BM_CalibrateWideNear)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

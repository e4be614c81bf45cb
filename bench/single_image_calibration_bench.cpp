// Single-view calibration beside OpenCV's calibrateCamera (rational model,
// one view, its own closed-form start and default criteria) on the same
// points, in the same run:
// - the default head camera's 165 sample points, full frame as stored;
// - the same points through the sensor remap of its 640 x 480 mode, the fit
//   every set that serves the head camera runs;
// - a synthetic 15 x 11 grid seen obliquely through a strong rational lens,
//   with 0.3 px of noise.
// Each iteration runs both fits one after the other and times each by the
// thread's CPU clock; the reported time is ours, `opencv_ms` OpenCV's, and
// `ratio` ours over OpenCV's. OpenCV runs on the calling thread alone.
//   build/test/bench/single_image_calibration_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <ctime>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/single_image_calibration.h"
#include "dravik/logging.h"
#include "support/head_sensor_tables.h"
#include "support/synthetic_view.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#endif

namespace {

using dravik::calibration::calibrateFromSingleImage;
using dravik::calibration::OpenCVProjection;

// One view with everything a fit takes.
struct FitInput {
  std::vector<Eigen::Vector2f> image;
  std::vector<Eigen::Vector2f> target;
  Eigen::Vector2i image_size;
  double scalar;
  Eigen::Vector2i grid;
};

// The default head camera's sample points, each pixel through `remap`.
template <typename Remap>
FitInput headCameraView(Remap remap) {
  dravik::setLogLevel(2);
  const auto head = dravik::calibration::CameraParametersSet().getCamera("head");
  const auto& intrinsics = head->getCalibration().intrinsics();
  FitInput in;
  for (const auto& sample : intrinsics.sample_points()) {
    in.image.push_back(remap(Eigen::Vector2f(sample.pixel_x(), sample.pixel_y())));
    in.target.emplace_back(sample.target_x(), sample.target_y());
  }
  in.image_size = Eigen::Vector2i(intrinsics.width(), intrinsics.height());
  in.scalar = intrinsics.sample_scalar();
  in.grid = Eigen::Vector2i(intrinsics.sample_width(), intrinsics.sample_height());
  return in;
}

FitInput headFullFrame() {
  return headCameraView([](const Eigen::Vector2f& p) { return p; });
}

FitInput headSensorRemapped() {
  const auto transform = dravik::testing::headSensorTransform();
  return headCameraView([&transform](const Eigen::Vector2f& p) {
    return Eigen::Vector2f(transform.transformPoint(p));
  });
}

FitInput obliqueSynthetic() {
  const dravik::testing::GridView view = dravik::testing::obliqueView(0.3);
  return {view.image, view.target, Eigen::Vector2i(1280, 960), 0.001, Eigen::Vector2i(15, 11)};
}

double threadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV's calibration of the view; returns its error per point.
class OpenCVFit {
 public:
  explicit OpenCVFit(const FitInput& in)
      : object_(1), image_(1), size_(in.image_size.x(), in.image_size.y()) {
    const float scalar = static_cast<float>(in.scalar);
    for (size_t i = 0; i < in.image.size(); ++i) {
      object_[0].emplace_back(scalar * in.target[i].x(), scalar * in.target[i].y(), 0.0f);
      image_[0].emplace_back(in.image[i].x(), in.image[i].y());
    }
  }
  double operator()() const {
    cv::Mat K, distortion;
    std::vector<cv::Mat> rvecs, tvecs;
    return cv::calibrateCamera(object_, image_, size_, K, distortion, rvecs, tvecs,
                               cv::CALIB_RATIONAL_MODEL);
  }

 private:
  std::vector<std::vector<cv::Point3f>> object_;
  std::vector<std::vector<cv::Point2f>> image_;
  cv::Size size_;
};
#endif

void calibrateBesideOpenCV(benchmark::State& state, const FitInput& in) {
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  cv::setNumThreads(0);
  const OpenCVFit opencv(in);
  double opencv_seconds = 0.0;
#endif
  double ours_seconds = 0.0;
  for (auto _ : state) {
    const double start = threadSeconds();
    OpenCVProjection<double> projection;
    benchmark::DoNotOptimize(calibrateFromSingleImage(in.image, in.target, in.image_size, in.scalar,
                                                      in.grid, &projection));
    const double ours = threadSeconds() - start;
    ours_seconds += ours;
    state.SetIterationTime(ours);
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
    const double opencv_start = threadSeconds();
    benchmark::DoNotOptimize(opencv());
    opencv_seconds += threadSeconds() - opencv_start;
#endif
  }
  state.counters["points"] = static_cast<double>(in.image.size());
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  const double iterations = static_cast<double>(state.iterations());
  state.counters["opencv_ms"] = 1e3 * opencv_seconds / iterations;
  state.counters["ratio"] = ours_seconds / opencv_seconds;
#endif
}

void BM_CalibrateHeadFullFrame(benchmark::State& state) {
  calibrateBesideOpenCV(state, headFullFrame());
}
BENCHMARK(BM_CalibrateHeadFullFrame)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CalibrateHeadSensorRemapped(benchmark::State& state) {
  calibrateBesideOpenCV(state, headSensorRemapped());
}
BENCHMARK(BM_CalibrateHeadSensorRemapped)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CalibrateObliqueSynthetic(benchmark::State& state) {
  calibrateBesideOpenCV(state, obliqueSynthetic());
}
BENCHMARK(BM_CalibrateObliqueSynthetic)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

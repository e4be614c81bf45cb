// Single-view calibration of 165 points (a 15 x 11 grid seen obliquely
// through a strong rational lens, 0.3 px of noise), beside OpenCV's
// calibrateCamera on the same view when OpenCV is present; and the
// construction of a camera set from the embedded default, whose head camera
// recomputes its 640 x 480 intrinsics.
#include <benchmark/benchmark.h>

#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/single_image_calibration.h"
#include "dravik/logging.h"
#include "support/synthetic_view.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace {

constexpr double kNoise = 0.3;

void BM_CalibrateFromSingleImage(benchmark::State& state) {
  const dravik::testing::GridView view = dravik::testing::obliqueView(kNoise);
  for (auto _ : state) {
    dravik::calibration::OpenCVProjection<dravik::calibration::CalibrationJet> projection;
    benchmark::DoNotOptimize(dravik::calibration::calibrateFromSingleImage(
        view.image, view.target, Eigen::Vector2i(1280, 960), 0.001, Eigen::Vector2i(15, 11),
        &projection));
  }
  state.counters["points"] = static_cast<double>(view.image.size());
}
BENCHMARK(BM_CalibrateFromSingleImage)->Unit(benchmark::kMillisecond);

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// The same model (CALIB_RATIONAL_MODEL) with OpenCV's default criteria and
// its own closed-form start.
void BM_OpenCVCalibrateCamera(benchmark::State& state) {
  const dravik::testing::GridView view = dravik::testing::obliqueView(kNoise);
  std::vector<std::vector<cv::Point3f>> object(1);
  std::vector<std::vector<cv::Point2f>> image(1);
  for (size_t i = 0; i < view.image.size(); ++i) {
    object[0].emplace_back(0.001f * view.target[i].x(), 0.001f * view.target[i].y(), 0.0f);
    image[0].emplace_back(view.image[i].x(), view.image[i].y());
  }
  for (auto _ : state) {
    cv::Mat K, distortion;
    std::vector<cv::Mat> rvecs, tvecs;
    benchmark::DoNotOptimize(cv::calibrateCamera(object, image, cv::Size(1280, 960), K, distortion,
                                                 rvecs, tvecs, cv::CALIB_RATIONAL_MODEL));
  }
}
BENCHMARK(BM_OpenCVCalibrateCamera)->Unit(benchmark::kMillisecond);
#endif

void BM_CameraParametersSetWithHeadCamera(benchmark::State& state) {
  dravik::setLogLevel(2);
  for (auto _ : state) {
    const dravik::calibration::CameraParametersSet set;
    benchmark::DoNotOptimize(set.hasCamera("head"));
  }
}
// After the first iteration the head camera's fit is remembered.
BENCHMARK(BM_CameraParametersSetWithHeadCamera)->Unit(benchmark::kMillisecond);

}  // namespace

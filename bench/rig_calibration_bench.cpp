// The rig calibration of two cameras beside OpenCV's stereoCalibrate with
// CALIB_FIX_INTRINSIC (and CALIB_RATIONAL_MODEL, without which it projects
// through five of the eight coefficients; one thread) on the same corners,
// in the same run: the
// navigation and head cameras of the embedded default, a 9 x 6 board of 6 cm
// squares at 20 moments seen by both, 0.2 px of Gaussian noise per
// coordinate (tests/support/rig_scene.h). Each iteration runs both fits one
// after the other, each timed by the thread's CPU clock; the reported time
// is ours, `opencv_ms` OpenCV's, `ratio` ours over OpenCV's. Counters of
// the last iteration: `rms` and `opencv_rms` (over both cameras' points),
// `dt_mm` and `dr_deg` how far the two relative poses lie apart.
//   build/dev/bench/rig_calibration_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <Eigen/Geometry>
#include <cmath>
#include <vector>

#include "dravik/logging.h"
#include "peer_ratio.h"
#include "support/rig_scene.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#include <opencv2/core/utility.hpp>
#endif

namespace {

using dravik::calibration::calibrateRig;
using dravik::calibration::RigCalibration;
using dravik::calibration::RigMoment;

// The moments of the scene seen by both cameras, `count` of them.
std::vector<RigMoment> sharedMoments(const std::vector<dravik::testing::RigCamera>& cameras,
                                     size_t count) {
  dravik::testing::RigSceneOptions scene;
  scene.moments = 60;
  std::vector<RigMoment> shared;
  for (RigMoment& moment :
       dravik::testing::rigMoments(cameras, dravik::testing::rigBoardPoses(scene), scene, 7)) {
    if (moment.views.size() == 2 && shared.size() < count) shared.push_back(std::move(moment));
  }
  return shared;
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
struct StereoFit {
  Eigen::Matrix4d second_from_first = Eigen::Matrix4d::Identity();
  double rms = 0.0;
};

cv::Mat cameraMatrixOf(const dravik::calibration::Lens& lens) {
  cv::Mat K = cv::Mat::eye(3, 3, CV_64F);
  K.at<double>(0, 0) = lens.K()(0, 0);
  K.at<double>(1, 1) = lens.K()(1, 1);
  K.at<double>(0, 2) = lens.K()(0, 2);
  K.at<double>(1, 2) = lens.K()(1, 2);
  return K;
}

cv::Mat distortionOf(const dravik::calibration::Lens& lens) {
  cv::Mat d(1, 8, CV_64F);
  for (int i = 0; i < 8; ++i) d.at<double>(0, i) = lens.distortion()[i];
  return d;
}

StereoFit stereoCalibrate(const std::vector<dravik::calibration::Lens>& lenses,
                          const std::vector<RigMoment>& moments) {
  std::vector<std::vector<cv::Point3f>> object;
  std::vector<std::vector<cv::Point2f>> first, second;
  for (const RigMoment& moment : moments) {
    object.emplace_back();
    first.emplace_back();
    second.emplace_back();
    for (const Eigen::Vector3d& p : moment.views[0].target_points) {
      object.back().emplace_back(p.x(), p.y(), p.z());
    }
    for (const Eigen::Vector2d& p : moment.views[0].image_points) {
      first.back().emplace_back(p.x(), p.y());
    }
    for (const Eigen::Vector2d& p : moment.views[1].image_points) {
      second.back().emplace_back(p.x(), p.y());
    }
  }
  cv::Mat K1 = cameraMatrixOf(lenses[0]), D1 = distortionOf(lenses[0]);
  cv::Mat K2 = cameraMatrixOf(lenses[1]), D2 = distortionOf(lenses[1]);
  cv::Mat R, T, E, F, per_view;
  cv::stereoCalibrate(object, first, second, K1, D1, K2, D2,
                      cv::Size(lenses[0].width(), lenses[0].height()), R, T, E, F, per_view,
                      cv::CALIB_FIX_INTRINSIC | cv::CALIB_RATIONAL_MODEL);
  StereoFit fit;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) fit.second_from_first(r, c) = R.at<double>(r, c);
    fit.second_from_first(r, 3) = T.at<double>(r, 0);
  }
  // The rms over both cameras' points, from each view's (every view holds
  // the same number of points).
  double sum = 0.0;
  for (int v = 0; v < per_view.rows; ++v) {
    sum += per_view.at<double>(v, 0) * per_view.at<double>(v, 0) +
           per_view.at<double>(v, 1) * per_view.at<double>(v, 1);
  }
  fit.rms = std::sqrt(sum / (2.0 * per_view.rows));
  return fit;
}
#endif

void BM_RigTwoCameras(benchmark::State& state) {
  dravik::setLogLevel(2);
  const std::vector<dravik::testing::RigCamera> cameras =
      dravik::testing::robotRigCameras({"navigation", "head"});
  const std::vector<dravik::calibration::Lens> lenses = dravik::testing::lensesOf(cameras);
  const std::vector<RigMoment> moments = sharedMoments(cameras, 20);
  RigCalibration ours;
  double ours_seconds = 0.0;
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  cv::setNumThreads(1);
  StereoFit opencv;
  double opencv_seconds = 0.0;
#endif
  for (auto _ : state) {
    const double start = dravik::bench::threadCpuSeconds();
    benchmark::DoNotOptimize(calibrateRig(lenses, moments, {}, &ours));
    const double elapsed = dravik::bench::threadCpuSeconds() - start;
    ours_seconds += elapsed;
    state.SetIterationTime(elapsed);
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
    const double opencv_start = dravik::bench::threadCpuSeconds();
    opencv = stereoCalibrate(lenses, moments);
    opencv_seconds += dravik::bench::threadCpuSeconds() - opencv_start;
#endif
  }
  state.counters["moments"] = static_cast<double>(moments.size());
  state.counters["rms"] = ours.rms_px;
#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
  const double iterations = static_cast<double>(state.iterations());
  state.counters["opencv_ms"] = 1e3 * opencv_seconds / iterations;
  state.counters["ratio"] = ours_seconds / opencv_seconds;
  state.counters["opencv_rms"] = opencv.rms;
  const Eigen::Matrix4d difference =
      ours.cameras[1].camera_from_reference * opencv.second_from_first.inverse();
  state.counters["dt_mm"] = 1e3 * difference.topRightCorner<3, 1>().norm();
  state.counters["dr_deg"] =
      Eigen::AngleAxisd(Eigen::Matrix3d(difference.topLeftCorner<3, 3>())).angle() * 180.0 / M_PI;
#endif
}
BENCHMARK(BM_RigTwoCameras)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

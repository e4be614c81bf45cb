// The PTZ camera model: zoom steps against zoom x factors, and the model at
// one pan/tilt/zoom: interpolated lens, projection and rays.
#include "calibration_common/ptz_camera_model.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "support/log_capture.h"
#include "support/ptz_models.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace dravik::calibration {
namespace {

using namespace testing;

constexpr float kFactorTolerance = 1e-6f;
constexpr int kIntMax = std::numeric_limits<int>::max(), kIntMin = std::numeric_limits<int>::min();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kFloatRelativeTolerance = 1e-6;
constexpr float kPixelTolerance = 1e-3f;

// Samples (zoom, f) = (0, 1000), (1000, 2000), (2000, 4000), grid 0 + 1000 i.
PTZCameraParameters threeSampleParameters() {
  return exampleHeadWithZooms({{0, 1000}, {1000, 2000}, {2000, 4000}}, 0, 1000);
}

// Factors below one give the widest zoom and factors beyond the table, +infinity
// among them, the longest; NaN and -infinity give 0; grid indices and steps
// beyond the int range saturate.
TEST(PTZCameraModel, ConvertsStepsAndFactorsAlongTheTableSaturatingBeyondIt) {
  PTZCameraParameters params = threeSampleParameters();
  const PTZCameraModel model(params);
  const std::pair<int, float> steps_to_factor[] = {{500, 1.5f}, {1500, 3.0f},    {9000, 4.0f},
                                                   {-20, 1.0f}, {kIntMax, 4.0f}, {kIntMin, 1.0f}};
  for (const auto& [steps, factor] : steps_to_factor)
    EXPECT_NEAR(model.stepsToZoomXFactor(steps), factor, kFactorTolerance) << steps;
  const std::pair<float, int> factor_to_steps[] = {{1.5f, 500},  {3.0f, 1500},       {0.5f, 0},
                                                   {5.0f, 2000}, {std::nanf(""), 0}, {1e30f, 2000},
                                                   {kInf, 2000}, {-kInf, 0}};
  for (const auto& [factor, steps] : factor_to_steps)
    EXPECT_EQ(model.zoomXFactorToSteps(factor), steps) << factor;
  params.mutable_intrinsics()->set_zoom_offset(0);
  params.mutable_intrinsics()->set_zoom_step(-1);
  EXPECT_EQ(PTZCameraModel(params).getIntrinsicsIndex(kIntMin), kIntMax);

  params = threeSampleParameters();
  const std::tuple<double, float, int> last_zoom_cases[] = {
      {1e12, 9.0f, kIntMax}, {-1e12, 3.0f, kIntMin}, {std::nan(""), 9.0f, 0}};
  for (const auto& [last_zoom, factor, steps] : last_zoom_cases) {
    params.mutable_intrinsics()->mutable_samples(2)->set_zoom(last_zoom);
    EXPECT_EQ(PTZCameraModel(params).zoomXFactorToSteps(factor), steps) << last_zoom;
  }
}

TEST(PTZCameraModel, ZoomXFactorToStepsInvertsStepsToZoomXFactor) {
  const PTZCameraParameters shifted =
      exampleHeadWithZooms({{-600, 800}, {650, 950}, {1900, 1900}, {3150, 6000}}, -600, 1250);
  for (const PTZCameraParameters& params : {ptzExampleParameters(), shifted}) {
    const PTZCameraModel model(params);
    const int last = int(params.intrinsics().samples().rbegin()->zoom());
    for (int steps = 0; steps <= last; steps += 7)
      EXPECT_NEAR(model.zoomXFactorToSteps(model.stepsToZoomXFactor(steps)), steps, 1);
  }
}

TEST(PTZCameraModel, NoSamplesOrAnUnreadableHeadMakeAnInvalidModel) {
  testing::LogCapture log;
  EXPECT_FALSE(PTZCameraModel(PTZCameraParameters()).valid());
  EXPECT_TRUE(log.contains(2, "ptz_camera_model", "Invalid intrinsics"));
  PTZCameraParameters params = threeSampleParameters();
  params.mutable_pan_tilt()->mutable_device_ext()->mutable_a()->RemoveLast();
  EXPECT_FALSE(PTZCameraModel(params).valid());
  EXPECT_TRUE(log.contains(2, "ptz_camera_model", "Invalid pan_tilt parameters"));
}

TEST(PTZCameraModelDeathTest, LookingUpASampleOfAnEmptyTableIsFatal) {
  const char* const text =
      "Check failed: params_\\.intrinsics\\(\\)\\.samples_size\\(\\) > 0 \\(0 vs\\. 0\\) ";
  const auto model = sharedModel(PTZCameraParameters());
  EXPECT_DEATH(model->getIntrinsics(0), text);
  EXPECT_DEATH(PTZCameraModelConfiguration(model, 0, 0, 0), text);
}

// Samples A = (zoom 0, f 1000) and B = (1000, 2000) with their own lenses.
std::shared_ptr<PTZCameraModel> twoSampleModel() {
  PTZCameraParameters params = exampleHeadWithZooms({{0, 1000}, {1000, 2000}}, 0, 1000);
  const char* const lenses[] = {"cx: 640 cy: 360 k1: -0.2 k4: 0.1 p1: 0.001 p2: 0.002",
                                "cx: 650 cy: 370 k1: -0.1 k4: 0.05 p1: 0.003 p2: 0.004"};
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(google::protobuf::TextFormat::MergeFromString(
        lenses[i], params.mutable_intrinsics()->mutable_samples(i)));
  return sharedModel(params);
}

// f R(r) = a1 fA RA(r) + a2 fB RB(r) between and beyond the samples; the
// principal point interpolates likewise and clamps to the ends of the table.
TEST(PTZCameraModelConfiguration, RadialMappingIsTheWeightedSumOfTheSamplesMappings) {
  const auto model = twoSampleModel();
  const PTZIntrinsicsItem& A = *model->getIntrinsics(0);
  const PTZIntrinsicsItem& B = *model->getIntrinsics(1);
  const auto mapping = [](const PTZIntrinsicsItem& s, double r2) {
    return s.f() * (1 + s.k1() * r2) / (1 + s.k4() * r2);
  };
  for (int zoom = -900; zoom < 1000; zoom += 37) {  // grid index 0: samples A and B
    const PTZCameraModelConfiguration config(model, 0, 0, zoom);
    const std::vector<float>& d = config.distortion();
    const double a1 = (B.zoom() - zoom) / (B.zoom() - A.zoom());
    const double f = a1 * A.f() + (1 - a1) * B.f();
    for (double r2 = 0.0; r2 <= 2.25; r2 += 0.05) {
      const double denominator = 1 + d[5] * r2 + d[6] * r2 * r2;
      // Float coefficients: the error scales with the size of the terms.
      const double scale = f * (1 + std::fabs(d[0]) * r2 + std::fabs(d[1]) * r2 * r2) / denominator;
      EXPECT_NEAR(f * (1 + d[0] * r2 + d[1] * r2 * r2) / denominator,
                  a1 * mapping(A, r2) + (1 - a1) * mapping(B, r2), kFloatRelativeTolerance * scale)
          << "zoom " << zoom << " r^2 " << r2;
    }
  }
  const std::tuple<int, float, float> centres[] = {
      {250, 642.5f, 362.5f}, {kIntMax, 650, 370}, {-5000, 640, 360}};
  for (const auto& [zoom, cx, cy] : centres) {
    const PTZCameraModelConfiguration config(model, 3600, 1200, zoom);
    const Eigen::Vector2f centre = config.project3dToCamera(worldPointAt(config, 0, 0, 2));
    EXPECT_LT((centre - Eigen::Vector2f(cx, cy)).cwiseAbs().maxCoeff(), kPixelTolerance) << zoom;
  }
}

TEST(PTZCameraModelConfiguration, LogsTheWeightsAndTheSamplesAtLevelFive) {
  testing::LogCapture log;
  PTZCameraModelConfiguration(twoSampleModel(), 3600, 1200, 250);
  EXPECT_TRUE(log.contains(5, "ptz_camera_model", "zoom=250 a1=0.750000, a2=0.250000"));
  EXPECT_TRUE(log.contains(5, "ptz_camera_model",
                           "f1=1000.000000 k11=-0.200000 k41=0.100000 | f2=2000.000000 "
                           "k12=-0.100000 k42=0.050000"));
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// At a sample, its own K and lens; OpenCV gets the points in the camera frame.
TEST(PTZCameraModelConfiguration, ProjectionMatchesOpenCv) {
  constexpr double kOpenCvPixelTolerance = 2e-3;  // float pose, f up to 13400 px
  const auto model = sharedModel(ptzExampleParameters());
  for (int zoom : {0, 4000, 16000}) {
    const PTZCameraModelConfiguration config(model, 2900, 1500, zoom);
    const PTZIntrinsicsItem& s = *model->getIntrinsics(zoom / 2000);
    const cv::Matx33d K(s.f(), 0, s.cx(), 0, s.f(), s.cy(), 0, 0, 1);
    const float reach = float(1300.0 / s.f());
    std::vector<cv::Point3d> points;
    for (const Eigen::Vector2f& p : normalizedGrid(0.6f, 0.3f, 0.3f, 0.3f))
      points.emplace_back(p.x() * reach, p.y() * reach, 1.0);
    std::vector<cv::Point2d> pixels;
    cv::projectPoints(points, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K,
                      std::vector<double>(config.distortion().begin(), config.distortion().end()),
                      pixels);
    for (size_t i = 0; i < points.size(); ++i) {
      const Eigen::Vector2f pixel = config.project3dToCamera(
          worldPointAt(config, float(points[i].x), float(points[i].y), 5.0f));
      EXPECT_NEAR(pixel.x(), pixels[i].x, kOpenCvPixelTolerance) << "zoom " << zoom;
      EXPECT_NEAR(pixel.y(), pixels[i].y, kOpenCvPixelTolerance) << "zoom " << zoom;
    }
  }
}
#endif

}  // namespace
}  // namespace dravik::calibration

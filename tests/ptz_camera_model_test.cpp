// The PTZ camera model: the zoom table's lookups, zoom steps against zoom x
// factors, and the model evaluated at one pan/tilt/zoom: interpolated lens,
// projection, rays and rectification.
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/rectify.h"
#include "support/log_capture.h"
#include "support/ptz_models.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace dravik {
namespace calibration {
namespace {

using testing::exampleHeadWithZooms;
using testing::ptzExampleParameters;
using testing::sharedModel;
using testing::worldPointAt;

constexpr float kFactorTolerance = 1e-6f;
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Samples (zoom, f) = (0, 1000), (1000, 2000), (2000, 4000), grid 0 + 1000 i.
PTZCameraParameters threeSampleParameters() {
  return exampleHeadWithZooms({{0, 1000}, {1000, 2000}, {2000, 4000}}, 0, 1000);
}

TEST(PTZCameraModel, ConvertsStepsAndFactorsAlongTheTable) {
  const PTZCameraModel model(threeSampleParameters());
  EXPECT_TRUE(model.valid());
  EXPECT_FLOAT_EQ(model.maxZoomXFactor(), 4.0f);
  const std::pair<int, float> steps_to_factor[] = {{500, 1.5f},    {1500, 3.0f}, {2000, 4.0f},
                                                   {9000, 4.0f},   {-20, 1.0f},  {kIntMax, 4.0f},
                                                   {kIntMin, 1.0f}};
  for (const auto& [steps, factor] : steps_to_factor) {
    EXPECT_NEAR(model.stepsToZoomXFactor(steps), factor, kFactorTolerance) << steps;
  }
  // Factors below one, beyond the table or not finite: the nearest end, or 0.
  const std::pair<float, int> factor_to_steps[] = {{1.5f, 500}, {3.0f, 1500}, {1.0f, 0},
                                                   {0.5f, 0},   {5.0f, 2000}, {std::nanf(""), 0},
                                                   {kInf, 0},   {-kInf, 0}};
  for (const auto& [factor, steps] : factor_to_steps) {
    EXPECT_EQ(model.zoomXFactorToSteps(factor), steps) << factor;
  }
  EXPECT_EQ(model.getIntrinsicsIndex(1999), 1);
  EXPECT_EQ(model.getIntrinsics(-5)->zoom(), 0.0);
  EXPECT_EQ(model.getIntrinsics(7)->zoom(), 2000.0);
}

TEST(PTZCameraModel, GridIndexAndZoomsSaturateAtTheIntRange) {
  PTZCameraParameters params = threeSampleParameters();
  params.mutable_intrinsics()->set_zoom_offset(1000);
  params.mutable_intrinsics()->set_zoom_step(1);
  EXPECT_EQ(PTZCameraModel(params).getIntrinsicsIndex(kIntMin), kIntMin);
  params.mutable_intrinsics()->set_zoom_offset(0);
  params.mutable_intrinsics()->set_zoom_step(-1);
  EXPECT_EQ(PTZCameraModel(params).getIntrinsicsIndex(kIntMin), kIntMax);

  params = threeSampleParameters();
  // The last sample's zoom beyond the int range: saturated steps, or 0 if not finite.
  const std::tuple<double, float, int> cases[] = {
      {1e12, 9.0f, kIntMax}, {-1e12, 3.0f, kIntMin}, {std::nan(""), 9.0f, 0}};
  for (const auto& [last_zoom, factor, steps] : cases) {
    params.mutable_intrinsics()->mutable_samples(2)->set_zoom(last_zoom);
    EXPECT_EQ(PTZCameraModel(params).zoomXFactorToSteps(factor), steps) << last_zoom;
  }
}

// A zero grid step interpolates between the first two samples; a single
// sample makes a valid model without zoom.
TEST(PTZCameraModel, DegenerateTablesStillConvert) {
  PTZCameraParameters params = threeSampleParameters();
  params.mutable_intrinsics()->set_zoom_step(0);
  const PTZCameraModel no_step(params);
  EXPECT_EQ(no_step.getIntrinsicsIndex(1500), 0);
  EXPECT_NEAR(no_step.stepsToZoomXFactor(500), 1.5f, kFactorTolerance);
  EXPECT_NEAR(no_step.stepsToZoomXFactor(3000), 4.0f, kFactorTolerance);  // extrapolated

  const PTZCameraModel single(exampleHeadWithZooms({{300, 1200}}, 0, 1000));
  EXPECT_TRUE(single.valid());
  EXPECT_FLOAT_EQ(single.maxZoomXFactor(), 1.0f);
  EXPECT_FLOAT_EQ(single.stepsToZoomXFactor(5000), 1.0f);
  EXPECT_EQ(single.zoomXFactorToSteps(2.0f), 0);
  EXPECT_EQ(single.getIntrinsics(4)->zoom(), 300.0);
}

TEST(PTZCameraModel, NoSamplesOrAnUnreadableHeadMakeAnInvalidModel) {
  testing::LogCapture log;
  PTZCameraParameters params;
  params.mutable_pan_tilt()->mutable_pan_ext()->add_a(1.0);  // unreadable, and not read
  const PTZCameraModel empty(params);
  EXPECT_FALSE(empty.valid());
  EXPECT_FLOAT_EQ(empty.stepsToZoomXFactor(800), 1.0f);
  EXPECT_EQ(empty.zoomXFactorToSteps(2.0f), 0);
  ASSERT_EQ(log.recordsUpTo(3).size(), 1u);
  EXPECT_TRUE(log.contains(2, "ptz_camera_model", "Invalid intrinsics"));

  params = threeSampleParameters();
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

// On tables whose samples lie on their grid, every position comes back up
// to the rounding to whole steps.
TEST(PTZCameraModel, ZoomXFactorToStepsInvertsStepsToZoomXFactorOnGridTables) {
  const PTZCameraParameters shifted = exampleHeadWithZooms(
      {{-600, 800}, {650, 950}, {1900, 1900}, {3150, 6000}}, -600, 1250);
  for (const PTZCameraParameters& params : {ptzExampleParameters(), shifted}) {
    const PTZCameraModel model(params);
    const int last = int(params.intrinsics().samples().rbegin()->zoom());
    for (int steps = 0; steps <= last; steps += 7) {
      EXPECT_NEAR(model.zoomXFactorToSteps(model.stepsToZoomXFactor(steps)), steps, 1);
    }
  }
}

constexpr float kCoefficientTolerance = 1e-7f;
constexpr double kFloatRelativeTolerance = 1e-6;
constexpr float kPixelTolerance = 1e-3f;
// A focal length measured over 10 pixels of float pixels.
constexpr float kFocalRelativeTolerance = 1e-4f;
// Sine of the angle between directions: float pixels and matrices.
constexpr double kDirectionTolerance = 2e-6;

// A = (zoom 0, f 1000, c (640, 360), k1 -0.2, k4 0.1, p (0.001, 0.002)) and
// B = (1000, 2000, (650, 370), -0.1, 0.05, (0.003, 0.004)), grid 0 + 1000 i.
std::shared_ptr<PTZCameraModel> twoSampleModel() {
  PTZCameraParameters params = exampleHeadWithZooms({{0, 1000}, {1000, 2000}}, 0, 1000);
  const double lens[2][6] = {{640, 360, -0.2, 0.1, 0.001, 0.002},
                             {650, 370, -0.1, 0.05, 0.003, 0.004}};
  for (int i = 0; i < 2; ++i) {
    PTZIntrinsicsItem* s = params.mutable_intrinsics()->mutable_samples(i);
    s->set_cx(lens[i][0]);
    s->set_cy(lens[i][1]);
    s->set_k1(lens[i][2]);
    s->set_k4(lens[i][3]);
    s->set_p1(lens[i][4]);
    s->set_p2(lens[i][5]);
  }
  return sharedModel(params);
}

TEST(PTZCameraModelConfiguration, InterpolatesTheLensBetweenSamplesAndTakesOneOutside) {
  const struct {
    int zoom;
    float f, cx, cy;
    std::vector<float> distortion;
  } cases[] = {
      {250, 1250, 642.5f, 362.5f, {-0.09f, -0.01f, 0.0015f, 0.0025f, 0, 0.15f, 0.005f, 0}},
      // A alone, over the common denominator with B's k4.
      {0, 1000, 640, 360, {-0.15f, -0.01f, 0.001f, 0.002f, 0, 0.15f, 0.005f, 0}},
      {1000, 2000, 650, 370, {-0.05f, -0.005f, 0.003f, 0.004f, 0, 0.1f, 0.0025f, 0}},
      {std::numeric_limits<int>::max(), 2000, 650, 370,
       {-0.05f, -0.005f, 0.003f, 0.004f, 0, 0.1f, 0.0025f, 0}},
      {-5000, 1000, 640, 360, {-0.1f, -0.02f, 0.001f, 0.002f, 0, 0.2f, 0.01f, 0}},
  };
  for (const auto& c : cases) {
    const PTZCameraModelConfiguration config(twoSampleModel(), 3600, 1200, c.zoom);
    const std::vector<float>& d = config.distortion();
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(d[i], c.distortion[i], kCoefficientTolerance) << c.zoom;
    // The axis lands on the principal point, a point at normalized (0.01, 0)
    // at f (0.01 R + 3 p2 0.01^2) from it.
    const Eigen::Vector2f centre = config.project3dToCamera(worldPointAt(config, 0, 0, 2));
    EXPECT_NEAR(centre.x(), c.cx, kPixelTolerance);
    EXPECT_NEAR(centre.y(), c.cy, kPixelTolerance);
    const float xd = 0.01f * (1 + d[0] * 1e-4f + d[1] * 1e-8f) / (1 + d[5] * 1e-4f + d[6] * 1e-8f) +
                     3 * d[3] * 1e-4f;
    const float u = config.project3dToCamera(worldPointAt(config, 0.01f, 0, 2)).x();
    EXPECT_NEAR((u - centre.x()) / xd, c.f, kFocalRelativeTolerance * c.f) << c.zoom;
  }
}

TEST(PTZCameraModelConfiguration, LogsTheWeightsAndTheSamplesAtLevelFive) {
  testing::LogCapture log;
  PTZCameraModelConfiguration(twoSampleModel(), 3600, 1200, 250);
  EXPECT_TRUE(log.contains(5, "ptz_camera_model", "zoom=250 a1=0.750000, a2=0.250000"));
  EXPECT_TRUE(log.contains(5, "ptz_camera_model",
                           "f1=1000.000000 k11=-0.200000 k41=0.100000 | f2=2000.000000 "
                           "k12=-0.100000 k42=0.050000"));
  ASSERT_FALSE(log.records().empty());
  EXPECT_EQ(log.records()[0].file, "calibration_common/ptz_camera_model");
}

// f R(r) = a1 fA RA(r) + a2 fB RB(r) at every zoom between (and, by
// extrapolation, beyond) the samples: the radial mapping from normalized
// radius to pixels is the weighted sum of the samples' own.
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
      const double numerator = 1 + d[0] * r2 + d[1] * r2 * r2;
      const double denominator = 1 + d[5] * r2 + d[6] * r2 * r2;
      // Float coefficients: the error scales with the size of the terms.
      const double scale = f * (1 + std::fabs(d[0]) * r2 + std::fabs(d[1]) * r2 * r2) / denominator;
      EXPECT_NEAR(f * numerator / denominator, a1 * mapping(A, r2) + (1 - a1) * mapping(B, r2),
                  kFloatRelativeTolerance * scale)
          << "zoom " << zoom << " r^2 " << r2;
    }
  }
}

// rectifyPoint takes fractions of the image; the principal point's ray is
// the optical axis, and the ray of a projected point points at the point.
TEST(PTZCameraModelConfiguration, RaysOfProjectedPointsPointAtThePoints) {
  const PTZCameraModelConfiguration interpolated(twoSampleModel(), 3600, 1200, 250);
  const float principal_point[2] = {642.5f, 362.5f}, focal_length[2] = {1250, 1250};
  EXPECT_EQ(interpolated.rectifyPoint(Eigen::Vector2f(0.5f, 0.5f)),
            rectifyPoint(interpolated.distortion().data(), principal_point, focal_length,
                         Eigen::Vector2f(640, 360)));
  const Eigen::Vector3f axis = interpolated.getTransform().getInverseTransform().block<3, 1>(0, 2);
  EXPECT_LT((interpolated.projectPixelToRay(Eigen::Vector2f(642.5f, 362.5f)) - axis).norm(), 1e-6f);

  const auto model = sharedModel(ptzExampleParameters());
  for (int zoom : {0, 1234, 7000, 16000}) {
    const PTZCameraModelConfiguration config(model, 500 + zoom / 3, 300, zoom);
    const float half_width = 0.75f * 960.0f / float(model->getIntrinsics(zoom / 2000)->f());
    for (float x = -half_width; x <= half_width; x += half_width / 4) {
      for (float y = -0.5f * half_width; y <= 0.5f * half_width; y += half_width / 4) {
        const Eigen::Vector3f world = worldPointAt(config, x, y, 4.0f);
        const Eigen::Vector3f ray = config.projectPixelToRay(config.project3dToCamera(world));
        const Eigen::Vector3d direction = (world - config.getCameraCenter()).cast<double>();
        EXPECT_LT(ray.cast<double>().normalized().cross(direction.normalized()).norm(),
                  kDirectionTolerance)
            << "zoom " << zoom;
      }
    }
  }
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(PTZCameraModelConfiguration, ProjectionMatchesOpenCv) {
  // Float pose through Rodrigues and back, focal lengths up to 13400 px.
  constexpr double kOpenCvPixelTolerance = 2e-3;
  const auto model = sharedModel(ptzExampleParameters());
  for (int zoom : {0, 4000, 16000}) {  // at a sample: its own K
    const PTZCameraModelConfiguration config(model, 2900, 1500, zoom);
    const Eigen::Matrix4f& T = config.getTransform().getTransform();
    cv::Matx33d R;
    cv::Vec3d t, rvec;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) R(r, c) = T(r, c);
      t[r] = T(r, 3);
    }
    cv::Rodrigues(R, rvec);
    const PTZIntrinsicsItem& s = *model->getIntrinsics(zoom / 2000);
    const cv::Matx33d K(s.f(), 0, s.cx(), 0, s.f(), s.cy(), 0, 0, 1);
    const float reach = float(1300.0 / s.f());
    std::vector<Eigen::Vector3f> world;
    std::vector<cv::Point3d> points;
    std::vector<cv::Point2d> pixels;
    for (float x = -0.6f; x <= 0.6f; x += 0.3f) {
      for (float y = -0.3f; y <= 0.3f; y += 0.3f) {
        world.push_back(worldPointAt(config, x * reach, y * reach, 5.0f));
        points.emplace_back(world.back().x(), world.back().y(), world.back().z());
      }
    }
    cv::projectPoints(points, rvec, t, K,
                      std::vector<double>(config.distortion().begin(), config.distortion().end()),
                      pixels);
    for (size_t i = 0; i < points.size(); ++i) {
      const Eigen::Vector2f pixel = config.project3dToCamera(world[i]);
      EXPECT_NEAR(pixel.x(), pixels[i].x, kOpenCvPixelTolerance) << "zoom " << zoom;
      EXPECT_NEAR(pixel.y(), pixels[i].y, kOpenCvPixelTolerance) << "zoom " << zoom;
    }
  }
}
#endif

}  // namespace
}  // namespace calibration
}  // namespace dravik

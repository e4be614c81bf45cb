// The PTZ camera model: zoom steps and factors; at one pan/tilt/zoom the lens,
// projection and rays, singly and in batches; aiming at pixels and regions.
#include "calibration_common/ptz_camera_model.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <regex>
#include <string>
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
constexpr float kPixelTolerance = 1e-3f;
// Outputs that no operation writes.
constexpr int kUntouched = -777;

// Samples (zoom, f) = (0, 1000), (1000, 2000), (2000, 4000), grid 0 + 1000 i.
PTZCameraParameters threeSampleParameters() {
  return exampleHeadWithZooms({{0, 1000}, {1000, 2000}, {2000, 4000}}, 0, 1000);
}

// Factors below one give the widest zoom, beyond the table (+inf too) the
// longest, NaN and -inf 0; indices and steps beyond the int range saturate.
TEST(PTZCameraModel, ConvertsStepsAndFactorsAlongTheTableSaturatingBeyondIt) {
  PTZCameraParameters params = threeSampleParameters();
  const PTZCameraModel model(params);
  const std::pair<int, float> steps_to_factor[] = {
      {500, 1.5f}, {9000, 4.0f}, {-20, 1.0f}, {kIntMax, 4.0f}, {kIntMin, 1.0f}};
  for (const auto& [steps, factor] : steps_to_factor)
    EXPECT_NEAR(model.stepsToZoomXFactor(steps), factor, kFactorTolerance) << steps;
  const std::pair<float, int> factor_to_steps[] = {
      {1.5f, 500}, {0.5f, 0}, {std::nanf(""), 0}, {kInf, 2000}, {-kInf, 0}};
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

// The principal point interpolates between the samples and clamps to the
// ends of the table.
TEST(PTZCameraModelConfiguration, PrincipalPointInterpolatesAndClampsToTheTable) {
  const auto model = twoSampleModel();
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

// Equal to the last bit; any NaN matches any NaN (a NaN's bits carry no pixel).
bool sameFloat(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Several zoom settings (between samples, at a sample, beyond the table) and
// batch lengths that leave every remainder of a vector's width.
TEST(PTZProjectionBatch, AgreesWithTheSinglePointCallToTheLastBit) {
  const auto model = sharedModel(ptzExampleParameters());
  const int settings[][3] = {{3100, 900, 5000}, {3600, 1200, 99999}};
  const std::vector<Eigen::Vector2f> grid = normalizedGrid(1.3f, 0.1f, 0.9f, 0.15f);
  const int n = int(grid.size());
  for (const auto& setting : settings) {
    const PTZCameraModelConfiguration config(model, setting[0], setting[1], setting[2]);
    // Over the view and beyond, near and far, behind the camera and on its plane.
    Eigen::Matrix<float, 3, Eigen::Dynamic, Eigen::RowMajor> xyz(3, 6 * n);
    const float depths[] = {0.0f, -2.0f, 0.05f, 1.0f, 7.5f, 300.0f};
    for (int i = 0; i < 6 * n; ++i)
      xyz.col(i) = worldPointAt(config, grid[i % n].x(), grid[i % n].y(), depths[i / n]);
    for (int count : {0, 1, 3, 4, 5, 7, 8, 9, 6 * n}) {
      std::vector<float> u(count + 1, -1.0f), v(count + 1, -1.0f);
      config.project3dToCamera(xyz.row(0).data(), xyz.row(1).data(), xyz.row(2).data(), count,
                               u.data(), v.data());
      for (int i = 0; i < count; ++i) {
        const Eigen::Vector2f single = config.project3dToCamera(Eigen::Vector3f(xyz.col(i)));
        ASSERT_TRUE(sameFloat(u[i], single.x()) && sameFloat(v[i], single.y()))
            << "zoom " << setting[2] << ", point " << i << " of " << count << ": " << u[i] << ", "
            << v[i] << " against " << single.transpose();
      }
      EXPECT_EQ(u[count], -1.0f);  // nothing written past the batch
      EXPECT_EQ(v[count], -1.0f);
    }
  }
}

// Batch rays (double) take the single-pixel call's (float) directions, over the
// image and beyond its edge, and project back to their pixels.
TEST(PTZProjectionBatch, RaysOfPixelsAgreeWithTheSinglePixelCall) {
  const auto model = sharedModel(ptzExampleParameters());
  for (const int zoom : {0, 1234, 16000}) {
    const PTZCameraModelConfiguration config(model, 3100, 900, zoom);
    std::vector<double> uv;
    for (double v = -20; v <= config.calHeight() + 20; v += 97)
      for (double u = -20; u <= config.calWidth() + 20; u += 131) uv.insert(uv.end(), {u, v});
    const std::size_t n = uv.size() / 2;
    std::vector<double> rays(3 * n + 1, -1.0);
    std::vector<std::uint8_t> ok(n);
    config.projectPixelsToRays(uv.data(), n, rays.data(), ok.data());
    EXPECT_EQ(rays[3 * n], -1.0);  // nothing written past the batch
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE("zoom " + std::to_string(zoom) + ", pixel " + std::to_string(i));
      ASSERT_EQ(ok[i], 1);
      const Eigen::Vector3d ray = Eigen::Vector3d(&rays[3 * i]).normalized();
      const Eigen::Vector2f pixel = Eigen::Vector2d(&uv[2 * i]).cast<float>();
      EXPECT_LT((ray - config.projectPixelToRay(pixel).cast<double>().normalized()).norm(), 1e-6);
      const Eigen::Vector3f world = config.getCameraCenter() + 3.0f * ray.cast<float>();
      EXPECT_LT((config.project3dToCamera(world) - pixel).norm(), 1e-2);
    }
  }
}

Eigen::Vector2f principalPoint(const PTZCameraModelConfiguration& config) {
  return config.project3dToCamera(worldPointAt(config, 0, 0, 1));
}

Eigen::Vector3f unitRay(const PTZCameraModelConfiguration& config, const Eigen::Vector2f& pixel) {
  return config.projectPixelToRay(pixel).normalized();
}

// Rounding each motor to whole steps moves the image by half a step's scale
// times f at most, f bounded by the grid sample above the zoom.
TEST(GetPanTilt, OfAPixelBringsItToTheImageCentre) {
  const auto model = sharedModel(ptzExampleParameters());
  const int settings[][3] = {{3600, 1200, 0}, {2500, 700, 8000}};
  for (const auto& s : settings) {
    const PTZCameraModelConfiguration config(model, s[0], s[1], s[2]);
    const float rounding = float(ptzExampleParameters().pan_tilt().pan_scale() *
                                 model->getIntrinsics(model->getIntrinsicsIndex(s[2]) + 1)->f());
    for (float v = 40; v < 1080; v += 250) {
      for (float u = 40; u < 1920; u += 370) {
        int pan = kUntouched, tilt = kUntouched;
        ASSERT_TRUE(config.getPanTilt(Eigen::Vector2f(u, v), &pan, &tilt));
        const PTZCameraModelConfiguration aimed(model, pan, tilt, s[2]);
        const Eigen::Vector3f target = config.getCameraCenter() + unitRay(config, {u, v});
        EXPECT_LT((aimed.project3dToCamera(target) - principalPoint(aimed)).norm(), rounding);
      }
    }
  }
}

// From pan_max a point to one side needs more pan than the motor has: a
// pixel's answer is limited; a world point's fractional answer (to be seen
// at the principal point) passes through, neither rounded nor limited.
TEST(GetPanTilt, MotorLimitsBoundPixelAnswersOnly) {
  const PTZCameraModelConfiguration config(sharedModel(ptzExampleParameters()), 7000, 1200, 0);
  int beyond = 0;
  for (float u : {846.0f, 1074.0f}) {
    int pan, tilt;
    float world_pan, world_tilt;
    const Eigen::Vector3f world = config.getCameraCenter() + 6.0f * unitRay(config, {u, 540});
    ASSERT_TRUE(config.getPanTilt(Eigen::Vector2f(u, 540), &pan, &tilt));
    ASSERT_TRUE(config.getPanTilt(world, principalPoint(config), &world_pan, &world_tilt));
    EXPECT_NE(world_pan, std::round(world_pan));
    beyond += world_pan > 7000.0f ? 1 : 0;
    EXPECT_EQ(pan == 7000, world_pan > 7000.0f) << pan << " " << world_pan;
  }
  EXPECT_EQ(beyond, 1);
}

// With a tiny step angle, any turn is more steps than an int holds.
TEST(GetPanTilt, PositionsBeyondTheIntRangeFailWithoutWritingOutputs) {
  PTZCameraParameters params = ptzExampleParameters();
  params.mutable_pan_tilt()->set_pan_scale(1e-12f);
  params.mutable_pan_tilt()->set_tilt_scale(1e-12f);
  const PTZCameraModelConfiguration config(sharedModel(params), 0, 0, 0);
  LogCapture log(3);
  int pan = kUntouched, tilt = kUntouched, zoom = kUntouched;
  EXPECT_FALSE(config.getPanTilt(Eigen::Vector2f(1500, 900), &pan, &tilt));
  EXPECT_FALSE(config.getPanTiltZoom({1300, 700}, {1700, 1000}, &pan, &tilt, &zoom));
  EXPECT_EQ(pan + tilt + zoom, 3 * kUntouched);
  ASSERT_EQ(log.records().size(), 2u);
  EXPECT_EQ(log.records()[0].text.rfind("Pan/tilt solution out of the motor range", 0), 0u);
}

// Every aiming call, and the head's inverse calls, refuse a null output with
// a record instead of storing through it; the other outputs stay untouched.
TEST(GetPanTilt, NullOutputsFailWithARecord) {
  const PTZCameraModelConfiguration config(sharedModel(ptzExampleParameters()), 3600, 1200, 4000);
  const Eigen::Vector2f pixel(1400, 300), other(1500, 400), on_axis(0, 0);
  const Eigen::Vector3f world = config.getCameraCenter() + unitRay(config, pixel);
  PanTiltModel head;
  ASSERT_TRUE(head.readFromPB(ptzExampleParameters().pan_tilt()));
  int pan = kUntouched, tilt = kUntouched, zoom = kUntouched;
  float pan_f = kUntouched, tilt_f = kUntouched;
  const std::pair<std::function<bool()>, std::string> calls[] = {
      {[&] { return config.getPanTilt(pixel, &pan, nullptr); }, "getPanTilt"},
      {[&] { return config.getPanTiltZoom(pixel, other, &pan, &tilt, nullptr); }, "getPanTiltZoom"},
      {[&] { return head.computePanTilt(world, on_axis, nullptr, &tilt_f); }, "computePanTilt"},
      {[&] { return head.motorSteps(0.1f, 0.2f, &pan_f, nullptr); }, "motorSteps"},
  };
  for (const auto& [call, name] : calls) {
    LogCapture log(2);
    EXPECT_FALSE(call()) << name;
    ASSERT_EQ(log.records().size(), 1u) << name;
    EXPECT_EQ(log.records()[0].level, 2);
    EXPECT_EQ(log.records()[0].text, name + ": null output");
  }
  EXPECT_EQ(pan + tilt + zoom, 3 * kUntouched);
  EXPECT_EQ(pan_f + tilt_f, 2.0f * kUntouched);
}

// Table (100, 1000), (1100, 2000), (2100, 4000) on the grid 100 + 1000 i. A
// region centred on the principal point, 2 du wide, fits at
// best = 640 / (du / 1000 + 1e-6). A last zoom beyond the int range fails.
TEST(GetPanTiltZoom, ZoomChoiceInterpolatesTheTableStrictlyAndTruncates) {
  const std::string kAny = R"([\s\S]*)";
  const struct {
    double best, last_zoom;
    int zoom;            // kUntouched: no answer
    std::string record;  // the last one written, as a pattern
  } cases[] = {
      {3001, 2100, 1600, R"(3001 3600 1200 [\s\S]*zoom: 1100[\s\S]*zoom: 2100[\s\S]* 1600)"},
      {2000.5, 2100, 1100, kAny},                 // 1100.25, truncated
      {999, 2100, 0, "999 3600 1200 0"},          // too wide for sample 0: zoom 0, not 100
      {4100, 2100, 2100, "4100 3600 1200 2100"},  // fits at the longest
      {1e7, 2100, 2100, kAny},                    // a region collapsed onto the axis
      {4100, 1e12, kUntouched, kAny},
      {4100, std::nan(""), kUntouched, kAny},
  };
  for (const auto& c : cases) {
    PTZCameraParameters params =
        testing::exampleHeadWithZooms({{100, 1000}, {1100, 2000}, {2100, 4000}}, 100, 1000);
    params.mutable_intrinsics()->mutable_samples(2)->set_zoom(c.last_zoom);
    const PTZCameraModelConfiguration config(sharedModel(params), 3600, 1200, 100);
    const float du = float(1000.0 * (640.0 / c.best - 1e-6));
    LogCapture log;
    int pan = kUntouched, tilt = kUntouched, zoom = kUntouched;
    const bool found = config.getPanTiltZoom({640 - du, 355}, {640 + du, 365}, &pan, &tilt, &zoom);
    EXPECT_EQ(zoom, c.zoom) << c.best << " " << c.last_zoom;
    EXPECT_EQ(pan, found ? 3600 : kUntouched);
    EXPECT_EQ(tilt, found ? 1200 : kUntouched);
    const std::string record = log.records().empty() ? "" : log.records().back().text;
    EXPECT_TRUE(std::regex_match(record, std::regex(c.record))) << record;
  }
}

}  // namespace
}  // namespace dravik::calibration

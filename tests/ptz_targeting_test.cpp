// Aiming the PTZ camera: centring a pixel, showing a world point at a pixel,
// and filling the view with a region at the right zoom.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <regex>
#include <string>

#include "calibration_common/ptz_camera_model.h"
#include "support/log_capture.h"
#include "support/ptz_models.h"

namespace dravik::calibration {
namespace {

using namespace testing;

// Outputs that no operation writes.
constexpr int kUntouched = -777;
// The region fit ignores the lens distortion and the principal point's offset.
constexpr float kRegionEdgeTolerance = 12.0f;

Eigen::Vector2f principalPoint(const PTZCameraModelConfiguration& config) {
  return config.project3dToCamera(worldPointAt(config, 0, 0, 1));
}

Eigen::Vector3f unitRay(const PTZCameraModelConfiguration& config, const Eigen::Vector2f& pixel) {
  return config.projectPixelToRay(pixel).normalized();
}

// Rounding each motor to whole steps moves the image by half a step's scale
// times f at most, f bounded by the grid sample above the zoom.
float roundingPixels(const PTZCameraModelConfiguration& config) {
  const PTZCameraModel model(ptzExampleParameters());
  const double f = model.getIntrinsics(model.getIntrinsicsIndex(config.zoom()) + 1)->f();
  return float(ptzExampleParameters().pan_tilt().pan_scale() * f);
}

TEST(GetPanTilt, OfAPixelBringsItToTheImageCentre) {
  const auto model = sharedModel(ptzExampleParameters());
  const int settings[][3] = {{3600, 1200, 0}, {2500, 700, 8000}, {5000, 1300, 3000}};
  for (const auto& s : settings) {
    const PTZCameraModelConfiguration config(model, s[0], s[1], s[2]);
    for (float v = 40; v < 1080; v += 250) {
      for (float u = 40; u < 1920; u += 370) {
        int pan = kUntouched, tilt = kUntouched;
        ASSERT_TRUE(config.getPanTilt(Eigen::Vector2f(u, v), &pan, &tilt));
        const PTZCameraModelConfiguration aimed(model, pan, tilt, s[2]);
        const Eigen::Vector3f target = config.getCameraCenter() + unitRay(config, {u, v});
        EXPECT_LT((aimed.project3dToCamera(target) - principalPoint(aimed)).norm(),
                  roundingPixels(aimed));
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
      {[&] { return config.getPanTilt(pixel, nullptr, &tilt); }, "getPanTilt"},
      {[&] { return config.getPanTilt(pixel, &pan, nullptr); }, "getPanTilt"},
      {[&] { return config.getPanTilt(world, pixel, nullptr, nullptr); }, "getPanTilt"},
      {[&] { return config.getPanTilt(world, pixel, &pan_f, nullptr); }, "getPanTilt"},
      {[&] { return config.getPanTiltZoom(pixel, other, &pan, &tilt, nullptr); }, "getPanTiltZoom"},
      {[&] { return config.getPanTiltZoom(pixel, other, nullptr, &tilt, &zoom); },
       "getPanTiltZoom"},
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

// Regions of every size stay inside the image at the zoom chosen for them,
// and fill it along one axis unless the lens runs out of zoom.
TEST(GetPanTiltZoom, ARegionStaysInsideTheImageAtTheChosenZoom) {
  const auto model = sharedModel(ptzExampleParameters());
  const PTZCameraModelConfiguration config(model, 3000, 900, 0);
  const Eigen::Vector2f regions[][2] = {{{100, 80}, {1800, 1000}},  {{900, 500}, {1100, 620}},
                                        {{1400, 200}, {1480, 260}}, {{300, 900}, {310, 905}},
                                        {{1200, 100}, {700, 400}},  {{50, 1000}, {350, 700}}};
  for (const auto& region : regions) {
    int pan, tilt, zoom;
    ASSERT_TRUE(config.getPanTiltZoom(region[0], region[1], &pan, &tilt, &zoom));
    const PTZCameraModelConfiguration aimed(model, pan, tilt, zoom);
    float fill = 0;  // the largest corner offset, as a fraction of half the image
    for (int corner = 0; corner < 4; ++corner) {
      const Eigen::Vector2f pixel(region[corner & 1].x(), region[corner >> 1].y());
      const Eigen::Vector2f seen =
          aimed.project3dToCamera(config.getCameraCenter() + 1000.0f * unitRay(config, pixel));
      EXPECT_TRUE(seen.x() > -kRegionEdgeTolerance && seen.x() < 1920 + kRegionEdgeTolerance &&
                  seen.y() > -kRegionEdgeTolerance && seen.y() < 1080 + kRegionEdgeTolerance)
          << seen.transpose() << " at zoom " << zoom;
      fill = std::max({fill, std::fabs(seen.x() - 960) / 960, std::fabs(seen.y() - 540) / 540});
    }
    EXPECT_TRUE(zoom == 0 || zoom == 16000 || fill > 0.95f) << "zoom " << zoom << " fill " << fill;
  }
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

// Aiming the PTZ camera: centring a pixel, showing a world point at a pixel,
// and filling the view with a region at the right zoom.
#include <algorithm>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "calibration_common/ptz_camera_model.h"
#include "support/log_capture.h"
#include "support/ptz_models.h"

namespace dravik {
namespace calibration {
namespace {

using testing::LogCapture;
using testing::ptzExampleParameters;
using testing::sharedModel;
using testing::worldPointAt;

// Outputs that no operation writes.
constexpr int kUntouched = -777;
// Pixels beyond the image edge: the region fit ignores the lens distortion
// and the principal point's offset from the image centre.
constexpr float kRegionEdgeTolerance = 12.0f;

Eigen::Vector2f principalPoint(const PTZCameraModelConfiguration& config) {
  return config.project3dToCamera(worldPointAt(config, 0, 0, 1));
}

Eigen::Vector3f unitRay(const PTZCameraModelConfiguration& config, const Eigen::Vector2f& pixel) {
  return config.projectPixelToRay(pixel).normalized();
}

// Rounding each motor to whole steps moves the image by half a step's
// scale * f at most; f is bounded by the grid sample above the zoom.
float roundingPixels(const PTZCameraModelConfiguration& config) {
  const PTZCameraModel model(ptzExampleParameters());
  const double f = model.getIntrinsics(model.getIntrinsicsIndex(config.zoom()) + 1)->f();
  return float(ptzExampleParameters().pan_tilt().pan_scale() * f);  // two half steps
}

// After getPanTilt of a pixel, the point one metre along the pixel's ray is
// on the optical axis of the camera at the answer, up to whole steps.
TEST(PTZTargeting, GetPanTiltOfAPixelBringsItToTheImageCentre) {
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
  const PTZCameraModelConfiguration config(model, 4321, 987, 5000);
  int pan, tilt;
  ASSERT_TRUE(config.getPanTilt(principalPoint(config), &pan, &tilt));
  EXPECT_EQ(pan, 4321);
  EXPECT_EQ(tilt, 987);
}

// From pan_max (170 degrees), a pixel about 5 degrees to one side asks for
// more pan than the motor has; without limit fields nothing is limited, and
// with min above max the max wins.
TEST(PTZTargeting, MotorLimitsBoundTheAnswerWhenPresent) {
  PTZCameraParameters unlimited = ptzExampleParameters(), inconsistent = unlimited;
  PanTiltSystemParameters* head = unlimited.mutable_pan_tilt();
  head->clear_pan_min();
  head->clear_pan_max();
  head->clear_tilt_min();
  head->clear_tilt_max();
  inconsistent.mutable_pan_tilt()->set_pan_min(7100);
  const PTZCameraModelConfiguration free_config(sharedModel(unlimited), 7000, 1200, 0);
  const PTZCameraModelConfiguration config(sharedModel(ptzExampleParameters()), 7000, 1200, 0);
  const PTZCameraModelConfiguration inverted(sharedModel(inconsistent), 7000, 1200, 0);
  int beyond = 0;
  for (float u : {846.0f, 1074.0f}) {
    int free_pan, free_tilt, pan, tilt, inverted_pan, inverted_tilt;
    ASSERT_TRUE(free_config.getPanTilt(Eigen::Vector2f(u, 540), &free_pan, &free_tilt));
    ASSERT_TRUE(config.getPanTilt(Eigen::Vector2f(u, 540), &pan, &tilt));
    ASSERT_TRUE(inverted.getPanTilt(Eigen::Vector2f(u, 540), &inverted_pan, &inverted_tilt));
    EXPECT_EQ(pan, std::min(free_pan, 7000));
    EXPECT_EQ(tilt, free_tilt);
    EXPECT_EQ(inverted_pan, 7000);
    beyond += free_pan > 7000 ? 1 : 0;
  }
  EXPECT_EQ(beyond, 1);
}

// With a tiny step angle, any turn is more steps than an int holds.
TEST(PTZTargeting, PositionsBeyondTheIntRangeFailWithoutWritingOutputs) {
  PTZCameraParameters params = ptzExampleParameters();
  params.mutable_pan_tilt()->set_pan_scale(1e-12f);
  params.mutable_pan_tilt()->set_tilt_scale(1e-12f);
  const PTZCameraModelConfiguration config(sharedModel(params), 0, 0, 0);
  LogCapture log(3);
  int pan = kUntouched, tilt = kUntouched, zoom = kUntouched;
  EXPECT_FALSE(config.getPanTilt(Eigen::Vector2f(1500, 900), &pan, &tilt));
  EXPECT_FALSE(config.getPanTiltZoom({1300, 700}, {1700, 1000}, &pan, &tilt, &zoom));
  EXPECT_EQ(pan, kUntouched);
  EXPECT_EQ(tilt, kUntouched);
  EXPECT_EQ(zoom, kUntouched);
  ASSERT_EQ(log.records().size(), 2u);
  EXPECT_EQ(log.records()[0].text.rfind("Pan/tilt solution out of the motor range", 0), 0u);
}

// From pan 6900 (165 degrees), a point 10 degrees to one side, to be seen at
// the principal point, needs a pan beyond pan_max: the fractional answer
// passes through, neither rounded nor limited.
TEST(PTZTargeting, GetPanTiltOfAWorldPointPassesFractionalStepsThrough) {
  const auto model = sharedModel(ptzExampleParameters());
  const PTZCameraModelConfiguration config(model, 6900, 1000, 0);
  const Eigen::Vector2f pixel = principalPoint(config);
  int beyond = 0;
  for (float u : {730.0f, 1190.0f}) {
    const Eigen::Vector3f world = config.getCameraCenter() + 6.0f * unitRay(config, {u, 400});
    float pan = 0, tilt = 0;
    ASSERT_TRUE(config.getPanTilt(world, pixel, &pan, &tilt));
    EXPECT_NE(pan, std::round(pan));
    beyond += pan > 7000.0f ? 1 : 0;
    const PTZCameraModelConfiguration aimed(model, int(std::round(pan)), int(std::round(tilt)), 0);
    EXPECT_LT((aimed.project3dToCamera(world) - pixel).norm(), roundingPixels(aimed));
  }
  EXPECT_EQ(beyond, 1);
}

// Regions of every size stay inside the image at the zoom chosen for them,
// and fill it along one axis unless the lens runs out of zoom.
TEST(PTZTargeting, ARegionStaysInsideTheImageAtTheChosenZoom) {
  const auto model = sharedModel(ptzExampleParameters());
  const PTZCameraModelConfiguration config(model, 3000, 900, 0);
  const Eigen::Vector2f regions[][2] = {{{100, 80}, {1800, 1000}}, {{900, 500}, {1100, 620}},
                                        {{1400, 200}, {1480, 260}}, {{300, 900}, {310, 905}},
                                        {{1200, 100}, {700, 400}},  {{50, 1000}, {350, 700}}};
  for (const auto& region : regions) {
    int pan, tilt, zoom;
    ASSERT_TRUE(config.getPanTiltZoom(region[0], region[1], &pan, &tilt, &zoom));
    const PTZCameraModelConfiguration aimed(model, pan, tilt, zoom);
    float fill = 0;  // the largest corner offset, as a fraction of half the image
    for (const Eigen::Vector2f& corner : {region[0], region[1], Eigen::Vector2f(region[0].x(), region[1].y()),
                                          Eigen::Vector2f(region[1].x(), region[0].y())}) {
      // Far along the corner's ray, where the head's own displacement is lost.
      const Eigen::Vector2f seen = aimed.project3dToCamera(config.getCameraCenter() +
                                                           1000.0f * unitRay(config, corner));
      EXPECT_TRUE(seen.x() > -kRegionEdgeTolerance && seen.x() < 1920 + kRegionEdgeTolerance &&
                  seen.y() > -kRegionEdgeTolerance && seen.y() < 1080 + kRegionEdgeTolerance)
          << seen.transpose() << " at zoom " << zoom;
      fill = std::max({fill, std::fabs(seen.x() - 960) / 960, std::fabs(seen.y() - 540) / 540});
    }
    if (zoom > 0 && zoom < 16000) {
      EXPECT_GT(fill, 0.95f) << "zoom " << zoom;
    }
  }
}

// Table (100, 1000), (1100, 2000), (2100, 4000) on the grid 100 + 1000 i, no
// distortion, a 1280 x 720 image, the camera at f = 1000. A region centred on
// the principal point, 2 du wide and 10 px high, keeps pan and tilt and fits
// at best = 640 / (du / 1000 + 1e-6).
struct ZoomChoice {
  bool found;
  int pan = kUntouched, tilt = kUntouched, zoom = kUntouched;
  std::string record;  // the last one written
};

ZoomChoice chooseZoom(double best, double last_zoom = 2100) {
  PTZCameraParameters params = ptzExampleParameters();
  testing::setZoomTable(&params, {{100, 1000}, {1100, 2000}, {2100, 4000}}, 100, 1000);
  params.mutable_intrinsics()->mutable_samples(2)->set_zoom(last_zoom);
  const PTZCameraModelConfiguration config(sharedModel(params), 3600, 1200, 100);
  const float du = float(1000.0 * (640.0 / best - 1e-6));
  LogCapture log;
  ZoomChoice c;
  c.found = config.getPanTiltZoom({640 - du, 355}, {640 + du, 365}, &c.pan, &c.tilt, &c.zoom);
  if (!log.records().empty()) c.record = log.records().back().text;
  return c;
}

TEST(PTZTargeting, ZoomChoiceInterpolatesTheTableStrictlyAndTruncates) {
  const struct {
    double best;
    int zoom;
    std::string record;
  } cases[] = {
      {3001, 1600, ""},                    // 1100 + 1000 * 0.5005
      {2000.5, 1100, ""},                  // 1100.25, truncated
      {1000.5, 100, ""},                   // from sample 0
      {999, 0, "999 3600 1200 0"},         // too wide for sample 0: zoom 0, not 100
      {4100, 2100, "4100 3600 1200 2100"}, // fits at the longest
      {1e7, 2100, ""},                     // a region collapsed onto the axis
  };
  for (const auto& c : cases) {
    const ZoomChoice choice = chooseZoom(c.best);
    EXPECT_TRUE(choice.found);
    EXPECT_EQ(choice.pan, 3600);
    EXPECT_EQ(choice.tilt, 1200);
    EXPECT_EQ(choice.zoom, c.zoom) << c.best;
    if (!c.record.empty()) {
      EXPECT_EQ(choice.record, c.record);
    }
  }
  const std::string record = chooseZoom(3001).record;
  EXPECT_EQ(record.rfind("3001 3600 1200 ", 0), 0u) << record;
  EXPECT_NE(record.find("zoom: 1100"), std::string::npos) << record;
  EXPECT_NE(record.find("zoom: 2100"), std::string::npos) << record;
  EXPECT_EQ(record.substr(record.size() - 5), " 1600") << record;
}

TEST(PTZTargeting, AZoomBeyondTheIntRangeFailsWithoutWritingOutputs) {
  for (double last_zoom : {1e12, -1e12, std::nan("")}) {
    const ZoomChoice choice = chooseZoom(4100, last_zoom);
    EXPECT_FALSE(choice.found);
    EXPECT_EQ(choice.pan + choice.tilt + choice.zoom, 3 * kUntouched) << last_zoom;
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

// The PTZ camera model: construction, the zoom table's lookups, and zoom
// steps against zoom x factors.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "calibration_common/ptz_camera_model.h"
#include "support/log_capture.h"
#include "support/ptz_models.h"

namespace dravik {
namespace calibration {
namespace {

using testing::LogCapture;
using testing::ptzExampleParameters;
using testing::setZoomTable;
using testing::threeSampleParameters;

constexpr float kFactorTolerance = 1e-6f;
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Samples (zoom, f) = (0, 1000), (1000, 2000), (2000, 4000), grid 0 + 1000 i.
TEST(PTZCameraModel, ConvertsStepsAndFactorsAlongTheTable) {
  const PTZCameraModel model(threeSampleParameters());
  EXPECT_TRUE(model.valid());
  EXPECT_FLOAT_EQ(model.maxZoomXFactor(), 4.0f);
  const struct {
    int steps;
    float factor;
  } steps_to_factor[] = {{500, 1.5f}, {1500, 3.0f}, {2000, 4.0f}, {9000, 4.0f},
                         {-20, 1.0f}, {kIntMax, 4.0f}, {kIntMin, 1.0f}};
  for (const auto& c : steps_to_factor) {
    EXPECT_NEAR(model.stepsToZoomXFactor(c.steps), c.factor, kFactorTolerance) << c.steps;
  }
  const struct {
    float factor;
    int steps;
  } factor_to_steps[] = {{1.5f, 500}, {3.0f, 1500}, {1.0f, 0},    {0.5f, 0},
                         {5.0f, 2000}, {std::nanf(""), 0}, {kInf, 0}, {-kInf, 0}};
  for (const auto& c : factor_to_steps) {
    EXPECT_EQ(model.zoomXFactorToSteps(c.factor), c.steps) << c.factor;
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
  const struct {
    double last_zoom;
    float factor;
    int steps;
  } cases[] = {{1e12, 9.0f, kIntMax}, {-1e12, 3.0f, kIntMin}, {std::nan(""), 9.0f, 0}};
  for (const auto& c : cases) {
    params.mutable_intrinsics()->mutable_samples(2)->set_zoom(c.last_zoom);
    EXPECT_EQ(PTZCameraModel(params).zoomXFactorToSteps(c.factor), c.steps) << c.last_zoom;
  }
}

TEST(PTZCameraModel, ZeroZoomStepInterpolatesBetweenTheFirstTwoSamples) {
  PTZCameraParameters params = threeSampleParameters();
  params.mutable_intrinsics()->set_zoom_step(0);
  const PTZCameraModel model(params);
  EXPECT_EQ(model.getIntrinsicsIndex(1500), 0);
  EXPECT_NEAR(model.stepsToZoomXFactor(500), 1.5f, kFactorTolerance);
  EXPECT_NEAR(model.stepsToZoomXFactor(3000), 4.0f, kFactorTolerance);  // extrapolated
}

TEST(PTZCameraModel, ASingleSampleIsValidWithoutZoom) {
  PTZCameraParameters params = ptzExampleParameters();
  setZoomTable(&params, {{300, 1200}}, 0, 1000);
  const PTZCameraModel model(params);
  EXPECT_TRUE(model.valid());
  EXPECT_FLOAT_EQ(model.maxZoomXFactor(), 1.0f);
  EXPECT_FLOAT_EQ(model.stepsToZoomXFactor(5000), 1.0f);
  EXPECT_EQ(model.zoomXFactorToSteps(2.0f), 0);
  EXPECT_EQ(model.getIntrinsics(4)->zoom(), 300.0);
}

TEST(PTZCameraModel, NoSamplesOrAnUnreadableHeadMakeAnInvalidModel) {
  LogCapture log;
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

TEST(PTZCameraModelDeathTest, SampleLookupWithoutSamplesIsFatal) {
  const PTZCameraModel model{PTZCameraParameters()};
  EXPECT_DEATH(model.getIntrinsics(0),
               "Check failed: params_\\.intrinsics\\(\\)\\.samples_size\\(\\) > 0 \\(0 vs\\. 0\\) ");
}

// On tables whose samples lie on their grid, every position comes back up
// to the rounding to whole steps.
TEST(PTZCameraModel, ZoomXFactorToStepsInvertsStepsToZoomXFactorOnGridTables) {
  PTZCameraParameters shifted = threeSampleParameters();
  setZoomTable(&shifted, {{-600, 800}, {650, 950}, {1900, 1900}, {3150, 6000}}, -600, 1250);
  for (const PTZCameraParameters& params : {ptzExampleParameters(), shifted}) {
    const PTZCameraModel model(params);
    const int last = int(params.intrinsics().samples().rbegin()->zoom());
    for (int steps = 0; steps <= last; steps += 7) {
      EXPECT_NEAR(model.zoomXFactorToSteps(model.stepsToZoomXFactor(steps)), steps, 1);
    }
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

// The inverse solution of the pan/tilt head: motor positions that put a
// world point on a wanted ray of the camera.
#include <cmath>
#include <limits>
#include <random>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "calibration_common/pan_tilt_model.h"
#include "dravik/geometry.h"
#include "support/log_capture.h"
#include "support/pan_tilt_heads.h"

namespace dravik {
namespace calibration {
namespace {

using testing::HeadGeometry;
using testing::LogCapture;
using testing::headModel;
using testing::idealHead;
using testing::realisticHead;

constexpr double kPi = 3.14159265358979323846;
// The ideal head's estimate is exact: float rounding of target and result.
constexpr double kIdealAngleTolerance = 2e-5;
// |x/z - dev| of the target seen at the returned motor positions.
constexpr float kRayTolerance = 1e-4f;
constexpr int kSamples = 500;
constexpr float kUntouched = -12345.0f;
const Eigen::Vector2f kOpticalAxis = Eigen::Vector2f::Zero();

// A world point `depth` metres in front of the camera posed at (pan, tilt),
// on its ray dev.
Eigen::Vector3f pointOnRay(const PanTiltModel& model, float pan, float tilt,
                           const Eigen::Vector2f& dev, float depth) {
  const Eigen::Vector4f in_camera(depth * dev.x(), depth * dev.y(), depth, 1.0f);
  return (model.getFullTransform(pan, tilt).getInverseTransform() * in_camera).head<3>();
}

std::string printed(const Eigen::Vector3f& world, const Eigen::Vector2f& dev) {
  std::ostringstream text;
  text << "world=" << world << " dev=" << dev;
  return text.str();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(PanTiltInverse, IdealHeadRecoversAnyPanAndTiltBelowTheVertical) {
  // Along the optical axis the solution with |tilt| < pi/2 is unique.
  const PanTiltModel model = headModel(idealHead());
  std::mt19937 random(7);
  std::uniform_real_distribution<float> pan_angle(-3.0f * kPi, 3.0f * kPi), tilt_angle(-1.5f, 1.5f);
  for (int i = 0; i < kSamples; ++i) {
    const float pan_in = pan_angle(random), tilt_in = tilt_angle(random);
    const Eigen::Vector3f world = pointOnRay(model, pan_in, tilt_in, kOpticalAxis, 0.5f + i % 20);
    float pan, tilt;
    ASSERT_TRUE(model.computePanTilt(world, kOpticalAxis, &pan, &tilt)) << pan_in << " " << tilt_in;
    EXPECT_NEAR(tilt, tilt_in, kIdealAngleTolerance);
    EXPECT_NEAR(std::remainder(pan - pan_in, 2.0 * kPi), 0.0, kIdealAngleTolerance);
  }
}

// Targets placed on random rays of random poses are put back on their rays,
// in front of the camera, without a failure record. Off the optical axis two
// positions may see a target; either will do.
void expectTargetsReachTheirRays(const HeadGeometry& head, float max_tilt_angle, float max_dev) {
  const PanTiltModel model = headModel(head);
  std::mt19937 random(11);
  std::uniform_real_distribution<float> pan_angle(-3.0f, 3.0f),
      tilt_angle(-max_tilt_angle, max_tilt_angle), ray(-max_dev, max_dev);
  LogCapture capture(3);
  for (int i = 0; i < kSamples; ++i) {
    const float pan_in = pan_angle(random) / head.pan_scale + head.pan_offset;
    const float tilt_in = tilt_angle(random) / head.tilt_scale + head.tilt_offset;
    const Eigen::Vector2f dev(ray(random), ray(random));
    const Eigen::Vector3f world = pointOnRay(model, pan_in, tilt_in, dev, 2.0f + i % 9);
    float pan, tilt;
    ASSERT_TRUE(model.computePanTilt(world, dev, &pan, &tilt))
        << pan_in << " " << tilt_in << " " << dev.transpose();
    const Eigen::Vector4f seen =
        model.getFullTransform(pan, tilt).getTransform() * world.homogeneous();
    ASSERT_GT(seen.z(), 0.0f) << "the target is behind the camera";
    EXPECT_NEAR(seen.x() / seen.z(), dev.x(), kRayTolerance);
    EXPECT_NEAR(seen.y() / seen.z(), dev.y(), kRayTolerance);
  }
  EXPECT_TRUE(capture.records().empty());
}

TEST(PanTiltInverse, RealisticHeadPutsTheTargetOnTheOpticalAxis) {
  expectTargetsReachTheirRays(realisticHead(), 1.2f, 0.0f);
}

TEST(PanTiltInverse, OffAxisRaysReachTheirTargets) {
  // Rays near the plane of the tilt rotation make the tilt equation nearly
  // tangent: two close, distinct roots of which only one is right. A root
  // solver that merges them leaves those rays unreachable.
  expectTargetsReachTheirRays(idealHead(), 1.5f, 0.5f);
  // Away from the vertical, where the estimate for a misaligned head holds.
  expectTargetsReachTheirRays(realisticHead(), 1.0f, 0.4f);
}

// The call fails, leaves both outputs alone and writes one level-2 record.
void expectFailureWithoutOutputs(const PanTiltModel& model, const Eigen::Vector3f& world,
                                 const Eigen::Vector2f& dev, const std::string& reason) {
  LogCapture capture(3);
  float pan = kUntouched, tilt = kUntouched;
  EXPECT_FALSE(model.computePanTilt(world, dev, &pan, &tilt));
  EXPECT_EQ(pan, kUntouched);
  EXPECT_EQ(tilt, kUntouched);
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].level, 2);
  EXPECT_TRUE(startsWith(capture.records()[0].text, reason + printed(world, dev)))
      << capture.records()[0].text;
}

constexpr char kNoSolution[] = "Could not find solutions for pan tilt: ";
constexpr char kLargeError[] = "Large residual error for pan tilt: ";

TEST(PanTiltInverse, UnreachableRaysAndNonFiniteInputsFindNoSolution) {
  // Straight above the head the target is on the pan axis; a ray turned
  // towards the tilt axis can never meet it.
  expectFailureWithoutOutputs(headModel(idealHead()), Eigen::Vector3f(0, 0, 4),
                              Eigen::Vector2f(1, 0), kNoSolution);
  // Identity links: the optical axis is the pan axis, which no pan can aim.
  expectFailureWithoutOutputs(PanTiltModel(), Eigen::Vector3f(1, 2, 3), kOpticalAxis, kNoSolution);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expectFailureWithoutOutputs(headModel(realisticHead()), Eigen::Vector3f(nan, 1, 1), kOpticalAxis,
                              kNoSolution);
  expectFailureWithoutOutputs(headModel(realisticHead()), Eigen::Vector3f(1, 1, 1),
                              Eigen::Vector2f(nan, 0), kNoSolution);
}

TEST(PanTiltInverse, ScalesWithoutAMotorPositionFailWithoutWritingOutputs) {
  HeadGeometry zero_pan = idealHead(), nan_tilt = idealHead();
  zero_pan.pan_scale = 0.0f;  // as in a default-constructed model
  nan_tilt.tilt_scale = std::numeric_limits<float>::quiet_NaN();
  const Eigen::Vector3f to_the_left(0, 2, 0);  // pan angle pi/2, tilt angle 0
  expectFailureWithoutOutputs(headModel(zero_pan), to_the_left, kOpticalAxis, kLargeError);
  expectFailureWithoutOutputs(headModel(nan_tilt), to_the_left, kOpticalAxis, kLargeError);
}

TEST(PanTiltInverse, ResidualLeftAfterRefinementFailsButWritesOutputs) {
  // A camera `offset` metres along the tilt axis: its optical axis passes
  // `offset` from the head's centre, so a target 1 cm ahead of the centre
  // keeps a squared residual between (offset - 0.01)^2 and offset^2.
  const struct {
    float offset;
    int level;
    std::string text;
  } cases[] = {{0.06f, 3, "High residual error for pan tilt: "}, {0.3f, 2, kLargeError}};
  const Eigen::Vector3f world(0.01f, 0, 0);
  for (const auto& c : cases) {
    HeadGeometry head = idealHead();
    head.device(0, 3) = c.offset;
    LogCapture capture(3);
    float pan = kUntouched, tilt = kUntouched;
    EXPECT_FALSE(headModel(head).computePanTilt(world, kOpticalAxis, &pan, &tilt));
    EXPECT_TRUE(std::isfinite(pan) && pan != kUntouched);
    EXPECT_TRUE(std::isfinite(tilt) && tilt != kUntouched);
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].level, c.level);
    EXPECT_TRUE(startsWith(capture.records()[0].text,
                           c.text + printed(world, kOpticalAxis) + " error="));
  }
}

TEST(PanTiltInverse, TracesEveryStageUnderItsTag) {
  HeadGeometry head = idealHead();
  head.pan_offset = 100.0f;
  head.tilt_offset = -50.0f;
  const PanTiltModel model = headModel(head);
  const Eigen::Vector2f dev(0.1f, 0.2f);
  const Eigen::Vector3f world = pointOnRay(model, 100.4f, -49.7f, dev, 3.0f);
  LogCapture capture(6);
  float pan, tilt;
  ASSERT_TRUE(model.computePanTilt(world, dev, &pan, &tilt));

  const char* const prefixes[] = {"world=", "w3=", "pan_axis=", "tilt_axis=", "roll_axis=", "u=",
                                  "v=", "Pan/tilt estimates:", "0 ", "1 ", "2 ", "3 ", "4 ",
                                  "last_error=", "Pan/tilt (rads): ", "Pan/tilt (steps):"};
  const std::regex iteration(R"(\d Error=-?\d+\.\d{6}  dx=-?\d+\.\d{6},dy=-?\d+\.\d{6} )"
                             R"(residuals=-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6})");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 16u);
  for (size_t i = 0; i < records.size(); ++i) {
    const bool is_iteration = i >= 8 && i < 13;
    EXPECT_TRUE(startsWith(records[i].text, prefixes[i])) << records[i].text;
    EXPECT_TRUE(!is_iteration || std::regex_match(records[i].text, iteration)) << records[i].text;
    EXPECT_EQ(records[i].level, is_iteration ? 6 : 5);
    EXPECT_EQ(records[i].tag, "pan_tilt_model");
    EXPECT_EQ(records[i].file, "calibration_common/pan_tilt_model");
    EXPECT_EQ(records[i].function, "dravik::calibration::PanTiltModel::computePanTilt");
  }
  EXPECT_EQ(records[0].text, printed(world, dev));
  // The steps record leaves the offsets out; the results keep them.
  double pan_steps = 0.0, tilt_steps = 0.0;
  std::istringstream(records[15].text.substr(17)) >> pan_steps >> tilt_steps;
  EXPECT_NEAR(pan_steps, 0.4, 1e-4);
  EXPECT_NEAR(tilt_steps, 0.3, 1e-4);
  EXPECT_NEAR(pan, 100.4f, 1e-4);
  EXPECT_NEAR(tilt, -49.7f, 1e-4);
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

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

constexpr char kTag[] = "pan_tilt_model";
constexpr double kPi = 3.14159265358979323846;
// Angles recovered by the ideal head, whose estimate is exact: float rounding
// of the world point and of the result.
constexpr double kIdealAngleTolerance = 2e-5;
// |x/z - dev| of the target seen through the returned motor positions.
constexpr float kRayTolerance = 1e-4f;
constexpr int kSamples = 500;
const float kUntouched = -12345.0f;

// A world point seen by the camera posed at (pan, tilt) along the ray dev,
// `depth` metres in front of it.
Eigen::Vector3f pointOnRay(const PanTiltModel& model, float pan, float tilt,
                           const Eigen::Vector2f& dev, float depth) {
  const Eigen::Vector4f in_camera(depth * dev.x(), depth * dev.y(), depth, 1.0f);
  return (model.getFullTransform(pan, tilt).getInverseTransform() * in_camera).head<3>();
}

// The target in the camera frame at the returned motor positions.
Eigen::Vector3f seenAt(const PanTiltModel& model, float pan, float tilt,
                       const Eigen::Vector3f& world) {
  return (model.getFullTransform(pan, tilt).getTransform() * world.homogeneous()).head<3>();
}

double wrappedDifference(double a, double b) { return std::remainder(a - b, 2.0 * kPi); }

std::string printed(const Eigen::Vector3f& world, const Eigen::Vector2f& dev) {
  std::ostringstream text;
  text << "world=" << world << " dev=" << dev;
  return text.str();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(PanTiltInverse, IdealHeadSeesAPointStraightAheadAtZeroPanAndTilt) {
  const PanTiltModel model = headModel(idealHead());
  float pan = kUntouched, tilt = kUntouched;
  ASSERT_TRUE(model.computePanTilt(Eigen::Vector3f(3, 0, 0), Eigen::Vector2f::Zero(), &pan, &tilt));
  EXPECT_NEAR(pan, 0.0f, kIdealAngleTolerance);
  EXPECT_NEAR(tilt, 0.0f, kIdealAngleTolerance);
}

TEST(PanTiltInverse, IdealHeadRecoversAnyPanAndTiltBelowTheVertical) {
  // Along the optical axis the solution with |tilt| < pi/2 is unique.
  const PanTiltModel model = headModel(idealHead());
  std::mt19937 random(7);
  std::uniform_real_distribution<float> pan_angle(-3.0f * kPi, 3.0f * kPi);
  std::uniform_real_distribution<float> tilt_angle(-1.5f, 1.5f);
  std::uniform_real_distribution<float> depth(0.5f, 20.0f);
  for (int i = 0; i < kSamples; ++i) {
    const float pan_in = pan_angle(random), tilt_in = tilt_angle(random);
    const Eigen::Vector3f world =
        pointOnRay(model, pan_in, tilt_in, Eigen::Vector2f::Zero(), depth(random));
    float pan = kUntouched, tilt = kUntouched;
    ASSERT_TRUE(model.computePanTilt(world, Eigen::Vector2f::Zero(), &pan, &tilt))
        << "pan " << pan_in << " tilt " << tilt_in;
    EXPECT_NEAR(tilt, tilt_in, kIdealAngleTolerance) << "pan " << pan_in;
    EXPECT_NEAR(wrappedDifference(pan, pan_in), 0.0, kIdealAngleTolerance) << "tilt " << tilt_in;
  }
}

// Places targets on random rays of random poses and checks that the motor
// positions returned put each target back on its ray, in front of the
// camera. Off the optical axis two positions may see a target; either does.
void expectTargetsReachTheirRays(const HeadGeometry& head, float max_tilt_angle, float max_dev,
                                 unsigned seed) {
  const PanTiltModel model = headModel(head);
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> pan_angle(-3.0f, 3.0f);
  std::uniform_real_distribution<float> tilt_angle(-max_tilt_angle, max_tilt_angle);
  std::uniform_real_distribution<float> ray(-max_dev, max_dev);
  std::uniform_real_distribution<float> depth(2.0f, 10.0f);
  for (int i = 0; i < kSamples; ++i) {
    const float pan_in = pan_angle(random) / head.pan_scale + head.pan_offset;
    const float tilt_in = tilt_angle(random) / head.tilt_scale + head.tilt_offset;
    const Eigen::Vector2f dev(ray(random), ray(random));
    const Eigen::Vector3f world = pointOnRay(model, pan_in, tilt_in, dev, depth(random));
    float pan = kUntouched, tilt = kUntouched;
    ASSERT_TRUE(model.computePanTilt(world, dev, &pan, &tilt))
        << "pan " << pan_in << " tilt " << tilt_in << " dev " << dev.transpose();
    const Eigen::Vector3f seen = seenAt(model, pan, tilt, world);
    ASSERT_GT(seen.z(), 0.0f) << "the target is behind the camera";
    EXPECT_NEAR(seen.x() / seen.z(), dev.x(), kRayTolerance);
    EXPECT_NEAR(seen.y() / seen.z(), dev.y(), kRayTolerance);
  }
}

// Near the plane of the tilt rotation the tilt equation is close to tangency:
// its two roots are close together but distinct, and only one turns the
// target onto the ray. A root solver that merges them into one approximate
// root leaves those rays unreachable.
bool rootSolverKeepsCloseRootsApart() {
  double roots[2];
  // sin x = 0.999995: roots 1.5676 and 1.5740.
  return solveAsinBcosCeqn(1.0, 0.0, -0.999995, roots, 1e-5) == 2;
}

TEST(PanTiltInverse, RealisticHeadPutsTheTargetOnTheOpticalAxis) {
  expectTargetsReachTheirRays(realisticHead(), 1.2f, 0.0f, 11);
}

TEST(PanTiltInverse, OffAxisRaysReachTheirTargets) {
  if (!rootSolverKeepsCloseRootsApart()) {
    GTEST_SKIP() << "solveAsinBcosCeqn merges close roots near tangency";
  }
  expectTargetsReachTheirRays(idealHead(), 1.5f, 0.5f, 13);
  // Away from the vertical, where the estimate for a misaligned head holds.
  expectTargetsReachTheirRays(realisticHead(), 1.0f, 0.4f, 17);
}

TEST(PanTiltInverse, RaysJustOffTheCentreRowReachTheirTargets) {
  if (!rootSolverKeepsCloseRootsApart()) {
    GTEST_SKIP() << "solveAsinBcosCeqn merges close roots near tangency";
  }
  const PanTiltModel model = headModel(idealHead());
  const Eigen::Vector2f dev(0.05f, 0.002f);  // about two pixels off the centre row
  const Eigen::Vector3f world = pointOnRay(model, 0.7f, -0.4f, dev, 3.0f);
  float pan = kUntouched, tilt = kUntouched;
  ASSERT_TRUE(model.computePanTilt(world, dev, &pan, &tilt));
  EXPECT_NEAR(pan, 0.7f, kIdealAngleTolerance);
  EXPECT_NEAR(tilt, -0.4f, kIdealAngleTolerance);
}

// Expects the call to fail, to leave both outputs alone and to write one
// level-2 record, `reason` followed by the inputs.
void expectFailureWithoutOutputs(const PanTiltModel& model, const Eigen::Vector3f& world,
                                 const Eigen::Vector2f& dev, const std::string& reason) {
  LogCapture capture(3);
  float pan = kUntouched, tilt = kUntouched;
  EXPECT_FALSE(model.computePanTilt(world, dev, &pan, &tilt));
  EXPECT_EQ(pan, kUntouched);
  EXPECT_EQ(tilt, kUntouched);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 2);
  EXPECT_EQ(records[0].tag, kTag);
  EXPECT_TRUE(startsWith(records[0].text, reason + printed(world, dev))) << records[0].text;
}

constexpr char kNoSolution[] = "Could not find solutions for pan tilt: ";
constexpr char kLargeError[] = "Large residual error for pan tilt: ";

TEST(PanTiltInverse, ARayNoPositionCanReachFailsWithoutWritingOutputs) {
  // Straight above the head, the target is on the pan axis; a ray turned
  // sideways, towards the tilt axis, can never be brought onto it.
  expectFailureWithoutOutputs(headModel(idealHead()), Eigen::Vector3f(0, 0, 4),
                              Eigen::Vector2f(1.0f, 0.0f), kNoSolution);
}

TEST(PanTiltInverse, DefaultModelFindsNoSolution) {
  // Identity links: the optical axis is the pan axis, so no pan can aim it.
  expectFailureWithoutOutputs(PanTiltModel(), Eigen::Vector3f(1, 2, 3), Eigen::Vector2f::Zero(),
                              kNoSolution);
}

TEST(PanTiltInverse, NonFiniteInputsFindNoSolution) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const PanTiltModel model = headModel(realisticHead());
  expectFailureWithoutOutputs(model, Eigen::Vector3f(nan, 1, 1), Eigen::Vector2f::Zero(),
                              kNoSolution);
  expectFailureWithoutOutputs(model, Eigen::Vector3f(1, 1, 1), Eigen::Vector2f(nan, 0),
                              kNoSolution);

  PanTiltSystemParameters params = testing::headParameters(idealHead());
  params.mutable_device_ext()->set_a(0, std::numeric_limits<double>::quiet_NaN());
  PanTiltModel poisoned;
  ASSERT_TRUE(poisoned.readFromPB(params));
  expectFailureWithoutOutputs(poisoned, Eigen::Vector3f(3, 0, 0), Eigen::Vector2f::Zero(),
                              kNoSolution);
}

TEST(PanTiltInverse, ZeroScaleFailsWithoutWritingOutputs) {
  // A solution exists, but no motor position gives its angle.
  HeadGeometry head = idealHead();
  head.pan_scale = 0.0f;
  const Eigen::Vector3f to_the_left(0, 2, 0);  // a pan angle of pi/2
  expectFailureWithoutOutputs(headModel(head), to_the_left, Eigen::Vector2f::Zero(), kLargeError);
}

TEST(PanTiltInverse, NonFiniteScaleFailsWithoutWritingOutputs) {
  HeadGeometry head = idealHead();
  head.tilt_scale = std::numeric_limits<float>::quiet_NaN();
  expectFailureWithoutOutputs(headModel(head), Eigen::Vector3f(3, 0, 0), Eigen::Vector2f::Zero(),
                              kLargeError);
}

// A camera displaced by `offset` metres along the tilt axis: its optical axis
// always passes `offset` from the head's centre, so a target 1 cm in front of
// the centre stays between (offset - 0.01)^2 and offset^2 (squared metres)
// away from it.
struct OffsetCameraCase {
  float offset;
  int level;
  const char* text;
};

class PanTiltResidualBands : public ::testing::TestWithParam<OffsetCameraCase> {};

TEST_P(PanTiltResidualBands, ResidualLeftAfterRefinementFailsButWritesOutputs) {
  HeadGeometry head = idealHead();
  head.device.block<3, 1>(0, 3) = Eigen::Vector3f(GetParam().offset, 0, 0);
  const PanTiltModel model = headModel(head);
  const Eigen::Vector3f world(0.01f, 0, 0);
  const Eigen::Vector2f dev = Eigen::Vector2f::Zero();
  LogCapture capture(3);
  float pan = kUntouched, tilt = kUntouched;
  EXPECT_FALSE(model.computePanTilt(world, dev, &pan, &tilt));
  EXPECT_TRUE(std::isfinite(pan) && pan != kUntouched);
  EXPECT_TRUE(std::isfinite(tilt) && tilt != kUntouched);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, GetParam().level);
  EXPECT_TRUE(startsWith(records[0].text, std::string(GetParam().text) + printed(world, dev) +
                                              " error="))
      << records[0].text;
}

INSTANTIATE_TEST_SUITE_P(
    OffsetCamera, PanTiltResidualBands,
    ::testing::Values(OffsetCameraCase{0.06f, 3, "High residual error for pan tilt: "},
                      OffsetCameraCase{0.3f, 2, "Large residual error for pan tilt: "}));

TEST(PanTiltInverse, ConvergedSolutionSucceedsWithoutFailureRecords) {
  const PanTiltModel model = headModel(realisticHead());
  LogCapture capture(3);
  float pan, tilt;
  EXPECT_TRUE(model.computePanTilt(Eigen::Vector3f(3, 1, 0.5f), Eigen::Vector2f(0.1f, -0.05f), &pan,
                                   &tilt));
  EXPECT_TRUE(capture.records().empty());
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

  const struct {
    int level;
    const char* prefix;
  } expected[] = {{5, "world="}, {5, "w3="}, {5, "pan_axis="}, {5, "tilt_axis="},
                  {5, "roll_axis="}, {5, "u="}, {5, "v="}, {5, "Pan/tilt estimates:"},
                  {6, "0 Error="}, {6, "1 Error="}, {6, "2 Error="}, {6, "3 Error="},
                  {6, "4 Error="}, {5, "last_error="}, {5, "Pan/tilt (rads): "},
                  {5, "Pan/tilt (steps):"}};
  const auto records = capture.records();
  ASSERT_EQ(records.size(), sizeof(expected) / sizeof(expected[0]));
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_TRUE(startsWith(records[i].text, expected[i].prefix)) << records[i].text;
    EXPECT_EQ(records[i].level, expected[i].level);
    EXPECT_EQ(records[i].tag, kTag);
    EXPECT_EQ(records[i].file, "calibration_common/pan_tilt_model");
    EXPECT_EQ(records[i].function, "dravik::calibration::PanTiltModel::computePanTilt");
  }
  EXPECT_EQ(records[0].text, printed(world, dev));
  const std::regex iteration(
      R"(\d Error=-?\d+\.\d{6}  dx=-?\d+\.\d{6},dy=-?\d+\.\d{6} )"
      R"(residuals=-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6})");
  for (size_t i = 8; i < 13; ++i) {
    EXPECT_TRUE(std::regex_match(records[i].text, iteration)) << records[i].text;
  }

  // The steps record leaves the offsets out; the results keep them.
  double pan_steps = 0.0, tilt_steps = 0.0;
  std::istringstream steps(records.back().text.substr(std::string("Pan/tilt (steps):").size()));
  steps >> pan_steps >> tilt_steps;
  EXPECT_NEAR(pan_steps, 0.4, 1e-4);
  EXPECT_NEAR(tilt_steps, 0.3, 1e-4);
  EXPECT_NEAR(pan, 100.4f, 1e-4);
  EXPECT_NEAR(tilt, -49.7f, 1e-4);
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

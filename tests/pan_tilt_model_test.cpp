// The pan/tilt head: its forward transform, its parameter message, and the
// inverse solution, motor positions that put a world point on a wanted ray of
// the camera.
#include "calibration_common/pan_tilt_model.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "support/log_capture.h"
#include "support/pan_tilt_heads.h"

namespace dravik::calibration {
namespace {

using namespace testing;

// Products of a few float rigid transforms.
constexpr float kMatrixTolerance = 1e-5f;
// Translations pass through float metres: millimetres keep about 7 digits.
constexpr double kWrittenTolerance = 1e-4;
// The ideal head's estimate is exact: float rounding of target and result.
constexpr double kIdealAngleTolerance = 2e-5;
// |x/z - dev| of the target seen at the returned motor positions.
constexpr float kRayTolerance = 1e-4f;
constexpr float kUntouched = -12345.0f;
const Eigen::Vector2f kOpticalAxis = Eigen::Vector2f::Zero();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// At the offsets the pose is the fixed chain (turned poses against a kinematic
// tree: CamcalUrdf.HeadChainFollowsThePanTiltModel).
TEST(PanTiltModel, GetFullTransformComposesTheLinks) {
  const HeadGeometry head = realisticHead();
  const CameraTransform pose = headModel(head).getFullTransform(head.pan_offset, head.tilt_offset);
  EXPECT_LT((pose.getTransform() - head.device * head.tilt * head.pan).cwiseAbs().maxCoeff(),
            kMatrixTolerance);
}

using Link = CameraExtrinsics* (PanTiltSystemParameters::*)();
const Link kLinks[] = {&PanTiltSystemParameters::mutable_pan_ext,
                       &PanTiltSystemParameters::mutable_tilt_ext,
                       &PanTiltSystemParameters::mutable_device_ext};

// The failed read changes nothing: the pose at any motor position stays.
TEST(PanTiltModel, ReadFromPBRejectsALinkOfFewerThanTwelveElements) {
  PanTiltModel model = headModel(realisticHead());
  const Eigen::Matrix4f before = model.getFullTransform(300, -20).getTransform();
  for (Link link : kLinks) {
    PanTiltSystemParameters short_link = headParameters(HeadGeometry());
    (short_link.*link)()->mutable_a()->RemoveLast();
    LogCapture capture(3);
    EXPECT_FALSE(model.readFromPB(short_link));
    EXPECT_TRUE(capture.contains(2, "pan_tilt_model",
                                 "Not enough matrix elements in PanTiltSystemParameters"));
    EXPECT_EQ(model.getFullTransform(300, -20).getTransform(), before);
  }
}

// Writing replaces the extrinsics (a longer link included), the rest as read.
TEST(PanTiltModel, WriteToPBWritesBackWhatWasRead) {
  PanTiltSystemParameters params = headParameters(realisticHead()), out;
  params.set_aux_param_1(0.25f);
  params.set_aux_param_2(-7.5f);
  PanTiltModel model;
  ASSERT_TRUE(model.readFromPB(params));
  for (int i = 0; i < 15; ++i) out.mutable_tilt_ext()->add_a(99.0);
  model.writeToPB(&out);
  for (Link link : kLinks) {
    ASSERT_EQ((out.*link)()->a_size(), 12);
    for (int i = 0; i < 12; ++i)
      EXPECT_NEAR((out.*link)()->a(i), (params.*link)()->a(i), kWrittenTolerance);
    (out.*link)()->Clear();
    (params.*link)()->Clear();
  }
  EXPECT_EQ(out.SerializeAsString(), params.SerializeAsString());
}

// Targets on random rays of random poses are put back on their rays, in front
// of the camera, silently; along the ideal head's optical axis (|tilt| < pi/2)
// the angles come back. Off the axis the tilt equation has two close roots.
TEST(ComputePanTilt, PutsTargetsOnTheirRays) {
  const struct {
    HeadGeometry head;
    float max_pan, max_tilt, max_dev;
    bool unique;
  } cases[] = {{idealHead(), 3.0f * float(EIGEN_PI), 1.5f, 0.0f, true},
               {realisticHead(), 3.0f, 1.2f, 0.0f, false},
               {realisticHead(), 3.0f, 1.0f, 0.4f, false}};
  for (const auto& c : cases) {
    const PanTiltModel model = headModel(c.head);
    std::mt19937 random(11);
    std::uniform_real_distribution<float> pan_angle(-c.max_pan, c.max_pan),
        tilt_angle(-c.max_tilt, c.max_tilt), ray(-c.max_dev, c.max_dev);
    LogCapture capture(3);
    for (int i = 0; i < 500; ++i) {
      const float pan_in = pan_angle(random) / c.head.pan_scale + c.head.pan_offset;
      const float tilt_in = tilt_angle(random) / c.head.tilt_scale + c.head.tilt_offset;
      // One draw per statement: the same rays from every compiler (y first, as
      // the tests' first build drew them).
      const float dev_y = ray(random);
      const float dev_x = ray(random);
      const Eigen::Vector2f dev(dev_x, dev_y);
      const float depth = 2.0f + i % 9;  // metres in front of the camera posed at (pan_in, tilt_in)
      const Eigen::Vector3f world = (model.getFullTransform(pan_in, tilt_in).getInverseTransform() *
                                     Eigen::Vector4f(depth * dev.x(), depth * dev.y(), depth, 1.0f))
                                        .head<3>();
      float pan, tilt;
      ASSERT_TRUE(model.computePanTilt(world, dev, &pan, &tilt))
          << pan_in << " " << tilt_in << " " << dev.transpose();
      const Eigen::Vector4f seen =
          model.getFullTransform(pan, tilt).getTransform() * world.homogeneous();
      ASSERT_GT(seen.z(), 0.0f) << "the target is behind the camera";
      EXPECT_NEAR(seen.x() / seen.z(), dev.x(), kRayTolerance);
      EXPECT_NEAR(seen.y() / seen.z(), dev.y(), kRayTolerance);
      if (!c.unique) continue;
      EXPECT_NEAR(tilt, tilt_in, kIdealAngleTolerance);
      EXPECT_NEAR(std::remainder(pan - pan_in, 2.0 * EIGEN_PI), 0.0, kIdealAngleTolerance);
    }
    EXPECT_TRUE(capture.records().empty());
  }
}

// One record of the failure's level, its reason and the inputs; outputs are
// written only after a refinement left a residual.
TEST(ComputePanTilt, EachFailureLogsOneRecordOfItsReason) {
  const char kNoSolution[] = "Could not find solutions for pan tilt: ";
  const char kLargeError[] = "Large residual error for pan tilt: ";
  // A camera 6 cm or 30 cm along the tilt axis misses a target 1 cm ahead.
  HeadGeometry zero_pan = idealHead(), near = idealHead(), far = near;
  zero_pan.pan_scale = 0.0f;
  near.device(0, 3) = 0.06f;
  far.device(0, 3) = 0.3f;
  const struct {
    PanTiltModel model;
    Eigen::Vector3f world;
    Eigen::Vector2f dev;
    std::string reason;
    int level;
    bool writes_outputs;
  } cases[] = {
      // Straight above the head, on the pan axis, with a ray turned sideways.
      {headModel(idealHead()), {0, 0, 4}, {1, 0}, kNoSolution, 2, false},
      // Identity links: the optical axis is the pan axis, which no pan aims.
      {PanTiltModel(), {1, 2, 3}, kOpticalAxis, kNoSolution, 2, false},
      {headModel(realisticHead()), {1, 1, 1}, {kNaN, 0}, kNoSolution, 2, false},
      {headModel(zero_pan), {0, 2, 0}, kOpticalAxis, kLargeError, 2, false},
      {headModel(near), {0.01f, 0, 0}, kOpticalAxis, "High residual error for pan tilt: ", 3, true},
      {headModel(far), {0.01f, 0, 0}, kOpticalAxis, kLargeError, 2, true},
  };
  for (const auto& c : cases) {
    LogCapture capture(3);
    float pan = kUntouched, tilt = kUntouched;
    EXPECT_FALSE(c.model.computePanTilt(c.world, c.dev, &pan, &tilt));
    EXPECT_EQ(std::isfinite(pan) && pan != kUntouched, c.writes_outputs) << pan;
    EXPECT_EQ(std::isfinite(tilt) && tilt != kUntouched, c.writes_outputs) << tilt;
    EXPECT_TRUE(c.writes_outputs || (pan == kUntouched && tilt == kUntouched));
    ASSERT_EQ(capture.records().size(), 1u) << c.reason;
    EXPECT_EQ(capture.records()[0].level, c.level);
    std::ostringstream expected;
    expected << c.reason << "world=" << c.world << " dev=" << c.dev
             << (c.writes_outputs ? " error=" : "");
    EXPECT_EQ(capture.records()[0].text.rfind(expected.str(), 0), 0u) << capture.records()[0].text;
  }
}

// Joint positions without a motor position fail with one record and leave
// the outputs as they were (a null output: GetPanTilt.NullOutputsFailWithARecord).
TEST(PanTiltModel, MotorStepsFailsWithoutAMotorPosition) {
  HeadGeometry zero_tilt = realisticHead();
  zero_tilt.tilt_scale = 0.0f;
  const float kInf = std::numeric_limits<float>::infinity();
  const std::pair<PanTiltModel, Eigen::Vector2f> cases[] = {
      {headModel(zero_tilt), {0.1f, 0.2f}}, {headModel(realisticHead()), {0.1f, kInf}}};
  for (const auto& [model, angles] : cases) {
    LogCapture capture(3);
    float pan = kUntouched, tilt = kUntouched;
    EXPECT_FALSE(model.motorSteps(angles.x(), angles.y(), &pan, &tilt));
    EXPECT_TRUE(pan == kUntouched && tilt == kUntouched);
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].level, 2);
    EXPECT_EQ(capture.records()[0].text.rfind("No motor position for the joint positions ", 0), 0u);
  }
}

// Rounding halves away from zero, then a min, then a max (an inconsistent
// min loses); a position beyond the int range writes nothing.
TEST(RoundAndLimitMotorSteps, RoundsThenLimitsAsAimingDoes) {
  const char kLimits[] = "pan_min: -100 pan_max: 100 tilt_min: 50 tilt_max: 10";
  const struct {
    const char* limits;
    float pan, tilt;
    bool ok;
    int pan_steps, tilt_steps;
  } cases[] = {
      {"", 2.5f, -2.5f, true, 3, -3},
      {"", 2.49f, -0.5f, true, 2, -1},
      {kLimits, -100.6f, 0.0f, true, -100, 10},
      {kLimits, 99.5f, 30.0f, true, 100, 10},
      {"pan_max: 7", 7.4f, -1e6f, true, 7, -1000000},
      {"", 3e9f, 0.0f, false, 0, 0},
      {kLimits, 0.0f, kNaN, false, 0, 0},
  };
  for (const auto& c : cases) {
    PanTiltSystemParameters limits;
    ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(c.limits, &limits));
    int pan = -7, tilt = -7;
    ASSERT_EQ(roundAndLimitMotorSteps(limits, c.pan, c.tilt, &pan, &tilt), c.ok) << c.pan;
    EXPECT_EQ(pan, c.ok ? c.pan_steps : -7) << c.pan;
    EXPECT_EQ(tilt, c.ok ? c.tilt_steps : -7) << c.tilt;
  }
}

}  // namespace
}  // namespace dravik::calibration

// The pan/tilt head: its forward transform, its parameter message, and the
// inverse solution, motor positions that put a world point on a wanted ray of
// the camera.
#include <cmath>
#include <limits>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

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
using testing::headParameters;
using testing::idealHead;
using testing::realisticHead;

constexpr double kPi = 3.14159265358979323846;
// Products of a few float rigid transforms.
constexpr float kMatrixTolerance = 1e-5f;
// Translations pass through float metres: millimetres keep about 7 digits.
constexpr double kWrittenTolerance = 1e-4;
// The ideal head's estimate is exact: float rounding of target and result.
constexpr double kIdealAngleTolerance = 2e-5;
// |x/z - dev| of the target seen at the returned motor positions.
constexpr float kRayTolerance = 1e-4f;
constexpr int kSamples = 500;
constexpr float kUntouched = -12345.0f;
const Eigen::Vector2f kOpticalAxis = Eigen::Vector2f::Zero();

bool matricesNear(const Eigen::Matrix4f& a, const Eigen::Matrix4f& b) {
  return (a - b).cwiseAbs().maxCoeff() <= kMatrixTolerance;
}

std::string written(const PanTiltModel& model, PanTiltSystemParameters params = {}) {
  model.writeToPB(&params);
  return params.SerializeAsString();
}

using Link = CameraExtrinsics* (PanTiltSystemParameters::*)();
const Link kLinks[] = {&PanTiltSystemParameters::mutable_pan_ext,
                       &PanTiltSystemParameters::mutable_tilt_ext,
                       &PanTiltSystemParameters::mutable_device_ext};

// The default model (zero scales) stays at the identity; at the offsets the
// pose is the fixed chain; with identity links pan and tilt add up.
TEST(PanTiltModel, ForwardTransformComposesTheLinks) {
  EXPECT_TRUE(matricesNear(PanTiltModel().getFullTransform(123.0f, -45.0f).getTransform(),
                           Eigen::Matrix4f::Identity()));
  HeadGeometry head = realisticHead();
  const CameraTransform pose = headModel(head).getFullTransform(head.pan_offset, head.tilt_offset);
  EXPECT_TRUE(matricesNear(pose.getTransform(), head.device * head.tilt * head.pan));
  EXPECT_TRUE(matricesNear(pose.getInverseTransform() * pose.getTransform(),
                           Eigen::Matrix4f::Identity()));
  head = HeadGeometry();
  head.tilt = head.device = Eigen::Matrix4f::Identity();
  EXPECT_TRUE(matricesNear(headModel(head).getFullTransform(0.3f, -1.1f).getTransform(),
                           rotationZTransf(0.3f - 1.1f)));
}

// Writing replaces the extrinsics (extra values read are ignored) and keeps
// every other field of the message.
TEST(PanTiltModel, ParametersSurviveAWriteAndARead) {
  PanTiltSystemParameters params = headParameters(realisticHead());
  params.set_aux_param_1(0.25f);
  params.set_aux_param_2(-7.5f);
  PanTiltSystemParameters longer = params;
  longer.mutable_device_ext()->add_a(5.0);
  PanTiltModel model, from_longer;
  ASSERT_TRUE(model.readFromPB(params));
  ASSERT_TRUE(from_longer.readFromPB(longer));
  EXPECT_EQ(written(from_longer), written(model));

  PanTiltSystemParameters out;
  for (int i = 0; i < 15; ++i) out.mutable_tilt_ext()->add_a(99.0);
  out.set_pan_min(-1000);
  model.writeToPB(&out);
  EXPECT_EQ(out.pan_min(), -1000);
  out.clear_pan_min();
  for (Link link : kLinks) {
    ASSERT_EQ((out.*link)()->a_size(), 12);
    for (int i = 0; i < 12; ++i) {
      EXPECT_NEAR((out.*link)()->a(i), (params.*link)()->a(i), kWrittenTolerance);
    }
    (out.*link)()->Clear();
    (params.*link)()->Clear();
  }
  EXPECT_EQ(out.SerializeAsString(), params.SerializeAsString());
}

TEST(PanTiltModel, ShortExtrinsicsAreRejectedAndLeaveTheModelUnchanged) {
  PanTiltModel model = headModel(realisticHead());
  const std::string before = written(model);
  for (Link link : kLinks) {
    PanTiltSystemParameters params = headParameters(HeadGeometry());
    (params.*link)()->mutable_a()->RemoveLast();
    LogCapture capture(3);
    EXPECT_FALSE(model.readFromPB(params));
    EXPECT_TRUE(capture.contains(2, "pan_tilt_model",
                                 "Not enough matrix elements in PanTiltSystemParameters"));
    EXPECT_EQ(written(model), before);
  }
  EXPECT_FALSE(model.readFromPB(PanTiltSystemParameters()));
  EXPECT_EQ(written(model), before);
}

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

// Targets placed on random rays of random poses are put back on their rays,
// in front of the camera, without a failure record. Off the optical axis two
// positions may see a target; either will do. Along the optical axis of the
// ideal head the solution with |tilt| < pi/2 is unique: the angles come back.
void expectTargetsReachTheirRays(const HeadGeometry& head, float max_pan_angle,
                                 float max_tilt_angle, float max_dev, bool unique = false) {
  const PanTiltModel model = headModel(head);
  std::mt19937 random(11);
  std::uniform_real_distribution<float> pan_angle(-max_pan_angle, max_pan_angle),
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
    if (!unique) continue;
    EXPECT_NEAR(tilt, tilt_in, kIdealAngleTolerance);
    EXPECT_NEAR(std::remainder(pan - pan_in, 2.0 * kPi), 0.0, kIdealAngleTolerance);
  }
  EXPECT_TRUE(capture.records().empty());
}

TEST(PanTiltInverse, TargetsReachTheirRays) {
  expectTargetsReachTheirRays(idealHead(), 3.0f * kPi, 1.5f, 0.0f, true);
  expectTargetsReachTheirRays(realisticHead(), 3.0f, 1.2f, 0.0f);
  // Rays near the plane of the tilt rotation make the tilt equation nearly
  // tangent: two close, distinct roots of which only one is right. A root
  // solver that merges them leaves those rays unreachable.
  expectTargetsReachTheirRays(idealHead(), 3.0f, 1.5f, 0.5f);
  // Away from the vertical, where the estimate for a misaligned head holds.
  expectTargetsReachTheirRays(realisticHead(), 3.0f, 1.0f, 0.4f);
}

// The call fails with one record of `level` that starts with `reason` and the
// inputs; it writes its outputs only after a refinement that left a residual.
void expectFailure(const PanTiltModel& model, const Eigen::Vector3f& world,
                   const Eigen::Vector2f& dev, const std::string& reason, int level = 2,
                   bool writes_outputs = false) {
  LogCapture capture(3);
  float pan = kUntouched, tilt = kUntouched;
  EXPECT_FALSE(model.computePanTilt(world, dev, &pan, &tilt));
  EXPECT_EQ(std::isfinite(pan) && pan != kUntouched, writes_outputs) << pan;
  EXPECT_EQ(std::isfinite(tilt) && tilt != kUntouched, writes_outputs) << tilt;
  EXPECT_TRUE(writes_outputs || (pan == kUntouched && tilt == kUntouched));
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].level, level);
  const std::string error = writes_outputs ? " error=" : "";
  EXPECT_TRUE(startsWith(capture.records()[0].text, reason + printed(world, dev) + error))
      << capture.records()[0].text;
}

constexpr char kNoSolution[] = "Could not find solutions for pan tilt: ";
constexpr char kLargeError[] = "Large residual error for pan tilt: ";

TEST(PanTiltInverse, UnreachableRaysAndNonFiniteInputsFailWithoutWritingOutputs) {
  // Straight above the head the target is on the pan axis; a ray turned
  // towards the tilt axis can never meet it.
  expectFailure(headModel(idealHead()), Eigen::Vector3f(0, 0, 4),
                              Eigen::Vector2f(1, 0), kNoSolution);
  // Identity links: the optical axis is the pan axis, which no pan can aim.
  expectFailure(PanTiltModel(), Eigen::Vector3f(1, 2, 3), kOpticalAxis, kNoSolution);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expectFailure(headModel(realisticHead()), Eigen::Vector3f(nan, 1, 1), kOpticalAxis,
                              kNoSolution);
  expectFailure(headModel(realisticHead()), Eigen::Vector3f(1, 1, 1),
                              Eigen::Vector2f(nan, 0), kNoSolution);
  // Scales without a motor position: zero (as in a default-constructed
  // model) and not a number; the target is at pan angle pi/2, tilt angle 0.
  HeadGeometry zero_pan = idealHead(), nan_tilt = idealHead();
  zero_pan.pan_scale = 0.0f;
  nan_tilt.tilt_scale = nan;
  expectFailure(headModel(zero_pan), {0, 2, 0}, kOpticalAxis, kLargeError);
  expectFailure(headModel(nan_tilt), {0, 2, 0}, kOpticalAxis, kLargeError);
}

// A camera `offset` metres along the tilt axis: its optical axis passes
// `offset` from the head's centre, so a target 1 cm ahead of the centre
// keeps a squared residual between (offset - 0.01)^2 and offset^2.
TEST(PanTiltInverse, ResidualLeftAfterRefinementFailsButWritesOutputs) {
  const std::tuple<float, int, const char*> cases[] = {
      {0.06f, 3, "High residual error for pan tilt: "}, {0.3f, 2, kLargeError}};
  for (const auto& [offset, level, text] : cases) {
    HeadGeometry head = idealHead();
    head.device(0, 3) = offset;
    expectFailure(headModel(head), {0.01f, 0, 0}, kOpticalAxis, text, level, true);
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
    const auto& r = records[i];
    EXPECT_TRUE(startsWith(r.text, prefixes[i])) << r.text;
    EXPECT_TRUE(!is_iteration || std::regex_match(r.text, iteration)) << r.text;
    EXPECT_EQ(r.level, is_iteration ? 6 : 5);
    EXPECT_EQ(r.tag + " " + r.file + " " + r.function,
              "pan_tilt_model calibration_common/pan_tilt_model "
              "dravik::calibration::PanTiltModel::computePanTilt");
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

// The pan/tilt head's forward transform and its parameter message.
#include <gtest/gtest.h>

#include "calibration_common/pan_tilt_model.h"
#include "dravik/geometry.h"
#include "support/log_capture.h"
#include "support/pan_tilt_heads.h"

namespace dravik {
namespace calibration {
namespace {

using testing::HeadGeometry;
using testing::headModel;
using testing::headParameters;
using testing::realisticHead;

// Products of a few float rigid transforms.
constexpr float kMatrixTolerance = 1e-5f;

bool matricesNear(const Eigen::Matrix4f& a, const Eigen::Matrix4f& b) {
  return (a - b).cwiseAbs().maxCoeff() <= kMatrixTolerance;
}

std::string written(const PanTiltModel& model, PanTiltSystemParameters params = {}) {
  model.writeToPB(&params);
  return params.SerializeAsString();
}

TEST(PanTiltModel, DefaultModelHasZeroOffsetsAndTheIdentityPose) {
  const PanTiltModel model;
  EXPECT_EQ(model.pan_offset(), 0.0f);
  EXPECT_EQ(model.tilt_offset(), 0.0f);
  EXPECT_TRUE(matricesNear(model.getFullTransform(123.0f, -45.0f).getTransform(),
                           Eigen::Matrix4f::Identity()));
}

TEST(PanTiltModel, AtTheOffsetsThePoseIsTheFixedChain) {
  const HeadGeometry head = realisticHead();
  const CameraTransform pose = headModel(head).getFullTransform(head.pan_offset, head.tilt_offset);
  EXPECT_TRUE(matricesNear(pose.getTransform(), head.device * head.tilt * head.pan));
  EXPECT_TRUE(matricesNear(pose.getInverseTransform() * pose.getTransform(),
                           Eigen::Matrix4f::Identity()));
}

TEST(PanTiltModel, PanAndTiltAddUpWhenEveryLinkIsTheIdentity) {
  HeadGeometry head;
  head.tilt = head.device = Eigen::Matrix4f::Identity();
  EXPECT_TRUE(matricesNear(headModel(head).getFullTransform(0.3f, -1.1f).getTransform(),
                           rotationZTransf(0.3f - 1.1f)));
}

TEST(PanTiltModel, ParametersSurviveAWriteAndARead) {
  PanTiltSystemParameters params = headParameters(realisticHead());
  params.set_aux_param_1(0.25f);
  params.set_aux_param_2(-7.5f);
  PanTiltModel model;
  ASSERT_TRUE(model.readFromPB(params));
  PanTiltSystemParameters out;
  model.writeToPB(&out);
  // Translations pass through float metres: millimetres keep about 7 digits.
  for (int i = 0; i < 12; ++i) {
    EXPECT_NEAR(out.pan_ext().a(i), params.pan_ext().a(i), 1e-4);
    EXPECT_NEAR(out.tilt_ext().a(i), params.tilt_ext().a(i), 1e-4);
    EXPECT_NEAR(out.device_ext().a(i), params.device_ext().a(i), 1e-4);
  }
  out.clear_pan_ext();
  out.clear_tilt_ext();
  out.clear_device_ext();
  params.clear_pan_ext();
  params.clear_tilt_ext();
  params.clear_device_ext();
  EXPECT_EQ(out.SerializeAsString(), params.SerializeAsString());
}

TEST(PanTiltModel, WritingReplacesExtrinsicsAndKeepsOtherFields) {
  const PanTiltModel model = headModel(realisticHead());
  PanTiltSystemParameters params;
  for (int i = 0; i < 15; ++i) params.mutable_tilt_ext()->add_a(99.0);
  params.set_pan_min(-1000);
  model.writeToPB(&params);
  EXPECT_EQ(params.tilt_ext().a_size(), 12);
  EXPECT_EQ(params.pan_min(), -1000);
  EXPECT_FALSE(params.has_pan_max());
}

TEST(PanTiltModel, ExtraExtrinsicsValuesAreIgnored) {
  PanTiltSystemParameters params = headParameters(realisticHead());
  PanTiltModel exact, longer;
  ASSERT_TRUE(exact.readFromPB(params));
  params.mutable_device_ext()->add_a(5.0);
  ASSERT_TRUE(longer.readFromPB(params));
  EXPECT_EQ(written(longer), written(exact));
}

TEST(PanTiltModel, ShortExtrinsicsAreRejectedAndLeaveTheModelUnchanged) {
  PanTiltModel model = headModel(realisticHead());
  const std::string before = written(model);
  using Link = CameraExtrinsics* (PanTiltSystemParameters::*)();
  for (Link link : {&PanTiltSystemParameters::mutable_pan_ext,
                    &PanTiltSystemParameters::mutable_tilt_ext,
                    &PanTiltSystemParameters::mutable_device_ext}) {
    PanTiltSystemParameters params = headParameters(HeadGeometry());
    (params.*link)()->mutable_a()->RemoveLast();
    testing::LogCapture capture(3);
    EXPECT_FALSE(model.readFromPB(params));
    EXPECT_TRUE(capture.contains(2, "pan_tilt_model",
                                 "Not enough matrix elements in PanTiltSystemParameters"));
    EXPECT_EQ(written(model), before);
  }
  EXPECT_FALSE(model.readFromPB(PanTiltSystemParameters()));
  EXPECT_EQ(written(model), before);
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

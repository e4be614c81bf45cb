// The pan/tilt head's forward transform and its parameter message.
#include <utility>

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
using testing::rigidTransform;

// Products of a few 4x4 float matrices with entries near 1.
constexpr float kMatrixTolerance = 1e-5f;
// Values that pass once through float: millimetres near 1000 keep about
// seven digits.
constexpr double kExtrinsicsTolerance = 1e-4;

::testing::AssertionResult matricesNear(const Eigen::Matrix4f& a, const Eigen::Matrix4f& b) {
  if ((a - b).cwiseAbs().maxCoeff() <= kMatrixTolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "\n" << a << "\nvs\n" << b;
}

PanTiltSystemParameters writtenBy(const PanTiltModel& model) {
  PanTiltSystemParameters params;
  model.writeToPB(&params);
  return params;
}

void expectSameParameters(const PanTiltSystemParameters& a, const PanTiltSystemParameters& b) {
  EXPECT_EQ(a.SerializeAsString(), b.SerializeAsString()) << a.DebugString() << "\nvs\n"
                                                          << b.DebugString();
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
  const PanTiltModel model = headModel(head);
  EXPECT_EQ(model.pan_offset(), head.pan_offset);
  EXPECT_EQ(model.tilt_offset(), head.tilt_offset);
  const CameraTransform pose = model.getFullTransform(head.pan_offset, head.tilt_offset);
  EXPECT_TRUE(matricesNear(pose.getTransform(), head.device * head.tilt * head.pan));
  EXPECT_TRUE(matricesNear(pose.getInverseTransform() * pose.getTransform(),
                           Eigen::Matrix4f::Identity()));
}

TEST(PanTiltModel, PanAndTiltAddUpWhenEveryLinkIsTheIdentity) {
  HeadGeometry head;
  head.tilt = head.device = Eigen::Matrix4f::Identity();
  const PanTiltModel model = headModel(head);
  EXPECT_TRUE(matricesNear(model.getFullTransform(0.3f, -1.1f).getTransform(),
                           rotationZTransf(0.3f - 1.1f)));
}

TEST(PanTiltModel, PoseFollowsTheChainThroughBothMotors) {
  const HeadGeometry head = realisticHead();
  const PanTiltModel model = headModel(head);
  const float pan = 2500.0f, tilt = 400.0f;
  const Eigen::Matrix4f expected =
      head.device * rotationZTransf(head.tilt_scale * (tilt - head.tilt_offset)) * head.tilt *
      rotationZTransf(head.pan_scale * (pan - head.pan_offset)) * head.pan;
  EXPECT_TRUE(matricesNear(model.getFullTransform(pan, tilt).getTransform(), expected));
}

TEST(PanTiltModel, WrittenParametersReadBackUnchanged) {
  PanTiltSystemParameters params = headParameters(realisticHead());
  params.set_aux_param_1(0.25f);
  params.set_aux_param_2(-7.5f);
  PanTiltModel model;
  ASSERT_TRUE(model.readFromPB(params));

  const PanTiltSystemParameters written = writtenBy(model);
  const std::pair<const CameraExtrinsics*, const CameraExtrinsics*> links[] = {
      {&params.pan_ext(), &written.pan_ext()},
      {&params.tilt_ext(), &written.tilt_ext()},
      {&params.device_ext(), &written.device_ext()}};
  for (const auto& link : links) {
    const CameraExtrinsics& in = *link.first;
    const CameraExtrinsics& out = *link.second;
    ASSERT_EQ(out.a_size(), 12);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(out.a(i), in.a(i), kExtrinsicsTolerance) << i;
  }
  EXPECT_EQ(written.pan_scale(), params.pan_scale());
  EXPECT_EQ(written.tilt_scale(), params.tilt_scale());
  EXPECT_EQ(written.pan_offset(), params.pan_offset());
  EXPECT_EQ(written.tilt_offset(), params.tilt_offset());
  EXPECT_EQ(written.aux_param_1(), 0.25f);
  EXPECT_EQ(written.aux_param_2(), -7.5f);

  // Once through float, the values are fixed points of the round trip.
  PanTiltModel again;
  ASSERT_TRUE(again.readFromPB(written));
  expectSameParameters(writtenBy(again), written);
}

TEST(PanTiltModel, WritingReplacesExtrinsicsAndKeepsOtherFields) {
  const PanTiltModel model = headModel(realisticHead());
  PanTiltSystemParameters params;
  for (int i = 0; i < 15; ++i) params.mutable_tilt_ext()->add_a(99.0);
  params.set_pan_min(-1000);
  params.set_tilt_max(800);
  model.writeToPB(&params);
  EXPECT_EQ(params.tilt_ext().a_size(), 12);
  EXPECT_EQ(params.pan_min(), -1000);
  EXPECT_EQ(params.tilt_max(), 800);
  EXPECT_FALSE(params.has_pan_max());
  EXPECT_TRUE(params.has_aux_param_2());
}

TEST(PanTiltModel, ExtraExtrinsicsValuesAreIgnored) {
  PanTiltSystemParameters params = headParameters(realisticHead());
  const PanTiltSystemParameters complete = params;
  params.mutable_device_ext()->add_a(5.0);
  params.mutable_pan_ext()->add_a(6.0);
  PanTiltModel longer, exact;
  ASSERT_TRUE(longer.readFromPB(params));
  ASSERT_TRUE(exact.readFromPB(complete));
  expectSameParameters(writtenBy(longer), writtenBy(exact));
}

class ShortExtrinsics : public ::testing::TestWithParam<CameraExtrinsics* (*)(PanTiltSystemParameters*)> {};

TEST_P(ShortExtrinsics, AreRejectedAndLeaveTheModelUnchanged) {
  PanTiltModel model = headModel(realisticHead());
  const PanTiltSystemParameters before = writtenBy(model);

  HeadGeometry other;
  other.pan_scale = 0.5f;
  PanTiltSystemParameters params = headParameters(other);
  GetParam()(&params)->mutable_a()->RemoveLast();

  testing::LogCapture capture(3);
  EXPECT_FALSE(model.readFromPB(params));
  EXPECT_TRUE(capture.contains(2, "pan_tilt_model",
                               "Not enough matrix elements in PanTiltSystemParameters"));
  expectSameParameters(writtenBy(model), before);
}

INSTANTIATE_TEST_SUITE_P(
    EachLink, ShortExtrinsics,
    ::testing::Values(
        [](PanTiltSystemParameters* p) { return p->mutable_pan_ext(); },
        [](PanTiltSystemParameters* p) { return p->mutable_tilt_ext(); },
        [](PanTiltSystemParameters* p) { return p->mutable_device_ext(); }));

TEST(PanTiltModel, AbsentExtrinsicsAreRejected) {
  PanTiltSystemParameters params = headParameters(realisticHead());
  params.clear_tilt_ext();
  PanTiltModel model;
  EXPECT_FALSE(model.readFromPB(params));
  EXPECT_FALSE(model.readFromPB(PanTiltSystemParameters()));
}

TEST(PanTiltModel, CopiesAreIndependent) {
  PanTiltModel original = headModel(realisticHead());
  const PanTiltModel copy = original;
  ASSERT_TRUE(original.readFromPB(headParameters(HeadGeometry())));
  EXPECT_EQ(copy.pan_offset(), realisticHead().pan_offset);
  EXPECT_EQ(original.pan_offset(), 0.0f);
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

// One camera record: reading a camera message, the pose conversions, and the
// pose held as a transform and its rigid inverse.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "dravik/camera_transform.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/regex_literal.h"

namespace {

using namespace dravik::calibration;
using namespace dravik::testing;

constexpr float kMillimetreRounding = 1e-4f;
constexpr float kRounding = 1e-5f;

// Distortion is reordered to k1 k2 p1 p2 k3 k4 k5 k6; the pose reads the first
// twelve extrinsics values, translation in metres; extra values are ignored.
TEST(CameraParametersReadProto, TakesTheFullFrameLensAndPoseFromTheMessage) {
  CameraParameters record;
  ASSERT_TRUE(record.readProto(cameraMessage(
      "camera { name: \"left\" model: \"pinhole\" intrinsics { fx: 1000.5 fy: 999.25 skew: 0.5 "
      "cx: 641.5 cy: 479.25 width: 1280 height: 960 k: [1, 2, 3, 4, 5, 6, 9] p: [7, 8, 11] } "
      "extrinsics { a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500, 12345] } }")));
  EXPECT_EQ(record.getFullFrameIntrinsics(),
            (Eigen::Matrix3f() << 1000.5f, 0.5f, 641.5f, 0, 999.25f, 479.25f, 0, 0, 1).finished());
  EXPECT_EQ(record.getFullFrameDistortion(), std::vector<float>({1, 2, 7, 8, 3, 4, 5, 6}));
  EXPECT_EQ(record.getRotation(), Eigen::Matrix3f::Identity());
  EXPECT_TRUE(record.getTranslation().isApprox(Eigen::Vector3f(0.1f, -0.05f, 2.5f)));
}

TEST(CameraParametersReadProto, RejectsAShortParameterListLoggingTheMessage) {
  for (const std::string shortage : {"k", "p", "a", "no extrinsics", "no intrinsics"}) {
    CameraCalibration message = cameraMessage(cameraText("c", "kv007n"));
    if (shortage == "k") message.mutable_intrinsics()->mutable_k()->RemoveLast();
    if (shortage == "p") message.mutable_intrinsics()->mutable_p()->RemoveLast();
    if (shortage == "a") message.mutable_extrinsics()->mutable_a()->RemoveLast();
    if (shortage == "no extrinsics") message.clear_extrinsics();
    if (shortage == "no intrinsics") message.clear_intrinsics();
    LogCapture capture;
    CameraParameters record;
    EXPECT_FALSE(record.readProto(message)) << shortage;
    ASSERT_EQ(capture.records().size(), 1u) << shortage;
    expectCameraRecord(capture.records()[0], 2, "CameraParameters::readProto",
                       "Parameter list too short in " + message.DebugString());
    EXPECT_TRUE(record.getIntrinsicsTable().empty()) << shortage;
  }
}

// Message and matrix convert between millimetres and metres; T's bottom row
// becomes 0 0 0 1 whatever it held, and the split into R and t ignores it.
TEST(CameraParametersConvert, RoundTripsMessageMatrixAndRotationTranslation) {
  const auto e = parseText<CameraExtrinsics>("a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500]");
  Eigen::Matrix4f T = Eigen::Matrix4f::Constant(7.0f);
  CameraParameters::convert(e, &T);
  EXPECT_EQ(
      T,
      (Eigen::Matrix4f() << 1, 0, 0, 0.1f, 0, 1, 0, -0.05f, 0, 0, 1, 2.5f, 0, 0, 0, 1).finished());
  CameraExtrinsics back = parseText<CameraExtrinsics>("a: [9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9]");
  CameraParameters::convert(T, &back);
  ASSERT_EQ(back.a_size(), 12);
  for (int i = 0; i < 12; ++i) EXPECT_NEAR(back.a(i), e.a(i), kMillimetreRounding) << i;

  const Eigen::Matrix3f R = Eigen::AngleAxisf(0.6f, Eigen::Vector3f::UnitY()).toRotationMatrix();
  const Eigen::Vector3f t(0.25f, -1.5f, 3.0f);
  T.setConstant(-3.0f);
  CameraParameters::convert(R, t, &T);
  EXPECT_EQ(Eigen::RowVector4f(T.row(3)), Eigen::RowVector4f(0, 0, 0, 1));
  T.row(3) << 5, 6, 7, 8;
  Eigen::Matrix3f R_back;
  Eigen::Vector3f t_back;
  CameraParameters::convert(T, &R_back, &t_back);
  EXPECT_EQ(std::make_pair(R_back, t_back), std::make_pair(R, t));
}

TEST(CameraParametersConvertDeathTest, ShortExtrinsicsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Eigen::Matrix4f T;
  EXPECT_DEATH(
      CameraParameters::convert(parseText<CameraExtrinsics>("a: [1, 0, 0, 1, 0, 1, 0]"), &T),
      regexLiteral("Check failed: src.a_size() >= 12 (7 vs. 12) "));
}

// The transform is kept bit for bit and the camera centre maps to the camera's
// origin; child-to-parent input is stored the other way round. The inverse is
// the rigid one (R^T, -R^T t) even of a nearly rigid matrix (rotation scaled
// by 1%, bottom row not 0 0 0 1), where a general 4x4 inverse would differ.
TEST(CameraTransform, HoldsTheTransformAndItsRigidInverse) {
  for (float angle : {0.0f, 0.4f, -2.0f, 3.1f}) {
    const Eigen::Vector3f axis = Eigen::Vector3f(0.3f, -0.5f, 0.8f).normalized();
    Eigen::Matrix4f T;
    CameraParameters::convert(Eigen::AngleAxisf(angle, axis).toRotationMatrix(),
                              Eigen::Vector3f(0.25f, -0.1f, 0.9f), &T);
    dravik::CameraTransform pose, reversed, nearly_rigid;
    pose.setTransform(T, dravik::CameraTransform::kParentToChild);
    EXPECT_EQ(pose.getTransform(), T) << angle;
    EXPECT_TRUE((T * pose.getInverseTransform()).isApprox(Eigen::Matrix4f::Identity(), kRounding));
    EXPECT_LT((T * pose.getCameraCenter().homogeneous()).head<3>().norm(), kRounding);
    reversed.setTransform(T, dravik::CameraTransform::kChildToParent);
    EXPECT_EQ(reversed.getInverseTransform(), T);
    EXPECT_EQ(reversed.getTransform(), dravik::CameraTransform::rigidInverse(T));
    EXPECT_EQ(reversed.getCameraCenter(), Eigen::Vector3f(T.block<3, 1>(0, 3)));

    T.block<3, 3>(0, 0) *= 1.01f;
    T(3, 0) = 0.5f;
    nearly_rigid.setTransform(T, dravik::CameraTransform::kParentToChild);
    const Eigen::Matrix4f& inverse = nearly_rigid.getInverseTransform();
    const Eigen::Matrix3f Rt = T.block<3, 3>(0, 0).transpose();
    EXPECT_EQ(Eigen::Matrix3f(inverse.block<3, 3>(0, 0)), Rt);
    EXPECT_TRUE(Eigen::Vector3f(inverse.block<3, 1>(0, 3))
                    .isApprox(-(Rt * T.block<3, 1>(0, 3)), kRounding));
    EXPECT_EQ(Eigen::RowVector4f(inverse.row(3)), Eigen::RowVector4f(0, 0, 0, 1));
  }
}

}  // namespace

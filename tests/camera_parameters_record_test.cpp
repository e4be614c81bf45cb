// One camera record: reading a camera message, and the pose conversions.
#include <cstdio>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"
#include "support/log_capture.h"
#include "support/regex_literal.h"

namespace {

using dravik::calibration::CameraCalibration;
using dravik::calibration::CameraExtrinsics;
using dravik::calibration::CameraParameters;
using dravik::testing::cameraMessage;
using dravik::testing::cameraText;
using dravik::testing::LogCapture;
using dravik::testing::parseText;

constexpr float kMillimetreRounding = 1e-4f;

// Distortion is reordered to k1 k2 p1 p2 k3 k4 k5 k6, and the pose reads the
// first twelve extrinsics values with the translation in metres; values
// beyond those are ignored.
TEST(CameraRecord, FullFrameDistortionModelPoseAndMessageAreTakenFromTheCamera) {
  const CameraCalibration message = cameraMessage(
      "camera { name: \"left\" model: \"pinhole\" intrinsics { fx: 1000.5 fy: 999.25 skew: 0.5 "
      "cx: 641.5 cy: 479.25 width: 1280 height: 960 k: [1, 2, 3, 4, 5, 6, 9] p: [7, 8, 11] } "
      "extrinsics { a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500, 12345] } }");
  CameraParameters record;
  ASSERT_TRUE(record.readProto(message));
  Eigen::Matrix3f K;
  K << 1000.5f, 0.5f, 641.5f,
       0.0f, 999.25f, 479.25f,
       0.0f, 0.0f, 1.0f;
  EXPECT_EQ(record.getFullFrameIntrinsics(), K);
  EXPECT_EQ(record.getFullFrameDistortion(), std::vector<float>({1, 2, 7, 8, 3, 4, 5, 6}));
  EXPECT_EQ(record.getFullFrame().width, 1280);
  EXPECT_EQ(record.getFullFrame().height, 960);
  EXPECT_EQ(record.getModel(), "pinhole");
  EXPECT_EQ(record.getName(), "left");
  EXPECT_EQ(record.getCalibration().SerializeAsString(), message.SerializeAsString());

  EXPECT_EQ(record.getRotation(), Eigen::Matrix3f::Identity());
  EXPECT_TRUE(record.getTranslation().isApprox(Eigen::Vector3f(0.1f, -0.05f, 2.5f)));
  Eigen::Matrix4f T;
  CameraParameters::convert(record.getRotation(), record.getTranslation(), &T);
  EXPECT_EQ(record.getTransform().getTransform(), T);
  EXPECT_TRUE(
      record.getTransform().getCameraCenter().isApprox(Eigen::Vector3f(-0.1f, 0.05f, -2.5f)));
}

TEST(CameraRecord, ShortParameterListIsRejectedWithTheWholeMessageInTheRecord) {
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
    dravik::testing::expectCameraRecord(capture.records()[0], 2, "CameraParameters::readProto",
                                        "Parameter list too short in " + message.DebugString());
    EXPECT_TRUE(record.getFullFrameDistortion().empty()) << shortage;
    EXPECT_TRUE(record.getIntrinsicsTable().empty()) << shortage;
  }
}

// ---------------------------------------------------------------- conversions

// Message and matrix convert between millimetres and metres; whatever T held,
// its bottom row becomes 0 0 0 1, and the split into R and t ignores it.
TEST(PoseConversion, MessageMatrixAndRotationTranslationRoundTrip) {
  const auto e = parseText<CameraExtrinsics>("a: [1, 0, 0, 100, 0, 1, 0, -50, 0, 0, 1, 2500]");
  Eigen::Matrix4f T;
  T.setConstant(7.0f);
  CameraParameters::convert(e, &T);
  Eigen::Matrix4f expected;
  expected << 1, 0, 0, 0.1f,
              0, 1, 0, -0.05f,
              0, 0, 1, 2.5f,
              0, 0, 0, 1;
  EXPECT_EQ(T, expected);
  CameraExtrinsics back;
  for (int i = 0; i < 20; ++i) back.add_a(99.0);  // cleared first
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
  EXPECT_EQ(R_back, R);
  EXPECT_EQ(t_back, t);
}

TEST(PoseConversion, ShortExtrinsicsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto seven = parseText<CameraExtrinsics>("a: [1, 0, 0, 100, 0, 1, 0]");
  Eigen::Matrix4f T;
  EXPECT_DEATH(CameraParameters::convert(seven, &T),
               dravik::testing::regexLiteral("Check failed: src.a_size() >= 12 (7 vs. 12) "));
  EXPECT_DEATH(
      {
        dravik::setLogSink([](const dravik::LogRecord& r) {
          fprintf(stderr, "sink<%d|%s|%s>\n", r.level, r.tag.c_str(), r.function.c_str());
        });
        CameraParameters::convert(CameraExtrinsics(), &T);
      },
      dravik::testing::regexLiteral(
          "sink<1|check|dravik::calibration::CameraParameters::convert>"));
}

}  // namespace

// Composition of a camera set's poses with the base calibration's global
// transform G: every camera pose P becomes P * G, in the records and in the
// set's message.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <memory>
#include <string>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"

namespace dravik {
namespace calibration {
namespace {

// Float poses composed once or twice.
constexpr float kPoseTolerance = 1e-5f;
// Millimetre values written from float metres.
constexpr double kMillimetreTolerance = 1e-3;

struct Pose {
  Eigen::Matrix3f R;
  Eigen::Vector3f t;  // metres

  Eigen::Matrix4f matrix() const {
    Eigen::Matrix4f T;
    CameraParameters::convert(R, t, &T);
    return T;
  }
};

Eigen::Matrix3f rotation(float angle, const Eigen::Vector3f& axis) {
  return Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix();
}

// A generic 1280 x 960 camera (its record keeps the full frame) at `pose`.
CameraCalibration genericCamera(const std::string& name, const Pose& pose) {
  CameraCalibration camera = testing::cameraMessage(testing::cameraText(name, "generic"));
  CameraParameters::convert(pose.matrix(), camera.mutable_extrinsics());
  return camera;
}

CameraParametersSet setOf(const std::vector<std::pair<std::string, Pose>>& cameras) {
  RobotCalibration cal;
  for (const auto& camera : cameras) *cal.add_camera() = genericCamera(camera.first, camera.second);
  CameraParametersSet set;
  EXPECT_TRUE(set.loadFromProto(cal));
  return set;
}

BaseCalibrationData baseWith(const Pose& global) {
  BaseCalibrationData base;
  base.setGlobalTransform(global.R, global.t, CalibrationMetadataProto());
  return base;
}

// The pose a record's rotation and translation give.
Eigen::Matrix4f poseOf(const CameraParameters& camera) {
  return Pose{camera.getRotation(), camera.getTranslation()}.matrix();
}

Eigen::Matrix4f matrixOf(const CameraExtrinsics& extrinsics) {
  Eigen::Matrix4f T;
  CameraParameters::convert(extrinsics, &T);
  return T;
}

// Three cameras in general poses, and a general global transform.
const std::vector<std::pair<std::string, Pose>> kCameras = {
    {"front", {rotation(0.3f, {1, 2, 3}), {0.1f, -0.2f, 0.9f}}},
    {"navigation", {rotation(-1.2f, {0, 1, 0.5f}), {0.25f, 0.0f, 0.3f}}},
    {"rear", {rotation(2.9f, {-1, 0.2f, 1}), {-0.4f, 0.05f, 0.8f}}},
};
const Pose kGlobal{rotation(0.05f, {0.3f, -1, 0.2f}), {0.012f, -0.03f, 0.004f}};

// Worked by hand: the camera's quarter turn about z turns G's metre along x
// into one along y (P * G, not G * P), added to the camera's own 0.1 m along
// z; the message holds millimetres.
TEST(BaseCalibrationAdjustmentTest, GlobalTranslationIsTurnedByTheCameraRotationAndAdded) {
  const Pose camera{rotation(static_cast<float>(EIGEN_PI / 2), {0, 0, 1}), {0, 0, 0.1f}};
  CameraParametersSet set = setOf({{"navigation", camera}});
  set.adjustUsingBaseCalibration(baseWith({Eigen::Matrix3f::Identity(), {1, 0, 0}}));
  EXPECT_TRUE(set.getCamera("navigation")
                  ->getTranslation()
                  .isApprox(Eigen::Vector3f(0, 1, 0.1f), kPoseTolerance));
  const CameraExtrinsics& extrinsics = set.getRawCalData().camera(0).extrinsics();
  EXPECT_NEAR(extrinsics.a(3), 0.0, kMillimetreTolerance);
  EXPECT_NEAR(extrinsics.a(7), 1000.0, kMillimetreTolerance);
  EXPECT_NEAR(extrinsics.a(11), 100.0, kMillimetreTolerance);
}

// The records a caller already holds, their transforms, and the set's message
// all show P * G; each record's own message keeps the pose it was read with.
TEST(BaseCalibrationAdjustmentTest, EveryCameraBecomesItsPoseTimesTheGlobalTransform) {
  CameraParametersSet set = setOf(kCameras);
  std::vector<std::shared_ptr<const CameraParameters>> held;
  for (const auto& camera : kCameras) held.push_back(set.getCamera(camera.first));

  set.adjustUsingBaseCalibration(baseWith(kGlobal));

  for (size_t i = 0; i < kCameras.size(); ++i) {
    const Eigen::Matrix4f expected = kCameras[i].second.matrix() * kGlobal.matrix();
    const CameraParameters& record = *held[i];
    const std::string& name = kCameras[i].first;
    EXPECT_TRUE(poseOf(record).isApprox(expected, kPoseTolerance)) << name;
    EXPECT_TRUE(record.getTransform().getTransform().isApprox(expected, kPoseTolerance)) << name;
    EXPECT_TRUE(
        record.getTransform().getInverseTransform().isApprox(expected.inverse(), kPoseTolerance))
        << name;
    EXPECT_TRUE(matrixOf(set.getRawCalData().camera(static_cast<int>(i)).extrinsics())
                    .isApprox(expected, kPoseTolerance))
        << name;
    EXPECT_TRUE(matrixOf(record.getCalibration().extrinsics())
                    .isApprox(kCameras[i].second.matrix(), kPoseTolerance))
        << name;
  }
}

TEST(BaseCalibrationAdjustmentTest, AdjustingTwiceEqualsAdjustingOnceByTheSquaredTransform) {
  const BaseCalibrationData base = baseWith(kGlobal);
  const Eigen::Matrix4f squared = kGlobal.matrix() * kGlobal.matrix();
  const BaseCalibrationData base_squared =
      baseWith({squared.block<3, 3>(0, 0), squared.block<3, 1>(0, 3)});

  CameraParametersSet twice = setOf(kCameras);
  twice.adjustUsingBaseCalibration(base);
  twice.adjustUsingBaseCalibration(base);
  CameraParametersSet once = setOf(kCameras);
  once.adjustUsingBaseCalibration(base_squared);
  for (const auto& camera : kCameras) {
    EXPECT_TRUE(poseOf(*twice.getCamera(camera.first))
                    .isApprox(poseOf(*once.getCamera(camera.first)), kPoseTolerance))
        << camera.first;
  }
}

TEST(BaseCalibrationAdjustmentTest, IntrinsicsAndDistortionAreUntouched) {
  // The embedded default: cameras whose models serve several image sizes.
  CameraParametersSet set;
  const CameraParametersSet before(set);
  set.adjustUsingBaseCalibration(baseWith(kGlobal));

  ASSERT_FALSE(set.getCameraNames().empty());
  for (const std::string& name : set.getCameraNames()) {
    const CameraParameters& adjusted = *set.getCamera(name);
    const CameraParameters& original = *before.getCamera(name);
    EXPECT_FALSE(poseOf(adjusted).isApprox(poseOf(original))) << name;
    EXPECT_EQ(adjusted.getFullFrameIntrinsics(), original.getFullFrameIntrinsics()) << name;
    ASSERT_FALSE(original.getIntrinsicsTable().empty()) << name;
    ASSERT_EQ(adjusted.getIntrinsicsTable().size(), original.getIntrinsicsTable().size());
    for (const CameraParameters::Intrinsics& entry : original.getIntrinsicsTable()) {
      EXPECT_EQ(adjusted.getIntrinsics(entry.width, entry.height),
                original.getIntrinsics(entry.width, entry.height))
          << name << " " << entry.width << "x" << entry.height;
      EXPECT_EQ(adjusted.getDistortion(entry.width, entry.height), entry.distortion);
    }
    // A size outside the table: the full frame scaled.
    EXPECT_EQ(adjusted.getIntrinsics(100, 75), original.getIntrinsics(100, 75)) << name;
  }
}

// A calibration that lists a camera twice holds one record for it; that
// record is composed with G once and both messages receive its pose.
TEST(BaseCalibrationAdjustmentTest, CameraListedTwiceIsAdjustedOnce) {
  const Pose first{rotation(0.4f, {0, 0, 1}), {0.2f, 0, 0}};
  const Pose last{rotation(-0.1f, {1, 0, 0}), {0, 0.3f, 0.5f}};
  CameraParametersSet set = setOf({{"front", first}, {"front", last}});
  set.adjustUsingBaseCalibration(baseWith(kGlobal));

  const Eigen::Matrix4f expected = last.matrix() * kGlobal.matrix();
  EXPECT_TRUE(poseOf(*set.getCamera("front")).isApprox(expected, kPoseTolerance));
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(
        matrixOf(set.getRawCalData().camera(i).extrinsics()).isApprox(expected, kPoseTolerance))
        << "message " << i;
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

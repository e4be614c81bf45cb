// Composition of a camera set's poses with the base calibration's global
// transform G: every camera pose P becomes P * G, in the records and in the
// set's message.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"

namespace dravik {
namespace calibration {
namespace {

// Float poses composed once or twice.
constexpr float kPoseTolerance = 1e-5f;

using Cameras = std::vector<std::pair<std::string, Eigen::Matrix4f>>;

// A pose [R t; 0 0 0 1]: a turn by `angle` about `axis`, t in metres.
Eigen::Matrix4f pose(float angle, const Eigen::Vector3f& axis, const Eigen::Vector3f& t) {
  Eigen::Matrix4f T;
  CameraParameters::convert(Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix(), t, &T);
  return T;
}

// The pose a record's rotation and translation give.
Eigen::Matrix4f poseOf(const CameraParameters& camera) {
  Eigen::Matrix4f T;
  CameraParameters::convert(camera.getRotation(), camera.getTranslation(), &T);
  return T;
}

Eigen::Matrix4f poseOf(const CameraExtrinsics& extrinsics) {
  Eigen::Matrix4f T;
  CameraParameters::convert(extrinsics, &T);
  return T;
}

// Generic 1280 x 960 cameras (their records keep the full frame) at the poses.
CameraParametersSet setOf(const Cameras& cameras) {
  RobotCalibration cal;
  for (const auto& [name, T] : cameras) {
    CameraCalibration* camera = cal.add_camera();
    *camera = testing::cameraMessage(testing::cameraText(name, "generic"));
    CameraParameters::convert(T, camera->mutable_extrinsics());
  }
  CameraParametersSet set;
  EXPECT_TRUE(set.loadFromProto(cal));
  return set;
}

BaseCalibrationData baseWith(const Eigen::Matrix4f& G) {
  BaseCalibrationData base;
  base.setGlobalTransform(G.block<3, 3>(0, 0), G.block<3, 1>(0, 3), CalibrationMetadataProto());
  return base;
}

// Three cameras in general poses, and a general global transform.
const Cameras kCameras = {
    {"front", pose(0.3f, {1, 2, 3}, {0.1f, -0.2f, 0.9f})},
    {"navigation", pose(-1.2f, {0, 1, 0.5f}, {0.25f, 0.0f, 0.3f})},
    {"rear", pose(2.9f, {-1, 0.2f, 1}, {-0.4f, 0.05f, 0.8f})},
};
const Eigen::Matrix4f kGlobal = pose(0.05f, {0.3f, -1, 0.2f}, {0.012f, -0.03f, 0.004f});

// Worked by hand: the camera's quarter turn about z turns G's metre along x
// into one along y (P * G, not G * P), added to the camera's own 0.1 m along
// z; the message holds millimetres.
TEST(BaseCalibrationAdjustmentTest, GlobalTranslationIsTurnedByTheCameraRotationAndAdded) {
  CameraParametersSet set =
      setOf({{"navigation", pose(static_cast<float>(EIGEN_PI / 2), {0, 0, 1}, {0, 0, 0.1f})}});
  set.adjustUsingBaseCalibration(baseWith(pose(0, {1, 0, 0}, {1, 0, 0})));
  EXPECT_TRUE(set.getCamera("navigation")
                  ->getTranslation()
                  .isApprox(Eigen::Vector3f(0, 1, 0.1f), kPoseTolerance));
  const CameraExtrinsics& extrinsics = set.getRawCalData().camera(0).extrinsics();
  EXPECT_NEAR(extrinsics.a(3), 0.0, 1e-3);
  EXPECT_NEAR(extrinsics.a(7), 1000.0, 1e-3);
  EXPECT_NEAR(extrinsics.a(11), 100.0, 1e-3);
}

// The records a caller already holds, their transforms, and the set's message
// all show P * G; each record's own message keeps the pose it was read with.
TEST(BaseCalibrationAdjustmentTest, EveryCameraBecomesItsPoseTimesTheGlobalTransform) {
  CameraParametersSet set = setOf(kCameras);
  std::vector<std::shared_ptr<const CameraParameters>> held;
  for (const auto& camera : kCameras) held.push_back(set.getCamera(camera.first));

  set.adjustUsingBaseCalibration(baseWith(kGlobal));

  for (size_t i = 0; i < kCameras.size(); ++i) {
    SCOPED_TRACE(kCameras[i].first);
    const Eigen::Matrix4f expected = kCameras[i].second * kGlobal;
    const CameraParameters& record = *held[i];
    EXPECT_TRUE(poseOf(record).isApprox(expected, kPoseTolerance));
    EXPECT_TRUE(record.getTransform().getTransform().isApprox(expected, kPoseTolerance));
    EXPECT_TRUE(
        record.getTransform().getInverseTransform().isApprox(expected.inverse(), kPoseTolerance));
    EXPECT_TRUE(poseOf(set.getRawCalData().camera(static_cast<int>(i)).extrinsics())
                    .isApprox(expected, kPoseTolerance));
    EXPECT_TRUE(poseOf(record.getCalibration().extrinsics())
                    .isApprox(kCameras[i].second, kPoseTolerance));
  }
}

TEST(BaseCalibrationAdjustmentTest, AdjustingTwiceEqualsAdjustingOnceByTheSquaredTransform) {
  CameraParametersSet twice = setOf(kCameras);
  twice.adjustUsingBaseCalibration(baseWith(kGlobal));
  twice.adjustUsingBaseCalibration(baseWith(kGlobal));
  CameraParametersSet once = setOf(kCameras);
  once.adjustUsingBaseCalibration(baseWith(kGlobal * kGlobal));
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
    SCOPED_TRACE(name);
    const CameraParameters& adjusted = *set.getCamera(name);
    const CameraParameters& original = *before.getCamera(name);
    EXPECT_FALSE(poseOf(adjusted).isApprox(poseOf(original)));
    EXPECT_EQ(adjusted.getFullFrameIntrinsics(), original.getFullFrameIntrinsics());
    ASSERT_FALSE(original.getIntrinsicsTable().empty());
    ASSERT_EQ(adjusted.getIntrinsicsTable().size(), original.getIntrinsicsTable().size());
    for (const CameraParameters::Intrinsics& entry : original.getIntrinsicsTable()) {
      EXPECT_EQ(adjusted.getIntrinsics(entry.width, entry.height),
                original.getIntrinsics(entry.width, entry.height))
          << entry.width << "x" << entry.height;
      EXPECT_EQ(adjusted.getDistortion(entry.width, entry.height), entry.distortion);
    }
    // A size outside the table: the full frame scaled.
    EXPECT_EQ(adjusted.getIntrinsics(100, 75), original.getIntrinsics(100, 75));
  }
}

// A calibration that lists a camera twice holds one record for it; that
// record is composed with G once and both messages receive its pose.
TEST(BaseCalibrationAdjustmentTest, CameraListedTwiceIsAdjustedOnce) {
  const Eigen::Matrix4f last = pose(-0.1f, {1, 0, 0}, {0, 0.3f, 0.5f});
  const Eigen::Matrix4f first = pose(0.4f, {0, 0, 1}, {0.2f, 0, 0});
  CameraParametersSet set = setOf({{"front", first}, {"front", last}});
  set.adjustUsingBaseCalibration(baseWith(kGlobal));

  const Eigen::Matrix4f expected = last * kGlobal;
  EXPECT_TRUE(poseOf(*set.getCamera("front")).isApprox(expected, kPoseTolerance));
  for (int i = 0; i < 2; ++i) {
    const Eigen::Matrix4f message = poseOf(set.getRawCalData().camera(i).extrinsics());
    EXPECT_TRUE(message.isApprox(expected, kPoseTolerance)) << "message " << i;
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

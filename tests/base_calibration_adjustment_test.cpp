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

namespace dravik::calibration {
namespace {

constexpr float kPoseTolerance = 1e-5f;

using Cameras = std::vector<std::pair<std::string, Eigen::Matrix4f>>;

Eigen::Matrix4f pose(float angle, const Eigen::Vector3f& axis, const Eigen::Vector3f& t) {
  Eigen::Matrix4f T;
  CameraParameters::convert(Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix(), t, &T);
  return T;
}

Eigen::Matrix4f poseOf(const CameraParameters& camera) {
  Eigen::Matrix4f T;
  CameraParameters::convert(camera.getRotation(), camera.getTranslation(), &T);
  return T;
}

Eigen::Matrix4f poseOf(const CameraCalibration& message) {
  Eigen::Matrix4f T;
  CameraParameters::convert(message.extrinsics(), &T);
  return T;
}

// Generic 1280 x 960 cameras at the poses.
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

const Eigen::Matrix4f kGlobal = pose(0.05f, {0.3f, -1, 0.2f}, {0.012f, -0.03f, 0.004f});

// General poses (so P * G differs from G * P). The records a caller already
// holds, their transforms and the set's message show P * G; each record's own
// message keeps the pose it was read with.
TEST(AdjustUsingBaseCalibration, EveryCameraBecomesItsPoseTimesTheGlobalTransform) {
  const Cameras cameras = {
      {"front", pose(0.3f, {1, 2, 3}, {0.1f, -0.2f, 0.9f})},
      {"navigation", pose(-1.2f, {0, 1, 0.5f}, {0.25f, 0.0f, 0.3f})},
      {"rear", pose(2.9f, {-1, 0.2f, 1}, {-0.4f, 0.05f, 0.8f})},
  };
  CameraParametersSet set = setOf(cameras);
  std::vector<std::shared_ptr<const CameraParameters>> held;
  for (const auto& camera : cameras) held.push_back(set.getCamera(camera.first));
  set.adjustUsingBaseCalibration(baseWith(kGlobal));
  for (size_t i = 0; i < cameras.size(); ++i) {
    SCOPED_TRACE(cameras[i].first);
    const Eigen::Matrix4f expected = cameras[i].second * kGlobal;
    const CameraParameters& record = *held[i];
    EXPECT_TRUE(poseOf(record).isApprox(expected, kPoseTolerance));
    EXPECT_TRUE(record.getTransform().getTransform().isApprox(expected, kPoseTolerance));
    EXPECT_TRUE(
        record.getTransform().getInverseTransform().isApprox(expected.inverse(), kPoseTolerance));
    EXPECT_TRUE(poseOf(set.getRawCalData().camera(int(i))).isApprox(expected, kPoseTolerance));
    EXPECT_TRUE(poseOf(record.getCalibration()).isApprox(cameras[i].second, kPoseTolerance));
  }
}

// One record for a camera listed twice: composed with G once, and both
// messages receive its pose.
TEST(AdjustUsingBaseCalibration, CameraListedTwiceIsAdjustedOnce) {
  const Eigen::Matrix4f last = pose(-0.1f, {1, 0, 0}, {0, 0.3f, 0.5f});
  CameraParametersSet set =
      setOf({{"front", pose(0.4f, {0, 0, 1}, {0.2f, 0, 0})}, {"front", last}});
  set.adjustUsingBaseCalibration(baseWith(kGlobal));
  const Eigen::Matrix4f expected = last * kGlobal;
  EXPECT_TRUE(poseOf(*set.getCamera("front")).isApprox(expected, kPoseTolerance));
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(poseOf(set.getRawCalData().camera(i)).isApprox(expected, kPoseTolerance)) << i;
}

}  // namespace
}  // namespace dravik::calibration

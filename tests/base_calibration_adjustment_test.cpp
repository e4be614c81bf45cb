// Composition of a camera set's poses with the base calibration's global
// transform G: every camera pose P becomes P * G, in the records and in the
// set's message.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "support/calibration_fixtures.h"

namespace dravik::calibration {
namespace {

using Cameras = std::vector<std::pair<std::string, Eigen::Matrix4f>>;

// The 4x4 pose of a message's extrinsics or of a rotation and translation.
template <typename... Pose>
Eigen::Matrix4f matrixOf(const Pose&... pose) {
  Eigen::Matrix4f T;
  CameraParameters::convert(pose..., &T);
  return T;
}

Eigen::Matrix4f pose(float angle, const Eigen::Vector3f& axis, const Eigen::Vector3f& t) {
  return matrixOf(Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix(), t);
}

constexpr float kPoseTolerance = 1e-5f;

void expectPose(const Eigen::Matrix4f& actual, const Eigen::Matrix4f& expected) {
  EXPECT_TRUE(actual.isApprox(expected, kPoseTolerance)) << actual << "\nexpected\n" << expected;
}

// General poses (so P * G differs from G * P). The records a caller already
// holds, their transforms and the set's message show P * G; each record's own
// message keeps the pose it was read with. A camera listed twice has one
// record, read from the later entry, composed with G once; both of its
// messages receive the record's pose.
TEST(AdjustUsingBaseCalibration, EveryCameraBecomesItsPoseTimesTheGlobalTransform) {
  const Eigen::Matrix4f G = pose(0.05f, {0.3f, -1, 0.2f}, {0.012f, -0.03f, 0.004f});
  const Cameras cases[] = {
      {{"front", pose(0.3f, {1, 2, 3}, {0.1f, -0.2f, 0.9f})},
       {"navigation", pose(-1.2f, {0, 1, 0.5f}, {0.25f, 0.0f, 0.3f})},
       {"rear", pose(2.9f, {-1, 0.2f, 1}, {-0.4f, 0.05f, 0.8f})}},
      {{"front", pose(0.4f, {0, 0, 1}, {0.2f, 0, 0})},
       {"front", pose(-0.1f, {1, 0, 0}, {0, 0.3f, 0.5f})}},
  };
  for (const Cameras& cameras : cases) {
    RobotCalibration cal;
    std::map<std::string, Eigen::Matrix4f> read;  // the later entry of a name wins
    for (const auto& [name, T] : cameras) {
      CameraCalibration* camera = cal.add_camera();
      *camera = testing::cameraMessage(testing::cameraText(name, "generic"));
      CameraParameters::convert(T, camera->mutable_extrinsics());
      read[name] = T;
    }
    CameraParametersSet set;
    ASSERT_TRUE(set.loadFromProto(cal));
    std::map<std::string, std::shared_ptr<const CameraParameters>> held;
    for (const auto& [name, T] : read) held[name] = set.getCamera(name);
    BaseCalibrationData base;
    base.setGlobalTransform(G.block<3, 3>(0, 0), G.block<3, 1>(0, 3), CalibrationMetadataProto());
    set.adjustUsingBaseCalibration(base);
    for (int i = 0; i < int(cameras.size()); ++i) {
      const std::string& name = cameras[i].first;
      SCOPED_TRACE(name + " listed " + std::to_string(i));
      const Eigen::Matrix4f expected = read[name] * G;
      EXPECT_EQ(set.getCamera(name), held[name]);
      const CameraParameters& record = *held[name];
      expectPose(matrixOf(record.getRotation(), record.getTranslation()), expected);
      expectPose(record.getTransform().getTransform(), expected);
      expectPose(record.getTransform().getInverseTransform(), expected.inverse());
      expectPose(matrixOf(set.getRawCalData().camera(i).extrinsics()), expected);
      expectPose(matrixOf(record.getCalibration().extrinsics()), read[name]);
    }
  }
}

}  // namespace
}  // namespace dravik::calibration

// A camera pose held as its parent-to-camera transform and that transform's
// rigid inverse.
#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "dravik/camera_transform.h"

namespace {

using dravik::CameraTransform;

constexpr float kRoundingTolerance = 1e-5f;

// A parent-to-camera pose: rotation about a tilted axis, translation in metres.
Eigen::Matrix4f samplePose(float angle, const Eigen::Vector3f& translation) {
  Eigen::Matrix4f T = Eigen::Matrix4f::Identity();
  T.block<3, 3>(0, 0) =
      Eigen::AngleAxisf(angle, Eigen::Vector3f(0.3f, -0.5f, 0.8f).normalized()).toRotationMatrix();
  T.block<3, 1>(0, 3) = translation;
  return T;
}

// The transform is kept bit for bit; the centre -R^T t maps to the camera's
// origin.
TEST(CameraTransform, HoldsTheTransformItsInverseAndTheCameraCentre) {
  const CameraTransform identity;
  EXPECT_EQ(identity.getTransform(), Eigen::Matrix4f::Identity());
  EXPECT_EQ(identity.getInverseTransform(), Eigen::Matrix4f::Identity());
  const Eigen::Vector3f t(0.25f, -0.1f, 0.9f);
  for (float angle : {0.0f, 0.4f, -2.0f, 3.1f}) {
    const Eigen::Matrix4f T = samplePose(angle, t);
    CameraTransform pose;
    pose.setTransform(T, CameraTransform::kParentToChild);
    EXPECT_EQ(pose.getTransform(), T) << angle;
    EXPECT_TRUE((pose.getTransform() * pose.getInverseTransform())
                    .isApprox(Eigen::Matrix4f::Identity(), kRoundingTolerance))
        << angle;
    const Eigen::Matrix3f R = T.block<3, 3>(0, 0);
    EXPECT_TRUE(pose.getCameraCenter().isApprox(-(R.transpose() * t), kRoundingTolerance));
    EXPECT_LT((T * pose.getCameraCenter().homogeneous()).head<3>().norm(), kRoundingTolerance);
  }
}

TEST(CameraTransform, InverseIsTheRigidInverseEvenOfANearlyRigidMatrix) {
  // A rotation block scaled by 1% and a bottom row that is not (0 0 0 1): a
  // general 4x4 inverse would differ, the rigid inverse takes R^T and -R^T t.
  Eigen::Matrix4f T = samplePose(0.9f, Eigen::Vector3f(1.0f, 2.0f, 3.0f));
  T.block<3, 3>(0, 0) *= 1.01f;
  T(3, 0) = 0.5f;
  CameraTransform pose;
  pose.setTransform(T, CameraTransform::kParentToChild);
  const Eigen::Matrix4f& inverse = pose.getInverseTransform();
  const Eigen::Matrix3f Rt = T.block<3, 3>(0, 0).transpose();
  EXPECT_EQ(Eigen::Matrix3f(inverse.block<3, 3>(0, 0)), Rt);
  const Eigen::Vector3f minus_rt_t = -(Rt * T.block<3, 1>(0, 3));
  const Eigen::Vector3f inverse_translation = inverse.block<3, 1>(0, 3);
  EXPECT_TRUE(inverse_translation.isApprox(minus_rt_t, kRoundingTolerance));
  EXPECT_EQ(Eigen::RowVector4f(inverse.row(3)), Eigen::RowVector4f(0, 0, 0, 1));
}

TEST(CameraTransform, ChildToParentInputIsStoredTheOtherWayRound) {
  const Eigen::Matrix4f child_to_parent = samplePose(-1.2f, Eigen::Vector3f(0.0f, 0.5f, -0.2f));
  CameraTransform pose;
  pose.setTransform(child_to_parent, CameraTransform::kChildToParent);
  EXPECT_EQ(pose.getInverseTransform(), child_to_parent);
  EXPECT_EQ(pose.getTransform(), CameraTransform::rigidInverse(child_to_parent));
  EXPECT_EQ(pose.getCameraCenter(), Eigen::Vector3f(0.0f, 0.5f, -0.2f));
}

}  // namespace

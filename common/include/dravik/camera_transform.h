// A rigid pose held both ways.
//
// Conventions: 4x4 homogeneous matrices [R t; 0 0 0 1] in single precision,
// row-major storage, translation in metres. The transform "as set" maps
// coordinates of the parent frame (world, robot, or a link of a kinematic
// chain) into the child frame (the camera): x_child = T * x_parent. Its
// inverse maps the child frame back into the parent frame; the camera centre
// is the inverse's translation, -R^T t.
#pragma once

#include <Eigen/Core>

#include "dravik/eigen_types.h"

namespace dravik {

class CameraTransform {
 public:
  enum MatrixType {
    // The matrix maps parent coordinates into the child (camera) frame.
    kParentToChild = 0,
    // The matrix maps child coordinates into the parent frame; it is stored
    // inverted, so that getTransform() is always parent-to-child.
    kChildToParent = 1,
  };

  // The identity pose.
  CameraTransform();

  // Sets the pose from a rigid transform. Its inverse is computed as a rigid
  // inverse, [R^T, -R^T t], not as a general 4x4 inverse.
  void setTransform(const dravik::Matrix4f& transform, MatrixType type);

  // Parent-to-child, as set (for kParentToChild).
  const dravik::Matrix4f& getTransform() const { return transform_; }
  // Child-to-parent.
  const dravik::Matrix4f& getInverseTransform() const { return inverse_; }
  // The origin of the child frame in parent coordinates.
  Eigen::Vector3f getCameraCenter() const { return inverse_.block<3, 1>(0, 3); }

  // The rigid inverse [R^T, -R^T t; 0 0 0 1] of a rigid transform.
  static dravik::Matrix4f rigidInverse(const dravik::Matrix4f& transform);

 private:
  dravik::Matrix4f transform_;
  dravik::Matrix4f inverse_;
};

}  // namespace dravik

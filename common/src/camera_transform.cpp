#include "dravik/camera_transform.h"

namespace dravik {

CameraTransform::CameraTransform()
    : transform_(Eigen::Matrix4f::Identity()), inverse_(Eigen::Matrix4f::Identity()) {}

Eigen::Matrix4f CameraTransform::rigidInverse(const Eigen::Matrix4f& transform) {
  Eigen::Matrix4f inverse = Eigen::Matrix4f::Identity();
  const Eigen::Matrix3f rotation_t = transform.block<3, 3>(0, 0).transpose();
  inverse.block<3, 3>(0, 0) = rotation_t;
  inverse.block<3, 1>(0, 3) = -(rotation_t * transform.block<3, 1>(0, 3));
  return inverse;
}

void CameraTransform::setTransform(const Eigen::Matrix4f& transform, MatrixType type) {
  if (type == kChildToParent) {
    inverse_ = transform;
    transform_ = rigidInverse(transform);
  } else {
    transform_ = transform;
    inverse_ = rigidInverse(transform);
  }
}

}  // namespace dravik

// Pan/tilt heads for tests: an ideal one, whose closed-form estimate is exact,
// and a realistic one with small translations and misalignments.
//
// Frames of the ideal head: the pan-rotated frame has x forward, y left and z
// up; the tilt transform maps its y axis (the tilt axis) onto the tilt base's
// z axis; the camera has x right, y down and z forward, so that at zero tilt
// the optical axis is the pan-rotated x axis.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"
#include "calibration_messages/calibration.pb.h"

namespace dravik {
namespace testing {

inline Eigen::Matrix4f rigidTransform(const Eigen::Matrix3f& R, const Eigen::Vector3f& t) {
  Eigen::Matrix4f T = Eigen::Matrix4f::Identity();
  T.block<3, 3>(0, 0) = R;
  T.block<3, 1>(0, 3) = t;
  return T;
}

inline Eigen::Matrix3f axisRotation(float angle, const Eigen::Vector3f& axis) {
  return Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix();
}

// Pan-rotated frame to tilt base: y (left) becomes z, z (up) becomes -y.
inline Eigen::Matrix3f idealTiltRotation() {
  Eigen::Matrix3f R;
  R << 1, 0, 0,
       0, 0, -1,
       0, 1, 0;
  return R;
}

// Tilt-rotated frame to camera: rows are the camera's right, down and
// forward axes in tilt coordinates.
inline Eigen::Matrix3f idealDeviceRotation() {
  Eigen::Matrix3f R;
  R << 0, 0, -1,
       0, 1, 0,
       1, 0, 0;
  return R;
}

struct HeadGeometry {
  Eigen::Matrix4f pan = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f tilt = rigidTransform(idealTiltRotation(), Eigen::Vector3f::Zero());
  Eigen::Matrix4f device = rigidTransform(idealDeviceRotation(), Eigen::Vector3f::Zero());
  float pan_scale = 1.0f;
  float tilt_scale = 1.0f;
  float pan_offset = 0.0f;
  float tilt_offset = 0.0f;
};

inline calibration::PanTiltSystemParameters headParameters(const HeadGeometry& head) {
  calibration::PanTiltSystemParameters params;
  calibration::CameraParameters::convert(head.pan, params.mutable_pan_ext());
  calibration::CameraParameters::convert(head.tilt, params.mutable_tilt_ext());
  calibration::CameraParameters::convert(head.device, params.mutable_device_ext());
  params.set_pan_scale(head.pan_scale);
  params.set_tilt_scale(head.tilt_scale);
  params.set_pan_offset(head.pan_offset);
  params.set_tilt_offset(head.tilt_offset);
  return params;
}

inline calibration::PanTiltModel headModel(const HeadGeometry& head) {
  calibration::PanTiltModel model;
  model.readFromPB(headParameters(head));
  return model;
}

// Scales 1 rad/step, offsets 0: steps are radians.
inline HeadGeometry idealHead() { return HeadGeometry(); }

// A head on a robot: mounted 1.1 m up and turned on the base, a few
// centimetres between the axes and the camera, axes and camera misaligned by
// about a degree, motors with offsets and a tilt motor that turns backwards.
inline HeadGeometry realisticHead() {
  HeadGeometry head;
  head.pan = rigidTransform(axisRotation(0.5f, Eigen::Vector3f(0.02f, 0.01f, 1.0f)),
                            Eigen::Vector3f(-0.12f, 0.2f, -1.1f));
  head.tilt = rigidTransform(axisRotation(0.015f, Eigen::Vector3f(1, 2, 3)) * idealTiltRotation(),
                             Eigen::Vector3f(0.01f, 0.035f, -0.02f));
  head.device = rigidTransform(axisRotation(0.02f, Eigen::Vector3f(-2, 1, 1)) * idealDeviceRotation(),
                               Eigen::Vector3f(0.025f, -0.015f, 0.04f));
  head.pan_scale = 0.0015f;
  head.tilt_scale = -0.0012f;
  head.pan_offset = 1234.5f;
  head.tilt_offset = -321.0f;
  return head;
}

}  // namespace testing
}  // namespace dravik

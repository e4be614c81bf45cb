// Pan/tilt heads for tests. The ideal head's pan-rotated frame has x
// forward, y left, z up; its tilt link maps y (the tilt axis) onto z; its
// camera has x right, y down, z forward, so that at zero tilt the optical
// axis is the pan-rotated x axis. Steps are radians.
#pragma once

#include <Eigen/Geometry>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"

namespace dravik::testing {

inline Eigen::Matrix4f rigidTransform(const Eigen::Matrix3f& R, const Eigen::Vector3f& t) {
  Eigen::Matrix4f T = Eigen::Matrix4f::Identity();
  T.block<3, 3>(0, 0) = R;
  T.block<3, 1>(0, 3) = t;
  return T;
}

struct HeadGeometry {
  Eigen::Matrix4f pan = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f tilt =
      (Eigen::Matrix4f() << 1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1).finished();
  Eigen::Matrix4f device =
      (Eigen::Matrix4f() << 0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1).finished();
  float pan_scale = 1.0f, tilt_scale = 1.0f, pan_offset = 0.0f, tilt_offset = 0.0f;
};

inline HeadGeometry idealHead() { return HeadGeometry(); }

// A head on a robot: mounted 1.1 m up and turned on the base, centimetres
// between the axes and the camera, links misaligned by about a degree, the
// tilt axis reversed, motors with offsets and a tilt motor turning backwards.
inline HeadGeometry realisticHead() {
  HeadGeometry head;
  const auto turn = [](float angle, float x, float y, float z) {
    return Eigen::AngleAxisf(angle, Eigen::Vector3f(x, y, z).normalized()).toRotationMatrix();
  };
  head.pan = rigidTransform(turn(0.5f, 0.02f, 0.01f, 1), Eigen::Vector3f(-0.12f, 0.2f, -1.1f));
  // Its tilt link maps the tilt axis onto -z: positive tilt looks up.
  Eigen::Matrix3f tilt, device;
  tilt << 1, 0, 0, 0, 0, 1, 0, -1, 0;
  device << 0, 0, 1, 0, -1, 0, 1, 0, 0;
  head.tilt = rigidTransform(turn(0.015f, 1, 2, 3) * tilt, Eigen::Vector3f(0.01f, 0.035f, -0.02f));
  head.device =
      rigidTransform(turn(0.02f, 1, -2, 1) * device, Eigen::Vector3f(0.025f, -0.015f, 0.04f));
  head.pan_scale = 0.0015f;
  head.tilt_scale = -0.0012f;
  head.pan_offset = 1234.5f;
  head.tilt_offset = -321.0f;
  return head;
}

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

}  // namespace dravik::testing

// Pan/tilt heads for tests. The ideal head's pan-rotated frame has x
// forward, y left, z up; its tilt link maps y (the tilt axis) onto z; its
// camera has x right, y down, z forward, so that at zero tilt the optical
// axis is the pan-rotated x axis. Steps are radians.
#pragma once

#include <Eigen/Geometry>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"

namespace dravik::testing {

struct HeadGeometry {
  float pan_scale = 1.0f, tilt_scale = 1.0f, pan_offset = 0.0f, tilt_offset = 0.0f;
  Eigen::Matrix4f pan = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f tilt =
      (Eigen::Matrix4f() << 1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1).finished();
  Eigen::Matrix4f device =
      (Eigen::Matrix4f() << 0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1).finished();
};

inline HeadGeometry idealHead() { return HeadGeometry(); }

// A head on a robot: mounted 1.1 m up and turned on the base, centimetres
// between the axes and the camera, links misaligned by about a degree, the
// tilt axis reversed (its link maps it onto -z: positive tilt looks up),
// motors with offsets and a tilt motor turning backwards.
inline HeadGeometry realisticHead() {
  // R turned by angle about axis, then moved by t.
  const auto link = [](float angle, const Eigen::Vector3f& axis, const Eigen::Matrix3f& R,
                       const Eigen::Vector3f& t) {
    Eigen::Matrix4f T;
    calibration::CameraParameters::convert(
        Eigen::AngleAxisf(angle, axis.normalized()).toRotationMatrix() * R, t, &T);
    return T;
  };
  Eigen::Matrix3f tilt, device;
  tilt << 1, 0, 0, 0, 0, 1, 0, -1, 0;
  device << 0, 0, 1, 0, -1, 0, 1, 0, 0;
  HeadGeometry head{0.0015f, -0.0012f, 1234.5f, -321.0f};
  head.pan = link(0.5f, {0.02f, 0.01f, 1}, Eigen::Matrix3f::Identity(), {-0.12f, 0.2f, -1.1f});
  head.tilt = link(0.015f, {1, 2, 3}, tilt, {0.01f, 0.035f, -0.02f});
  head.device = link(0.02f, {1, -2, 1}, device, {0.025f, -0.015f, 0.04f});
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

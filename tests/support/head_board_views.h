// A board held still before the example PTZ camera, seen at many motor
// positions through a head that differs from the file's (tests and
// benchmarks of the pan/tilt head fit).
#pragma once

#include <Eigen/Geometry>
#include <memory>
#include <random>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_head_calibration.h"
#include "calibration_common/ptz_camera_model.h"
#include "dravik/eigen_types.h"

namespace dravik::testing {

// A 9 x 6 board of 10 cm squares, its corners in the board frame.
inline std::vector<Eigen::Vector3d> boardCorners() {
  std::vector<Eigen::Vector3d> corners;
  for (int row = 0; row < 6; ++row)
    for (int col = 0; col < 9; ++col) corners.emplace_back(0.1 * col, 0.1 * row, 0.0);
  return corners;
}

// The board 2.5 m ahead of the robot, upright and facing it, its centre at
// the head's height, a little to the left.
inline dravik::Matrix4d boardInWorld() {
  dravik::Matrix4d M = dravik::Matrix4d::Identity();
  M.topLeftCorner<3, 3>() << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  M.topRightCorner<3, 1>() << 2.5, 0.5, 1.3;
  return M;
}

// The example's head with its tilt offset moved and D turned about an axis of
// the camera frame.
inline calibration::PTZCameraParameters movedHead(calibration::PTZCameraParameters ptz,
                                                  float pan_steps, float tilt_steps,
                                                  double d_degrees) {
  calibration::PanTiltSystemParameters* head = ptz.mutable_pan_tilt();
  head->set_pan_offset(head->pan_offset() + pan_steps);
  head->set_tilt_offset(head->tilt_offset() + tilt_steps);
  dravik::Matrix4f D;
  calibration::CameraParameters::convert(head->device_ext(), &D);
  const Eigen::Matrix3f turn = Eigen::AngleAxisf(static_cast<float>(d_degrees * M_PI / 180.0),
                                                 Eigen::Vector3f(1.0f, 1.0f, 0.5f).normalized())
                                   .toRotationMatrix();
  dravik::Matrix4f turned = D;
  turned.topLeftCorner<3, 3>() = turn * D.topLeftCorner<3, 3>();
  calibration::CameraParameters::convert(turned, head->mutable_device_ext());
  return ptz;
}

// The motor positions that aim the camera at the board's centre, moved by
// (dpan, dtilt) steps.
inline Eigen::Vector2i aimedAtBoard(const calibration::PTZCameraParameters& ptz, int dpan,
                                    int dtilt) {
  calibration::PanTiltModel head;
  head.readFromPB(ptz.pan_tilt());
  const Eigen::Vector4d centre = boardInWorld() * Eigen::Vector4d(0.4, 0.25, 0.0, 1.0);
  float pan = 0.0f, tilt = 0.0f;
  head.computePanTilt(centre.head<3>().cast<float>(), Eigen::Vector2f::Zero(), &pan, &tilt);
  return {static_cast<int>(std::lround(pan)) + dpan, static_cast<int>(std::lround(tilt)) + dtilt};
}

// The board's corners at a motor position through the head of `truth`, with
// Gaussian noise of `noise` pixels per axis.
inline calibration::PanTiltHeadView headView(const calibration::PTZCameraParameters& truth, int pan,
                                             int tilt, int zoom, double noise,
                                             std::mt19937* random) {
  const auto model = std::make_shared<calibration::PTZCameraModel>(truth);
  const calibration::PTZCameraModelConfiguration config(model, pan, tilt, zoom);
  calibration::PanTiltHeadView view{pan, tilt, zoom, {}, boardCorners()};
  std::normal_distribution<double> gaussian(0.0, 1.0);
  for (const Eigen::Vector3d& corner : view.target_points) {
    const Eigen::Vector3d world = (boardInWorld() * corner.homogeneous()).head<3>();
    Eigen::Vector2d pixel;
    config.projectPoints(world.data(), 1, pixel.data());
    view.image_points.push_back(pixel +
                                noise * Eigen::Vector2d(gaussian(*random), gaussian(*random)));
  }
  return view;
}

// cols x rows motor positions around the board's centre, `step` steps apart
// in pan and in tilt, at one zoom.
inline std::vector<calibration::PanTiltHeadView> headViews(
    const calibration::PTZCameraParameters& truth, int cols, int rows, int pan_step, int tilt_step,
    int zoom, double noise, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::vector<calibration::PanTiltHeadView> views;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const Eigen::Vector2i at = aimedAtBoard(truth, (2 * c - (cols - 1)) * pan_step / 2,
                                              (2 * r - (rows - 1)) * tilt_step / 2);
      views.push_back(headView(truth, at.x(), at.y(), zoom, noise, &random));
    }
  }
  return views;
}

}  // namespace dravik::testing

// Kinematics of a motorised pan/tilt head carrying a camera.
//
// The head is a chain of three fixed rigid transforms and two motor
// rotations about z. A homogeneous world point X maps into the camera frame as
//   X_cam = D * Rz(theta_t) * T * Rz(theta_p) * P * X
// where P (pan_ext), T (tilt_ext) and D (device_ext) map parent into child
// coordinates, translations in metres, and Rz(a) is rotationZTransf(a) of
// dravik/geometry.h (a positive angle turns x towards y). Motor positions are
// steps; the angles are
//   theta_p = pan_scale * (pan - pan_offset),
//   theta_t = tilt_scale * (tilt - tilt_offset)      (radians).
// The frames along the chain: world; pan base (after P); pan-rotated; tilt
// base (after T); tilt-rotated; camera (after D). In the sources a transform
// is named by its frames, target_from_source: P is pan_base_from_world, T is
// tilt_base_from_pan_rotated, D is camera_from_tilt_rotated.
//
// Records go to dravik/logging.h under the tag "pan_tilt_model".
#pragma once

#include <Eigen/Core>

#include "calibration_common/camera_parameters_export.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/camera_transform.h"

namespace dravik {
namespace calibration {

class CAMERA_PARAMETERS_EXPORT PanTiltModel {
 public:
  PanTiltModel();

  // Fills the model from params. False, with the model unchanged, when an
  // extrinsics message holds fewer than 12 values.
  bool readFromPB(const PanTiltSystemParameters& params);
  // Writes the three transforms and the six scalars; other fields stay.
  void writeToPB(PanTiltSystemParameters* params) const;

  float pan_offset() const { return pan_offset_; }
  float tilt_offset() const { return tilt_offset_; }

  // The camera pose (world to camera) at the motor positions, in steps.
  CameraTransform getFullTransform(float pan, float tilt) const;

  // The motor positions (steps, fractional) at which the camera sees `world`
  // (metres) along the ray (dev.x, dev.y, 1) of its frame. True when the
  // residual of the solution, the squared length of dev x X_cam, is at most
  // 1e-5. A closed-form estimate, exact for a head without offsets between
  // the axes and the camera, seeds five Gauss-Newton steps on the full chain.
  // Failures, each with one record:
  //  - a null output: level 2, nothing written;
  //  - no estimate (the ray cannot reach the point): level 2, outputs untouched;
  //  - a residual above 0.01, or not finite: level 2;
  //  - a residual above 1e-5: level 3.
  // In the last two cases the outputs are still written, unless a position
  // is not finite (a zero scale), in which case neither is written and the
  // level-2 record is given.
  bool computePanTilt(const Eigen::Vector3f& world, const Eigen::Vector2f& dev, float* pan,
                      float* tilt) const;

  // The positions, radians, of the head's two revolute joints at the motor
  // positions (steps): the angles (theta_p, theta_t) of the chain, formed in
  // float as getFullTransform forms them. A robot description that turns the
  // pan link by Rz(theta_p) and the tilt link by Rz(theta_t) reproduces
  // getFullTransform at these positions.
  Eigen::Vector2f jointPositions(float pan, float tilt) const;
  // The inverse of jointPositions: the motor positions, in fractional steps,
  // angle / scale + offset (in double, then rounded to float), neither rounded
  // to whole steps nor limited (roundAndLimitMotorSteps does both). False,
  // with a level-2 record and the outputs untouched, when an output is null or
  // a position is not finite (a zero scale, a non-finite angle).
  bool motorSteps(float pan_angle, float tilt_angle, float* pan, float* tilt) const;

 private:
  CameraTransform pan_ext_;
  CameraTransform tilt_ext_;
  CameraTransform device_ext_;
  float pan_scale_;
  float tilt_scale_;
  float pan_offset_;
  float tilt_offset_;
  float aux_param_1_;
  float aux_param_2_;
};

// Whole motor positions from fractional ones, as the PTZ camera's aiming
// gives them: rounded (halves away from zero), then limited by the motor
// limits present in `limits` (a min, then a max, so that the max wins over an
// inconsistent min). False, with the outputs untouched, when a rounded
// position is not finite or does not fit an int.
CAMERA_PARAMETERS_EXPORT bool roundAndLimitMotorSteps(const PanTiltSystemParameters& limits,
                                                      float pan, float tilt, int* pan_steps,
                                                      int* tilt_steps);

}  // namespace calibration
}  // namespace dravik

// The pan/tilt head's kinematic parameters fitted to pictures of a board that
// stays still while the head moves through many motor positions.
//
// Conventions
// - The head: pan_tilt_model.h. X_cam = D Rz(theta_t) T Rz(theta_p) P X,
//   theta_p = pan_scale (pan - pan_offset), theta_t = tilt_scale (tilt -
//   tilt_offset); P, T, D map parent into child coordinates, metres in
//   memory, millimetres in the message.
// - Pixels: centres at integer coordinates, of the PTZ calibration image
//   (cal_width x cal_height). Each view is seen through the lens of its zoom,
//   as PTZCameraModelConfiguration forms it from the zoom table.
// - Board frame: the frame of a view's target points, metres (z = 0 for a
//   flat board). The board does not move between views.
// - Errors: a view's rms is sqrt(sum |e_i|^2 / n) over its n corners, e_i the
//   corner's reprojection error in pixels through the fitted head. The aiming
//   error of a view is the angle between the ray to the board's centre (the
//   centroid of its target points) that the fitted head predicts and the ray
//   to it observed, through the view's own pose fitted to its corners alone;
//   in pixels, the distance between the two rays' pixels.
//
// What is fitted, and what is held at the file's values
// Two revolute axes in a chain leave several motions that no picture sees:
// - a turn of the camera about the tilt axis, whether put in D (on its tilt
//   side) or in T (on its tilt side), is a change of the tilt offset: the
//   tilt offset is fitted, D's and T's rotations about the tilt axis are held;
// - a shift along the tilt axis moves T's tilt side and D's tilt side alike:
//   D's is fitted, T's is held;
// - a turn about the pan axis on T's pan side is a turn of everything below
//   it, and a shift along the pan axis there likewise: T's are held. Of T
//   there remain the two parameters of the axes' relation, the angle between
//   the pan and the tilt axis and their distance, both about and along their
//   common normal (the tilt axis crossed with the pan axis, in the tilt
//   base);
// - without a fixture the board's pose in the pan base is unknown and takes
//   every turn and shift of P: P and the pan offset are held, and the board's
//   pose (six parameters) is fitted. With a fixture (the board's pose in the
//   world frame) P is fitted instead, but for its turn about the pan axis,
//   which is the pan offset's: the pan offset is fitted and P's turn held.
// Fitted therefore: T's two, D's turns about its x and y and its shift
// (five), the tilt offset, the board's pose or P's five and the pan offset,
// and with fit_scales the two scales. Everything else of the message (limits,
// aux parameters) is copied.
//
// Parameters and their covariance (PanTiltHeadParameter): every turn is a
// small rotation, radians, about an axis of the frame it names, applied on
// the side of the transform the name gives; every shift in metres along
// such an axis; offsets in steps; scales in radians per step. The covariance
// is sigma^2 (J'J)^-1 over the fitted parameters, sigma^2 = |r|^2 / (2 n - p)
// (n corners, p parameters); standard deviations are given in degrees,
// millimetres, steps and degrees per step.
//
// Failure: false, a level-2 record under the tag "pan_tilt_model" and
// *result untouched. Refused: a PTZ calibration whose zoom table or head
// cannot be read; fewer than kMinimumHeadViews views; a view with fewer than
// six corners, or image and target points of unequal number, or points not
// finite; a fixture that is not a rigid transform; a view whose pose through
// its lens cannot be found; motor positions that leave a fitted parameter
// undetermined (the record names it: views all at one tilt, for example,
// leave the tilt axis unseen); a fit that does not settle.
//
// Thread safety: deterministic and reentrant, no state between calls, no
// exceptions of its own.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters_export.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {

// Views needed at least: the board seen at three motor positions.
constexpr int kMinimumHeadViews = 3;

// The board seen at one motor position.
struct PanTiltHeadView {
  int pan = 0, tilt = 0, zoom = 0;  // motor steps
  std::vector<Eigen::Vector2d> image_points;
  std::vector<Eigen::Vector3d> target_points;  // board frame, metres
};

struct PanTiltHeadOptions {
  // Fit pan_scale and tilt_scale too.
  bool fit_scales = false;
  // The board's pose in the world frame, when known: then P is fitted.
  bool has_fixture = false;
  dravik::Matrix4d world_from_board = dravik::Matrix4d::Identity();
};

// One fitted parameter: what it is, its change from the file's value and its
// standard deviation, both in `unit` (deg, mm, steps or deg/step).
struct PanTiltHeadParameter {
  std::string name;
  std::string unit;
  double change = 0.0;
  double standard_deviation = 0.0;
};

struct PanTiltHeadResult {
  // The fitted head, every field not fitted copied from the input.
  PanTiltSystemParameters parameters;
  // The board's pose in the world frame of the fitted head (the fixture's,
  // when one was given).
  dravik::Matrix4d world_from_board = dravik::Matrix4d::Identity();
  std::vector<PanTiltHeadParameter> fitted;
  // Covariance of the fitted parameters in their own units (radians,
  // metres, steps, radians per step), in the order of `fitted`.
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> covariance;
  // Per view, in the order given.
  std::vector<double> view_rms;          // pixels
  std::vector<double> aiming_error_deg;  // degrees
  std::vector<double> aiming_error_px;   // pixels at the view's zoom
  // The same through the file's head, the board where the fit puts it.
  std::vector<double> aiming_error_before_deg;
  std::vector<double> aiming_error_before_px;
  double rms = 0.0;        // over every corner
  int iterations = 0;      // the solver's accepted steps
  bool converged = false;  // a stopping rule met, not the budget spent
};

// Fits the head of `ptz` (its pan_tilt message, seen through its zoom table)
// to the views. See the conventions above.
CAMERA_PARAMETERS_EXPORT bool calibratePanTiltHead(const PTZCameraParameters& ptz,
                                                   const std::vector<PanTiltHeadView>& views,
                                                   const PanTiltHeadOptions& options,
                                                   PanTiltHeadResult* result);

}  // namespace calibration
}  // namespace dravik

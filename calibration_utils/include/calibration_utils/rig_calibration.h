// Calibration of a rig of cameras from views of a rigid target seen at
// several moments: every camera's pose relative to one reference camera,
// with its uncertainty, and, from the robot calibration or a fixture, in the
// robot frame.
//
// Conventions
// - Pixels: centres at integer coordinates (as calibration_utils/lens.h).
// - Lens model: each camera's Lens at the size of its images, no skew
//   (K = [[fx, 0, cx], [0, fy, cy], [0, 0, 1]] and the eight coefficients
//   k1, k2, p1, p2, k3, k4, k5, k6 of dravik/geometry.h).
// - Frames: a camera frame has z along the optical axis, x to the right and
//   y down in the image. camera_from_X maps a point of frame X into the
//   camera frame: X_camera = camera_from_X (X_X, 1), metres, as the robot
//   calibration's extrinsics do (calibration_common/camera_parameters.h:
//   x_cam = R x_robot + t). The target frame is the frame of a moment's
//   target points; the robot frame that of the robot calibration.
// - Covariance of a pose (6 x 6): the camera's orientation as a small
//   rotation vector in the axes of the frame it is expressed in (radians),
//   then the camera's centre in that frame (metres). Standard deviations:
//   the square roots of its diagonal, as degrees and millimetres.
// - Errors: the reprojection error of point i is |p_i - project(P_i)| in
//   pixels; an rms is sqrt(sum |e_i|^2 / n) over the n points it covers.
//
// How it works
// 1. Each view's pose is estimated through its camera's lens: the homography
//    from the target's plane to the undistorted points, then the pose
//    refined by Levenberg-Marquardt with the lens fixed.
// 2. The cameras are joined to the reference along the pairs that share the
//    most moments; each pair's relative pose is the robust average of its
//    moments' (the medoid rotation, the componentwise median translation).
// 3. Levenberg-Marquardt (the calibration solver, calibration_utils/src/
//    levenberg_marquardt.h) fits every camera's pose relative to the
//    reference and the target's pose at every moment together, the target
//    poses eliminated by the Schur complement as the views' poses are in
//    calibrateCamera. The solver's shared block holds six parameters per
//    camera besides the reference, as many cameras as the rig has.
// 4. With refine_intrinsics, each camera's K and lens terms are then fitted
//    to its views with the target poses the rig gives as the start, kept
//    sound over its image as calibrateCamera keeps them, and the rig fitted
//    again through the refined lenses.
// 5. The covariance is sigma^2 (J'J)^-1 with the target poses marginalised,
//    sigma^2 = |r|^2 / (2 n - p), n the points kept and p six per camera
//    besides the reference plus six per moment.
//
// Absolute poses: without a fixture, the reference keeps
// reference_from_robot (its pose in the robot calibration) and every other
// camera follows from it; its uncertainty is then zero. With a fixture (at
// one or more moments the target sits at a known pose in the robot frame),
// the reference's pose in the robot frame is the least-squares fit of those
// moments' target poses, and every camera's follows, with the covariance of
// both parts.
//
// Failure: false and a level-2 record under the tag "calibration_utils",
// *result untouched. Refused: no camera, a reference out of range; a lens
// that is not usable (not eight finite coefficients, fx or fy not positive,
// skew, a size not positive); a view naming no camera, or a camera twice at
// one moment; a view with fewer than 6 points, or image and target points of
// unequal number, or points not finite, or a target not planar; a camera
// that sees the target at fewer than kMinimumRigViews moments; cameras not
// connected to the reference by shared moments; a fixture naming no moment
// or holding a pose that is not a rigid transform; a view whose pose through
// its lens cannot be found.
//
// Thread safety: the functions are deterministic and reentrant, keep no
// state between calls and throw no exceptions.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "calibration_utils/lens.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {

// The moments at which each camera must see the target, at least.
constexpr std::size_t kMinimumRigViews = 2;

using PoseCovariance = Eigen::Matrix<double, 6, 6, Eigen::RowMajor>;

// One camera's view of the target at one moment.
struct RigView {
  std::size_t camera = 0;  // index into the cameras
  // Measured pixels, centres at integers.
  std::vector<Eigen::Vector2d> image_points;
  // The same points in the target's frame, metres (z = 0 for a board).
  std::vector<Eigen::Vector3d> target_points;
};

// The target held still: the views of the cameras that see it.
struct RigMoment {
  std::vector<RigView> views;
};

// A moment at which the target sits at a known pose in the robot frame.
struct FixtureMoment {
  std::size_t moment = 0;
  dravik::Matrix4d robot_from_target = dravik::Matrix4d::Identity();
};

struct RigCalibrationOptions {
  // The camera every other pose is relative to.
  std::size_t reference = 0;
  // The reference's pose in the robot calibration (used without a fixture).
  dravik::Matrix4d reference_from_robot = dravik::Matrix4d::Identity();
  // Moments of known target pose; when not empty, they give the reference's
  // pose in the robot frame instead of reference_from_robot.
  std::vector<FixtureMoment> fixture;
  // Fit each camera's K and lens terms too (all eight, sound over its image).
  bool refine_intrinsics = false;
  // > 0: points whose residual exceeds outlier_sigma x the rms are dropped
  // and the fit repeated, until none is (a view keeps at least 6).
  double outlier_sigma = 0.0;
};

struct RigCameraPose {
  dravik::Matrix4d camera_from_reference = dravik::Matrix4d::Identity();
  // Of the camera's orientation and centre in the reference frame; zero for
  // the reference itself.
  PoseCovariance covariance = PoseCovariance::Zero();
  Eigen::Vector3d rotation_sigma_deg = Eigen::Vector3d::Zero();
  Eigen::Vector3d centre_sigma_mm = Eigen::Vector3d::Zero();
  dravik::Matrix4d camera_from_robot = dravik::Matrix4d::Identity();
  // Of the camera's orientation and centre in the robot frame.
  PoseCovariance robot_covariance = PoseCovariance::Zero();
  Eigen::Vector3d robot_rotation_sigma_deg = Eigen::Vector3d::Zero();
  Eigen::Vector3d robot_centre_sigma_mm = Eigen::Vector3d::Zero();
  // The lens the poses were fitted through (refined or as given).
  Lens lens;
  // Over the camera's kept points, and the moments it saw.
  double rms_px = 0.0;
  std::size_t moments = 0;
};

struct RigCalibration {
  std::vector<RigCameraPose> cameras;
  // Per moment: the target's pose in the reference camera's frame.
  std::vector<dravik::Matrix4d> reference_from_target;
  // Per moment, per view (in the order of RigMoment::views): its rms, and
  // per point 1 when used in the final fit.
  std::vector<std::vector<double>> view_rms_px;
  std::vector<std::vector<std::vector<std::uint8_t>>> kept;
  // Over every kept point.
  double rms_px = 0.0;
  int iterations = 0;
  bool converged = false;
};

// Fits the rig of `cameras` (each lens at the size of its images) to the
// moments. On success *result holds every camera's pose relative to the
// reference and in the robot frame, their covariances, the target's pose
// at every moment, the errors and the kept points.
bool calibrateRig(const std::vector<Lens>& cameras, const std::vector<RigMoment>& moments,
                  const RigCalibrationOptions& options, RigCalibration* result);

}  // namespace calibration
}  // namespace dravik

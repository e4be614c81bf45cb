// The report of `camcal rig`, text or JSON: per camera the moments it saw,
// its rms, its pose in the robot frame (the camera's centre in millimetres,
// the roll, pitch and yaw of its body frame, x forward, as `camcal urdf`
// writes NAME_link, in degrees) with standard deviations, and how far it
// moved from the calibration's pose; per pair of cameras the moments they
// share.
#pragma once

#include <Eigen/Core>
#include <string>
#include <vector>

namespace camcal {

struct RigCameraResult {
  std::string camera;
  int moments = 0;
  double rms_px = 0.0;
  // Measured and as the calibration had it (both with the base calibration
  // applied when one is given).
  Eigen::Matrix4d camera_from_robot = Eigen::Matrix4d::Identity();
  Eigen::Matrix4d previous_camera_from_robot = Eigen::Matrix4d::Identity();
  // Of the orientation (a rotation vector in robot axes) and the centre,
  // metres (calibration_utils/rig_calibration.h).
  Eigen::Matrix<double, 6, 6> robot_covariance = Eigen::Matrix<double, 6, 6>::Zero();
};

struct RigPair {
  std::string first, second;
  int shared_moments = 0;
};

struct RigResult {
  std::string reference;
  bool fixture = false;
  double rms_px = 0.0;
  std::vector<RigCameraResult> cameras;
  std::vector<RigPair> pairs;
};

// The camera's pose as the report gives it: centre (mm), roll pitch yaw
// (degrees) of its body frame, their standard deviations, and how far it
// moved (mm, degrees).
struct ReportedPose {
  Eigen::Vector3d centre_mm, centre_sigma_mm, rpy_deg, rpy_sigma_deg;
  double moved_mm = 0.0, moved_deg = 0.0;
};
ReportedPose reportedPose(const RigCameraResult& camera);

std::string rigReportAsText(const RigResult& result);
std::string rigReportAsJson(const RigResult& result);

}  // namespace camcal

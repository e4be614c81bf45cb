#include "rig_report.h"

#include <Eigen/Geometry>
#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/number_format.h"
#include "cli/text_table.h"
#include "inputs/urdf_writer.h"

namespace camcal {

namespace {

constexpr double kDegreesPerRadian = 57.29577951308232;
// The step of the numerical derivative of roll, pitch and yaw in the
// orientation, radians.
constexpr double kAngleStep = 1e-6;

// The camera's body frame (x forward, y left, z up) in the optical frame
// (x right, y down, z forward), as `camcal urdf` fixes NAME_optical_frame
// to NAME_link: body_from_optical = R(rpy = (-pi/2, 0, -pi/2)).
Eigen::Matrix3d bodyFromOptical() {
  Eigen::Matrix3d R;
  R << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return R;
}

Eigen::Vector3d rpyOf(const Eigen::Matrix3d& robot_from_body) {
  Eigen::Vector3d rpy = Eigen::Vector3d::Constant(NAN);
  rollPitchYaw(robot_from_body, &rpy);
  return rpy;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string withSigma(double value, double sigma, int decimals) {
  return fixed(value, decimals) + " +/- " + fixed(sigma, decimals);
}

}  // namespace

ReportedPose reportedPose(const RigCameraResult& camera) {
  ReportedPose pose;
  const Eigen::Matrix3d robot_from_optical =
      camera.camera_from_robot.topLeftCorner<3, 3>().transpose();
  pose.centre_mm = -1e3 * (robot_from_optical * camera.camera_from_robot.topRightCorner<3, 1>());
  const Eigen::Matrix3d robot_from_body = robot_from_optical * bodyFromOptical().transpose();
  const Eigen::Vector3d rpy = rpyOf(robot_from_body);
  pose.rpy_deg = kDegreesPerRadian * rpy;
  // The orientation's covariance through the derivative of roll, pitch and
  // yaw in a turn R(d) of the body frame about the robot's axes.
  Eigen::Matrix3d J;
  for (int k = 0; k < 3; ++k) {
    const Eigen::Matrix3d turn(Eigen::AngleAxisd(kAngleStep, Eigen::Vector3d::Unit(k)));
    const Eigen::Matrix3d back(Eigen::AngleAxisd(-kAngleStep, Eigen::Vector3d::Unit(k)));
    J.col(k) = (rpyOf(turn * robot_from_body) - rpyOf(back * robot_from_body)) / (2 * kAngleStep);
  }
  const Eigen::Matrix3d rpy_covariance =
      J * camera.robot_covariance.topLeftCorner<3, 3>() * J.transpose();
  for (int i = 0; i < 3; ++i) {
    pose.rpy_sigma_deg(i) = kDegreesPerRadian * std::sqrt(std::max(0.0, rpy_covariance(i, i)));
    pose.centre_sigma_mm(i) = 1e3 * std::sqrt(std::max(0.0, camera.robot_covariance(3 + i, 3 + i)));
  }
  const Eigen::Matrix4d moved =
      camera.camera_from_robot.inverse() * camera.previous_camera_from_robot;
  pose.moved_mm = 1e3 * (camera.camera_from_robot.inverse().topRightCorner<3, 1>() -
                         camera.previous_camera_from_robot.inverse().topRightCorner<3, 1>())
                            .norm();
  pose.moved_deg =
      kDegreesPerRadian * Eigen::AngleAxisd(Eigen::Matrix3d(moved.topLeftCorner<3, 3>())).angle();
  return pose;
}

std::string rigReportAsText(const RigResult& result) {
  TextTable cameras;
  cameras.addRow({"camera", "moments", "rms px", "x mm", "y mm", "z mm", "roll deg", "pitch deg",
                  "yaw deg", "moved mm", "moved deg"});
  for (const RigCameraResult& camera : result.cameras) {
    const ReportedPose pose = reportedPose(camera);
    std::vector<std::string> row = {camera.camera, std::to_string(camera.moments),
                                    fixed(camera.rms_px, 3)};
    for (int i = 0; i < 3; ++i)
      row.push_back(withSigma(pose.centre_mm(i), pose.centre_sigma_mm(i), 2));
    for (int i = 0; i < 3; ++i) row.push_back(withSigma(pose.rpy_deg(i), pose.rpy_sigma_deg(i), 3));
    row.push_back(fixed(pose.moved_mm, 2));
    row.push_back(fixed(pose.moved_deg, 3));
    cameras.addRow(row);
  }
  TextTable pairs;
  pairs.addRow({"cameras", "", "shared moments"});
  for (const RigPair& pair : result.pairs) {
    pairs.addRow({pair.first, pair.second, std::to_string(pair.shared_moments)});
  }
  return cameras.render("") + "\n" + pairs.render("") + "\nreference    " + result.reference +
         (result.fixture ? " (its pose from the fixture)" : " (keeps its pose)") +
         "\nrms          " + fixed(result.rms_px, 3) + " px\n";
}

std::string rigReportAsJson(const RigResult& result) {
  using json = nlohmann::ordered_json;
  json root;
  root["reference"] = result.reference;
  root["fixture"] = result.fixture;
  root["rms_px"] = result.rms_px;
  root["cameras"] = json::array();
  for (const RigCameraResult& camera : result.cameras) {
    const ReportedPose pose = reportedPose(camera);
    const auto array = [](const Eigen::Vector3d& v) { return json::array({v.x(), v.y(), v.z()}); };
    root["cameras"].push_back({{"camera", camera.camera},
                               {"moments", camera.moments},
                               {"rms_px", camera.rms_px},
                               {"centre_mm", array(pose.centre_mm)},
                               {"centre_sigma_mm", array(pose.centre_sigma_mm)},
                               {"rpy_deg", array(pose.rpy_deg)},
                               {"rpy_sigma_deg", array(pose.rpy_sigma_deg)},
                               {"moved_mm", pose.moved_mm},
                               {"moved_deg", pose.moved_deg}});
  }
  root["pairs"] = json::array();
  for (const RigPair& pair : result.pairs) {
    root["pairs"].push_back({{"cameras", json::array({pair.first, pair.second})},
                             {"shared_moments", pair.shared_moments}});
  }
  return root.dump(2) + "\n";
}

}  // namespace camcal

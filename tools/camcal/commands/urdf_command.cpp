// camcal urdf [--calibration FILE] [--base FILE] [--ptz FILE] [-o OUT]: the
// robot's cameras, and the PTZ camera's pan/tilt head, as a URDF robot
// description.
//
// Each camera NAME becomes two links: NAME_link (x forward, y left, z up),
// fixed to the robot frame, and NAME_optical_frame (x right, y down, z along
// the optical axis: the frame of the camera's pose), fixed to NAME_link by the
// standard optical rotation. The head becomes the chain of its three fixed
// links and two revolute joints whose positions are the pan and tilt angles
// of PanTiltModel::jointPositions.
#include <Eigen/Geometry>
#include <climits>
#include <memory>

#include "analysis/ptz_checks.h"
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/library_load.h"
#include "inputs/urdf_writer.h"

namespace camcal {

namespace {

using dravik::calibration::CameraParameters;
using dravik::calibration::PanTiltModel;
using dravik::calibration::PanTiltSystemParameters;

struct UrdfOptions {
  std::string calibration;
  std::string base;
  std::string ptz;
  std::string robot_frame = "base_link";
  std::string name = "robot";
  std::string output;
};

// The optical frame in its camera link: rpy (-pi/2, 0, -pi/2), whose columns
// are the optical x (right, -y of the link), y (down, -z) and z (forward, x).
Eigen::Matrix4d opticalInLink() {
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.topLeftCorner<3, 3>() << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return T;
}

// The child frame in parent coordinates of a parent-to-child rigid transform
// held in float: the inverse, in double, of its nearest rigid transform.
Eigen::Matrix4d childInParent(const Eigen::Matrix4f& parent_to_child, const std::string& what) {
  const Eigen::Matrix4d T = parent_to_child.cast<double>();
  Eigen::Matrix3d R;
  if (!nearestRotation(T.topLeftCorner<3, 3>(), &R) || !T.allFinite()) {
    throw operationError(what + ": the pose's rotation is not a rotation matrix");
  }
  Eigen::Matrix4d inverse = Eigen::Matrix4d::Identity();
  inverse.topLeftCorner<3, 3>() = R.transpose();
  inverse.block<3, 1>(0, 3) = -R.transpose() * T.block<3, 1>(0, 3);
  return inverse;
}

void addCameras(const UrdfOptions& options, UrdfDocument* urdf) {
  dravik::calibration::CameraParametersSet set;
  std::vector<std::string> names = set.getCameraNames();
  if (!options.calibration.empty()) {
    requireRobotCalibration(readInput(options.calibration), &set);
    names = cameraNamesOf(set.getRawCalData());
  }
  if (!options.base.empty()) {
    dravik::calibration::BaseCalibrationData base;
    requireBaseCalibration(readInput(options.base), &base);
    set.adjustUsingBaseCalibration(base);
  }
  for (const auto& name : names) {
    if (!isFrameName(name)) {
      throw operationError("camera '" + name +
                           "' cannot be a frame name: letters, digits and underscores only, "
                           "not starting with a digit");
    }
    const Eigen::Matrix4d optical_in_robot =
        childInParent(set.getCamera(name)->getTransform().getTransform(), "camera '" + name + "'");
    const Eigen::Matrix4d link_in_robot = optical_in_robot * opticalInLink().inverse();
    urdf->setPart("camera '" + name + "'");
    urdf->addFixedJoint(name + "_joint", options.robot_frame, name + "_link", link_in_robot);
    urdf->addFixedJoint(name + "_optical_joint", name + "_link", name + "_optical_frame",
                        opticalInLink());
  }
}

// One revolute joint's limits: the motor limits as joint positions, in
// increasing order. A missing limit is the end of the motor positions' (int)
// range.
struct JointRange {
  bool limited;
  double lower, upper;
};
JointRange jointRange(bool has_min, bool has_max, float min_angle, float max_angle) {
  if (!has_min && !has_max) return {false, 0.0, 0.0};
  return {true, std::min(min_angle, max_angle), std::max(min_angle, max_angle)};
}

void addHead(const UrdfOptions& options, UrdfDocument* urdf) {
  const InputFile input = readInput(options.ptz);
  requireFinitePtzValues(input);
  const PtzHead ptz = requirePtzHead(input);
  const PanTiltSystemParameters& head = ptz.params;
  const PanTiltModel& model = ptz.model;
  const auto link = [&](const dravik::calibration::CameraExtrinsics& extrinsics, const char* what) {
    Eigen::Matrix4f parent_to_child;
    CameraParameters::convert(extrinsics, &parent_to_child);
    return childInParent(parent_to_child, options.ptz + ": " + what);
  };
  // The motor limits as positions; a min above the max leaves the max alone
  // reachable, as the limiting of aimed positions does.
  const auto bound = [](bool has, int limit, int unlimited) { return has ? limit : unlimited; };
  const int pan_max = bound(head.has_pan_max(), head.pan_max(), INT_MAX);
  const int tilt_max = bound(head.has_tilt_max(), head.tilt_max(), INT_MAX);
  const int pan_min = std::min(bound(head.has_pan_min(), head.pan_min(), INT_MIN), pan_max);
  const int tilt_min = std::min(bound(head.has_tilt_min(), head.tilt_min(), INT_MIN), tilt_max);
  const Eigen::Vector2f lowest = model.jointPositions(float(pan_min), float(tilt_min));
  const Eigen::Vector2f highest = model.jointPositions(float(pan_max), float(tilt_max));
  const JointRange pan =
      jointRange(head.has_pan_min(), head.has_pan_max(), lowest.x(), highest.x());
  const JointRange tilt =
      jointRange(head.has_tilt_min(), head.has_tilt_max(), lowest.y(), highest.y());
  // x_rotated = Rz(angle) x_base: the rotated link turns by -angle about z.
  const Eigen::Vector3d axis(0.0, 0.0, -1.0);

  urdf->setPart("the PTZ head");
  urdf->addFixedJoint("ptz_pan_base_joint", options.robot_frame, "ptz_pan_base",
                      link(head.pan_ext(), "pan_ext"));
  urdf->addRevoluteJoint("ptz_pan_joint", "ptz_pan_base", "ptz_pan_link", axis, pan.limited,
                         pan.lower, pan.upper);
  urdf->addFixedJoint("ptz_tilt_base_joint", "ptz_pan_link", "ptz_tilt_base",
                      link(head.tilt_ext(), "tilt_ext"));
  urdf->addRevoluteJoint("ptz_tilt_joint", "ptz_tilt_base", "ptz_tilt_link", axis, tilt.limited,
                         tilt.lower, tilt.upper);
  urdf->addFixedJoint("ptz_optical_joint", "ptz_tilt_link", "ptz_optical_frame",
                      link(head.device_ext(), "device_ext"));
}

int runUrdf(const UrdfOptions& options) {
  if (!isFrameName(options.robot_frame)) {
    throw usageError("--robot-frame '" + options.robot_frame +
                     "' cannot be a frame name: letters, digits and underscores only, not "
                     "starting with a digit");
  }
  if (options.name.empty()) throw usageError("--name must not be empty");
  UrdfDocument urdf(options.name, options.robot_frame);
  addCameras(options, &urdf);
  if (!options.ptz.empty()) addHead(options, &urdf);
  writeOutput(options.output, urdf.text());
  return kExitSuccess;
}

}  // namespace

void addUrdfCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<UrdfOptions>();
  CLI::App* command = app.add_subcommand(
      "urdf",
      "Write the robot's cameras, and the PTZ camera's pan/tilt head, as a URDF robot "
      "description: NAME_link and NAME_optical_frame for each camera, the head as the revolute "
      "joints ptz_pan_joint and ptz_tilt_joint whose positions are the pan and tilt angles "
      "(see 'camcal ptz FILE joints')");
  addCalibrationOption(command, &options->calibration);
  command->add_option("--base", options->base,
                      "Base calibration whose global transform is applied to the cameras first");
  command->add_option("--ptz", options->ptz,
                      "PTZ calibration: add the head, rooted at the robot frame (its world "
                      "frame); a motor without limits gives a continuous joint, a motor with one "
                      "limit a joint limited on that side and by the motor's int range on the "
                      "other");
  command->add_option("--robot-frame", options->robot_frame, "The root link")
      ->capture_default_str();
  command->add_option("--name", options->name, "The robot's name")->capture_default_str();
  addOutputOption(command, &options->output);
  commands->push_back({command, [options] { return runUrdf(*options); }});
}

}  // namespace camcal

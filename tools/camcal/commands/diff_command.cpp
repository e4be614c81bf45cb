// camcal diff A B [--max-px N] [--format text|json]: how far each camera
// moved between two robot calibrations, or the PTZ camera between two PTZ
// calibrations; exit 1 when a ray moved more than --max-px pixels.
#include <Eigen/Geometry>
#include <algorithm>
#include <memory>
#include <set>

#include "analysis/calibration_diff.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/calibration_input.h"
#include "inputs/camera_lookup.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;
using dravik::calibration::PTZCameraParameters;

struct DiffOptions {
  std::string a, b;
  double max_px = 0.5;
  std::string format = "text";
};

// The rotation R_b R_a^T from camera frame A to camera frame B. The same
// orientation is the identity exactly, not R R^T of a float R that is
// orthonormal only to float rounding.
Eigen::Matrix3d rotationFromAToB(const Eigen::Matrix3d& Ra, const Eigen::Matrix3d& Rb) {
  if (Ra == Rb) return Eigen::Matrix3d::Identity();
  return Rb * Ra.transpose();
}

// One camera in both robot calibrations, at every size either model serves.
CameraDiff diffCamera(const std::string& name, const CameraParameters& a, const CameraParameters& b,
                      const std::string& path_a, const std::string& path_b) {
  CameraDiff diff;
  diff.name = name;
  diff.model_a = a.getModel();
  diff.model_b = b.getModel();
  // Robot to camera: x_cam = R x_robot + t; a robot-frame direction seen by
  // A as d_a is seen by B as R_b R_a^T d_a. The centre is -R^T t.
  const Eigen::Matrix3d Ra = a.getRotation().cast<double>(), Rb = b.getRotation().cast<double>();
  const Eigen::Matrix3d b_from_a = rotationFromAToB(Ra, Rb);
  const Eigen::Vector3d centre_a = -Ra.transpose() * a.getTranslation().cast<double>();
  const Eigen::Vector3d centre_b = -Rb.transpose() * b.getTranslation().cast<double>();
  diff.centre_moved_mm = 1000.0 * (centre_b - centre_a).norm();
  diff.rotation_deg = rotationAngleDegrees(b_from_a);

  std::vector<ImageSize> sizes = servedSizes(a);
  for (const ImageSize& size : servedSizes(b)) {
    const bool known = std::any_of(sizes.begin(), sizes.end(), [&](const ImageSize& s) {
      return s.width == size.width && s.height == size.height;
    });
    if (!known) sizes.push_back(size);
  }
  for (const ImageSize& size : sizes) {
    const IntrinsicsAtSize in_a = intrinsicsOf(name, a, size.width, size.height);
    const IntrinsicsAtSize in_b = intrinsicsOf(name, b, size.width, size.height);
    for (const auto& [camera, path] : {std::make_pair(&a, &path_a), std::make_pair(&b, &path_b)}) {
      const auto& full = camera->getFullFrame();
      const bool full_frame = full.width == size.width && full.height == size.height;
      if (!full_frame && !camera->hasIntrinsics(size.width, size.height)) {
        note(*path + ": " + formatImageSize(size.width, size.height) +
             " is not an image size of camera '" + name +
             "' (its model's table); compared as its full frame scaled to it");
      }
    }
    diff.sizes.push_back(diffAtSize(in_a, in_b, b_from_a));
  }
  return diff;
}

CalibrationDiff diffRobotCalibrations(const InputFile& a, const InputFile& b) {
  CameraParametersSet set_a, set_b;
  requireRobotCalibration(a, &set_a);
  requireRobotCalibration(b, &set_b);
  const std::vector<std::string> names_a = cameraNamesOf(set_a.getRawCalData());
  const std::vector<std::string> names_b = cameraNamesOf(set_b.getRawCalData());
  const std::set<std::string> in_a(names_a.begin(), names_a.end());
  const std::set<std::string> in_b(names_b.begin(), names_b.end());
  CalibrationDiff diff;
  for (const std::string& name : names_a) {
    if (!in_b.count(name)) {
      diff.only_in_a.push_back(name);
      continue;
    }
    diff.cameras.push_back(
        diffCamera(name, *set_a.getCamera(name), *set_b.getCamera(name), a.path, b.path));
  }
  for (const std::string& name : names_b) {
    if (!in_a.count(name)) diff.only_in_b.push_back(name);
  }
  return diff;
}

// The PTZ camera at each zoom sample of either table, both heads at the same
// motor setting (A's zero pan and tilt angles).
CalibrationDiff diffPtzCalibrations(const InputFile& a, const InputFile& b) {
  const std::string &path_a = a.path, &path_b = b.path;
  const PTZCameraParameters params_a = requirePtzParameters(a);
  const PTZCameraParameters params_b = requirePtzParameters(b);
  const auto& image_a = params_a.intrinsics();
  const auto& image_b = params_b.intrinsics();
  if (image_a.cal_width() != image_b.cal_width() || image_a.cal_height() != image_b.cal_height()) {
    throw operationError(path_b + ": calibration image " +
                         formatImageSize(image_b.cal_width(), image_b.cal_height()) + ", not the " +
                         formatImageSize(image_a.cal_width(), image_a.cal_height()) + " of " +
                         path_a);
  }
  const int pan = static_cast<int>(std::lround(params_a.pan_tilt().pan_offset()));
  const int tilt = static_cast<int>(std::lround(params_a.pan_tilt().tilt_offset()));
  const auto model_a = std::make_shared<PTZCameraModel>(params_a);
  const auto model_b = std::make_shared<PTZCameraModel>(params_b);
  const PTZCameraModelConfiguration pose_a(model_a, pan, tilt, 0), pose_b(model_b, pan, tilt, 0);
  const Eigen::Matrix3d Ra =
      pose_a.getTransform().getTransform().topLeftCorner<3, 3>().cast<double>();
  const Eigen::Matrix3d Rb =
      pose_b.getTransform().getTransform().topLeftCorner<3, 3>().cast<double>();
  const Eigen::Matrix3d b_from_a = rotationFromAToB(Ra, Rb);

  CalibrationDiff diff;
  diff.ptz = true;
  CameraDiff camera;
  camera.name = "ptz";
  camera.model_a = camera.model_b = "PTZ camera";
  camera.centre_moved_mm =
      1000.0 * (pose_b.getCameraCenter() - pose_a.getCameraCenter()).cast<double>().norm();
  camera.rotation_deg = rotationAngleDegrees(b_from_a);
  std::set<int> zooms;
  for (const auto* params : {&params_a, &params_b}) {
    for (const auto& sample : params->intrinsics().samples()) {
      zooms.insert(static_cast<int>(std::lround(sample.zoom())));
    }
  }
  for (int zoom : zooms) {
    SizeDiff size =
        diffAtSize(intrinsicsOf(PTZCameraModelConfiguration(model_a, pan, tilt, zoom)),
                   intrinsicsOf(PTZCameraModelConfiguration(model_b, pan, tilt, zoom)), b_from_a);
    size.ptz_zoom = true;
    size.zoom = zoom;
    camera.sizes.push_back(size);
  }
  diff.cameras.push_back(camera);
  return diff;
}

int runDiff(const DiffOptions& options) {
  const InputFile a = readInput(options.a);
  const InputFile b = readInput(options.b);
  const ParsedCalibration kind_a = parseCalibration(a, std::nullopt);
  if (kind_a.kind == CalibrationKind::kBase) {
    throw operationError(a.path +
                         ": is a base calibration; diff compares robot or PTZ calibrations");
  }
  CalibrationDiff diff = kind_a.kind == CalibrationKind::kRobot ? diffRobotCalibrations(a, b)
                                                                : diffPtzCalibrations(a, b);
  diff.path_a = a.path;
  diff.path_b = b.path;
  diff.max_px = options.max_px;
  writeOutput("", options.format == "json" ? diffAsJson(diff) : diffAsText(diff));
  if (!diff.only_in_a.empty() || !diff.only_in_b.empty()) {
    const bool missing_in_b = !diff.only_in_a.empty();
    const auto& names = missing_in_b ? diff.only_in_a : diff.only_in_b;
    throw operationError(
        (missing_in_b ? b.path : a.path) + ": has no camera '" + names.front() + "' of " +
        (missing_in_b ? a.path : b.path) +
        (names.size() > 1 ? " (and " + std::to_string(names.size() - 1) + " more)" : ""));
  }
  return diff.withinThreshold() ? kExitSuccess : kExitFailed;
}

}  // namespace

void addDiffCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<DiffOptions>();
  CLI::App* command = app.add_subcommand(
      "diff",
      "How far each camera moved between two robot calibrations (or two PTZ calibrations): pixel "
      "displacement of a grid of rays at every image size (every zoom sample), change of K and "
      "of pose; exit 1 when a ray moved more than --max-px");
  command->add_option("A", options->a, "The calibration compared against, e.g. the deployed one")
      ->required();
  command->add_option("B", options->b, "The calibration compared, e.g. the new one")->required();
  command
      ->add_option("--max-px", options->max_px,
                   "Largest displacement, pixels, that still passes (exit status 0)")
      ->check(atLeast(0))
      ->capture_default_str();
  addFormatOption(command, &options->format, {"text", "json"});
  commands->push_back({command, [options] { return runDiff(*options); }});
}

}  // namespace camcal

#include "analysis/calibration_checks.h"

#include <Eigen/Dense>
#include <cmath>
#include <map>

#include "analysis/lens_check.h"
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "inputs/library_load.h"

namespace camcal {

using dravik::calibration::CameraParameters;

namespace {

std::string countOf(int count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Lens findings of one camera, one warning per distinct finding with the
// image sizes that show it.
void checkCameraLens(const std::string& name, const CameraParameters& camera,
                     std::vector<std::string>* warnings) {
  std::vector<std::pair<std::string, std::string>> findings;  // finding, sizes
  auto check = [&](const CameraParameters::Intrinsics& view, const Eigen::Matrix3f& K,
                   const std::string& label) {
    const std::string finding = checkLensModel(K, view.distortion, view.width, view.height);
    if (finding.empty()) return;
    for (auto& known : findings) {
      if (known.first != finding) continue;
      // A generic camera's one table entry is its full frame again.
      if (known.second.rfind(label, 0) != 0) known.second += ", " + label;
      return;
    }
    findings.emplace_back(finding, label);
  };
  const auto& full = camera.getFullFrame();
  check(full, camera.getFullFrameIntrinsics(),
        formatImageSize(full.width, full.height) + " (full frame)");
  for (const auto& entry : camera.getIntrinsicsTable()) {
    check(entry, camera.getIntrinsics(entry.width, entry.height),
          formatImageSize(entry.width, entry.height));
  }
  for (const auto& finding : findings) {
    warnings->push_back("camera \"" + name + "\" at " + finding.second + ": " + finding.first);
  }
}

// Empty when the camera's principal point lies on its image at every size it
// serves, else the first size where it does not.
std::string checkCameraCentre(const std::string& name, const CameraParameters& camera) {
  const auto& full = camera.getFullFrame();
  std::string problem =
      checkPrincipalPoint(camera.getFullFrameIntrinsics(), full.width, full.height);
  for (const auto& entry : camera.getIntrinsicsTable()) {
    if (!problem.empty()) break;
    problem = checkPrincipalPoint(camera.getIntrinsics(entry.width, entry.height), entry.width,
                                  entry.height);
  }
  return problem.empty() ? "" : "camera \"" + name + "\": " + problem;
}

}  // namespace

std::string checkRotation(const Eigen::Matrix3f& R, float tolerance) {
  const float error = (R.transpose() * R - Eigen::Matrix3f::Identity()).cwiseAbs().maxCoeff();
  if (!(error <= tolerance)) {
    return "is not a rotation: R^T R departs from the identity by " + formatNumber(error);
  }
  if (R.determinant() < 0.0f) return "is a reflection, not a rotation (det R = -1)";
  return "";
}

Verdict checkRobotCalibration(const InputFile& input, const ParsedCalibration& parsed) {
  const auto& calibration =
      static_cast<const dravik::calibration::RobotCalibration&>(*parsed.message);
  Verdict verdict;
  verdict.what = "robot calibration (" + encodingName(parsed.encoding) + ", " +
                 countOf(calibration.camera_size(), "camera") + ")";
  dravik::calibration::CameraParametersSet set;
  const LoadResult load = loadRobotCalibration(input.data, &set);
  verdict.loaded = load.loaded && calibration.camera_size() > 0;
  verdict.reason = load.loaded ? "it holds no camera" : load.reason;
  if (!verdict.loaded) return verdict;

  std::map<std::string, int> occurrences;
  for (const auto& camera : calibration.camera()) ++occurrences[camera.name()];
  for (const auto& name : cameraNamesOf(calibration)) {
    if (occurrences[name] > 1) {
      verdict.warnings.push_back(std::to_string(occurrences[name]) + " cameras are named \"" +
                                 name + "\": only the last one is used");
    }
    const auto camera = set.getCamera(name);
    // The library takes such a camera, but no lens has one: refused as a
    // fitted calibration is.
    const std::string centre = checkCameraCentre(name, *camera);
    if (!centre.empty() && verdict.loaded) {
      verdict.loaded = false;
      verdict.reason = centre;
    }
    const std::string rotation = checkRotation(camera->getRotation());
    if (!rotation.empty()) {
      verdict.warnings.push_back("camera \"" + name + "\": the rotation of its pose " + rotation);
    }
    checkCameraLens(name, *camera, &verdict.warnings);
  }
  return verdict;
}

Verdict checkBaseCalibration(const InputFile& input, const ParsedCalibration& parsed) {
  Verdict verdict;
  verdict.what = "base calibration (" + encodingName(parsed.encoding) + ")";
  dravik::calibration::BaseCalibrationData base;
  const LoadResult load = loadBaseCalibration(input.data, &base);
  verdict.loaded = load.loaded;
  verdict.reason = load.reason;
  if (!verdict.loaded) return verdict;
  const std::string rotation = checkRotation(base.getWorldRotation());
  if (!rotation.empty()) {
    verdict.warnings.push_back("the rotation of the global transform " + rotation);
  }
  return verdict;
}

}  // namespace camcal

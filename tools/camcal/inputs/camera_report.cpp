#include "inputs/camera_report.h"

#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/text_table.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using Intrinsics = dravik::calibration::CameraParameters::Intrinsics;

const char* const kCoefficientNames[] = {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"};

std::vector<std::string> intrinsicsRow(const Intrinsics& entry, const std::string& remark) {
  return {formatImageSize(entry.width, entry.height),
          formatNumber(entry.fx),
          formatNumber(entry.fy),
          formatNumber(entry.skew),
          formatNumber(entry.cx),
          formatNumber(entry.cy),
          remark};
}

}  // namespace

std::string formatDistortion(const std::vector<float>& distortion) {
  std::string text;
  for (size_t i = 0; i < distortion.size(); ++i) {
    if (i) text += "  ";
    text += (i < 8 ? kCoefficientNames[i] : "k?") + std::string(" ") + formatNumber(distortion[i]);
  }
  return text;
}

std::string formatMatrix(const Eigen::MatrixXf& matrix) {
  std::string text = "[";
  for (int r = 0; r < matrix.rows(); ++r) {
    if (r) text += "; ";
    for (int c = 0; c < matrix.cols(); ++c) {
      if (c) text += " ";
      text += formatNumber(matrix(r, c));
    }
  }
  return text + "]";
}

std::string formatVector(const Eigen::VectorXf& vector) {
  std::string text;
  for (int i = 0; i < vector.size(); ++i) text += (i ? " " : "") + formatNumber(vector(i));
  return text;
}

std::string describeCameraRecord(const std::string& name,
                                 const dravik::calibration::CameraParameters& camera) {
  std::string out = name + "\n";
  out += "  model       " + describeModel(camera.getModel()) + "\n";

  // The pose as [R | t]: x_camera = R x_robot + t.
  out += "  pose        robot to camera, [R | t], t in metres\n";
  TextTable pose;
  const Eigen::Matrix3f& R = camera.getRotation();
  const Eigen::Vector3f& t = camera.getTranslation();
  for (int r = 0; r < 3; ++r) {
    pose.addRow({"", formatNumber(R(r, 0)), formatNumber(R(r, 1)), formatNumber(R(r, 2)), "|",
                 formatNumber(t(r))});
  }
  out += pose.render("           ");
  out += "  centre      " + formatVector(camera.getTransform().getCameraCenter()) +
         " (metres, robot frame)\n";

  const Intrinsics& full = camera.getFullFrame();
  out += "  distortion  " + formatDistortion(full.distortion) + "\n";
  TextTable sizes;
  sizes.addRow({"size", "fx", "fy", "skew", "cx", "cy", ""});
  sizes.addRow(intrinsicsRow(full, "full frame"));
  std::vector<std::string> own_distortion;
  for (const Intrinsics& entry : camera.getIntrinsicsTable()) {
    const bool differs = entry.distortion != full.distortion;
    sizes.addRow(intrinsicsRow(entry, differs ? "own distortion, below" : ""));
    if (differs) {
      own_distortion.push_back(formatImageSize(entry.width, entry.height) + ": " +
                               formatDistortion(entry.distortion));
    }
  }
  out += "  intrinsics in pixels of each image size the camera serves:\n";
  sizes.setAlignment("lrrrrrl");
  out += sizes.render("    ");
  for (const auto& line : own_distortion) out += "    distortion at " + line + "\n";
  return out;
}

}  // namespace camcal

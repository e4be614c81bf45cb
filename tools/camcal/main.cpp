// camcal: inspect the robot's camera calibration.
//
//   camcal cameras [FILE]   every camera of FILE, or of the embedded default
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "calibration_common/camera_parameters.h"
#include "dravik/file.h"
#include "dravik/logging.h"

namespace {

using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;

void printMatrix(std::ostream& out, const Eigen::MatrixXf& m, const char* indent) {
  for (int r = 0; r < m.rows(); ++r) {
    out << indent;
    for (int c = 0; c < m.cols(); ++c) out << std::setw(12) << m(r, c) << (c + 1 < m.cols() ? " " : "");
    out << "\n";
  }
}

void printDistortion(std::ostream& out, const std::vector<float>& d) {
  static const char* kNames[] = {"k1", "k2", "p1", "p2", "k3", "k4", "k5", "k6"};
  for (size_t i = 0; i < d.size(); ++i) {
    out << (i ? "  " : "") << (i < 8 ? kNames[i] : "?") << "=" << d[i];
  }
}

void printCamera(std::ostream& out, const std::string& name, const CameraParameters& camera) {
  const auto& full = camera.getFullFrame();
  out << "camera " << name << "\n";
  out << "  model: " << (camera.getModel().empty() ? "(generic)" : camera.getModel()) << "\n";
  out << "  pose (robot to camera, translation in metres):\n";
  printMatrix(out, camera.getTransform().getTransform().topRows(3), "    ");
  const Eigen::Vector3f centre = camera.getTransform().getCameraCenter();
  out << "  centre in robot frame (m): " << centre.x() << " " << centre.y() << " " << centre.z()
      << "\n";
  out << "  full frame " << full.width << "x" << full.height << ":\n";
  printMatrix(out, camera.getFullFrameIntrinsics(), "    ");
  out << "    distortion: ";
  printDistortion(out, camera.getFullFrameDistortion());
  out << "\n";
  for (const auto& entry : camera.getIntrinsicsTable()) {
    out << "  " << entry.width << "x" << entry.height << ":\n";
    printMatrix(out, camera.getIntrinsics(entry.width, entry.height), "    ");
    out << "    distortion: ";
    printDistortion(out, entry.distortion);
    out << "\n";
  }
}

int usage(const char* message) {
  if (message) std::cerr << "camcal: " << message << "\n";
  std::cerr << "usage: camcal cameras [FILE]\n";
  return 2;
}

int camerasCommand(int argc, char** argv) {
  if (argc > 1) return usage("cameras takes at most one FILE");
  CameraParametersSet set;
  if (argc == 1) {
    const std::string path = argv[0];
    std::string text;
    if (!dravik::File::readFileToString(path, &text)) {
      std::cerr << "camcal: cannot read " << path << "\n";
      return 1;
    }
    dravik::setLogLevel(0);
    CameraParametersSet loaded;
    if (!loaded.loadFromString(text)) {
      std::cerr << "camcal: " << path << " is not a valid robot calibration\n";
      return 1;
    }
    set = loaded;
  }
  std::ostringstream out;
  out << std::setprecision(7);
  for (const auto& name : set.getCameraNames()) printCamera(out, name, *set.getCamera(name));
  std::cout << out.str();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(nullptr);
  const std::string command = argv[1];
  if (command == "cameras") return camerasCommand(argc - 2, argv + 2);
  return usage(("unknown command '" + command + "'").c_str());
}

// Uses the installed library: loads the embedded default calibration and a
// calibration of its own, and checks that every library of the package was
// loaded from the installed prefix (argv[1]).
#include <link.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "calibration_common/camera_parameters.h"
#include "calibration_messages/calibration.pb.h"
#include "dravik/camera_transform.h"
#include "dravik/file.h"
#include "dravik/geometry.h"
#include "dravik/logging.h"

#ifndef EIGEN_DEFAULT_TO_ROW_MAJOR
#error "the package must give its consumers EIGEN_DEFAULT_TO_ROW_MAJOR"
#endif
static_assert(Eigen::Matrix3f::IsRowMajor, "matrices of the package are row-major");

namespace {

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "consumer: %s\n", what.c_str());
    ++failures;
  }
}

const char* const kPackageLibraries[] = {
    "libcamera_parameters.so", "libdravik_common.so", "libcalibration_messages.so",
    "libembedded_calibration_files.so", "libcalibration_utils.so"};

// Collects the path of every shared object the process has loaded.
int collectLibrary(dl_phdr_info* info, size_t, void* data) {
  auto* found = static_cast<std::set<std::string>*>(data);
  if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') found->insert(info->dlpi_name);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s INSTALL_PREFIX\n", argv[0]);
    return 2;
  }
  const std::string prefix = argv[1];

  dravik::calibration::CameraParametersSet set;
  const auto names = set.getCameraNames();
  expect(!names.empty(), "the embedded default holds no camera");
  for (const std::string& name : names) {
    const auto camera = set.getCamera(name);
    expect(camera != nullptr, "no record for " + name);
    if (!camera) continue;
    const Eigen::Matrix3f K = camera->getFullFrameIntrinsics();
    expect(std::isfinite(K(0, 0)) && K(0, 0) > 0 && K(2, 2) == 1.0f, "bad K for " + name);
    expect(camera->getFullFrameDistortion().size() == 8, "distortion of " + name);
  }

  const std::string probe =
      "camera { name: \"probe\" model: \"kv007n\" intrinsics { fx: 1000 fy: 1000 cx: 640 "
      "cy: 480 k: [0, 0, 0, 0, 0, 0] p: [0, 0] width: 1280 height: 960 } "
      "extrinsics { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1000] } }";
  dravik::setLogLevel(2);
  expect(set.loadFromString(probe), "the probe calibration does not load");
  const auto camera = set.getCamera("probe");
  expect(camera && camera->getIntrinsics(640, 480)(0, 0) == 500.0f, "probe K at 640 x 480");
  if (camera) {
    const Eigen::Vector2f pixel = dravik::project3dToCamera(
        camera->getTransform(), camera->getDistortion(1280, 960), camera->getIntrinsics(1280, 960),
        Eigen::Vector3f(0.0f, 0.0f, 1.0f));
    expect(pixel.isApprox(Eigen::Vector2f(640.0f, 480.0f)), "probe projection of the axis");
  }

  // Each library of the package that is loaded comes from the prefix; the
  // embedded default could only have been found if its module was loaded.
  std::set<std::string> loaded;
  dl_iterate_phdr(collectLibrary, &loaded);
  for (const char* library : kPackageLibraries) {
    bool seen = false;
    for (const std::string& path : loaded) {
      if (path.find(std::string("/") + library) == std::string::npos) continue;
      seen = true;
      expect(path.compare(0, prefix.size(), prefix) == 0,
             std::string(library) + " loaded from outside the prefix: " + path);
    }
    const bool required = std::strcmp(library, "libcalibration_utils.so") != 0;
    expect(seen || !required, std::string(library) + " was not loaded");
  }

  if (failures == 0) std::printf("consumer: %zu cameras, installed package works\n", names.size());
  return failures == 0 ? 0 : 1;
}

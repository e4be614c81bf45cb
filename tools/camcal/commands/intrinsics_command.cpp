// camcal intrinsics [--calibration FILE] CAMERA WIDTHxHEIGHT [--format F]:
// K and the eight distortion coefficients of one camera at one image size.
#include <memory>

#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/camera_lookup.h"
#include "inputs/intrinsics_formats.h"

namespace camcal {

namespace {

struct IntrinsicsOptions {
  std::string calibration;
  std::string camera;
  std::string size;
  std::string format = "text";
  std::string output;
};

int runIntrinsics(const IntrinsicsOptions& options) {
  const CameraAtSize found =
      findCameraAtSize(options.calibration, options.camera, parseImageSize(options.size));
  writeOutput(options.output, formatIntrinsics(found.intrinsics, options.format));
  return kExitSuccess;
}

}  // namespace

void addIntrinsicsCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<IntrinsicsOptions>();
  CLI::App* command = app.add_subcommand(
      "intrinsics",
      "K and distortion (k1 k2 p1 p2 k3 k4 k5 k6) of one camera at one image size, as text, "
      "JSON, OpenCV YAML or ROS camera_info YAML");
  addCalibrationOption(command, &options->calibration);
  command->add_option("CAMERA", options->camera, "Camera name, e.g. navigation")->required();
  command->add_option("SIZE", options->size, "Image size WIDTHxHEIGHT, e.g. 640x480")->required();
  addFormatOption(command, &options->format, intrinsicsFormatNames());
  addOutputOption(command, &options->output);
  commands->push_back({command, [options] { return runIntrinsics(*options); }});
}

}  // namespace camcal

// camcal intrinsics [--calibration FILE] CAMERA WIDTHxHEIGHT [--format F]:
// K and the eight distortion coefficients of one camera at one image size.
#include <algorithm>
#include <memory>

#include "calibration_common/camera_parameters.h"
#include "command_error.h"
#include "commands.h"
#include "diagnostics.h"
#include "intrinsics_formats.h"
#include "library_load.h"
#include "output_file.h"

namespace camcal {

namespace {

struct IntrinsicsOptions {
  std::string calibration;
  std::string camera;
  std::string size;
  std::string format = "text";
  std::string output;
};

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "none" : text;
}

int runIntrinsics(const IntrinsicsOptions& options) {
  const ImageSize size = parseImageSize(options.size);
  dravik::calibration::CameraParametersSet set;
  std::string source = "the embedded default calibration";
  std::vector<std::string> names = set.getCameraNames();
  if (!options.calibration.empty()) {
    const InputFile input = readInput(options.calibration);
    requireRobotCalibration(input, &set);
    source = input.path;
    names = cameraNamesOf(set.getRawCalData());
  }
  // Only the cameras of the file count: the set also keeps the default's.
  const auto camera = std::find(names.begin(), names.end(), options.camera) != names.end()
                          ? set.getCamera(options.camera)
                          : nullptr;
  if (!camera) {
    throw operationError("unknown camera '" + options.camera + "' in " + source +
                         " (cameras: " + joinNames(names) + ")");
  }

  IntrinsicsAtSize intrinsics;
  intrinsics.camera = options.camera;
  intrinsics.model = camera->getModel();
  intrinsics.width = size.width;
  intrinsics.height = size.height;
  intrinsics.from_table = camera->hasIntrinsics(size.width, size.height);
  intrinsics.K = camera->getIntrinsics(size.width, size.height);
  intrinsics.distortion = camera->getDistortion(size.width, size.height);
  if (!intrinsics.from_table) {
    const auto& full = camera->getFullFrame();
    note(options.size + " is not an image size of camera '" + options.camera +
         "' (its model's table); K is its full frame " + std::to_string(full.width) + "x" +
         std::to_string(full.height) + " scaled to " + options.size);
  }
  writeOutput(options.output, formatIntrinsics(intrinsics, options.format));
  return kExitSuccess;
}

}  // namespace

void addIntrinsicsCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<IntrinsicsOptions>();
  CLI::App* command = app.add_subcommand(
      "intrinsics",
      "K and distortion (k1 k2 p1 p2 k3 k4 k5 k6) of one camera at one image size, as text, "
      "JSON, OpenCV YAML or ROS camera_info YAML");
  command->add_option("-c,--calibration", options->calibration,
                      "Robot calibration file; the embedded default when omitted");
  command->add_option("CAMERA", options->camera, "Camera name, e.g. navigation")->required();
  command->add_option("SIZE", options->size, "Image size WIDTHxHEIGHT, e.g. 640x480")->required();
  command->add_option("-f,--format", options->format, "Output format")
      ->check(CLI::IsMember(intrinsicsFormatNames()))
      ->capture_default_str();
  command->add_option("-o,--output", options->output,
                      "Write to this file instead of standard output");
  commands->push_back({command, [options] { return runIntrinsics(*options); }});
}

}  // namespace camcal

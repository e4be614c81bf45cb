// camcal cameras [FILE]: every camera of a robot calibration, or of the
// embedded default.
#include <memory>

#include "calibration_common/camera_parameters.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/output_file.h"
#include "inputs/camera_report.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

struct CamerasOptions {
  std::string file;
};

int runCameras(const CamerasOptions& options) {
  dravik::calibration::CameraParametersSet set;
  std::vector<std::string> names = set.getCameraNames();
  if (!options.file.empty()) {
    requireRobotCalibration(readInput(options.file), &set);
    names = cameraNamesOf(set.getRawCalData());
  }
  std::string out;
  for (const auto& name : names) {
    if (!out.empty()) out += "\n";
    out += describeCameraRecord(name, *set.getCamera(name));
  }
  if (names.empty()) out = "(no cameras)\n";
  writeOutput("", out);
  return kExitSuccess;
}

}  // namespace

void addCamerasCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<CamerasOptions>();
  CLI::App* command = app.add_subcommand(
      "cameras",
      "Show every camera of a robot calibration: model, pose, K and distortion at each image "
      "size");
  command->add_option("FILE", options->file,
                      "Robot calibration, protobuf text or wire format ('-' reads standard "
                      "input); the embedded default when omitted");
  commands->push_back({command, [options] { return runCameras(*options); }});
}

}  // namespace camcal

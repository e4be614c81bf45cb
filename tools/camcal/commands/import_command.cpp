// camcal import --from opencv-yaml|ros-yaml FILE --name NAME [--model ID]
//   [--into ROBOT_CAL] [--extrinsics 12 values | --keep-pose | --identity-pose]
//   [-o OUT]: a camera calibrated by another tool becomes a camera of a robot
// calibration. A camera replaced in --into keeps its pose unless another is
// asked for.
#include <memory>

#include "calibration_common/camera_models.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/diagnostics.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/calibration_input.h"
#include "inputs/library_load.h"
#include "inputs/yaml_import.h"

namespace camcal {

namespace {

using dravik::calibration::CameraCalibration;
using dravik::calibration::RobotCalibration;

struct ImportOptions {
  std::string from;
  std::string file;
  std::string name;
  std::string model;
  std::string into;
  std::vector<double> extrinsics;
  bool keep_pose = false;
  bool identity_pose = false;
  std::string output;
};

// The camera message: the YAML's image size as the full frame, K, and the
// coefficients as the message stores them (k: k1..k6, p: p1, p2).
void fillIntrinsics(const ImportedIntrinsics& in, CameraCalibration* camera) {
  auto* intrinsics = camera->mutable_intrinsics();
  intrinsics->set_fx(in.K(0, 0));
  intrinsics->set_fy(in.K(1, 1));
  intrinsics->set_skew(in.K(0, 1));
  intrinsics->set_cx(in.K(0, 2));
  intrinsics->set_cy(in.K(1, 2));
  const std::vector<double>& d = in.distortion;  // k1 k2 p1 p2 k3 k4 k5 k6
  dravik::setLensCoefficients(d, intrinsics);
  intrinsics->set_width(in.width);
  intrinsics->set_height(in.height);
}

int runImport(const ImportOptions& options) {
  if (options.keep_pose && options.into.empty()) {
    throw usageError(
        "import: --keep-pose needs --into ROBOT_CAL, the calibration whose pose to keep");
  }
  const InputFile yaml = readInput(options.file);
  const ImportedIntrinsics imported = readIntrinsicsYaml(yaml, yamlFormatFromFlag(options.from));

  RobotCalibration calibration;
  Encoding encoding = Encoding::kText;
  std::string into_path;
  if (!options.into.empty()) {
    const InputFile into = readInput(options.into);
    dravik::calibration::CameraParametersSet check;
    requireRobotCalibration(into, &check);
    const ParsedCalibration parsed = parseExpected(into, CalibrationKind::kRobot);
    calibration = static_cast<const RobotCalibration&>(*parsed.message);
    encoding = parsed.encoding;
    into_path = into.path;
  }
  CameraCalibration* camera = nullptr;
  for (auto& existing : *calibration.mutable_camera()) {
    if (existing.name() == options.name) camera = &existing;
  }
  if (options.keep_pose && !camera) {
    throw operationError(into_path + ": has no camera '" + options.name + "' whose pose to keep");
  }
  CameraCalibration replacement;
  replacement.set_name(options.name);
  // A camera without a model is a generic camera.
  const std::string model = !options.model.empty() ? options.model : camera ? camera->model() : "";
  if (!model.empty()) replacement.set_model(model);
  fillIntrinsics(imported, &replacement);
  // The pose: the one given, the identity when asked for or when there is
  // none to keep, else that of the camera replaced.
  const bool keeps_pose = camera && options.extrinsics.empty() && !options.identity_pose;
  if (keeps_pose) {
    *replacement.mutable_extrinsics() = camera->extrinsics();
  } else {
    std::vector<double> pose = options.extrinsics;
    if (pose.empty()) pose = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    for (double a : pose) replacement.mutable_extrinsics()->add_a(a);
  }
  if (camera) {
    *camera = replacement;
  } else {
    *calibration.add_camera() = replacement;
  }

  // Only what the library loads as it stands is written.
  const std::string content = encodeMessage(calibration, encoding);
  dravik::calibration::CameraParametersSet set;
  const LoadResult result = loadRobotCalibration(content, &set);
  if (!result.loaded) {
    throw operationError(yaml.path + ": the imported camera '" + options.name +
                         "' does not load: " + result.reason);
  }
  if (encoding == Encoding::kWire) refuseBinaryOnTerminal(options.output);
  writeOutput(options.output, content);
  if (!keeps_pose && options.extrinsics.empty() && !options.identity_pose) {
    note("no pose given (--extrinsics): the new camera '" + options.name +
         "' has the identity pose");
  }
  return kExitSuccess;
}

}  // namespace

void addImportCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<ImportOptions>();
  CLI::App* command = app.add_subcommand(
      "import",
      "A camera calibrated by another tool (OpenCV FileStorage YAML or ROS camera_info YAML) "
      "as a camera of a robot calibration: new, or replacing the camera of that name in --into");
  command->add_option("--from", options->from, "Format of FILE")
      ->check(CLI::IsMember(yamlFormatFlags()))
      ->required();
  command->add_option("FILE", options->file, "The YAML file; '-' reads standard input")->required();
  command->add_option("-n,--name", options->name, "Name of the camera in the robot calibration")
      ->required();
  std::string models;
  for (const std::string& model : dravik::calibration::cameraModelIdentifiers()) {
    models += model + ", ";
  }
  command->add_option("-m,--model", options->model,
                      "Camera model identifier (" + models +
                          "or any other text for a generic camera); by default that of the "
                          "camera replaced, else generic");
  command->add_option("--into", options->into,
                      "Robot calibration to add the camera to (or whose camera of that name to "
                      "replace); its encoding is kept");
  auto* extrinsics =
      command
          ->add_option("--extrinsics", options->extrinsics,
                       "The pose: the 12 values of the rows of [R t], robot to camera, t in mm")
          ->expected(12);
  auto* keep_pose =
      command
          ->add_flag("--keep-pose", options->keep_pose,
                     "Keep the pose of the camera replaced in --into (what replacing does by "
                     "default); an error when --into has no camera of that name")
          ->excludes(extrinsics);
  command
      ->add_flag("--identity-pose", options->identity_pose,
                 "Give the camera the identity pose, also when it replaces one")
      ->excludes(extrinsics)
      ->excludes(keep_pose);
  addOutputOption(command, &options->output);
  commands->push_back({command, [options] { return runImport(*options); }});
}

}  // namespace camcal

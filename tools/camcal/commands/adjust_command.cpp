// camcal adjust CALIBRATION BASE [-o OUT]: the robot calibration with every
// camera pose composed with the base calibration's global transform.
#include <memory>

#include "analysis/calibration_checks.h"
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "inputs/calibration_input.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::BaseCalibrationData;

struct AdjustOptions {
  std::string calibration;
  std::string base;
  std::string output;
  std::string to;
  OutputRules rules;
};

int runAdjust(const AdjustOptions& options) {
  const InputFile calibration_input = readInput(options.calibration);
  const InputFile base_input = readInput(options.base);
  const Encoding encoding = options.to.empty()
                                ? parseExpected(calibration_input, CalibrationKind::kRobot).encoding
                                : encodingFromFlag(options.to);
  if (encoding == Encoding::kWire) refuseBinaryOnTerminal(options.output);
  dravik::calibration::CameraParametersSet set;
  requireRobotCalibration(calibration_input, &set);
  BaseCalibrationData base;
  requireBaseCalibration(base_input, &base);
  // A global transform that is not a rotation would scale or mirror every
  // camera pose.
  const std::string rotation = checkRotation(base.getWorldRotation(), kAppliedRotationTolerance);
  if (!rotation.empty()) {
    throw operationError(base_input.path + ": the rotation of the global transform " + rotation);
  }
  set.adjustUsingBaseCalibration(base);
  writeOutput(options.output, encodeForOutput(calibration_input.path, CalibrationKind::kRobot,
                                              set.getRawCalData(), encoding, options.rules));
  return kExitSuccess;
}

}  // namespace

void addAdjustCommand(CLI::App& app, Subcommands* commands) {
  auto adjust_options = std::make_shared<AdjustOptions>();
  CLI::App* adjust = app.add_subcommand(
      "adjust",
      "Write a robot calibration with every camera pose P composed with a base calibration's "
      "global transform G, as P G");
  adjust->add_option("CALIBRATION", adjust_options->calibration, "Robot calibration")->required();
  adjust->add_option("BASE", adjust_options->base, "Base calibration")->required();
  addOutputOption(adjust, &adjust_options->output);
  adjust
      ->add_option("--to", adjust_options->to, "Output encoding; that of CALIBRATION when omitted")
      ->check(CLI::IsMember(encodingFlags()));
  addOutputRuleFlags(adjust, &adjust_options->rules.allow_empty,
                     &adjust_options->rules.drop_unknown);
  commands->push_back({adjust, [adjust_options] { return runAdjust(*adjust_options); }});
}

}  // namespace camcal

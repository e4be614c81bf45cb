// camcal base [FILE]: a base calibration, or the embedded default.
// camcal adjust CALIBRATION BASE [-o OUT]: the robot calibration with every
// camera pose composed with the base calibration's global transform.
#include <memory>

#include "analysis/calibration_checks.h"
#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/number_format.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/text_table.h"
#include "inputs/calibration_input.h"
#include "inputs/camera_report.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::BaseCalibrationData;

struct BaseOptions {
  std::string file;
};

struct AdjustOptions {
  std::string calibration;
  std::string base;
  std::string output;
  std::string to;
  OutputRules rules;
};

std::string validityText(const std::string& text) {
  return text.empty() ? "" : " (validity \"" + text + "\")";
}

std::string describeBase(const BaseCalibrationData& base) {
  const auto& cal = base.cal();
  std::string out;
  out += "base length       " + formatNumber(base.getBaseLength()) + "\n";
  out += "base width        " + formatNumber(base.getBaseWidth()) + "\n";
  out += "wheel base        " + formatNumber(base.getWheelBase()) + "\n";
  out += "gyroscope gain    ";
  if (cal.has_gyroscope_cal()) {
    out += formatNumber(base.getGyroscopeGain()) +
           validityText(cal.gyroscope_cal().metadata().gain_validity_text()) + "\n";
  } else {
    out += "(not calibrated)\n";
  }
  // Composed with every camera pose P as P G.
  out += "global transform  [R | t], t in metres" +
         validityText(cal.global_transform().metadata().validity_text()) + "\n";
  TextTable transform;
  const Eigen::Matrix3f R = base.getWorldRotation();
  const Eigen::Vector3f t = base.getWorldTranslation();
  for (int r = 0; r < 3; ++r) {
    transform.addRow({formatNumber(R(r, 0)), formatNumber(R(r, 1)), formatNumber(R(r, 2)), "|",
                      formatNumber(t(r))});
  }
  transform.setAlignment("");
  return out + transform.render("                  ");
}

int runBase(const BaseOptions& options) {
  BaseCalibrationData base;
  if (!options.file.empty()) requireBaseCalibration(readInput(options.file), &base);
  writeOutput("", describeBase(base));
  return kExitSuccess;
}

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

void addBaseCommands(CLI::App& app, Subcommands* commands) {
  auto base_options = std::make_shared<BaseOptions>();
  CLI::App* base = app.add_subcommand(
      "base", "Show a base calibration: base geometry, gyroscope gain, global transform");
  base->add_option("FILE", base_options->file,
                   "Base calibration, protobuf text or wire format; the embedded default when "
                   "omitted");
  commands->push_back({base, [base_options] { return runBase(*base_options); }});

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
      ->check(CLI::IsMember({"text", "wire"}));
  adjust->add_flag("--allow-empty", adjust_options->rules.allow_empty,
                   "Write the robot calibration even when it holds no camera");
  adjust->add_flag("--drop-unknown", adjust_options->rules.drop_unknown,
                   "Leave out of text format the fields this version does not know");
  commands->push_back({adjust, [adjust_options] { return runAdjust(*adjust_options); }});
}

}  // namespace camcal

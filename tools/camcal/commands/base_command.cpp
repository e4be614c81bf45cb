// camcal base [FILE]: a base calibration, or the embedded default.
#include <memory>

#include "calibration_common/base_calibration_data.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/number_format.h"
#include "cli/output_file.h"
#include "cli/text_table.h"
#include "inputs/calibration_input.h"
#include "inputs/library_load.h"

namespace camcal {

namespace {

using dravik::calibration::BaseCalibrationData;

struct BaseOptions {
  std::string file;
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

}  // namespace

void addBaseCommand(CLI::App& app, Subcommands* commands) {
  auto base_options = std::make_shared<BaseOptions>();
  CLI::App* base = app.add_subcommand(
      "base", "Show a base calibration: base geometry, gyroscope gain, global transform");
  base->add_option("FILE", base_options->file,
                   "Base calibration, protobuf text or wire format; the embedded default when "
                   "omitted");
  commands->push_back({base, [base_options] { return runBase(*base_options); }});
}

}  // namespace camcal

// camcal validate FILE...: does each calibration load without the library
// falling back to its default, and does it hold values that will mislead.
#include <memory>

#include "analysis/calibration_checks.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/output_file.h"

namespace camcal {

namespace {

struct ValidateOptions {
  std::vector<std::string> files;
  std::string kind;
  bool strict = false;
};

Verdict checkFile(const std::string& path, const std::string& kind_flag) {
  Verdict verdict;
  try {
    const InputFile input = readInput(path);
    const ParsedCalibration parsed = parseCalibration(input, kindFromFlag(kind_flag));
    switch (parsed.kind) {
      case CalibrationKind::kRobot:
        return checkRobotCalibration(input, parsed);
      case CalibrationKind::kBase:
        return checkBaseCalibration(input, parsed);
      case CalibrationKind::kPtz:
        return checkPtzCalibration(input, parsed);
    }
  } catch (const CommandError& e) {
    // "PATH: cannot read: ..." or "PATH: not a ... calibration ...".
    const std::string message = e.what();
    verdict.reason = message.rfind(path + ": ", 0) == 0 ? message.substr(path.size() + 2) : message;
  }
  return verdict;
}

int runValidate(const ValidateOptions& options) {
  bool all_valid = true;
  std::string report;
  for (const auto& path : options.files) {
    const Verdict verdict = checkFile(path, options.kind);
    const size_t warnings = verdict.warnings.size();
    const bool valid = verdict.loaded && !(options.strict && warnings > 0);
    all_valid = all_valid && valid;
    std::string line = path + ": ";
    if (!verdict.loaded) {
      line += "INVALID" + (verdict.what.empty() ? "" : " " + verdict.what) + ": " + verdict.reason;
    } else {
      line += "valid " + verdict.what;
      if (warnings > 0) {
        line += ", " + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
        if (options.strict) line += ": INVALID with --strict";
      }
    }
    report += line + "\n";
    for (const auto& warning : verdict.warnings) report += "  warning: " + warning + "\n";
  }
  writeOutput("", report);
  return all_valid ? kExitSuccess : kExitFailed;
}

}  // namespace

void addValidateCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<ValidateOptions>();
  CLI::App* command = app.add_subcommand(
      "validate",
      "Check that calibrations load without falling back to the default, and warn about "
      "unsound lenses and poses");
  command->footer(
      "Lens warnings: the radial mapping turns back, or its rational denominator nears zero, "
      "inside the image, at any image size a camera serves.\nExit status 0 only when every "
      "file is valid (and, with --strict, has no warning).");
  command->add_option("FILE", options->files, "Robot, base or PTZ calibrations")->required();
  addKindOption(command, &options->kind, kindFlags());
  command->add_flag("--strict", options->strict, "Count warnings as failures");
  commands->push_back({command, [options] { return runValidate(*options); }});
}

}  // namespace camcal

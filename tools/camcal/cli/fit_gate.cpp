#include "fit_gate.h"

#include "command_error.h"
#include "number_format.h"
#include "options.h"

namespace camcal {

void addFitGateOptions(CLI::App* command, FitGate* gate, const std::string& checks) {
  command
      ->add_option("--max-rms", gate->max_rms_px,
                   "Largest rms, pixels, of a calibration that is written")
      ->check(above(0))
      ->capture_default_str();
  command->add_flag("--force", gate->force,
                    "Write a calibration that fails a check (" + checks + "), with the warning");
}

std::string rmsAboveLimit(double rms_px, const FitGate& gate) {
  if (rms_px <= gate.max_rms_px) return "";
  return "the rms " + formatPrintf("%.3f", rms_px) + " px exceeds --max-rms " +
         formatPrintf("%g", gate.max_rms_px) + " px";
}

std::string applyRmsGate(const std::string& command, double rms_px, const FitGate& gate) {
  const std::string reason = rmsAboveLimit(rms_px, gate);
  if (reason.empty()) return "";
  if (!gate.force) {
    throw operationError(command + ": the calibration is refused: " + reason +
                         " (--force writes it anyway)");
  }
  return "written with --force although " + reason;
}

}  // namespace camcal

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

std::vector<std::string> fitGateReasons(const FitSummary& fit, const FitGate& gate) {
  std::vector<std::string> reasons;
  if (!(fit.rms_px <= gate.max_rms_px)) {
    reasons.push_back("the rms " + formatPrintf("%.3f", fit.rms_px) + " px exceeds --max-rms " +
                      formatPrintf("%g", gate.max_rms_px) + " px");
  }
  if (!fit.converged) {
    reasons.push_back("the fit stopped before converging after " + std::to_string(fit.iterations) +
                      " iterations");
  }
  return reasons;
}

std::string applyFitGate(const std::string& command, const FitSummary& fit, const FitGate& gate) {
  std::string reason;
  for (const std::string& part : fitGateReasons(fit, gate)) {
    reason += (reason.empty() ? "" : "; ") + part;
  }
  if (reason.empty()) return "";
  if (!gate.force) {
    throw operationError(command + ": the calibration is refused: " + reason +
                         " (--force writes it anyway)");
  }
  return "written with --force although " + reason;
}

}  // namespace camcal

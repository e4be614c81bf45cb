// The gate of the commands that fit and write a calibration (calibrate,
// rig, ptz-head): a fit whose rms exceeds --max-rms, or that stopped before
// converging, is not written unless --force is given, and then with a
// warning.
#pragma once
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace camcal {

// The largest rms, pixels, of a fit that is written without --force.
constexpr double kDefaultMaxRmsPx = 1.0;

struct FitGate {
  double max_rms_px = kDefaultMaxRmsPx;
  bool force = false;
};

// What the gate judges of a fit: its rms, and whether its solver converged
// within its budget, after how many iterations.
struct FitSummary {
  double rms_px = 0.0;
  bool converged = true;
  int iterations = 0;
};

// "--max-rms PX" and "--force"; `checks` names what --force overrides.
void addFitGateOptions(CLI::App* command, FitGate* gate, const std::string& checks);

// The reasons to refuse the fit, none when it passes: its rms above
// --max-rms, its fit stopped before converging.
std::vector<std::string> fitGateReasons(const FitSummary& fit, const FitGate& gate);

// Throws the refusal (exit status 1, "COMMAND: the calibration is refused:
// REASON (--force writes it anyway)", the reasons joined by "; ") unless
// --force; with --force returns the warning to give once the outputs are
// written. "" when it passes.
std::string applyFitGate(const std::string& command, const FitSummary& fit, const FitGate& gate);

}  // namespace camcal

// The rms gate of the commands that fit and write a calibration (calibrate,
// rig, ptz-head): a fit whose rms exceeds --max-rms is not written unless
// --force is given, and then with a warning.
#pragma once
#include <CLI/CLI.hpp>
#include <string>

namespace camcal {

// The largest rms, pixels, of a fit that is written without --force.
constexpr double kDefaultMaxRmsPx = 1.0;

struct FitGate {
  double max_rms_px = kDefaultMaxRmsPx;
  bool force = false;
};

// "--max-rms PX" and "--force"; `checks` names what --force overrides.
void addFitGateOptions(CLI::App* command, FitGate* gate, const std::string& checks);

// The reason to refuse a fit of that rms, or "" when it passes.
std::string rmsAboveLimit(double rms_px, const FitGate& gate);

// Throws the refusal (exit status 1, "COMMAND: the calibration is refused:
// REASON (--force writes it anyway)") unless --force; with --force returns
// the warning to give once the outputs are written. "" when it passes.
std::string applyRmsGate(const std::string& command, double rms_px, const FitGate& gate);

}  // namespace camcal

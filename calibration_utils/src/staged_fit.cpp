#define DRAVIK_LOG_FILE "calibration_utils/staged_fit"

#include "staged_fit.h"

#include <functional>
#include <string>

#include "calibration_utils/view_coverage.h"
#include "dravik/logging.h"
#include "levenberg_marquardt.h"
#include "planar_views.h"

namespace dravik {
namespace calibration {

namespace {

constexpr const char* kTag = kFitTag;
// A sound lens whose rms exceeds the unconstrained fit's by more than this
// is reported as a compromise the views forced.
constexpr double kSoundCompromisePixels = 0.5;
// A refinement's first damping.
constexpr double kRefineDamping = 1e-8;
// The refinement's budget per stage. One that runs out of it has met a
// stretch of the rational lens's valley that the first pass did not settle,
// and every view is then fitted from the closed-form start instead.
constexpr int kRefineEvaluationsPerStage = 60;

// The parts of the image (a 3 x 3 grid of it) that hold none of the points.
std::string uncoveredParts(const std::vector<View>& views, int width, int height) {
  std::vector<std::vector<Eigen::Vector2d>> points;
  for (const View& view : views) points.push_back(view.image);
  const std::vector<std::uint8_t> covered = coveredCells(points, width, height, 3, 3);
  static const char* const kNames[9] = {"top left",    "top",    "top right",
                                        "left",        "centre", "right",
                                        "bottom left", "bottom", "bottom right"};
  std::string parts;
  for (int cell = 0; cell < 9; ++cell) {
    if (covered[static_cast<size_t>(cell)]) continue;
    parts += (parts.empty() ? "" : ", ");
    parts += kNames[cell];
  }
  return parts.empty() ? "none of the image's ninths" : parts;
}

}  // namespace

FitOutcome fitStages(const std::vector<View>& views, int width, int height,
                     const CameraFitOptions& options, const CameraState& start, bool refine,
                     const StageOptions& stages) {
  FitOutcome outcome;
  size_t points = 0;
  for (const View& view : views) points += view.image.size();
  SolverOptions solver;
  solver.max_evaluations = kMaxEvaluationsPerStage;
  solver.absolute_cost_tolerance = kCostFloorPerPoint * static_cast<double>(points);
  const auto run = [&](ReprojectionProblem* problem, bool every_term) {
    solver.freedom = freedomOf(options, every_term);
    const SolverSummary summary = minimize(problem, solver);
    outcome.iterations += summary.accepted_steps;
    outcome.converged = outcome.converged && summary.converged;
  };
  const auto sound = [&](const CameraState& state) {
    return lensIsSoundOverImage(state.intrinsics, width, height);
  };
  // Numbered over the whole fit by calibrateCamera's wrapper.
  const std::function<void(double)> progress = [&](double data_cost) {
    options.progress(0, rmsOf(data_cost, points));
  };
  const std::function<void(double)>* reported = options.progress ? &progress : nullptr;

  ReprojectionProblem problem(views, width, height, start, kViewsPenaltyWeight);
  problem.setProgress(reported);
  problem.setPenalties(false);
  if (refine) {
    solver.initial_damping = kRefineDamping;
    solver.max_evaluations = kRefineEvaluationsPerStage;
  } else {
    run(&problem, false);
  }
  const CameraState simplest = problem.state();
  solver.relative_cost_tolerance = stages.relative_decrease;
  if (stages.unconstrained_stage) run(&problem, true);
  const double unconstrained_rms = rmsOf(problem.dataCost(problem.state()), points);
  problem.setPenalties(true);
  // A refinement that ends sound and clear of the margins is where the
  // penalised stage would start and stay.
  if (!refine || !problem.paysNoPenalty() || !sound(problem.state())) run(&problem, true);
  outcome.state = problem.state();
  const auto constrainedFrom = [&](const CameraState& restart) {
    ReprojectionProblem constrained(views, width, height, restart, kViewsPenaltyWeight);
    constrained.setProgress(reported);
    constrained.setPenalties(true);
    run(&constrained, true);
    return constrained.state();
  };
  if (!sound(outcome.state)) {
    CameraState restart = simplest;
    if (!sound(restart)) restart.intrinsics.segment<8>(kLens).setZero();
    outcome.state = constrainedFrom(restart);
  } else if (stages.unconstrained_stage &&
             rmsOf(problem.dataCost(outcome.state), points) >
                 (1.0 + kSoundCheckFraction) * unconstrained_rms &&
             sound(simplest)) {
    // The unconstrained fit strayed into a valley of the rational terms
    // where no sound lens fits as well; the descent from the simplest lens,
    // sound all the way, may reach a sound lens as good as the unconstrained.
    // (Without the unconstrained stage that descent is the one just made.)
    const CameraState from_simplest = constrainedFrom(simplest);
    if (sound(from_simplest) && problem.dataCost(from_simplest) < problem.dataCost(outcome.state)) {
      outcome.state = from_simplest;
    }
  }
  const double rms = rmsOf(problem.dataCost(outcome.state), points);
  outcome.rms = rms;
  outcome.unconstrained_rms = unconstrained_rms;
  outcome.sound = sound(outcome.state);
  if (rms > unconstrained_rms + kSoundCompromisePixels) {
    DRAVIK_LOG(3, kTag) << "No sound lens fits the views within " << kSoundCompromisePixels
                        << " px of the unconstrained fit (rms " << rms << " px vs. "
                        << unconstrained_rms << " px): the views leave uncovered: "
                        << uncoveredParts(views, width, height);
  }
  return outcome;
}

}  // namespace calibration
}  // namespace dravik

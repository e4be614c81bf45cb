#include "levenberg_marquardt.h"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>
#include <limits>

namespace dravik {
namespace calibration {

namespace {

constexpr double kInitialDamping = 1e-3;
// Damping beyond this means no step, however short, lowers the cost.
constexpr double kMaxDamping = 1e16;
// A scaled gradient below this (in the units of the residuals) is zero.
constexpr double kGradientTolerance = 1e-14;

// The normal equations restricted to the free parameters, with the columns of
// J scaled to unit norm: A_s = S A S, g_s = S g, S = diag(1 / sqrt(A_ii)).
// Fixed parameters, and free ones that the residuals do not see, get an
// identity row and a zero gradient, hence a zero step.
struct ScaledSystem {
  SolverMatrix A;
  SolverVector g;
  SolverVector scale;
};

ScaledSystem scaledSystem(const NormalEquations& normal,
                          const std::array<bool, kMaxSolverParameters>& free) {
  ScaledSystem s;
  for (int i = 0; i < kMaxSolverParameters; ++i) {
    const double diagonal = normal.A(i, i);
    s.scale(i) = free[i] && diagonal > 0.0 ? 1.0 / std::sqrt(diagonal) : 0.0;
  }
  s.A = s.scale.asDiagonal() * normal.A * s.scale.asDiagonal();
  s.g = s.scale.cwiseProduct(normal.g);
  for (int i = 0; i < kMaxSolverParameters; ++i) {
    if (s.scale(i) == 0.0) s.A(i, i) = 1.0;
  }
  return s;
}

}  // namespace

SolverSummary minimize(LeastSquaresProblem* problem, const SolverOptions& options) {
  SolverSummary summary;
  NormalEquations normal = problem->linearize();
  ++summary.evaluations;
  summary.cost = normal.cost;
  ScaledSystem system = scaledSystem(normal, options.free);

  double lambda = kInitialDamping;
  double nu = 2.0;
  while (summary.evaluations < options.max_evaluations) {
    if (summary.cost <= options.absolute_cost_tolerance ||
        system.g.lpNorm<Eigen::Infinity>() <= kGradientTolerance) {
      summary.converged = true;
      break;
    }
    if (lambda > kMaxDamping) {
      summary.converged = true;  // no step, however short, lowers the cost
      break;
    }

    SolverMatrix damped = system.A;
    damped.diagonal().array() += lambda;
    const Eigen::LLT<SolverMatrix> cholesky(damped);
    const SolverVector step = cholesky.solve(-system.g);
    const SolverVector delta = system.scale.cwiseProduct(step);
    if (cholesky.info() != Eigen::Success || !delta.allFinite()) {
      lambda *= nu;
      nu *= 2.0;
      continue;
    }

    const double trial = problem->trialCost(delta);
    ++summary.evaluations;
    // The decrease the Gauss-Newton model predicts: -(2 g_s' s + s' A_s s).
    const double predicted = -(2.0 * system.g.dot(step) + step.dot(system.A * step));
    const double actual = summary.cost - trial;
    if (!(actual > 0.0) || !(predicted > 0.0)) {
      lambda *= nu;
      nu *= 2.0;
      continue;
    }

    problem->accept(delta);
    ++summary.accepted_steps;
    const double rho = actual / predicted;
    lambda *= std::max(1.0 / 3.0, 1.0 - std::pow(2.0 * rho - 1.0, 3));
    nu = 2.0;
    const double previous_cost = summary.cost;
    normal = problem->linearize();
    ++summary.evaluations;
    summary.cost = normal.cost;
    system = scaledSystem(normal, options.free);
    if (previous_cost - summary.cost <= options.relative_cost_tolerance * previous_cost) {
      summary.converged = true;
      break;
    }
  }
  return summary;
}

}  // namespace calibration
}  // namespace dravik

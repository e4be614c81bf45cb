// A small dense Levenberg-Marquardt solver for least-squares problems with a
// fixed number of parameters.
#pragma once

#include <Eigen/Core>
#include <array>
#include <functional>

namespace dravik {
namespace calibration {

constexpr int kMaxSolverParameters = 18;

using SolverVector = Eigen::Matrix<double, kMaxSolverParameters, 1>;
using SolverMatrix = Eigen::Matrix<double, kMaxSolverParameters, kMaxSolverParameters>;

// The Gauss-Newton model of the cost |r|^2 at the current parameters:
// A = J'J, g = J'r, cost = |r|^2.
struct NormalEquations {
  SolverMatrix A = SolverMatrix::Zero();
  SolverVector g = SolverVector::Zero();
  double cost = 0.0;
};

// What a least-squares problem offers the solver. The parameters live in the
// problem; the solver only asks it to linearise, to try a step, and to keep
// or drop that step.
class LeastSquaresProblem {
 public:
  virtual ~LeastSquaresProblem() = default;
  // The normal equations at the current parameters.
  virtual NormalEquations linearize() = 0;
  // The cost |r|^2 after the step delta, or +infinity when the stepped
  // parameters are not admissible. Where that cost exceeds the cost of the
  // last linearisation, any value above the latter will do: the step is
  // rejected either way. Leaves the parameters unchanged.
  virtual double trialCost(const SolverVector& delta) const = 0;
  // Moves the parameters by delta.
  virtual void accept(const SolverVector& delta) = 0;
};

struct SolverOptions {
  // Parameters the solver may move; the others stay as they are.
  std::array<bool, kMaxSolverParameters> free{};
  // Linearisations and rejected trials together.
  int max_evaluations = 100;
  // Stop when an accepted step lowers the cost by less than this fraction.
  double relative_cost_tolerance = 1e-10;
  // Stop when the cost falls below this.
  double absolute_cost_tolerance = 0.0;
};

struct SolverSummary {
  double cost = 0.0;
  int evaluations = 0;
  int accepted_steps = 0;
  bool converged = false;
};

// Levenberg-Marquardt with the columns of J scaled to unit norm, the damped
// system (A_s + lambda I) delta_s = -g_s solved by Cholesky, and lambda
// adapted from the gain ratio rho (Nielsen): lambda *= max(1/3, 1 - (2 rho - 1)^3)
// after a step that lowers the cost, lambda *= nu, nu *= 2 after one that does
// not.
SolverSummary minimize(LeastSquaresProblem* problem, const SolverOptions& options);

}  // namespace calibration
}  // namespace dravik

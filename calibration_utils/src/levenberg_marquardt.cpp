#include "levenberg_marquardt.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace dravik {
namespace calibration {

namespace {

// Damping beyond this means no step, however short, lowers the cost.
constexpr double kMaxDamping = 1e16;
// A scaled gradient below this (in the units of the residuals) is zero.
constexpr double kGradientTolerance = 1e-14;

// The small dense algebra of the solver, on plain loops in a fixed order
// (Eigen's vectorised reductions sum in an order that depends on the
// instruction set).
template <int N>
double dot(const Eigen::Matrix<double, N, 1>& a, const Eigen::Matrix<double, N, 1>& b) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i < a.size(); ++i) sum += a(i) * b(i);
  return sum;
}

// a' M b
template <int R, int C>
double bilinear(const Eigen::Matrix<double, R, 1>& a, const Eigen::Matrix<double, R, C>& M,
                const Eigen::Matrix<double, C, 1>& b) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i < M.rows(); ++i) {
    double row = 0.0;
    for (Eigen::Index j = 0; j < M.cols(); ++j) row += M(i, j) * b(j);
    sum += a(i) * row;
  }
  return sum;
}

// A = L L' in place (L in the lower triangle); false unless A is positive
// definite.
template <int N>
bool choleskyFactor(Eigen::Matrix<double, N, N>* A) {
  Eigen::Matrix<double, N, N>& L = *A;
  const Eigen::Index n = L.rows();
  for (Eigen::Index j = 0; j < n; ++j) {
    double diagonal = L(j, j);
    for (Eigen::Index k = 0; k < j; ++k) diagonal -= L(j, k) * L(j, k);
    if (!(diagonal > 0.0) || !std::isfinite(diagonal)) return false;
    L(j, j) = std::sqrt(diagonal);
    const double inverse = 1.0 / L(j, j);
    for (Eigen::Index i = j + 1; i < n; ++i) {
      double value = L(i, j);
      for (Eigen::Index k = 0; k < j; ++k) value -= L(i, k) * L(j, k);
      L(i, j) = value * inverse;
    }
  }
  return true;
}

// Solves L L' x = b in place.
template <int N>
void choleskySolve(const Eigen::Matrix<double, N, N>& L, Eigen::Matrix<double, N, 1>* b) {
  Eigen::Matrix<double, N, 1>& x = *b;
  const Eigen::Index n = L.rows();
  for (Eigen::Index i = 0; i < n; ++i) {
    double value = x(i);
    for (Eigen::Index k = 0; k < i; ++k) value -= L(i, k) * x(k);
    x(i) = value / L(i, i);
  }
  for (Eigen::Index i = n - 1; i >= 0; --i) {
    double value = x(i);
    for (Eigen::Index k = i + 1; k < n; ++k) value -= L(k, i) * x(k);
    x(i) = value / L(i, i);
  }
}

// Solves L L' y = b for every row b of B in place, row by row the same
// arithmetic as choleskySolve, with the rows interleaved so that their
// divisions overlap.
template <int N, int R>
void choleskySolveRows(const Eigen::Matrix<double, N, N>& L, Eigen::Matrix<double, R, N>* B) {
  Eigen::Matrix<double, R, N>& X = *B;
  const Eigen::Index rows = X.rows();
  for (int i = 0; i < N; ++i) {
    for (Eigen::Index r = 0; r < rows; ++r) {
      double value = X(r, i);
      for (int k = 0; k < i; ++k) value -= L(i, k) * X(r, k);
      X(r, i) = value / L(i, i);
    }
  }
  for (int i = N - 1; i >= 0; --i) {
    for (Eigen::Index r = 0; r < rows; ++r) {
      double value = X(r, i);
      for (int k = i + 1; k < N; ++k) value -= L(k, i) * X(r, k);
      X(r, i) = value / L(i, i);
    }
  }
}

// The normal equations with fy folded into fx when the two are tied (the
// columns of J for fx and fy added: one focal length), and which intrinsics
// take part.
template <int N>
struct FoldedSystem {
  SharedMatrixOf<N> U;
  SharedVectorOf<N> u;
  std::vector<CrossMatrixOf<N>> W;
  std::vector<bool> active;
};

template <int N>
void fold(const NormalEquationsOf<N>& normal, const FreedomOf<N>& freedom,
          FoldedSystem<N>* folded) {
  const int n = static_cast<int>(normal.U.rows());
  folded->U = normal.U;
  folded->u = normal.u;
  folded->W.resize(normal.views.size());
  for (size_t v = 0; v < normal.views.size(); ++v) folded->W[v] = normal.views[v].W;
  if (freedom.tie_focal_lengths) {
    SharedMatrixOf<N>& U = folded->U;
    for (int j = 0; j < n; ++j) U(kFx, j) += U(kFy, j);
    for (int i = 0; i < n; ++i) U(i, kFx) += U(i, kFy);
    folded->u(kFx) += folded->u(kFy);
    for (CrossMatrixOf<N>& W : folded->W) {
      for (int j = 0; j < kPoseParameters; ++j) W(kFx, j) += W(kFy, j);
    }
  }
  folded->active.assign(static_cast<size_t>(n), false);
  for (int i = 0; i < n; ++i) {
    const bool tied_away = freedom.tie_focal_lengths && i == kFy;
    folded->active[i] = freedom.free[i] && !tied_away && folded->U(i, i) > 0.0;
  }
}

// The damped system reduced to the intrinsics: S = U_d - sum W V_d^-1 W',
// b = u - sum W V_d^-1 v, with inactive rows set to the identity and a zero
// right side; the Cholesky factors of the damped pose blocks are kept for
// the back substitution.
template <int N>
struct ReducedSystem {
  SharedMatrixOf<N> S;
  SharedVectorOf<N> b;
  std::vector<PoseMatrix> pose_factors;
};

template <int N>
bool reduce(const NormalEquationsOf<N>& normal, const FoldedSystem<N>& folded, double lambda,
            ReducedSystem<N>* reduced) {
  const int n = static_cast<int>(normal.U.rows());
  SharedMatrixOf<N>& S = reduced->S;
  SharedVectorOf<N>& b = reduced->b;
  S = folded.U;
  b = folded.u;
  for (int i = 0; i < n; ++i) S(i, i) += lambda * S(i, i);
  reduced->pose_factors.resize(normal.views.size());
  for (size_t v = 0; v < normal.views.size(); ++v) {
    PoseMatrix& factor = reduced->pose_factors[v];
    factor = normal.views[v].V;
    for (int i = 0; i < kPoseParameters; ++i) factor(i, i) += lambda * factor(i, i);
    if (!choleskyFactor(&factor)) return false;
    const CrossMatrixOf<N>& W = folded.W[v];
    // Y = W V_d^-1, every row solved at once.
    CrossMatrixOf<N> Y = W;
    choleskySolveRows(factor, &Y);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        double sum = 0.0;
        for (int k = 0; k < kPoseParameters; ++k) sum += Y(r, k) * W(c, k);
        S(r, c) -= sum;
      }
      double sum = 0.0;
      for (int k = 0; k < kPoseParameters; ++k) sum += Y(r, k) * normal.views[v].v(k);
      b(r) -= sum;
    }
  }
  for (int i = 0; i < n; ++i) {
    if (folded.active[i]) continue;
    for (int j = 0; j < n; ++j) S(i, j) = S(j, i) = 0.0;
    S(i, i) = 1.0;
    b(i) = 0.0;
  }
  return true;
}

// The damped step, or false when the damped system is not positive definite.
template <int N>
bool dampedStep(const NormalEquationsOf<N>& normal, const FoldedSystem<N>& folded,
                const FreedomOf<N>& freedom, double lambda, ReducedSystem<N>* reduced,
                StepOf<N>* step) {
  const int n = static_cast<int>(normal.U.rows());
  if (!reduce(normal, folded, lambda, reduced)) return false;
  SharedMatrixOf<N> factor = reduced->S;
  if (!choleskyFactor(&factor)) return false;
  SharedVectorOf<N>& delta = step->intrinsics;
  delta = -reduced->b;
  choleskySolve(factor, &delta);
  step->poses.resize(normal.views.size());
  for (size_t v = 0; v < normal.views.size(); ++v) {
    const CrossMatrixOf<N>& W = folded.W[v];
    PoseVector& pose = step->poses[v];
    for (int k = 0; k < kPoseParameters; ++k) {
      double sum = normal.views[v].v(k);
      for (int r = 0; r < n; ++r) sum += W(r, k) * delta(r);
      pose(k) = -sum;
    }
    choleskySolve(reduced->pose_factors[v], &pose);
  }
  if (freedom.tie_focal_lengths) delta(kFy) = delta(kFx);
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(delta(i))) return false;
  }
  for (const PoseVector& pose : step->poses) {
    for (int k = 0; k < kPoseParameters; ++k) {
      if (!std::isfinite(pose(k))) return false;
    }
  }
  return true;
}

// The decrease of the cost the Gauss-Newton model predicts for the step:
// -(2 g' delta + delta' A delta), over the blocks of A.
template <int N>
double predictedDecrease(const NormalEquationsOf<N>& normal, const StepOf<N>& step) {
  double gradient = dot(normal.u, step.intrinsics);
  double curvature = bilinear(step.intrinsics, normal.U, step.intrinsics);
  for (size_t v = 0; v < normal.views.size(); ++v) {
    const PoseBlockOf<N>& block = normal.views[v];
    gradient += dot(block.v, step.poses[v]);
    curvature += 2.0 * bilinear(step.intrinsics, block.W, step.poses[v]) +
                 bilinear(step.poses[v], block.V, step.poses[v]);
  }
  return -(2.0 * gradient + curvature);
}

// The largest entry of the gradient with the columns of J scaled to unit
// norm, over the parameters that move.
template <int N>
double scaledGradient(const NormalEquationsOf<N>& normal, const FoldedSystem<N>& folded) {
  double largest = 0.0;
  for (int i = 0; i < static_cast<int>(folded.active.size()); ++i) {
    if (folded.active[i]) {
      largest = std::max(largest, std::abs(folded.u(i)) / std::sqrt(folded.U(i, i)));
    }
  }
  for (const PoseBlockOf<N>& block : normal.views) {
    for (int k = 0; k < kPoseParameters; ++k) {
      if (block.V(k, k) > 0.0) {
        largest = std::max(largest, std::abs(block.v(k)) / std::sqrt(block.V(k, k)));
      }
    }
  }
  return largest;
}

}  // namespace

template <int N>
SolverSummary minimize(LeastSquaresProblemOf<N>* problem, const SolverOptionsOf<N>& options) {
  SolverSummary summary;
  NormalEquationsOf<N> normal;
  problem->linearize(&normal);
  ++summary.evaluations;
  summary.cost = normal.cost;
  FoldedSystem<N> folded;
  fold(normal, options.freedom, &folded);
  ReducedSystem<N> reduced;
  StepOf<N> step;

  double lambda = options.initial_damping;
  double nu = 2.0;
  while (summary.evaluations < options.max_evaluations) {
    if (summary.cost <= options.absolute_cost_tolerance ||
        scaledGradient(normal, folded) <= kGradientTolerance) {
      summary.converged = true;
      break;
    }
    if (lambda > kMaxDamping) break;  // no step, however short, lowers the cost: stuck

    if (!dampedStep(normal, folded, options.freedom, lambda, &reduced, &step)) {
      lambda *= nu;
      nu *= 2.0;
      continue;
    }
    const double trial = problem->trialCost(step);
    ++summary.evaluations;
    const double predicted = predictedDecrease(normal, step);
    const double actual = summary.cost - trial;
    if (!(actual > 0.0) || !(predicted > 0.0)) {
      // At the minimum, rounding leaves no step that lowers the cost: when
      // the undamped (Gauss-Newton) model promises less than the tolerance,
      // the fit has converged.
      if (dampedStep(normal, folded, options.freedom, 0.0, &reduced, &step) &&
          predictedDecrease(normal, step) <= options.relative_cost_tolerance * summary.cost) {
        summary.converged = true;
        break;
      }
      lambda *= nu;
      nu *= 2.0;
      continue;
    }

    problem->accept(step);
    ++summary.accepted_steps;
    const double rho = actual / predicted;
    const double gain = 2.0 * rho - 1.0;
    lambda *= std::max(1.0 / 3.0, 1.0 - gain * gain * gain);
    nu = 2.0;
    const double previous_cost = summary.cost;
    problem->linearize(&normal);
    ++summary.evaluations;
    summary.cost = normal.cost;
    fold(normal, options.freedom, &folded);
    if (previous_cost - summary.cost <= options.relative_cost_tolerance * previous_cost) {
      summary.converged = true;
      break;
    }
  }
  return summary;
}

template <int N>
bool marginalInformation(const NormalEquationsOf<N>& normal, const FreedomOf<N>& freedom,
                         SharedMatrixOf<N>* S, int* free_count) {
  FoldedSystem<N> folded;
  fold(normal, freedom, &folded);
  ReducedSystem<N> reduced;
  if (!reduce(normal, folded, 0.0, &reduced)) return false;
  *free_count = 0;
  for (int i = 0; i < static_cast<int>(folded.active.size()); ++i) {
    if (folded.active[i]) {
      ++*free_count;
    } else {
      reduced.S(i, i) = 0.0;
    }
  }
  *S = reduced.S;
  return true;
}

template <int N>
bool invertSymmetric(const SharedMatrixOf<N>& A, const decltype(FreedomOf<N>::free)& used,
                     SharedMatrixOf<N>* inverse) {
  const int n = static_cast<int>(A.rows());
  SharedMatrixOf<N> factor = A;
  for (int i = 0; i < n; ++i) {
    if (used[i]) continue;
    for (int j = 0; j < n; ++j) factor(i, j) = factor(j, i) = 0.0;
    factor(i, i) = 1.0;
  }
  if (!choleskyFactor(&factor)) return false;
  inverse->resize(n, n);
  for (int c = 0; c < n; ++c) {
    SharedVectorOf<N> column = SharedVectorOf<N>::Zero(n);
    if (used[c]) {
      column(c) = 1.0;
      choleskySolve(factor, &column);
      for (int r = 0; r < n; ++r) {
        if (!used[r]) column(r) = 0.0;
      }
    }
    inverse->col(c) = column;
  }
  return true;
}

#define DRAVIK_SOLVER_FOR(N)                                                                      \
  template SolverSummary minimize<N>(LeastSquaresProblemOf<N>*, const SolverOptionsOf<N>&);       \
  template bool marginalInformation<N>(const NormalEquationsOf<N>&, const FreedomOf<N>&,          \
                                       SharedMatrixOf<N>*, int*);                                 \
  template bool invertSymmetric<N>(const SharedMatrixOf<N>&, const decltype(FreedomOf<N>::free)&, \
                                   SharedMatrixOf<N>*);
DRAVIK_SOLVER_FOR(kIntrinsics)
DRAVIK_SOLVER_FOR(Eigen::Dynamic)
#undef DRAVIK_SOLVER_FOR

}  // namespace calibration
}  // namespace dravik

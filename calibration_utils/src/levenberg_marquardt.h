// Levenberg-Marquardt for calibration problems: a block of parameters shared
// by every view (the twelve intrinsics fx, fy, cx, cy, k1, k2, p1, p2, k3,
// k4, k5, k6 of a camera calibration, or a block sized at run time, as the
// cameras' poses of a rig) and six pose parameters per view, whose normal
// equations have the arrow shape
//   [ U    W_1  W_2 ... ]
//   [ W_1' V_1          ]
//   [ W_2'      V_2     ]
//   [ ...           ... ]
// The poses are eliminated view by view (the Schur complement), so that a
// step costs one solve of the shared block plus one 6 x 6 solve per view.
//
// Every accumulation here runs in a fixed order on plain doubles, so that
// the same inputs give the same bits whatever the instruction set.
#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

namespace dravik {
namespace calibration {

constexpr int kIntrinsics = 12;
constexpr int kPoseParameters = 6;
// The intrinsics' order: fx, fy, cx, cy, then the eight lens coefficients
// k1, k2, p1, p2, k3, k4, k5, k6.
constexpr int kFx = 0, kFy = 1, kCx = 2, kCy = 3, kLens = 4;

using IntrinsicVector = Eigen::Matrix<double, kIntrinsics, 1>;
using IntrinsicMatrix = Eigen::Matrix<double, kIntrinsics, kIntrinsics>;
using PoseVector = Eigen::Matrix<double, kPoseParameters, 1>;
using PoseMatrix = Eigen::Matrix<double, kPoseParameters, kPoseParameters>;
using CrossMatrix = Eigen::Matrix<double, kIntrinsics, kPoseParameters>;

// The shared block's vector and matrix at a size fixed at compile time, or
// Eigen::Dynamic (a size the problem sets at run time).
template <int N>
using SharedVectorOf = Eigen::Matrix<double, N, 1>;
template <int N>
using SharedMatrixOf = Eigen::Matrix<double, N, N>;
template <int N>
using CrossMatrixOf = Eigen::Matrix<double, N, kPoseParameters>;
// The size a shared block starts at: N, or empty when dynamic.
template <int N>
constexpr Eigen::Index kStartSize = N == Eigen::Dynamic ? 0 : N;

// One view's part of the normal equations: V = J_p'J_p, W = J_i'J_p and
// v = J_p'r, with J_i and J_p the Jacobian's shared and pose columns.
template <int N>
struct PoseBlockOf {
  PoseBlockOf() : PoseBlockOf(kStartSize<N>) {}
  explicit PoseBlockOf(Eigen::Index shared) : W(CrossMatrixOf<N>::Zero(shared, kPoseParameters)) {}
  PoseMatrix V = PoseMatrix::Zero();
  CrossMatrixOf<N> W;
  PoseVector v = PoseVector::Zero();
};

// The Gauss-Newton model of the cost |r|^2 at the current parameters:
// U = J_i'J_i, u = J_i'r, one PoseBlock per view, cost = |r|^2. A problem of
// a dynamic shared block sizes U and u (and each W) in its linearize.
template <int N>
struct NormalEquationsOf {
  SharedMatrixOf<N> U = SharedMatrixOf<N>::Zero(kStartSize<N>, kStartSize<N>);
  SharedVectorOf<N> u = SharedVectorOf<N>::Zero(kStartSize<N>);
  std::vector<PoseBlockOf<N>> views;
  double cost = 0.0;
};

// A step: `intrinsics` moves the shared block (the intrinsics of a camera
// calibration, whatever a problem shares between its views otherwise).
template <int N>
struct StepOf {
  SharedVectorOf<N> intrinsics = SharedVectorOf<N>::Zero(kStartSize<N>);
  std::vector<PoseVector> poses;
};

// What a least-squares problem offers the solver. The parameters live in the
// problem; the solver only asks it to linearise, to try a step, and to keep
// or drop that step.
template <int N>
class LeastSquaresProblemOf {
 public:
  virtual ~LeastSquaresProblemOf() = default;
  // The normal equations at the current parameters.
  virtual void linearize(NormalEquationsOf<N>* normal) = 0;
  // The cost |r|^2 after the step, or +infinity when the stepped parameters
  // are not admissible. Where that cost exceeds the cost of the last
  // linearisation, any value above the latter will do: the step is rejected
  // either way. Leaves the parameters unchanged.
  virtual double trialCost(const StepOf<N>& step) const = 0;
  // Moves the parameters by the step.
  virtual void accept(const StepOf<N>& step) = 0;
};

// Which shared parameters move. A fixed one keeps its value; with
// tie_focal_lengths fy moves with fx (one parameter f = fx = fy, which the
// problem must start with fx = fy). A dynamic block marks its parameters in
// a vector of its size.
template <int N>
struct FreedomOf {
  std::array<bool, N> free{};
  bool tie_focal_lengths = false;
};
template <>
struct FreedomOf<Eigen::Dynamic> {
  std::vector<bool> free;
  bool tie_focal_lengths = false;
};

template <int N>
struct SolverOptionsOf {
  FreedomOf<N> freedom;
  // Linearisations and rejected trials together.
  int max_evaluations = 100;
  // Marquardt's lambda of the first step: a start already near the minimum
  // takes a smaller one, so that the nearly free directions of the lens move
  // from the first steps instead of after lambda has shrunk to them.
  double initial_damping = 1e-3;
  // Stop when an accepted step lowers the cost by less than this fraction.
  double relative_cost_tolerance = 1e-10;
  // Stop when the cost falls below this.
  double absolute_cost_tolerance = 0.0;
};

// The calibration of one camera: the twelve intrinsics shared.
using PoseBlock = PoseBlockOf<kIntrinsics>;
using NormalEquations = NormalEquationsOf<kIntrinsics>;
using Step = StepOf<kIntrinsics>;
using LeastSquaresProblem = LeastSquaresProblemOf<kIntrinsics>;
using IntrinsicFreedom = FreedomOf<kIntrinsics>;
using SolverOptions = SolverOptionsOf<kIntrinsics>;

struct SolverSummary {
  double cost = 0.0;
  int evaluations = 0;
  int accepted_steps = 0;
  // True when a stopping rule was met: the cost, its decrease or its
  // gradient below tolerance. False when the budget ran out, or when no step
  // lowered the cost even at the largest damping.
  bool converged = false;
};

// Levenberg-Marquardt with Marquardt's damping, (A + lambda diag(A)) delta =
// -g (the columns of J scaled to unit norm), solved through the Schur
// complement, and lambda adapted from the gain ratio rho (Nielsen):
// lambda *= max(1/3, 1 - (2 rho - 1)^3) after a step that lowers the cost,
// lambda *= nu, nu *= 2 after one that does not.
// Built for the intrinsics (N = kIntrinsics) and for a dynamic block.
template <int N>
SolverSummary minimize(LeastSquaresProblemOf<N>* problem, const SolverOptionsOf<N>& options);

// The normal equations reduced to the free intrinsics by the Schur
// complement, S = U - sum W V^-1 W' (with fy folded into fx when tied),
// undamped: the information matrix of the intrinsics with the poses
// marginalised. Rows and columns of fixed intrinsics are zero, and the
// number of free intrinsics is returned in *free_count. False when a pose
// block is singular.
template <int N>
bool marginalInformation(const NormalEquationsOf<N>& normal, const FreedomOf<N>& freedom,
                         SharedMatrixOf<N>* S, int* free_count);

// The inverse of a symmetric positive definite matrix restricted to the rows
// and columns marked in `used`, zero elsewhere; false when it is not
// positive definite there.
template <int N>
bool invertSymmetric(const SharedMatrixOf<N>& A, const decltype(FreedomOf<N>::free)& used,
                     SharedMatrixOf<N>* inverse);

}  // namespace calibration
}  // namespace dravik

// The least-squares problem of a single-view calibration: the reprojection
// residuals of one view through the rational camera model
// (calibration_utils/opencv_projection.h), with their Jacobian written out by
// hand, plus hinge penalties that keep the lens sound over the image.
#pragma once

#include <Eigen/Core>
#include <array>
#include <limits>
#include <vector>

#include "calibration_utils/opencv_projection.h"
#include "levenberg_marquardt.h"

namespace dravik {
namespace calibration {

// The parameter vector: fx, fy, cx, cy, a rotation increment w (3), the
// translation (3), and the lens k1, k2, p1, p2, k3, k4, k5, k6.
constexpr int kCalibrationParameters = 18;
constexpr int kFx = 0, kFy = 1, kCx = 2, kCy = 3, kRotation = 4, kTranslation = 7, kLens = 10;
static_assert(kCalibrationParameters == kMaxSolverParameters, "the solver holds every parameter");

using Camera = OpenCVProjection<double>;

// One view: image points in pixels and target points in metres.
struct View {
  std::vector<Eigen::Vector2d> image;
  std::vector<Eigen::Vector2d> target;
  Eigen::Vector2i image_size;
};

// The margins the penalties keep the lens inside of, and their weight per
// pixel of focal length (lens_soundness.h).
constexpr double kSlopeMargin = 0.05;
constexpr double kDenominatorMargin = 0.5;
constexpr double kPenaltyWeight = 10.0;

// Reprojection of one view, plus hinge penalties that keep the lens sound
// over the image with a margin: at each soundness radius r (lens_soundness.h)
//   w (kSlopeMargin - dr_d/dr)            where the slope falls below kSlopeMargin,
//   w (kDenominatorMargin - D)            where D falls below kDenominatorMargin,
// with w = kPenaltyWeight fx pixels per unit (fx of the start). A lens sound
// with margin pays nothing, so the penalties do not bias a fit that is sound
// by itself; they let the solver pass through unsound lenses on its way but
// not settle on one. Every target point must stay in front of the camera.
//
// The rotation is R(w) R0 about the current R0, with R(w) the rotation of the
// vector w (single_image_calibration.cpp); at w = 0, dR/dw_k q = e_k x q.
class ReprojectionProblem : public LeastSquaresProblem {
 public:
  ReprojectionProblem(const View& view, const Camera& start);

  const Camera& camera() const { return camera_; }
  void setPenalties(bool on) { penalties_ = on; }

  NormalEquations linearize() override;
  double trialCost(const SolverVector& delta) const override;
  void accept(const SolverVector& delta) override;

  // |r|^2 of the view's points through camera; +infinity when a target point
  // is not in front of it. Once the sum exceeds `bound`, the partial sum.
  double dataCost(const Camera& camera,
                  double bound = std::numeric_limits<double>::infinity()) const;

 private:
  // Adds the penalties the lens of `camera` pays to the cost, and to the
  // normal equations when `normal` is not null.
  double penaltyCost(const Camera& camera, NormalEquations* normal) const;

  const View& view_;
  Camera camera_;
  double penalty_weight_;
  bool penalties_ = true;
  // The cost at the current parameters, from the last linearisation.
  double current_cost_ = std::numeric_limits<double>::infinity();
};

// The camera moved by the parameter step delta; the rotation becomes
// R(delta_w) R0.
Camera stepped(const Camera& camera, const SolverVector& delta);

}  // namespace calibration
}  // namespace dravik

// The least-squares problem of a calibration from views of a rigid target:
// the reprojection residuals of every view's points through one rational
// camera (twelve intrinsics) and one pose per view, with their Jacobian
// written out by hand, plus hinge penalties that keep the lens sound over the
// image. One view of it is the single-view fit; many views the multi-view
// fit (calibration_utils/camera_calibration.h).
#pragma once

#include <Eigen/Core>
#include <functional>
#include <limits>
#include <vector>

#include "calibration_utils/lens.h"
#include "levenberg_marquardt.h"

namespace dravik {
namespace calibration {

// A view: image points in pixels and the target points in metres, in the
// target's frame.
struct View {
  std::vector<Eigen::Vector2d> image;
  std::vector<Eigen::Vector3d> target;
};

// A view's pose: X_camera = camera_from_target_rotation X_target + translation.
struct Pose {
  Eigen::Matrix3d camera_from_target_rotation = Eigen::Matrix3d::Identity();
  Eigen::Vector3d translation = Eigen::Vector3d::Zero();
};

// The camera: intrinsics in the order of levenberg_marquardt.h (fx, fy, cx,
// cy, k1, k2, p1, p2, k3, k4, k5, k6) and one pose per view.
struct CameraState {
  IntrinsicVector intrinsics = IntrinsicVector::Zero();
  std::vector<Pose> poses;
};

// The margins the penalties keep the lens inside of, and their weight per
// pixel of focal length, the same for every fit of planar views.
constexpr double kSlopeMargin = 0.05;
constexpr double kDenominatorMargin = 0.5;
constexpr double kViewsPenaltyWeight = 1.0;

// The pixel of a camera point through the intrinsics, with its derivatives:
// in the point's camera coordinates (d_point, rows u and v) and in the
// intrinsics (d_intrinsics). False when the point is not in front of the
// camera.
struct PixelDerivatives {
  Eigen::Vector2d pixel;
  double d_point[2][3];
  double d_intrinsics[2][kIntrinsics];
};
bool projectWithDerivatives(const IntrinsicVector& intrinsics, const Eigen::Vector3d& camera_point,
                            PixelDerivatives* out);

// The pixel of a camera point, or false when it is not in front of the camera.
bool projectPoint(const IntrinsicVector& intrinsics, const Eigen::Vector3d& camera_point,
                  Eigen::Vector2d* pixel);

// The lens of the intrinsics over a width x height image, in single
// precision as a Lens holds it (no skew), through Lens::fromIntrinsics; the
// default Lens (no image, never sound) where they make none.
Lens storedLens(const IntrinsicVector& intrinsics, int width, int height);

// True when the lens of the intrinsics, in single precision as a Lens holds
// it, passes Lens::isSoundOverImage over a width x height image.
bool lensIsSoundOverImage(const IntrinsicVector& intrinsics, int width, int height);

// Reprojection of every view's points, plus, when on, hinge penalties that
// keep the lens sound over the whole image with a margin: at radii r from the
// optical axis out to where r_d reaches the image corner farthest from the
// principal point (or three times its radius), each shortfall capped at 1,
//   w (kSlopeMargin - dr_d/dr)            where the slope falls below kSlopeMargin,
//   w (kDenominatorMargin - D)            where D falls below kDenominatorMargin,
// with w = penalty_weight fx pixels per unit (fx of the start), and, once the
// lens is sound by the exact rule, no step that leaves it. A lens sound with
// margin pays nothing, so the penalties do not bias a fit that is sound by
// itself. Every target point must stay in front of the camera.
//
// A pose moves as R(w) R0 about the current R0, with R(w) the rotation of the
// unit quaternion (1, w / 2) / |(1, w / 2)|; at w = 0, dR/dw_k q = e_k x q.
class ReprojectionProblem : public LeastSquaresProblem {
 public:
  ReprojectionProblem(const std::vector<View>& views, int width, int height,
                      const CameraState& start, double penalty_weight = kViewsPenaltyWeight);

  const CameraState& state() const { return state_; }
  // Called with the points' |r|^2 at every linearisation (once per accepted
  // step, and as the solver begins); none when empty. Must outlive the
  // problem's use.
  void setProgress(const std::function<void(double data_cost)>* progress) { progress_ = progress; }
  // Turns the penalties on or off, and notes whether the lens is sound now.
  void setPenalties(bool on);

  // True when the current lens pays none of the penalties (as at the last
  // linearisation's reach), or they are off.
  bool paysNoPenalty() const { return penaltyCost(state_.intrinsics, nullptr) == 0.0; }

  void linearize(NormalEquations* normal) override;
  double trialCost(const Step& step) const override;
  void accept(const Step& step) override;

  // |r|^2 of the views' points through the state; +infinity when a target
  // point is not in front of the camera. Once the sum exceeds `bound`, the
  // partial sum.
  double dataCost(const CameraState& state,
                  double bound = std::numeric_limits<double>::infinity()) const;
  // The reprojection error of every point, view by view, in pixels.
  std::vector<std::vector<double>> pointErrors(const CameraState& state) const;

 private:
  // The penalties the lens of `intrinsics` pays; added to the normal
  // equations too when `normal` is not null.
  double penaltyCost(const IntrinsicVector& intrinsics, NormalEquations* normal) const;

  const std::vector<View>& views_;
  int width_, height_;
  CameraState state_;
  double penalty_weight_;
  bool penalties_ = true;
  // Whether the current lens is sound by the exact rule; from then on every
  // accepted step keeps it so.
  bool sound_ = false;
  // The normalized distorted radius of the image corner farthest from the
  // principal point at the last linearisation: the penalties' reach, held
  // while the solver tries steps.
  double corner_radius_ = 0.0;
  const std::function<void(double)>* progress_ = nullptr;
  // The cost at the current parameters, from the last linearisation.
  double current_cost_ = std::numeric_limits<double>::infinity();
};

// The state moved by the step.
CameraState stepped(const CameraState& state, const Step& step);

}  // namespace calibration
}  // namespace dravik

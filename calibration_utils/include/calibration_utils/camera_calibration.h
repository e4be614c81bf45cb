// Calibration of a camera from several views of a rigid target: the rational
// lens and every view's pose, fitted together, sound over the whole image.
//
// Conventions
// - Pixels: centres at integer coordinates; the image's pixel centres span
//   [0, width - 1] x [0, height - 1] (as calibration_utils/undistortion.h).
// - Lens model: the Lens of calibration_utils/lens.h: K = [[fx, 0, cx],
//   [0, fy, cy], [0, 0, 1]] (no skew is fitted) and the eight coefficients
//   k1, k2, p1, p2, k3, k4, k5, k6 of dravik/geometry.h (distortNormalized).
// - Frames: camera_from_target[v] maps a point of view v's target frame
//   (metres) into the camera frame (metres, z along the optical axis):
//   X_camera = camera_from_target[v] (X_target, 1).
// - Errors: the reprojection error of point i is |p_i - project(P_i)| in
//   pixels; an rms is sqrt(sum |e_i|^2 / n) over the n points it covers.
// - Covariance order: fx, fy, cx, cy, k1, k2, p1, p2, k3, k4, k5, k6.
//
// How it works
// 1. The start. With lens terms, the lens's leading radial terms (k1, k2,
//    and k4, k5 for kRational) come first, from the views' bending alone:
//    written in units of the image's half diagonal, they are fitted so that
//    each view's undistorted points are a homography of its target's plane
//    (the homographies, refitted at each trial, absorb the focal length and
//    the poses). Those homographies give, by Zhang's closed form with the
//    principal point at the image's centre, the focal length, the terms at
//    that focal length, and every pose. Without lens terms, or when that
//    gives no plausible focal length, each view's homography of the raw
//    points (the normalised direct linear transform) gives fx = fy and every
//    pose, and the lens starts without distortion.
// 2. Levenberg-Marquardt in double precision over the intrinsics and every
//    view's pose, on the Jacobian written out by hand (the single-view fit's
//    reprojection problem; one view of this fit is that fit). The normal
//    equations are reduced to the intrinsics by the Schur complement over
//    the per-view 6 x 6 pose blocks, so that a hundred views cost little
//    more than ten. First the simplest lens the terms allow, then every free
//    term. Many views (above 40): the lens settled on 20 of them, then every
//    view refined together from there, which ends when it converges or,
//    out of its budget, stands at the unconstrained fit's rms with a sound
//    lens; each outlier round refines the previous fit. The time grows in
//    proportion to the views.
// 3. The lens stays sound over the whole image by the exact rule
//    (Lens::isSoundOverImage): while it searches, the fit pays a penalty
//    unless the lens keeps a margin inside the rule from the optical axis
//    out to the image corner farthest from the principal point, covered by
//    the views or not. A sound lens more than 1 % above the unconstrained
//    fit's rms is checked against the sound descent from the simplest lens,
//    and the better kept. When the sound lens's rms exceeds the unconstrained
//    fit's by more than 0.5 px, the sound lens is still returned, with a
//    level-3 warning naming the part of the image the views leave uncovered.
// 4. The covariance of the intrinsics is sigma^2 (A'A)^+, A the Jacobian's
//    intrinsic columns with each view's pose columns projected out (the
//    information of the intrinsics with the poses marginalised, J'J reduced
//    by the Schur complement, formed without its cancellation), and
//    sigma^2 = |r|^2 / (2 n - p), n the points kept and p the free intrinsics
//    plus six per view (the formula of OpenCV's stdDeviationsIntrinsics
//    since its 4.7). A is decomposed into singular values, each column
//    scaled to unit length: a direction whose singular value falls below
//    1e-8 of the largest is one the views do not determine (square-on views
//    cannot tell the focal length from the distance; a lens whose numerator
//    and denominator share a factor leaves its rational terms free to trade).
//    Such a direction is named in `undetermined`, every term it moves has an
//    infinite standard deviation, and the inverse is taken over the other
//    directions only.
//
// Failure: false and a level-2 record under the tag "calibration_utils",
// *result untouched. Refused: fewer than 2 views (3 for kRational); a view
// with fewer than 6 points, or with image and target points of unequal
// number; points that are not finite; a target whose points lie on a line;
// a view in which two points share an image point or a target point (the
// record names the view and both points); a width or height not positive, or a pixel count above
// kMaxUndistortionPixels; a null result. A view whose homography is
// degenerate (the target seen edge-on) is dropped with a level-3 warning as
// long as enough views remain.
//
// Names: everything here lives in the inline namespace
// dravik::calibration::views, so that it is spelled dravik::calibration::X
// as usual, while its CameraCalibration stays a type of its own beside the
// calibration message of one camera (calibration_messages), which has the
// same name in dravik::calibration. A source that includes both spells this
// one views::CameraCalibration.
//
// Thread safety: the functions are deterministic and reentrant, keep no
// state between calls and throw no exceptions.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "calibration_utils/undistortion.h"
#include "dravik/eigen_types.h"

namespace dravik {
namespace calibration {
inline namespace views {

// One view of a rigid target.
struct TargetView {
  // Measured pixels, centres at integers.
  std::vector<Eigen::Vector2d> image_points;
  // The same points in the target's frame, metres (z = 0 for a board).
  std::vector<Eigen::Vector3d> target_points;
};

// The free lens terms: all eight; k1 k2 p1 p2 k3; none.
enum class LensTerms { kRational, kPlumbBob, kNone };

struct CameraCalibrationOptions {
  LensTerms lens_terms = LensTerms::kRational;
  // Held at ((width - 1) / 2, (height - 1) / 2).
  bool fix_principal_point = false;
  // fx = fy.
  bool same_focal_length = false;
  // > 0: points whose residual exceeds outlier_sigma x the rms are dropped
  // and the fit repeated, until none is.
  double outlier_sigma = 0.0;
  // When set, called on the calling thread as the fit goes: with the count
  // of its solver iterations so far (over every stage, subset and outlier
  // round, rising by one each call) and the rms (px) of the points of the
  // stage at that iteration. The fit's results do not depend on it.
  std::function<void(int iteration, double rms_px)> progress;
};

struct CameraCalibration {
  // Width, height, K (no skew), the eight coefficients.
  Lens lens;
  // One per view, metres.
  std::vector<dravik::Matrix4d> camera_from_target;
  // Over the points kept.
  double rms_px = 0;
  // Per view.
  std::vector<double> view_rms_px;
  // Per view, per point: 1 when used in the final fit.
  std::vector<std::vector<std::uint8_t>> kept;
  // Of fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6, the poses marginalised, over
  // the directions the views determine; zero rows for fixed terms.
  dravik::Matrix12d covariance = dravik::Matrix12d::Zero();
  // Square roots of its diagonal; +infinity for a term that an undetermined
  // direction moves. Zero only for a fixed term.
  Eigen::Matrix<double, 12, 1> standard_deviations = Eigen::Matrix<double, 12, 1>::Zero();
  int iterations = 0;
  bool converged = false;
  // The directions of the intrinsics that the views do not determine.
  struct UndeterminedDirection {
    // A change of fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6 that moves no kept
    // corner (their poses refitted), each term in units of the change that
    // alone moves the corners by 1 px (root sum of squares, poses refitted),
    // of unit length in those units; zero on fixed terms.
    Eigen::Matrix<double, 12, 1> direction = Eigen::Matrix<double, 12, 1>::Zero();
    // Its terms by weight: "k1 and k4 trade against each other", "the views
    // do not determine fx".
    std::string description;
  };
  std::vector<UndeterminedDirection> undetermined;
  // The convex hull of the kept corners, pixels, counter-clockwise: the
  // region of the image the views cover.
  std::vector<Eigen::Vector2d> covered_region;
};

// Fits the camera of a width x height image to the views. On success
// *result holds the lens, one pose per view (the identity for a dropped
// view, whose points are then all not kept and whose rms is not a number),
// the errors and the covariance (the directions the views do not
// determine named in `undetermined`, with a level-3 warning).
bool calibrateCamera(const std::vector<TargetView>& views, int width, int height,
                     const CameraCalibrationOptions& options, CameraCalibration* result);

// The standard deviation, in pixels, of where the fixed camera-frame ray of each pixel is seen,
// from the covariance: row-major, one value per pixel of a (width / step) x (height / step) grid
// whose cell (i, j) is the pixel (i step + step / 2, j step + step / 2).
// With J the derivative of the ray's pixel in the twelve intrinsics and C
// the covariance, the value is sqrt(trace(J C J') / 2), the standard
// deviation of either pixel coordinate; +infinity where an undetermined
// direction moves the pixel (by more than 1e-6 px per unit of the
// direction), since the views then allow it anywhere along that motion; not
// a number where the pixel has no ray (beyond the lens's sound region).
// False, with a level-2 record, for a null output, a step not positive or
// larger than the image, or a lens or covariance that is not usable.
bool projectionUncertainty(const CameraCalibration& calibration, int step,
                           std::vector<float>* sigma_px);

// What a grid of projectionUncertainty says, as a report gives it.
struct UncertaintySummary {
  // Over the grid's pixels inside calibration.covered_region: the largest
  // value (+infinity when unbounded there) and its pixel; zero and (0, 0)
  // when no grid pixel lies inside.
  double largest_covered_px = 0.0;
  Eigen::Vector2d largest_covered_at = Eigen::Vector2d::Zero();
  // Shares of the grid's pixels, 0 to 1: above 1 px, above 5 px (both
  // counting the unbounded ones), and unbounded.
  double share_above_1px = 0.0, share_above_5px = 0.0, share_unbounded = 0.0;
};

// The summary of `sigma_px`, projectionUncertainty's grid at `step` for
// `calibration`. False, with a level-2 record, for a null output, a step not
// positive or a grid of another size than the image's at that step.
bool summarizeUncertainty(const CameraCalibration& calibration, int step,
                          const std::vector<float>& sigma_px, UncertaintySummary* summary);

}  // namespace views
}  // namespace calibration
}  // namespace dravik

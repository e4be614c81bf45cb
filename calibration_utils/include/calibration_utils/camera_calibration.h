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
// Failure: false, a level-2 record under the tag "calibration_utils" and,
// when asked for, the reason as a value (FitFailure, whose words are the
// record's text); *result untouched. Refused: fewer than 2 views (3 for kRational); a view
// with fewer than 6 points, or with image and target points of unequal
// number; points that are not finite; a target whose points lie on a line;
// a view in which two points share an image point or a target point (the
// record names the view and both points); a width or height not positive, or a pixel count above
// kMaxUndistortionPixels; a null result. A view whose homography is
// degenerate (the target seen edge-on) is dropped with a level-3 warning as
// long as enough views remain.
//
// Names: the fit's result is a CameraFit; a CameraCalibration is the
// calibration message of one camera (calibration_messages).
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

// One view of a rigid target.
struct TargetView {
  // Measured pixels, centres at integers.
  std::vector<Eigen::Vector2d> image_points;
  // The same points in the target's frame, metres (z = 0 for a board).
  std::vector<Eigen::Vector3d> target_points;
};

// The free lens terms: all eight; k1 k2 p1 p2 k3; none.
enum class LensTerms { kRational, kPlumbBob, kNone };

// The spellings of LensTerms, in the enum's order: "rational", "plumb-bob",
// "none" (camcal calibrate's --lens, Python's lens_terms).
struct LensTermsName {
  const char* name;
  LensTerms terms;
};
inline constexpr LensTermsName kLensTermsNames[] = {{"rational", LensTerms::kRational},
                                                    {"plumb-bob", LensTerms::kPlumbBob},
                                                    {"none", LensTerms::kNone}};
// The spelling of `terms`.
const char* lensTermsName(LensTerms terms);
// The terms spelt `name`; false, *terms untouched, for any other spelling.
bool parseLensTerms(const std::string& name, LensTerms* terms);
// "'rational', 'plumb-bob', 'none'": the spellings, for a message.
std::string lensTermsSpellings();

struct CameraFitOptions {
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

struct CameraFit {
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
  // False when a stage stopped at its step budget (the level-3 record "The
  // calibration stopped before converging, after N steps").
  bool converged = true;
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

// Why a fit refused its input or gave up: the reason, and the view, counts
// and value its words name. fitFailureText gives the words, those of the
// level-2 record the fit writes.
enum class FitReason {
  kNone,                 // fitted
  kNoResult,             // No calibration to fill
  kImageSize,            // Image size W x H not positive or above N pixels
  kTooFewViews,          // Too few views to calibrate: N, at least M
  kOutlierThreshold,     // Outlier threshold X not a non-negative number
  kUnequalPoints,        // View V: image and target points differ in number: N vs. M
  kTooFewPoints,         // View V: too few points: N, at least M
  kPointsNotFinite,      // View V: points not finite
  kTargetOnALine,        // View V: the target's points lie on a line
  kRepeatedImagePoint,   // View V: points N and M have the same image point
  kRepeatedTargetPoint,  // View V: points N and M have the same target point
  kTooFewUsableViews,    // Too few views with a usable homography: N of V, at least M
  kPosesBehindCamera,    // The closed-form poses put target points behind the camera
  kLensNotSound,         // The fitted lens is not sound over the image
  // The single-view fit's own (calibration_utils/single_image_calibration.h).
  kSingleUnequalPoints,     // Image and target points differ in number: N vs. M
  kSingleTooFewPoints,      // Too few points to calibrate: N for M parameters
  kSingleNotFinite,         // Points or target scale not finite
  kSingleSizeOrScale,       // Image size N x M not positive, or target scale X negative
  kSingleGrid,              // V points do not fit a target grid of N x M
  kSingleOnALine,           // The points lie on a line
  kSingleNoHomography,      // No homography fits the points: they lie on a line or coincide
  kSinglePoseBehindCamera,  // The closed-form pose puts target points behind the camera
  kSingleLensFolds,         // The fitted lens folds inside the image
};
struct FitFailure {
  FitReason reason = FitReason::kNone;
  // The view, and the counts (or indices) and value the words name.
  long long view = 0, first = 0, second = 0;
  double value = 0.0;
};
// The words of a failure, byte for byte the level-2 record the fit writes;
// empty for kNone.
std::string fitFailureText(const FitFailure& failure);
// Whether the reason is of one view, FitFailure::view, whose words begin
// "View N: ".
bool fitFailureNamesView(FitReason reason);

// Fits the camera of a width x height image to the views. On success
// *result holds the lens, one pose per view (the identity for a dropped
// view, whose points are then all not kept and whose rms is not a number),
// the errors and the covariance (the directions the views do not
// determine named in `undetermined`, with a level-3 warning). *failure,
// when given, is set either way: kNone on success.
bool calibrateCamera(const std::vector<TargetView>& views, int width, int height,
                     const CameraFitOptions& options, CameraFit* result,
                     FitFailure* failure = nullptr);

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
bool projectionUncertainty(const CameraFit& calibration, int step, std::vector<float>* sigma_px);

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
bool summarizeUncertainty(const CameraFit& calibration, int step,
                          const std::vector<float>& sigma_px, UncertaintySummary* summary);

}  // namespace calibration
}  // namespace dravik

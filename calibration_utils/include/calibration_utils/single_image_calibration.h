// Calibration of a camera from a single view of a planar target.
//
// The camera is the rational model of calibration_utils/opencv_projection.h:
// fx, fy, cx, cy, the target's pose (R, t) and the lens k1..k6, p1, p2, all
// fitted to one view. The error per point is the root-mean-square
// reprojection error in pixels,
//   e = sqrt( sum_i |p_i - project(P_i)|^2 / n ),
// over the n pairs of an image point p_i and a target point P_i.
//
// How it works
// 1. Closed-form start. A homography H from the target to the image by the
//    normalised direct linear transform; the principal point at the image
//    centre ((width - 1) / 2, (height - 1) / 2); one focal length f from the two orthogonality
//    constraints of the target's axes, h1' W h2' = 0 and h1' W h1' = h2' W h2' with W = diag(1/f^2,
//    1/f^2, 1) on H moved to the principal point; the pose from K^-1 H; no distortion.
// 2. Levenberg-Marquardt in double precision on the Jacobian of the
//    residuals, written out by hand from the chain rule through the pose, the
//    perspective division, the lens (calibration_utils/lens_jacobian.h) and
//    the pinhole, with the columns scaled to unit norm and Marquardt's
//    damping. First the simplest rational lens, k1 and k4 with p1 and p2,
//    which one view determines well; then every parameter.
// 3. A single view pins the lens down only where the points are; a full
//    rational lens can follow them and still bend wildly between and beyond
//    them, up to a denominator of the radial factor (dravik/rational_lens.h)
//    that reaches zero. In the second stage every lens pays a penalty unless
//    its radial mapping r -> r R(r) rises with a slope of at least 0.05 and keeps its
//    denominator above 0.5, from the optical axis out to the image corner
//    farthest from the principal point. A lens that stays inside these
//    margins pays nothing, so a fit that is sound by itself is not biased.
//    Once the lens is sound by the exact rule (Lens::isSoundOverImage,
//    calibration_utils/lens_soundness.h) no step may leave it, and the
//    result must pass that rule and keep every target point in front of the
//    camera.
// The problem, the solver, the checks, the target's plane, the start without
// distortion and the stage constants are those of the multi-view fit
// (calibration_utils/camera_calibration.h) with one view.
//
// The focal length of a single view comes from its perspective. When the
// homography holds less than a pixel of perspective across the target (the
// target faces the camera) the focal length, the distance and the lens trade
// off exactly; the start then takes f = 0.866 image width (a 60 degree
// horizontal field of view), logs a warning (level 3), and the fit keeps that
// focal length up to what the data says. The error per point stays honest;
// the intrinsics are then only as good as that assumption.
//
// Accuracy. The stage of every parameter stops when a step lowers the cost
// |r|^2 by less than 1e-6 of itself. Two fits of the same view that differ
// only in the rounding of their arithmetic, or in the path they take to the
// minimum, agree to 1e-6 relative in the error per point and to 1e-5 px in
// the fitted pixel of every target point. Away from the points (beyond the
// outermost ones, towards the corners of the image) a single view holds the
// lens loosely, and such fits may differ there by a pixel or more.
//
// The fit is deterministic: the same inputs give the same bits and the same
// log records, every time and on every thread.
//
// Thread safety: calibrateFromSingleImage is reentrant, takes no lock and
// keeps nothing from one call to the next.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "calibration_utils/camera_calibration.h"
#include "calibration_utils/opencv_projection.h"

namespace dravik {
namespace calibration {

// Fits `projection` to one view and returns the error per point in pixels.
// - image_points: measured pixels of a image_size.x() x image_size.y() image.
// - target_points: the matching target points in target units, element by
//   element.
// - scalar: metres per target unit (the fitted translation is in metres);
//   0 when unknown, and target units are then taken as metres. The
//   intrinsics do not depend on it.
// - sample_size: the target grid's columns and rows; (0, 0) when unknown.
//   A view cannot hold more points than the grid has corners.
// On success *projection holds the fitted values.
// Bad input (sequences of unequal length, fewer than 18 points, points on one
// line, values that are not finite, an image size or grid that is zero or
// negative where it must be positive, a negative scalar, more points than the
// grid has corners),
// and a fit whose lens folds inside the image, return +infinity, log the
// reason (level 2, tag "calibration_utils"; *failure, when given, holds it
// as a value: the FitReason::kSingle... of camera_calibration.h) and leave
// *projection as it was. *failure is kNone after a fit.
double calibrateFromSingleImage(const std::vector<Eigen::Vector2f>& image_points,
                                const std::vector<Eigen::Vector2f>& target_points,
                                const Eigen::Vector2i& image_size, double scalar,
                                const Eigen::Vector2i& sample_size,
                                OpenCVProjection<double>* projection,
                                FitFailure* failure = nullptr);

}  // namespace calibration
}  // namespace dravik

// What the fits of planar views share: the image centre they start from,
// their stage constants, the checks of their input (each failure a
// FitFailure, logged in its words), each view's plane with its homography,
// the closed-form start without distortion, and the lens terms each stage
// frees. The multi-view fit (camera_calibration.cpp) fits any number of
// views; the single-view fit (single_image_calibration.cpp) is that fit's
// problem, solver and pieces on one view.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "calibration_utils/camera_calibration.h"
#include "levenberg_marquardt.h"
#include "reprojection_problem.h"
#include "view_geometry.h"

namespace dravik {
namespace calibration {

constexpr char kFitTag[] = "calibration_utils";

// The solver's budget per stage (a stage that ends along the soundness
// margin, where the rational lens's terms trade off almost freely, takes a
// couple of hundred), and its floor: an error per point of 1e-9 pixels is
// far below any measurement.
constexpr int kMaxEvaluationsPerStage = 400;
constexpr double kCostFloorPerPoint = 1e-18;
// The stages with every free term of several views stop only at this
// relative decrease: the rational lens's terms trade off so nearly freely
// that the last part of their descent, which settles the lens in the corners
// the views leave uncovered, lowers the cost by less than the solver's
// default stops at.
constexpr double kEveryTermRelativeDecrease = 1e-12;
// The stages of every term of one view stop at this relative decrease
// instead: one view leaves the rational lens's terms a long valley along
// which they trade off almost freely, and a view without perspective
// (whose focal length and distance trade off as well) crawls along it by
// parts in a million of the cost a step until the budget runs out.
constexpr double kOneViewRelativeDecrease = 1e-6;

// The centre of a width x height image, pixel centres at integers:
// ((width - 1) / 2, (height - 1) / 2). Every start puts the principal point
// there, and fix_principal_point holds it there.
inline Eigen::Vector2d imageCentre(int width, int height) {
  return Eigen::Vector2d(0.5 * (width - 1), 0.5 * (height - 1));
}

// The failure of `reason`, with the view, counts and value its words name.
FitFailure failureOf(FitReason reason, long long view = 0, long long first = 0,
                     long long second = 0, double value = 0.0);

// Writes the failure's words as a level-2 record, stores it in *out when
// given, and returns false.
bool refuse(const FitFailure& failure, FitFailure* out);

// The views a multi-view fit of `terms` needs at least: 3 for kRational,
// else 2.
size_t minimumViews(LensTerms terms);

// The first problem of a multi-view fit's input, as calibrateCamera
// documents it (but for a null result); kNone when there is none.
FitFailure checkViews(const std::vector<TargetView>& views, int width, int height,
                      const CameraFitOptions& options);

// A view as a fit holds it: the target's plane, the points in it, and the
// homography from it to the image; with its index in the caller's views.
struct PreparedView : TargetPlane {
  size_t index = 0;
  std::vector<Eigen::Vector2d> plane_points;
  Eigen::Matrix3d homography;  // image ~ H (plane point, 1)
};

// The target's plane (the two largest principal axes of its points), the
// points in it, and the homography from it to the image. False when the
// view shows the target edge-on or no homography fits.
bool prepareView(const TargetView& view, size_t index, PreparedView* prepared);

// The start without distortion: focal length f in x and y, the principal
// point at c, each view's pose from its homography.
void startWithoutDistortion(const std::vector<PreparedView>& prepared, double f,
                            const Eigen::Vector2d& c, CameraState* state);

// Whether a closed-form focal length of a width-pixel image is a camera's.
bool plausibleFocalLength(double f, int width);

// The intrinsics a stage frees: fx, fy, the principal point unless held, and
// the lens terms of `terms`: first the simplest lens they allow, then, with
// `every_term`, every one of them (dravik/rational_lens.h).
IntrinsicFreedom freedomOf(LensTerms terms, bool fix_principal_point, bool same_focal_length,
                           bool every_term);
// The same for the terms, principal point and focal lengths of `options`.
IntrinsicFreedom freedomOf(const CameraFitOptions& options, bool every_term);

// The rms of a cost |r|^2 over `points` points; 0 for none.
double rmsOf(double cost, size_t points);

}  // namespace calibration
}  // namespace dravik

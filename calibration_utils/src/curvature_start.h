// The lens's leading terms from the bending of the views alone, before the
// focal length is known: the start of a multi-view fit of a strong lens.
//
// Through the right lens, each view's undistorted points are a homography of
// the target's plane. The lens is written in units of the image's half
// diagonal R about the image's centre (K = [R 0 cx; 0 R cy]), which needs no
// focal length; its leading terms are found by Levenberg-Marquardt over the
// terms alone, every view's homography refitted to the undistorted points at
// each trial (the homographies absorb the focal length and the poses, so
// that the terms cannot trade against them), on numeric derivatives. A lens
// of focal length f has the same radial factor with k1 and k4 scaled by
// (f / R)^2, k2 and k5 by (f / R)^4 (curvatureLensAtFocalLength).
#pragma once

#include <Eigen/Core>
#include <array>
#include <vector>

namespace dravik {
namespace calibration {

// A view: the target's points in its plane and their pixels.
struct PlanarView {
  std::vector<Eigen::Vector2d> plane;
  std::vector<Eigen::Vector2d> image;
};

// The eight coefficients k1, k2, p1, p2, k3, k4, k5, k6 of a lens in units
// of the half diagonal, centred on the image.
using CurvatureLens = std::array<double, 8>;

// The terms that straighten the views, of k1, k2 (and, with `rational`, k4,
// k5), the others zero; with each view's homography from its plane to the
// image with the lens undone, in pixels (image ~ H (plane, 1)). False when
// no homography fits or the lens cannot undo the points.
bool lensFromCurvature(const std::vector<PlanarView>& views, int width, int height, bool rational,
                       CurvatureLens* lens, std::vector<Eigen::Matrix3d>* homographies);

// The coefficients of that lens for a camera of focal length f pixels.
CurvatureLens curvatureLensAtFocalLength(const CurvatureLens& lens, int width, int height,
                                         double f);

}  // namespace calibration
}  // namespace dravik

// The pose of a planar target in one view through a lens held fixed: the
// homography from the target's plane to the undistorted points, refined by
// Levenberg-Marquardt on the reprojection with the lens held.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "calibration_utils/lens.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

// The intrinsics of a lens (no skew) in the solver's order.
IntrinsicVector intrinsicsOfLens(const Lens& lens);

// The target's plane: its centroid and the rotation whose columns are the
// plane's axes (the two widest principal directions) and their normal, in
// the target frame. False when the points are not planar or lie on a line
// (the thinnest spread above `planarity_ratio` of the widest, in standard
// deviation).
bool targetPlane(const std::vector<Eigen::Vector3d>& points, double planarity_ratio,
                 Eigen::Vector3d* origin, Eigen::Matrix3d* target_from_plane);

// The pose from the homography alone. False when the target is not planar,
// fewer than `minimum_points` undistort or no homography fits.
bool homographyPoseThroughLens(const Lens& lens, const View& view, int minimum_points, Pose* pose);

// The pose from the homography, refined with the lens fixed. False as
// homographyPoseThroughLens, or when the pose puts target points behind the
// camera.
bool refinedPoseThroughLens(const Lens& lens, const View& view, int minimum_points, Pose* pose);

}  // namespace calibration
}  // namespace dravik

// The geometry of a planar target's views that the multi-view and the rig
// fits share: points finite, the target's plane (the two largest principal
// axes of its points), a view's pose from the homography of that plane, and
// poses as 4 x 4 matrices.
#pragma once

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <vector>

#include "calibration_utils/lens.h"
#include "reprojection_problem.h"

namespace dravik {
namespace calibration {

// A view needs this many points (and a homography four).
constexpr size_t kMinimumPointsPerView = 6;
// A target lies in a plane when its thinnest spread is at most this fraction
// of its widest (in standard deviation).
constexpr double kPlanarityRatio = 1e-6;
// The smaller principal spread of a target or an image below this fraction
// of the larger (in standard deviation) is a line.
constexpr double kMinimumSpreadRatio = 1e-6;

// True when every image and target point of a view (anything holding
// image_points and target_points) is finite.
template <typename TargetPoints>
bool allFinite(const TargetPoints& view) {
  for (const Eigen::Vector2d& p : view.image_points) {
    if (!p.allFinite()) return false;
  }
  for (const Eigen::Vector3d& p : view.target_points) {
    if (!p.allFinite()) return false;
  }
  return true;
}

// The principal spreads (variances, ascending) and axes of points about
// their mean.
template <int D>
void principalAxes(const std::vector<Eigen::Matrix<double, D, 1>>& points,
                   Eigen::Matrix<double, D, 1>* mean, Eigen::Matrix<double, D, 1>* spreads,
                   Eigen::Matrix<double, D, D>* axes) {
  using Vector = Eigen::Matrix<double, D, 1>;
  using Matrix = Eigen::Matrix<double, D, D>;
  *mean = Vector::Zero();
  for (const Vector& p : points) *mean += p;
  *mean /= static_cast<double>(points.size());
  Matrix scatter = Matrix::Zero();
  for (const Vector& p : points) scatter += (p - *mean) * (p - *mean).transpose();
  const Eigen::SelfAdjointEigenSolver<Matrix> eigen(scatter / static_cast<double>(points.size()));
  *spreads = eigen.eigenvalues();
  *axes = eigen.eigenvectors();
}

// True when the points span a plane (their two largest spreads are both
// substantial).
template <int D>
bool spanPlane(const std::vector<Eigen::Matrix<double, D, 1>>& points) {
  Eigen::Matrix<double, D, 1> mean, spreads;
  Eigen::Matrix<double, D, D> axes;
  principalAxes(points, &mean, &spreads, &axes);
  return spreads(D - 2) > kMinimumSpreadRatio * kMinimumSpreadRatio * spreads(D - 1);
}

// The target's plane in the target frame: its origin (the points' mean) and
// the rotation whose columns are its axes, the largest spread first, the
// third their cross product (right-handed).
struct TargetPlane {
  Eigen::Matrix3d target_from_plane_rotation;
  Eigen::Vector3d plane_origin;
};

// The plane of the target's points; *spreads (when given) their principal
// spreads, ascending.
TargetPlane planeOf(const std::vector<Eigen::Vector3d>& target_points,
                    Eigen::Vector3d* spreads = nullptr);

// A target point in the plane's frame.
Eigen::Vector2d inPlane(const TargetPlane& plane, const Eigen::Vector3d& target);

// The target's pose in a view whose plane maps to the image by H, for a
// camera without distortion of focal length fx, fy and principal point c.
Pose poseOf(const TargetPlane& plane, const Eigen::Matrix3d& H, double fx, double fy,
            const Eigen::Vector2d& c);

// The pose of a view through `lens`: the homography from the target's
// plane to the view's points with the lens undone (normalized coordinates,
// which need no focal length). False when the lens cannot undo enough of
// the points for a homography.
bool poseThroughLens(const TargetPlane& plane, const View& view, const Lens& lens, Pose* pose);

// True when the target's points span a plane and lie in it.
bool planarTarget(const std::vector<Eigen::Vector3d>& points);

// The intrinsics of a lens (no skew) in the solver's order.
IntrinsicVector intrinsicsOf(const Lens& lens);

// The other pose of a view of a planar target that explains it nearly as
// well where the target is seen small or obliquely: its plane's normal
// reflected about the line of sight to the centroid of the view's target
// points, turned about that centroid (which stays where it is).
Pose mirroredPose(const View& view, const Pose& pose);

// Refines the poses of views through `lens` held fixed, by Levenberg-
// Marquardt on their reprojection. False, *poses untouched, when a pose puts
// target points behind the camera.
bool refinePosesThroughLens(const Lens& lens, const std::vector<View>& views,
                            std::vector<Pose>* poses);

Eigen::Matrix4d matrixOf(const Pose& pose);
Pose poseOf(const Eigen::Matrix4d& camera_from_target);

}  // namespace calibration
}  // namespace dravik

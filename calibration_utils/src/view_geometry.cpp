#include "view_geometry.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>

#include "levenberg_marquardt.h"
#include "planar_homography.h"

namespace dravik {
namespace calibration {

TargetPlane planeOf(const std::vector<Eigen::Vector3d>& target_points, Eigen::Vector3d* spreads) {
  Eigen::Vector3d mean, principal;
  Eigen::Matrix3d axes;
  principalAxes(target_points, &mean, &principal, &axes);
  TargetPlane plane;
  plane.plane_origin = mean;
  plane.target_from_plane_rotation.col(0) = axes.col(2);
  plane.target_from_plane_rotation.col(1) = axes.col(1);
  plane.target_from_plane_rotation.col(2) = axes.col(2).cross(axes.col(1));
  if (spreads != nullptr) *spreads = principal;
  return plane;
}

Eigen::Vector2d inPlane(const TargetPlane& plane, const Eigen::Vector3d& target) {
  const Eigen::Vector3d in_plane =
      plane.target_from_plane_rotation.transpose() * (target - plane.plane_origin);
  return in_plane.head<2>();
}

Pose poseOf(const TargetPlane& plane, const Eigen::Matrix3d& H, double fx, double fy,
            const Eigen::Vector2d& c) {
  Eigen::Matrix3d camera_from_plane_rotation;
  Eigen::Vector3d camera_from_plane_translation;
  poseFromHomography(H, fx, fy, c, &camera_from_plane_rotation, &camera_from_plane_translation);
  // camera_from_target = camera_from_plane * plane_from_target.
  Pose pose;
  pose.camera_from_target_rotation =
      camera_from_plane_rotation * plane.target_from_plane_rotation.transpose();
  pose.translation =
      camera_from_plane_translation - pose.camera_from_target_rotation * plane.plane_origin;
  return pose;
}

bool poseThroughLens(const TargetPlane& plane, const View& view, const Lens& lens, Pose* pose) {
  std::vector<double> xy(2 * view.image.size());
  std::vector<std::uint8_t> ok(view.image.size());
  lens.normalizePixels(view.image.front().data(), view.image.size(), xy.data(), ok.data());
  std::vector<Eigen::Vector2d> in_plane, normalized;
  for (size_t i = 0; i < view.image.size(); ++i) {
    if (!ok[i]) continue;
    in_plane.push_back(inPlane(plane, view.target[i]));
    normalized.emplace_back(xy[2 * i], xy[2 * i + 1]);
  }
  Eigen::Matrix3d H;
  if (in_plane.size() < kMinimumPointsPerView || !estimateHomography(in_plane, normalized, &H)) {
    return false;
  }
  *pose = poseOf(plane, H, 1.0, 1.0, Eigen::Vector2d::Zero());
  return true;
}

bool planarTarget(const std::vector<Eigen::Vector3d>& points) {
  Eigen::Vector3d spreads;
  planeOf(points, &spreads);
  const double ratio = kPlanarityRatio * kPlanarityRatio;
  return spanPlane(points) && spreads(0) <= ratio * spreads(2);
}

IntrinsicVector intrinsicsOf(const Lens& lens) {
  IntrinsicVector k = IntrinsicVector::Zero();
  k(kFx) = lens.K()(0, 0);
  k(kFy) = lens.K()(1, 1);
  k(kCx) = lens.K()(0, 2);
  k(kCy) = lens.K()(1, 2);
  for (int i = 0; i < 8; ++i) k(kLens + i) = lens.distortion()[i];
  return k;
}

Pose mirroredPose(const View& view, const Pose& pose) {
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
  for (const Eigen::Vector3d& q : view.target) centroid += q;
  centroid /= double(std::max<size_t>(1, view.target.size()));
  const Eigen::Matrix3d& R = pose.camera_from_target_rotation;
  const Eigen::Vector3d seen = R * centroid + pose.translation;
  const Eigen::Vector3d sight = seen.normalized();
  const Eigen::Vector3d normal = R.col(2);
  const Eigen::Vector3d reflected = 2.0 * normal.dot(sight) * sight - normal;
  Pose mirrored;
  mirrored.camera_from_target_rotation =
      Eigen::Quaterniond::FromTwoVectors(normal, reflected).toRotationMatrix() * R;
  mirrored.translation = seen - mirrored.camera_from_target_rotation * centroid;
  return mirrored;
}

bool refinePosesThroughLens(const Lens& lens, const std::vector<View>& views,
                            std::vector<Pose>* poses) {
  CameraState state;
  state.intrinsics = intrinsicsOf(lens);
  state.poses = *poses;
  ReprojectionProblem problem(views, lens.width(), lens.height(), state);
  problem.setPenalties(false);
  if (!std::isfinite(problem.dataCost(state))) return false;
  SolverOptions solver;
  solver.freedom.free.fill(false);
  minimize(&problem, solver);
  *poses = problem.state().poses;
  return true;
}

Eigen::Matrix4d matrixOf(const Pose& pose) {
  Eigen::Matrix4d M = Eigen::Matrix4d::Identity();
  M.topLeftCorner<3, 3>() = pose.camera_from_target_rotation;
  M.topRightCorner<3, 1>() = pose.translation;
  return M;
}

Pose poseOf(const Eigen::Matrix4d& camera_from_target) {
  Pose pose;
  pose.camera_from_target_rotation = camera_from_target.topLeftCorner<3, 3>();
  pose.translation = camera_from_target.topRightCorner<3, 1>();
  return pose;
}

}  // namespace calibration
}  // namespace dravik

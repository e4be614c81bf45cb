#include "view_pose.h"

#include <Eigen/Eigenvalues>
#include <cmath>
#include <cstdint>

#include "levenberg_marquardt.h"
#include "planar_homography.h"

namespace dravik {
namespace calibration {

namespace {

// Planarity is judged at 1e-6 of the widest spread.
constexpr double kPlanarityRatio = 1e-6;

}  // namespace

IntrinsicVector intrinsicsOfLens(const Lens& lens) {
  IntrinsicVector k = IntrinsicVector::Zero();
  k(kFx) = lens.K(0, 0);
  k(kFy) = lens.K(1, 1);
  k(kCx) = lens.K(0, 2);
  k(kCy) = lens.K(1, 2);
  for (int i = 0; i < 8; ++i) k(kLens + i) = lens.distortion[i];
  return k;
}

bool targetPlane(const std::vector<Eigen::Vector3d>& points, double planarity_ratio,
                 Eigen::Vector3d* origin, Eigen::Matrix3d* target_from_plane) {
  *origin = Eigen::Vector3d::Zero();
  for (const Eigen::Vector3d& p : points) *origin += p;
  *origin /= static_cast<double>(points.size());
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  for (const Eigen::Vector3d& p : points) scatter += (p - *origin) * (p - *origin).transpose();
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(scatter);
  const Eigen::Vector3d spreads = eigen.eigenvalues();  // ascending
  const double ratio = planarity_ratio * planarity_ratio;
  if (!(spreads(1) > ratio * spreads(2)) || spreads(0) > ratio * spreads(2)) return false;
  target_from_plane->col(0) = eigen.eigenvectors().col(2);
  target_from_plane->col(1) = eigen.eigenvectors().col(1);
  target_from_plane->col(2) = target_from_plane->col(0).cross(target_from_plane->col(1));
  return true;
}

bool homographyPoseThroughLens(const Lens& lens, const View& view, int minimum_points, Pose* pose) {
  Eigen::Vector3d origin;
  Eigen::Matrix3d target_from_plane;
  if (view.image.empty() || view.image.size() != view.target.size() ||
      !targetPlane(view.target, kPlanarityRatio, &origin, &target_from_plane)) {
    return false;
  }
  std::vector<double> xy(2 * view.image.size());
  std::vector<std::uint8_t> ok(view.image.size());
  lens.normalizePixels(view.image.front().data(), view.image.size(), xy.data(), ok.data());
  std::vector<Eigen::Vector2d> plane, normalized;
  for (size_t i = 0; i < view.image.size(); ++i) {
    if (!ok[i]) continue;
    const Eigen::Vector3d p = target_from_plane.transpose() * (view.target[i] - origin);
    plane.emplace_back(p.x(), p.y());
    normalized.emplace_back(xy[2 * i], xy[2 * i + 1]);
  }
  Eigen::Matrix3d H;
  if (plane.size() < static_cast<size_t>(minimum_points) ||
      !estimateHomography(plane, normalized, &H)) {
    return false;
  }
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  poseFromHomography(H, 1.0, 1.0, Eigen::Vector2d::Zero(), &R, &t);
  // camera_from_target = camera_from_plane * plane_from_target.
  pose->camera_from_target_rotation = R * target_from_plane.transpose();
  pose->translation = t - pose->camera_from_target_rotation * origin;
  return pose->camera_from_target_rotation.allFinite() && pose->translation.allFinite();
}

bool refinedPoseThroughLens(const Lens& lens, const View& view, int minimum_points, Pose* pose) {
  CameraState state;
  state.intrinsics = intrinsicsOfLens(lens);
  state.poses.resize(1);
  if (!homographyPoseThroughLens(lens, view, minimum_points, &state.poses[0])) return false;
  const std::vector<View> views{view};
  ReprojectionProblem problem(views, lens.width, lens.height, state);
  problem.setPenalties(false);
  if (!std::isfinite(problem.dataCost(state))) return false;
  SolverOptions solver;
  solver.freedom.free.fill(false);
  minimize(&problem, solver);
  *pose = problem.state().poses[0];
  return true;
}

}  // namespace calibration
}  // namespace dravik

// A rig of the robot's cameras looking at a board held still in front of
// the robot at several moments, for the tests and the benchmark of the rig
// calibration: the cameras' lenses and poses of the embedded default
// calibration, exact projections of the board's corners (rendered_board.h's
// boardCorners) with Gaussian noise, each view kept when every corner lies
// inside its camera's image.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <random>
#include <string>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/rig_calibration.h"
#include "support/rendered_board.h"

namespace dravik {
namespace testing {

struct RigCamera {
  std::string name;
  calibration::Lens lens;
  Eigen::Matrix4d camera_from_robot;
};

// The named cameras of a set, at one image size (0 x 0: each at its full
// frame), with their poses.
inline std::vector<RigCamera> rigCameras(const calibration::CameraParametersSet& set,
                                         const std::vector<std::string>& names, int width = 0,
                                         int height = 0) {
  std::vector<RigCamera> cameras;
  for (const std::string& name : names) {
    const auto camera = set.getCamera(name);
    const calibration::CameraParameters::Intrinsics& full = camera->getFullFrame();
    cameras.push_back({name,
                       camera->getLens(width ? width : full.width, height ? height : full.height),
                       camera->getTransform().getTransform().cast<double>()});
  }
  return cameras;
}

// The cameras of the embedded default, at their full frames.
inline std::vector<RigCamera> robotRigCameras(const std::vector<std::string>& names) {
  return rigCameras(calibration::CameraParametersSet(), names);
}

inline std::vector<calibration::Lens> lensesOf(const std::vector<RigCamera>& cameras) {
  std::vector<calibration::Lens> lenses;
  for (const RigCamera& camera : cameras) lenses.push_back(camera.lens);
  return lenses;
}

struct RigSceneOptions {
  int moments = 15;
  double noise_px = 0.2;
  unsigned seed = 1;  // of the board's poses
  Chessboard board{9, 6, 0.06};
};

// The board's pose in the robot frame at each moment: facing the robot
// (its z along the robot's x), its centre 1.6 to 2.6 m ahead, up to 0.35 m
// to either side, 0.8 to 1.4 m high, tilted up to 30 degrees about either
// of its axes.
inline std::vector<Eigen::Matrix4d> rigBoardPoses(const RigSceneOptions& options) {
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Eigen::Matrix3d facing;  // columns: the board's axes in the robot frame
  facing << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  const Eigen::Vector3d centre(options.board.square * (options.board.columns - 1) / 2.0,
                               options.board.square * (options.board.rows - 1) / 2.0, 0.0);
  std::vector<Eigen::Matrix4d> poses;
  for (int m = 0; m < options.moments; ++m) {
    const double tilt_x = (unit(random) - 0.5) * 1.05, tilt_y = (unit(random) - 0.5) * 1.05;
    // One draw a declarator, so that every compiler draws in the same order.
    const double at_z = 0.8 + 0.6 * unit(random), at_y = 0.7 * (unit(random) - 0.5);
    const Eigen::Vector3d at(1.6 + unit(random), at_y, at_z);
    const Eigen::Matrix3d R = facing * (Eigen::AngleAxisd(tilt_y, Eigen::Vector3d::UnitY()) *
                                        Eigen::AngleAxisd(tilt_x, Eigen::Vector3d::UnitX()))
                                           .toRotationMatrix();
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = R;
    pose.topRightCorner<3, 1>() = at - R * centre;
    poses.push_back(pose);
  }
  return poses;
}

// The views of every camera at every moment (those with every corner inside
// the image), with noise of the given seed.
inline std::vector<calibration::RigMoment> rigMoments(const std::vector<RigCamera>& cameras,
                                                      const std::vector<Eigen::Matrix4d>& boards,
                                                      const RigSceneOptions& options,
                                                      unsigned noise_seed) {
  std::mt19937 random(noise_seed);
  std::normal_distribution<double> noise(0.0, options.noise_px);
  std::vector<calibration::RigMoment> moments;
  for (const Eigen::Matrix4d& robot_from_board : boards) {
    calibration::RigMoment moment;
    for (size_t c = 0; c < cameras.size(); ++c) {
      const calibration::Lens& lens = cameras[c].lens;
      calibration::RigView view;
      view.camera = c;
      const std::vector<Eigen::Vector2d> pixels =
          boardCorners(lens, options.board, cameras[c].camera_from_robot * robot_from_board,
                       &view.target_points);
      bool inside = true;
      for (const Eigen::Vector2d& p : pixels) {
        inside = inside && p.allFinite() && p.x() >= 0 && p.y() >= 0 && p.x() <= lens.width() - 1 &&
                 p.y() <= lens.height() - 1;
      }
      if (!inside) continue;
      for (const Eigen::Vector2d& p : pixels) {
        const double noise_v = noise(random);  // one draw a full expression, as above
        view.image_points.push_back(p + Eigen::Vector2d(noise(random), noise_v));
      }
      moment.views.push_back(std::move(view));
    }
    moments.push_back(std::move(moment));
  }
  return moments;
}

}  // namespace testing
}  // namespace dravik

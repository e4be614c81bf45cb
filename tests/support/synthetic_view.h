// Synthetic single views of a planar calibration grid (tests and benchmarks).
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cmath>
#include <random>
#include <vector>

#include "calibration_utils/opencv_projection.h"

namespace dravik {
namespace testing {

using TruthCamera = calibration::OpenCVProjection<double>;

// A 1280 x 960 camera with a strong rational lens: the radial factor falls to
// 0.64 at the image corners, monotone over the whole image.
inline TruthCamera strongRationalCamera() {
  // fx, fy, cx, cy, rotation, translation, k1..k6, p1, p2.
  return {900.0, 903.0, 652.0, 471.0, {}, {}, 0.3, 0.02, 0.001, 0.7, 0.06, 0.002, 0.0012, -0.0007};
}

// Places the target so that its point `centre` (metres) lies `distance` metres
// along the optical axis, turned by `tilt_x` about the camera's x axis, then
// `tilt_y` about its y axis, then `roll` about its z axis (radians).
inline void placeTarget(double tilt_x, double tilt_y, double roll, const Eigen::Vector2d& centre,
                        double distance, TruthCamera* camera) {
  const Eigen::Matrix3d R = (Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitZ()) *
                             Eigen::AngleAxisd(tilt_y, Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(tilt_x, Eigen::Vector3d::UnitX()))
                                .toRotationMatrix();
  const Eigen::Vector3d t =
      Eigen::Vector3d(0.0, 0.0, distance) - R * Eigen::Vector3d(centre.x(), centre.y(), 0.0);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) camera->rotation[r][c] = R(r, c);
    camera->translation[r] = t(r);
  }
}

struct GridView {
  std::vector<Eigen::Vector2f> image;   // pixels, with noise
  std::vector<Eigen::Vector2f> target;  // target units
  double truth_rms = 0.0;               // RMS of image - truth projection
};

// The corners of a cols x rows grid, `spacing` target units apart, seen through
// `camera` (target units times `scalar` are metres), with Gaussian noise of
// `noise` pixels per axis. Points that fall outside the image are left out.
inline GridView gridView(const TruthCamera& camera, int cols, int rows, double spacing,
                         double scalar, const Eigen::Vector2i& image_size, double noise = 0.0,
                         unsigned seed = 1) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gaussian(0.0, noise > 0.0 ? noise : 1.0);
  GridView view;
  double squared = 0.0;
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < cols; ++col) {
      const double tx = col * spacing, ty = row * spacing;
      double u, v;
      camera.projectTargetPoint(tx * scalar, ty * scalar, &u, &v);
      if (!(u >= 0.0 && v >= 0.0 && u <= image_size.x() && v <= image_size.y())) continue;
      const double du = noise > 0.0 ? gaussian(random) : 0.0;
      const double dv = noise > 0.0 ? gaussian(random) : 0.0;
      const Eigen::Vector2f measured(static_cast<float>(u + du), static_cast<float>(v + dv));
      squared += std::pow(measured.x() - u, 2) + std::pow(measured.y() - v, 2);
      view.image.push_back(measured);
      view.target.emplace_back(static_cast<float>(tx), static_cast<float>(ty));
    }
  }
  view.truth_rms = view.image.empty() ? 0.0 : std::sqrt(squared / view.image.size());
  return view;
}

// 165 points of a 15 x 11 grid of 40 mm squares (target units of mm), turned
// 26 degrees about the camera's x axis and 20 about its y, 0.45 m away through
// the strong rational camera: about 80 % of the image's width, 75 % of its height.
inline GridView obliqueView(double noise = 0.0, unsigned seed = 1,
                            TruthCamera* truth_out = nullptr) {
  TruthCamera truth = strongRationalCamera();
  placeTarget(0.45, -0.35, 0.05, Eigen::Vector2d(0.28, 0.16), 0.45, &truth);
  if (truth_out != nullptr) *truth_out = truth;
  return gridView(truth, 15, 11, 40.0, 0.001, Eigen::Vector2i(1280, 960), noise, seed);
}

}  // namespace testing
}  // namespace dravik

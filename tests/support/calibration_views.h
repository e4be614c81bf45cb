// Synthetic views of a calibration board by a known lens, for the tests and
// the benchmark of the multi-view calibration (its result a CameraFit).
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/camera_calibration.h"
#include "calibration_utils/lens_soundness.h"
#include "dravik/geometry.h"
#include "support/undistortion_lenses.h"

namespace dravik {
namespace testing {

// A wide lens of a 1280 x 960 image: f = 560 px, the corners 69 degrees off
// axis, the radial factor down to 0.56 there; sound far beyond the image.
inline calibration::Lens wideLens() {
  return makeLens(1280, 960, (Eigen::Matrix3f() << 560, 0, 645, 0, 562, 478, 0, 0, 1).finished(),
                  {0.1f, 0.0f, 0.0005f, -0.0003f, 0.0f, 0.3f, 0.0f, 0.0f});
}

struct BoardViewOptions {
  int count = 20;
  double noise_px = 0.2;
  // The board's points lie inside the middle `coverage` of the image's
  // width and height.
  double coverage = 1.0;
  // The centre of that window, as fractions of width and height.
  double window_centre_x = 0.5, window_centre_y = 0.5;
  unsigned seed = 1;
};

// `count` views of a 9 x 6 board of 4 cm squares at random poses (tilted up
// to 35 degrees, its centre anywhere in the window), every corner seen inside
// the window, with Gaussian noise on the pixels; the true poses go to
// *camera_from_target.
inline std::vector<calibration::TargetView> boardViews(
    const calibration::Lens& lens, const BoardViewOptions& options,
    std::vector<Eigen::Matrix4d>* camera_from_target = nullptr) {
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, options.noise_px);
  std::vector<Eigen::Vector3d> corners;
  for (int i = 0; i < 54; ++i) corners.emplace_back(0.04 * (i % 9), 0.04 * (i / 9), 0.0);
  const Eigen::Vector3d centre(0.16, 0.10, 0.0);
  const double w = lens.width(), h = lens.height();
  const double half_w = 0.5 * options.coverage * w, half_h = 0.5 * options.coverage * h;
  const double mid_u = options.window_centre_x * w, mid_v = options.window_centre_y * h;
  // At this distance the board spans about a third of the window.
  const double distance = 0.32 * lens.K()(0, 0) / (0.35 * options.coverage * w);
  std::vector<calibration::TargetView> views;
  if (camera_from_target != nullptr) camera_from_target->clear();
  for (int attempt = 0; attempt < 100000 && static_cast<int>(views.size()) < options.count;
       ++attempt) {
    // One draw a statement, so that every compiler draws in this order.
    const double u = mid_u + (2.0 * unit(random) - 1.0) * 0.7 * half_w;
    const double v = mid_v + (2.0 * unit(random) - 1.0) * 0.7 * half_h;
    const double depth = distance * (0.8 + 0.5 * unit(random));
    const double tilt_x = 1.2 * (unit(random) - 0.5);
    const double tilt_y = 1.2 * (unit(random) - 0.5);
    const double roll = 0.8 * (unit(random) - 0.5);
    const Eigen::Matrix3d R = (Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitZ()) *
                               Eigen::AngleAxisd(tilt_y, Eigen::Vector3d::UnitY()) *
                               Eigen::AngleAxisd(tilt_x, Eigen::Vector3d::UnitX()))
                                  .toRotationMatrix();
    const Eigen::Vector3d direction((u - lens.K()(0, 2)) / lens.K()(0, 0),
                                    (v - lens.K()(1, 2)) / lens.K()(1, 1), 1.0);
    const Eigen::Vector3d t = depth * direction - R * centre;
    calibration::TargetView view;
    for (const Eigen::Vector3d& corner : corners) {
      const Eigen::Vector3d X = R * corner + t;
      const Eigen::Vector2d pixel = lens.project(X);
      if (!(X.z() > 0.0) || std::abs(pixel.x() - mid_u) > half_w ||
          std::abs(pixel.y() - mid_v) > half_h || pixel.x() < 0 || pixel.y() < 0 ||
          pixel.x() > w - 1 || pixel.y() > h - 1) {
        break;
      }
      view.image_points.push_back(pixel);
      view.target_points.push_back(corner);
    }
    if (view.image_points.size() < corners.size()) continue;
    for (Eigen::Vector2d& p : view.image_points) {
      const double noise_v = noise(random);
      const double noise_u = noise(random);
      p += Eigen::Vector2d(noise_u, noise_v);
    }
    views.push_back(std::move(view));
    if (camera_from_target != nullptr)
      camera_from_target->push_back((Eigen::Translation3d(t) * R).matrix());
  }
  return views;
}

// `count` views of the navigation lens with `noise` px per coordinate.
inline std::vector<calibration::TargetView> navigationViews(int count, double noise,
                                                            unsigned seed = 1) {
  BoardViewOptions options;
  options.count = count;
  options.noise_px = noise;
  options.seed = seed;
  return boardViews(navigationLens(), options);
}

// A wide rational lens of a 1280 x 960 image whose corners lie 60 to 70
// degrees off axis, barrel k1 held in by k4: seed 0 the navigation camera's
// (f = 618 px, k1 = -0.21, k4 = 0.12, corners 65 degrees off axis), others
// drawn around it (f 560 to 680 px, k1 -0.25 to -0.17, k2 0.03 to 0.06, k4
// 0.08 to 0.16, k5 0 to 0.01, tangential terms up to 0.0005, the principal
// point up to 10 px off centre), drawn again until sound over the image.
inline calibration::Lens wideRationalLens(unsigned seed = 0) {
  if (seed == 0) {
    return makeLens(1280, 960,
                    (Eigen::Matrix3f() << 618, 0, 641.7f, 0, 618, 478.3f, 0, 0, 1).finished(),
                    {-0.21f, 0.045f, 0.0004f, -0.0003f, 0.0f, 0.12f, 0.006f, 0.0f});
  }
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const auto between = [&](double low, double high) { return low + (high - low) * unit(random); };
  for (;;) {
    const float f = static_cast<float>(between(560.0, 680.0));
    const float cx = static_cast<float>(between(629.5, 649.5));
    const float cy = static_cast<float>(between(469.5, 489.5));
    const float k1 = static_cast<float>(between(-0.25, -0.17));
    const float k2 = static_cast<float>(between(0.03, 0.06));
    const float p1 = static_cast<float>(between(-0.0005, 0.0005));
    const float p2 = static_cast<float>(between(-0.0005, 0.0005));
    const float k4 = static_cast<float>(between(0.08, 0.16));
    const float k5 = static_cast<float>(between(0.0, 0.01));
    const calibration::Lens lens =
        makeLens(1280, 960, (Eigen::Matrix3f() << f, 0, cx, 0, f, cy, 0, 0, 1).finished(),
                 {k1, k2, p1, p2, 0.0f, k4, k5, 0.0f});
    if (lens.isSoundOverImage()) return lens;  // else drawn again
  }
}

struct NearViewOptions {
  int count = 15;
  double nearest_m = 0.25, farthest_m = 1.0;
  // The board's normal turns this far from the line of sight, about an
  // axis in the board's plane drawn at random.
  double least_tilt = 15.0 * M_PI / 180.0, most_tilt = 40.0 * M_PI / 180.0;
  double noise_px = 0.0;
  unsigned seed = 1;
};

// `count` views of a 9 x 6 board of 4 cm squares, near and tilted, spread
// over the image: view k's centre lies in cell k of a 5 x 3 grid over the
// image (cell k mod 15), drawn anew until every corner is seen inside the
// image (after 200 draws anywhere in the image). Exact projections unless
// noise_px > 0. One random draw a statement, in a fixed order.
inline std::vector<calibration::TargetView> nearTiltedViews(
    const calibration::Lens& lens, const NearViewOptions& options,
    std::vector<Eigen::Matrix4d>* camera_from_target = nullptr) {
  constexpr int kColumns = 9, kRows = 6, kCellColumns = 5, kCellRows = 3;
  constexpr double kSquare = 0.04;
  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, options.noise_px > 0.0 ? options.noise_px : 1.0);
  const Eigen::Vector3d centre(0.5 * kSquare * (kColumns - 1), 0.5 * kSquare * (kRows - 1), 0.0);
  const double w = lens.width(), h = lens.height();
  std::vector<calibration::TargetView> views;
  if (camera_from_target != nullptr) camera_from_target->clear();
  int attempts = 0;
  while (static_cast<int>(views.size()) < options.count && attempts < 100000) {
    const int cell = static_cast<int>(views.size()) % (kCellColumns * kCellRows);
    const bool anywhere = ++attempts > 200;
    const double cell_u = unit(random);
    const double cell_v = unit(random);
    const double u = anywhere ? cell_u * w : (cell % kCellColumns + cell_u) * w / kCellColumns;
    const double v = anywhere ? cell_v * h : (cell / kCellColumns + cell_v) * h / kCellRows;
    const double distance =
        options.nearest_m + (options.farthest_m - options.nearest_m) * unit(random);
    const double tilt =
        options.least_tilt + (options.most_tilt - options.least_tilt) * unit(random);
    const double tilt_axis = 2.0 * M_PI * unit(random);
    const double roll = 0.5 * (unit(random) - 0.5);
    const Eigen::Matrix3d R =
        (Eigen::AngleAxisd(tilt, Eigen::Vector3d(std::cos(tilt_axis), std::sin(tilt_axis), 0.0)) *
         Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitZ()))
            .toRotationMatrix();
    const calibration::RectifiedPoint ray = lens.normalize(Eigen::Vector2d(u, v));
    if (!ray.converged) continue;
    const Eigen::Vector3d t =
        distance * Eigen::Vector3d(ray.point.x(), ray.point.y(), 1.0) - R * centre;
    calibration::TargetView view;
    for (int i = 0; i < kColumns * kRows; ++i) {
      const Eigen::Vector3d corner(kSquare * (i % kColumns), kSquare * (i / kColumns), 0.0);
      const Eigen::Vector3d X = R * corner + t;
      const Eigen::Vector2d pixel = lens.project(X);
      if (!(X.z() > 0.0) ||
          !(pixel.x() >= 0.0 && pixel.y() >= 0.0 && pixel.x() <= w - 1 && pixel.y() <= h - 1)) {
        break;
      }
      view.image_points.push_back(pixel);
      view.target_points.push_back(corner);
    }
    if (view.image_points.size() < static_cast<size_t>(kColumns * kRows)) continue;
    if (options.noise_px > 0.0) {
      for (Eigen::Vector2d& p : view.image_points) {
        const double noise_u = noise(random);
        const double noise_v = noise(random);
        p += Eigen::Vector2d(noise_u, noise_v);
      }
    }
    views.push_back(std::move(view));
    attempts = 0;
    if (camera_from_target != nullptr)
      camera_from_target->push_back((Eigen::Translation3d(t) * R).matrix());
  }
  return views;
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV's calibration of the same views, with its lens (as a Lens of the
// size), rms and standard deviations of fx fy cx cy k1 k2 p1 p2 k3 k4 k5 k6
// (OpenCV's first twelve). `flags` as cv::calibrateCamera takes them.
struct OpenCvCalibration {
  calibration::Lens lens;
  double rms = 0.0;
  Eigen::Matrix<double, 12, 1> standard_deviations = Eigen::Matrix<double, 12, 1>::Zero();
};
inline OpenCvCalibration openCvCalibration(const std::vector<calibration::TargetView>& views,
                                           int width, int height, int flags) {
  std::vector<std::vector<cv::Point3f>> object_points;
  std::vector<std::vector<cv::Point2f>> image_points;
  for (const calibration::TargetView& view : views) {
    object_points.emplace_back();
    image_points.emplace_back();
    for (const Eigen::Vector3d& P : view.target_points)
      object_points.back().emplace_back(P.x(), P.y(), P.z());
    for (const Eigen::Vector2d& p : view.image_points)
      image_points.back().emplace_back(p.x(), p.y());
  }
  cv::Mat K, distortion, deviations, extrinsic_deviations, errors;
  std::vector<cv::Mat> rotations, translations;
  OpenCvCalibration out;
  out.rms =
      cv::calibrateCamera(object_points, image_points, cv::Size(width, height), K, distortion,
                          rotations, translations, deviations, extrinsic_deviations, errors, flags);
  Eigen::Matrix3f fitted_K;
  for (int i = 0; i < 9; ++i) fitted_K(i / 3, i % 3) = static_cast<float>(K.at<double>(i));
  LensCoefficients fitted{};
  for (int i = 0; i < std::min<int>(8, static_cast<int>(distortion.total())); ++i)
    fitted[i] = static_cast<float>(distortion.at<double>(i));
  out.lens = makeLens(width, height, fitted_K, fitted);
  // Before 4.7, OpenCV divided the residuals' squared sum by the number of
  // points less the free parameters, not by the number of residuals (2 per
  // point) less them; its deviations are brought to the latter here.
  double scale = 1.0;
#if CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR < 7
  size_t points = 0;
  for (const calibration::TargetView& view : views) points += view.image_points.size();
  const double free_parameters =
      cv::countNonZero(deviations) + cv::countNonZero(extrinsic_deviations);
  scale = std::sqrt((points - free_parameters) / (2.0 * points - free_parameters));
#endif
  for (int i = 0; i < std::min<int>(12, static_cast<int>(deviations.total())); ++i)
    out.standard_deviations(i) = scale * deviations.at<double>(i);
  return out;
}
#endif

}  // namespace testing
}  // namespace dravik

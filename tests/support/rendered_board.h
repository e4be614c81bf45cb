// Chessboard images rendered through a known lens at known poses, for the
// tests of corner detection and calibration.
//
// Each pixel is inverse-mapped: its subpixel samples are undistorted by the
// library's exact inverse of the lens (Lens::normalizePixels) into viewing
// rays, each ray meets the board's plane, and the sample takes the colour of
// the board there; the pixel is the mean of its S x S samples (antialiasing),
// plus a little Gaussian noise. The rays depend on the lens only, so a
// BoardRenderer computes them once and renders any number of poses.
//
// The board: columns x rows inner corners `square` metres apart, corner (c, r)
// at (c square, r square, 0) of the board frame; (columns + 1) x (rows + 1)
// squares, the one whose top-left corner is (-1, -1) squares dark; a white
// margin one square wide around them; a mid-grey world beyond.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "calibration_utils/lens.h"

namespace dravik {
namespace testing {

struct Chessboard {
  int columns = 9, rows = 6;
  double square = 0.03;  // metres
};

// Where the lens sees the board's inner corners, row by row, and the
// corners in the board's frame.
inline std::vector<Eigen::Vector2d> boardCorners(const calibration::Lens& lens,
                                                 const Chessboard& board,
                                                 const Eigen::Matrix4d& camera_from_board,
                                                 std::vector<Eigen::Vector3d>* target = nullptr) {
  std::vector<Eigen::Vector2d> pixels;
  for (int r = 0; r < board.rows; ++r)
    for (int c = 0; c < board.columns; ++c) {
      const Eigen::Vector3d P(c * board.square, r * board.square, 0.0);
      pixels.push_back(lens.project(camera_from_board.topLeftCorner<3, 3>() * P +
                                    camera_from_board.topRightCorner<3, 1>()));
      if (target) target->push_back(P);
    }
  return pixels;
}

class BoardRenderer {
 public:
  BoardRenderer(const calibration::Lens& lens, int supersampling)
      : lens_(lens), samples_(supersampling) {
    const int w = lens.width() * samples_, h = lens.height() * samples_;
    rays_.resize(size_t(w) * h * 2);
    for (int row = 0; row < h; ++row)
      for (int column = 0; column < w; ++column) {
        // Sample (a, b) of pixel (i, j) sits at i - 0.5 + (a + 0.5) / S.
        const size_t k = (size_t(row) * w + size_t(column)) * 2;
        rays_[k] = (column + 0.5) / samples_ - 0.5;
        rays_[k + 1] = (row + 0.5) / samples_ - 0.5;
      }
    lens.normalizePixels(rays_.data(), size_t(w) * h, rays_.data(), nullptr);
  }

  // The gray image (row-major, lens.width() x lens.height()) of the board at
  // camera_from_board, with Gaussian noise of `noise` gray levels.
  std::vector<std::uint8_t> render(const Chessboard& board,
                                   const Eigen::Matrix4d& camera_from_board, double noise,
                                   unsigned seed) const {
    const std::vector<double> shading = renderPattern(
        [&board](const Eigen::Vector3d& P) { return shade(board, P); }, camera_from_board);
    std::mt19937 random(seed);
    std::normal_distribution<double> gaussian(0.0, 1.0);
    std::vector<std::uint8_t> image(shading.size());
    for (size_t k = 0; k < shading.size(); ++k) {
      const double value = shading[k] + noise * gaussian(random);
      image[k] = static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, value))));
    }
    return image;
  }

  // The image of any planar pattern at camera_from_board, gray levels not
  // rounded and without noise, row-major: `pattern(P)` is the gray level at
  // the point P of the board's plane (z = 0, metres); a ray that misses the
  // plane sees the mid-grey world.
  template <class Pattern>
  std::vector<double> renderPattern(const Pattern& pattern,
                                    const Eigen::Matrix4d& camera_from_board) const {
    const Eigen::Matrix3d R = camera_from_board.topLeftCorner<3, 3>();
    const Eigen::Vector3d t = camera_from_board.topRightCorner<3, 1>();
    const Eigen::Vector3d normal = R.col(2);
    const double offset = normal.dot(t);
    const int w = lens_.width() * samples_;
    std::vector<double> image(size_t(lens_.width()) * lens_.height());
    for (int j = 0; j < lens_.height(); ++j) {
      for (int i = 0; i < lens_.width(); ++i) {
        double sum = 0.0;
        for (int b = 0; b < samples_; ++b)
          for (int a = 0; a < samples_; ++a) {
            const size_t k = size_t(j * samples_ + b) * w + size_t(i * samples_ + a);
            const Eigen::Vector3d ray(rays_[2 * k], rays_[2 * k + 1], 1.0);
            const double along = normal.dot(ray);
            const double depth = along != 0.0 ? offset / along : -1.0;
            sum += depth > 0.0 ? pattern(R.transpose() * (depth * ray - t)) : kWorld;
          }
        image[size_t(j) * lens_.width() + i] = sum / (samples_ * samples_);
      }
    }
    return image;
  }

  const calibration::Lens& lens() const { return lens_; }

  // The gray level of the board of render() at P of its plane.
  static double shadeChessboard(const Chessboard& board, const Eigen::Vector3d& P) {
    return shade(board, P);
  }

  // The gray levels of the board's dark and light squares and of the world.
  static constexpr double kDark = 25.0, kLight = 225.0, kWorld = 110.0;

 private:
  static double shade(const Chessboard& board, const Eigen::Vector3d& P) {
    const double i = std::floor(P.x() / board.square), j = std::floor(P.y() / board.square);
    const bool on_squares = i >= -1 && i <= board.columns - 1 && j >= -1 && j <= board.rows - 1;
    if (on_squares) return (int(i) + int(j)) % 2 == 0 ? kDark : kLight;
    const bool on_margin = i >= -2 && i <= board.columns && j >= -2 && j <= board.rows;
    return on_margin ? kLight : kWorld;
  }

  calibration::Lens lens_;
  int samples_;
  std::vector<double> rays_;  // the ray (x, y, 1) of each sample, x and y interleaved
};

// The board turned by roll about its own normal, then by tilt_x about the
// camera's x axis, then tilt_y about its y axis (radians), its centre on the
// ray of `pixel` at `distance` metres along the optical axis.
inline Eigen::Matrix4d boardPose(const calibration::Lens& lens, const Chessboard& board,
                                 const Eigen::Vector2d& pixel, double distance, double tilt_x,
                                 double tilt_y, double roll = 0.0) {
  const Eigen::Matrix3d R = (Eigen::AngleAxisd(tilt_y, Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(tilt_x, Eigen::Vector3d::UnitX()) *
                             Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitZ()))
                                .toRotationMatrix();
  const Eigen::Vector2d ray = lens.normalize(pixel).point;
  const Eigen::Vector3d centre(board.square * (board.columns - 1) / 2.0,
                               board.square * (board.rows - 1) / 2.0, 0.0);
  const Eigen::Vector3d t = distance * Eigen::Vector3d(ray.x(), ray.y(), 1.0) - R * centre;
  return (Eigen::Translation3d(t) * R).matrix();
}

}  // namespace testing
}  // namespace dravik

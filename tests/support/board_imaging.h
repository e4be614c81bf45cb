// Realistic pictures of calibration boards, on top of BoardRenderer
// (rendered_board.h): ChArUco boards beside chessboards, and what a real
// camera does to the light before a picture is written: uneven lighting and
// vignetting, defocus blur, sensor noise and JPEG compression. Used by the
// detection tests, the detection benchmark and tools/render_boards, so that
// all three see the same images.
//
// A ChArUco board is OpenCV's (its aruco module): squares_x x squares_y
// squares, the one at the board's origin dark, markers of the dictionary in
// the light squares; its inner corner with id k is corner (k % (squares_x -
// 1), k / (squares_x - 1)) of a Chessboard of squares_x - 1 by squares_y - 1
// inner corners, so that boardCorners() and boardPose() of rendered_board.h
// serve both.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/aruco/charuco.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "support/rendered_board.h"

namespace dravik {
namespace testing {

// A chessboard as BoardRenderer::render draws it, as a pattern.
struct ChessboardPattern {
  Chessboard board;
  double operator()(const Eigen::Vector3d& P) const {
    return BoardRenderer::shadeChessboard(board, P);
  }
};

// A ChArUco board as OpenCV lays it out, drawn once into a texture.
class CharucoPattern {
 public:
  CharucoPattern(int squares_x, int squares_y, double square, double marker, int dictionary,
                 int pixels_per_square = 48)
      : squares_x_(squares_x), squares_y_(squares_y), square_(square), pixels_(pixels_per_square) {
    const cv::Ptr<cv::aruco::CharucoBoard> board =
        cv::aruco::CharucoBoard::create(squares_x, squares_y, float(square), float(marker),
                                        cv::aruco::getPredefinedDictionary(dictionary));
    board->draw(cv::Size(squares_x * pixels_, squares_y * pixels_), texture_, 0, 1);
  }

  // Its inner corners, as rendered_board.h's functions take them.
  Chessboard corners() const { return {squares_x_ - 1, squares_y_ - 1, square_}; }

  // The gray level at P of the board's frame (inner corner 0 at the origin):
  // the squares and markers, a light margin one square wide, the world beyond.
  double operator()(const Eigen::Vector3d& P) const {
    const double x = P.x() / square_ + 1.0, y = P.y() / square_ + 1.0;  // squares from the edge
    if (x < 0.0 || y < 0.0 || x >= squares_x_ || y >= squares_y_) {
      const bool margin = x >= -1.0 && y >= -1.0 && x < squares_x_ + 1 && y < squares_y_ + 1;
      return margin ? BoardRenderer::kLight : BoardRenderer::kWorld;
    }
    const int column = std::min(texture_.cols - 1, int(x * pixels_));
    const int row = std::min(texture_.rows - 1, int(y * pixels_));
    return texture_.at<std::uint8_t>(row, column) > 127 ? BoardRenderer::kLight
                                                        : BoardRenderer::kDark;
  }

 private:
  int squares_x_, squares_y_;
  double square_;
  int pixels_;
  cv::Mat texture_;  // 8-bit, black and white, squares_x x squares_y squares
};

// What the camera does to the light, each off at zero.
struct Imaging {
  double lighting = 0.0;    // brightness rises by this fraction from the left edge to the right
  double vignetting = 0.0;  // brightness lost at the image's corners, a fraction
  double blur_px = 0.0;     // radius of the defocus disc, pixels
  double noise = 0.0;       // sensor noise, gray levels at mid-grey (shot noise grows with light)
  int jpeg_quality = 0;     // JPEG compression at this quality, 1 to 100; 0 for none
};

// The 8-bit picture of a rendered shading (BoardRenderer::renderPattern)
// through `imaging`.
inline cv::Mat takePicture(const std::vector<double>& shading, int width, int height,
                           const Imaging& imaging, unsigned seed) {
  cv::Mat light(height, width, CV_64F);
  const double cx = 0.5 * (width - 1), cy = 0.5 * (height - 1);
  const double corner2 = cx * cx + cy * cy;
  for (int j = 0; j < height; ++j)
    for (int i = 0; i < width; ++i) {
      const double r2 = ((i - cx) * (i - cx) + (j - cy) * (j - cy)) / corner2;
      const double gain = (1.0 - imaging.lighting * 0.5 + imaging.lighting * i / (width - 1)) *
                          (1.0 - imaging.vignetting * r2);
      light.at<double>(j, i) = shading[size_t(j) * width + i] * gain;
    }
  if (imaging.blur_px > 0.0) {
    // The defocus disc, its rim antialiased by 4 x 4 samples per tap.
    const int reach = int(std::ceil(imaging.blur_px));
    cv::Mat disc(2 * reach + 1, 2 * reach + 1, CV_64F, cv::Scalar(0.0));
    for (int y = -reach; y <= reach; ++y)
      for (int x = -reach; x <= reach; ++x) {
        int inside = 0;
        for (int b = 0; b < 4; ++b)
          for (int a = 0; a < 4; ++a) {
            const double u = x - 0.375 + 0.25 * a, v = y - 0.375 + 0.25 * b;
            inside += u * u + v * v <= imaging.blur_px * imaging.blur_px;
          }
        disc.at<double>(y + reach, x + reach) = inside;
      }
    disc /= cv::sum(disc)[0];
    cv::filter2D(light, light, -1, disc, cv::Point(-1, -1), 0.0, cv::BORDER_REPLICATE);
  }
  std::mt19937 random(seed);
  std::normal_distribution<double> gaussian(0.0, 1.0);
  cv::Mat picture(height, width, CV_8UC1);
  for (int j = 0; j < height; ++j)
    for (int i = 0; i < width; ++i) {
      const double value = light.at<double>(j, i);
      const double sigma = imaging.noise * std::sqrt(0.3 + 0.7 * std::max(0.0, value) / 128.0);
      picture.at<std::uint8_t>(j, i) =
          cv::saturate_cast<std::uint8_t>(value + sigma * gaussian(random));
    }
  if (imaging.jpeg_quality > 0) {
    std::vector<std::uint8_t> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, imaging.jpeg_quality});
    picture = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
  }
  return picture;
}

// The imaging of an ordinary photograph taken indoors: a little defocus,
// noise, light falling off to the corners and from one side, JPEG.
inline Imaging ordinaryImaging() { return {0.3, 0.35, 1.2, 2.5, 90}; }

// The distance, metres, of calibrationPoses's views of a board `width_m`
// wide: it fills about two thirds of the image's width; with
// `reach_corners`, whose outer views come nearer, farther, so that the board
// still shows whole markers where the lens squeezes the image's corners.
inline double viewingDistance(const calibration::Lens& lens, double width_m, bool reach_corners) {
  return (reach_corners ? 1.8 : 1.4) * width_m * lens.K()(0, 0) / lens.width();
}

// Views for a calibration, `count` of them: boards over a 3 x 3 grid of the
// image, tilted to face the camera, and at the centre tilted each way. Each
// view is shifted by a few hundredths of the image and rolled a little about
// its normal, by a low-discrepancy sequence, so that no two views lay their
// corners along the same rows and columns of pixels. With `reach_corners`,
// the outer views' boards are pushed past the image's edges and corners (a
// ChArUco board still gives the corners it shows), so that their corners
// reach the image's corners; without it every board stays whole.
inline std::vector<Eigen::Matrix4d> calibrationPoses(const calibration::Lens& lens,
                                                     const Chessboard& board, double distance,
                                                     int count, bool reach_corners) {
  constexpr double kTilt = 0.35;
  std::vector<Eigen::Matrix4d> poses;
  for (int k = 0; k < count; ++k) {
    const int cell = k % 12;
    const int i = cell % 3, j = cell / 3 % 3;
    const bool grid = cell < 9 && cell != 4;
    const bool corner = grid && i != 1 && j != 1;
    // The additive recurrence of the plastic number, spread evenly over
    // [-0.5, 0.5)^2 whatever the count.
    const double a = std::fmod(0.5 + 0.7548776662466927 * k, 1.0) - 0.5;
    const double b = std::fmod(0.5 + 0.5698402909980532 * k, 1.0) - 0.5;
    const double reach = reach_corners ? (corner ? 0.42 : 0.38) : (corner ? 0.3 : 0.33);
    const double u = lens.width() * (0.5 + (grid ? (i - 1) * reach : 0.0) + 0.04 * a);
    const double v = lens.height() * (0.5 + (grid ? (j - 1) * reach : 0.0) + 0.04 * b);
    double tilt_x = (1 - j) * kTilt, tilt_y = (i - 1) * kTilt;
    if (!grid) tilt_x = (cell % 2 ? 1 : -1) * kTilt, tilt_y = (cell - 9) * 0.5 * kTilt;
    // Later rounds a little nearer, turned a little more.
    const double round = double(k / 12);
    const double scale = (grid ? (reach_corners ? 0.75
                                  : corner      ? 1.5
                                                : 1.15)
                               : 1.0) *
                         (1 - 0.1 * round);
    const double turn = 1 + 0.2 * round;
    poses.push_back(boardPose(lens, board, {u, v}, scale * distance, tilt_x * turn, tilt_y * turn,
                              0.12 * (a - b)));
  }
  return poses;
}

// Views over the image's four corners, `per_corner` rounds of four: each
// board's centre on the ray of a corner pixel, so that most of the board
// lies beyond the image and the part it shows fills the corner; turned
// halfway to face the camera, which widens the squares the lens squeezes
// there; and farther than `distance` (as calibrationPoses takes it), so that
// those squares stay small enough for a corner to land near the image's
// corner. Later rounds farther and rolled more. Only a board found from the
// corners it shows (ChArUco) gives anything in these views.
inline std::vector<Eigen::Matrix4d> imageCornerPoses(const calibration::Lens& lens,
                                                     const Chessboard& board, double distance,
                                                     int per_corner) {
  constexpr double kFacing = 0.5, kFarther = 1.5;
  std::vector<Eigen::Matrix4d> poses;
  for (int round = 0; round < per_corner; ++round)
    for (int corner = 0; corner < 4; ++corner) {
      const Eigen::Vector2d pixel((corner % 2) * (lens.width() - 1.0),
                                  (corner / 2) * (lens.height() - 1.0));
      const Eigen::Vector2d ray = lens.normalize(pixel).point;
      // The tilts that turn the board's normal onto the ray.
      const double tilt_x = -std::asin(ray.y() / std::sqrt(ray.squaredNorm() + 1.0));
      const double tilt_y = std::atan(ray.x());
      poses.push_back(boardPose(lens, board, pixel, kFarther * distance * (1 + 0.2 * round),
                                kFacing * tilt_x, kFacing * tilt_y, 0.3 * round));
    }
  return poses;
}

}  // namespace testing
}  // namespace dravik

// Undistortion maps of whole images: the forward map against OpenCV's, the
// exact inverse against the forward map, the folded lens, and the choice of the view.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>

#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/rectify.h"
#include "calibration_utils/undistortion.h"
#include "dravik/geometry.h"
#include "support/log_capture.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

using namespace testing;

// The forward map in float against OpenCV's in double.
constexpr double kOpenCVTolerance = 1e-3;
// Inverse after forward: float rounding of positions near 1000 px.
constexpr double kRoundTripTolerance = 2e-4;

// The undistorted radius of the ray of a view pixel.
double rayRadius(const PinholeView& view, int u, int v) {
  const Eigen::Vector3f ray = view.K.inverse() * Eigen::Vector3f(float(u), float(v), 1.0f);
  return std::hypot(ray.x(), ray.y());
}

// Calls visit(u, v, i) at every step-th pixel of a width x height image, i its row-major index.
template <typename Visit>
void forEachPixel(int width, int height, int step, Visit visit) {
  for (int v = 0; v < height; v += step)
    for (int u = 0; u < width; u += step) visit(u, v, size_t(v) * width + u);
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// OpenCV reads no skew from the lens's K, so the lens has none.
TEST(UndistortionMap, ForwardMapAgreesWithOpenCVWhereverValid) {
  const Lens lens = navigationLens();
  UndistortionMap map;
  ASSERT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  cv::Mat map_x, map_y, distance;
  cvUndistortionMap(lens, sameView(lens), &map_x, &map_y);
  cv::magnitude(cvPlane(map, map.x) - map_x, cvPlane(map, map.y) - map_y, distance);
  double worst = 0.0;
  cv::minMaxLoc(distance, nullptr, &worst, nullptr, nullptr, cvPlane(map, map.valid));
  EXPECT_LT(worst, kOpenCVTolerance);
  EXPECT_GT(cv::countNonZero(cvPlane(map, map.valid)), map.width * map.height * 9 / 10);
}

// OpenCV sends every view pixel beyond the fold of this lens to a source
// pixel inside the image (a mirrored ghost of the centre); ours are invalid.
TEST(UndistortionMap, FoldedLensKeepsEveryValidRayInsideTheSoundRegion) {
  const Lens lens = foldedLens();
  const PinholeView view = sameView(lens);
  const double edge = lens.soundRegion().radius;
  UndistortionMap map;
  ASSERT_TRUE(buildUndistortionMap(lens, view, &map));
  cv::Mat map_x, map_y;
  cvUndistortionMap(lens, view, &map_x, &map_y);
  int beyond = 0, ghosts = 0;
  forEachPixel(view.width, view.height, 1, [&](int u, int v, size_t i) {
    if (rayRadius(view, u, v) <= edge * (1 + 1e-6)) return;
    ++beyond;
    EXPECT_EQ(map.valid[i], 0) << u << " " << v;
    const float x = map_x.at<float>(v, u), y = map_y.at<float>(v, u);
    ghosts += (x >= 0 && y >= 0 && x <= lens.width - 1 && y <= lens.height - 1) ? 1 : 0;
  });
  EXPECT_EQ(map.x[0], kOutsideSource);  // the corner, beyond the fold
  EXPECT_GT(beyond, view.width * view.height / 4);
  EXPECT_EQ(ghosts, beyond);  // what the map stops
}
#endif

// The exact undistortion (rectify.h) of a valid view pixel's source position
// lands back on the view pixel, to the float rounding of that position times
// the lens's local magnification, which grows without bound at the fold (the
// rim is left out); each valid entry of the inverse map, distorted again,
// lands back on its source pixel.
TEST(UndistortionMap, InverseAfterForwardGivesBackThePixel) {
  Lens skewed = navigationLens();
  skewed.K(0, 1) = 2.5f;
  for (const Lens& lens : {navigationLens(), foldedLens(), skewed}) {
    const PinholeView view = sameView(lens);
    UndistortionMap forward, inverse;
    ASSERT_TRUE(buildUndistortionMap(lens, view, &forward));
    ASSERT_TRUE(buildInverseUndistortionMap(lens, view, &inverse));
    const double rim = 0.9 * lens.soundRegion().radius;
    const Eigen::Matrix3d lens_K = lens.K.cast<double>(), view_K = view.K.cast<double>();
    double worst_back = 0.0, worst = 0.0;
    const float unit[2] = {1.0f, 1.0f}, origin[2] = {0.0f, 0.0f};
    forEachPixel(view.width, view.height, 9, [&](int u, int v, size_t i) {
      if (!forward.valid[i] || rayRadius(view, u, v) > rim) return;
      // rectifyPoint reads no skew: hand it the unskewed pixel.
      const Eigen::Vector3d d = lens_K.inverse() * Eigen::Vector3d(forward.x[i], forward.y[i], 1.0);
      const RectifiedPoint p =
          rectifyPointWithStatus(lens.distortion.data(), origin, unit, d.head<2>().cast<float>());
      ASSERT_TRUE(p.converged);
      const Eigen::Vector3d back = view_K * p.point.homogeneous();
      worst_back = std::max(worst_back, std::hypot(back.x() - u, back.y() - v));
    });
    EXPECT_LT(worst_back, kOpenCVTolerance);
    // At whole source pixels the inverse is exact: distort its answer again.
    forEachPixel(lens.width, lens.height, 7, [&](int u, int v, size_t i) {
      if (!inverse.valid[i]) return;
      const Eigen::Vector3d ray = view_K.inverse() * Eigen::Vector3d(inverse.x[i], inverse.y[i], 1);
      double xd, yd;
      distortNormalized(lens.distortion.data(), ray.x(), ray.y(), &xd, &yd);
      const Eigen::Vector3d p = lens_K * Eigen::Vector3d(xd, yd, 1.0);
      worst = std::max(worst, std::hypot(p.x() - u, p.y() - v));
    });
    EXPECT_LT(worst, kRoundTripTolerance);
  }
}

TEST(UndistortionMap, InverseMarksSourcePixelsBeyondTheFoldInvalid) {
  const Lens lens = foldedLens();
  UndistortionMap inverse;
  ASSERT_TRUE(buildInverseUndistortionMap(lens, sameView(lens), &inverse));
  // The fold's image lies 0.703 f = 351 px from the centre.
  const double fold_radius = lens.soundRegion().distorted_radius * 500.0;
  forEachPixel(lens.width, lens.height, 5, [&](int u, int v, size_t i) {
    const double r = std::hypot(u - 640.0, v - 480.0);
    if (std::abs(r - fold_radius) < 1.0) return;
    EXPECT_EQ(inverse.valid[i], r < fold_radius ? 1 : 0) << u << " " << v;
  });
}

// Both with pixels as the lens leaves them and with square ones (fx = fy,
// which the navigation camera's alpha-0 view would otherwise not have: fx
// 368, fy 433).
TEST(UndistortionMap, AlphaZeroIsAllValidAndAlphaOneKeepsEverySoundSourcePixel) {
  for (const bool square : {false, true}) {
    for (const Lens& lens : {navigationLens(), foldedLens()}) {
      SCOPED_TRACE(std::string(square ? "square pixels, " : "") + std::to_string(lens.K(0, 0)));
      PinholeView every_pixel_valid, every_source_pixel;
      PixelRect rect;
      ASSERT_TRUE(choosePinholeView(lens, 0.0f, 800, 600, square, &every_pixel_valid, &rect));
      EXPECT_EQ(std::tie(rect.x, rect.y, rect.width, rect.height), std::make_tuple(0, 0, 800, 600));
      UndistortionMap map, inverse;
      ASSERT_TRUE(buildUndistortionMap(lens, every_pixel_valid, &map));
      EXPECT_EQ(std::count(map.valid.begin(), map.valid.end(), 0), 0);

      ASSERT_TRUE(choosePinholeView(lens, 1.0f, 800, 600, square, &every_source_pixel, &rect));
      EXPECT_LT(every_source_pixel.K(0, 0), every_pixel_valid.K(0, 0));
      if (square) {
        EXPECT_EQ(every_pixel_valid.K(0, 0), every_pixel_valid.K(1, 1));
        EXPECT_EQ(every_source_pixel.K(0, 0), every_source_pixel.K(1, 1));
        // The largest square view that keeps each promise: one side of the
        // stretched view's box is reached.
        PinholeView stretched;
        ASSERT_TRUE(choosePinholeView(lens, 0.0f, 800, 600, &stretched));
        EXPECT_FLOAT_EQ(every_pixel_valid.K(0, 0), std::max(stretched.K(0, 0), stretched.K(1, 1)));
        ASSERT_TRUE(choosePinholeView(lens, 1.0f, 800, 600, &stretched));
        EXPECT_FLOAT_EQ(every_source_pixel.K(0, 0), std::min(stretched.K(0, 0), stretched.K(1, 1)));
      }
      ASSERT_TRUE(buildInverseUndistortionMap(lens, every_source_pixel, &inverse));
      for (size_t i = 0; i < inverse.valid.size(); ++i)
        ASSERT_TRUE(!inverse.valid[i] || (inverse.x[i] >= -0.01f && inverse.y[i] >= -0.01f &&
                                          inverse.x[i] <= 799.01f && inverse.y[i] <= 599.01f))
            << inverse.x[i] << " " << inverse.y[i];
      // The valid rectangle is all valid, and a strip one pixel beyond any of
      // its sides is not: each side is as far out as it goes.
      ASSERT_TRUE(buildUndistortionMap(lens, every_source_pixel, &map));
      auto allValid = [&](int x0, int y0, int w, int h) {
        if (x0 < 0 || y0 < 0 || x0 + w > 800 || y0 + h > 600) return false;
        bool all = true;
        forEachPixel(w, h, 1,
                     [&](int u, int v, size_t) { all &= map.valid[(y0 + v) * 800 + x0 + u]; });
        return all;
      };
      const int x = rect.x, y = rect.y, w = rect.width, h = rect.height;
      EXPECT_TRUE(w > 0 && allValid(x, y, w, h));
      EXPECT_FALSE(allValid(x - 1, y, 1, h) || allValid(x + w, y, 1, h) ||
                   allValid(x, y - 1, w, 1) || allValid(x, y + h, w, 1));
    }
  }
}

// An alpha that extrapolates past a usable view fails and leaves the
// caller's view and rectangle as they were (alpha 1e30 once wrote fx
// -2.98e31).
TEST(ChoosePinholeView, FailureWritesNeitherViewNorRectangle) {
  for (const float alpha : {1e30f, -1e37f}) {
    SCOPED_TRACE(alpha);
    PinholeView view;
    view.K(0, 0) = 123.0f;
    PixelRect rect{1, 2, 3, 4};
    LogCapture capture;
    EXPECT_FALSE(choosePinholeView(navigationLens(), alpha, 640, 480, &view, &rect));
    EXPECT_EQ(capture.recordsUpTo(2).size(), 1u);
    EXPECT_EQ(std::make_tuple(view.K(0, 0), view.width, rect.x, rect.y, rect.width, rect.height),
              std::make_tuple(123.0f, 0, 1, 2, 3, 4));
  }
}

}  // namespace
}  // namespace dravik::calibration

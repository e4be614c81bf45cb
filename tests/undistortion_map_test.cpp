// Undistortion maps of whole images: the forward map against OpenCV's, the
// exact inverse against the forward map, the folded lens, and the choice of
// the view.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <cmath>
#include <string>
#include <vector>

#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/rectify.h"
#include "calibration_utils/undistortion.h"
#include "dravik/geometry.h"
#include "support/undistortion_lenses.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/calib3d.hpp>
#endif

namespace dravik {
namespace calibration {
namespace {

using testing::foldedLens;
using testing::navigationLens;
using testing::sameView;

// The forward map in float against OpenCV's in double.
constexpr double kOpenCVTolerance = 1e-3;
// Inverse after forward: float rounding of positions near 1000 px.
constexpr double kRoundTripTolerance = 2e-4;

// The undistorted radius of the ray of a view pixel.
double rayRadius(const PinholeView& view, int u, int v) {
  const Eigen::Vector3f ray = view.K.inverse() * Eigen::Vector3f(float(u), float(v), 1.0f);
  return std::hypot(ray.x(), ray.y());
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(UndistortionMap, ForwardMapAgreesWithOpenCVWhereverValid) {
  // OpenCV reads no skew from the lens's K, so the lens has none.
  {
    const Lens lens = navigationLens();
    const PinholeView view = sameView(lens);
    UndistortionMap map;
    ASSERT_TRUE(buildUndistortionMap(lens, view, &map));
    cv::Mat map_x, map_y;
    testing::cvUndistortionMap(lens, view, &map_x, &map_y);
    double worst = 0.0;
    int valid = 0;
    for (int v = 0; v < view.height; ++v) {
      for (int u = 0; u < view.width; ++u) {
        const size_t i = size_t(v) * view.width + u;
        if (!map.valid[i]) continue;
        ++valid;
        const double dx = map.x[i] - map_x.at<float>(v, u), dy = map.y[i] - map_y.at<float>(v, u);
        worst = std::max(worst, std::hypot(dx, dy));
      }
    }
    EXPECT_LT(worst, kOpenCVTolerance);
    EXPECT_GT(valid, view.width * view.height * 9 / 10);
  }
}

// OpenCV sends every view pixel beyond the fold of this lens to a source
// pixel inside the image (a mirrored ghost of the centre); ours are invalid.
TEST(UndistortionMap, FoldedLensKeepsEveryValidRayInsideTheSoundRegion) {
  const Lens lens = foldedLens();
  const PinholeView view = sameView(lens);
  const double edge = findSoundRegion(lens.distortion).radius;
  UndistortionMap map;
  ASSERT_TRUE(buildUndistortionMap(lens, view, &map));
  cv::Mat map_x, map_y;
  testing::cvUndistortionMap(lens, view, &map_x, &map_y);
  int beyond = 0, ghosts = 0;
  for (int v = 0; v < view.height; ++v) {
    for (int u = 0; u < view.width; ++u) {
      const size_t i = size_t(v) * view.width + u;
      const bool outside_region = rayRadius(view, u, v) > edge * (1 + 1e-6);
      if (outside_region) {
        ++beyond;
        EXPECT_EQ(map.valid[i], 0) << u << " " << v;
        const float x = map_x.at<float>(v, u), y = map_y.at<float>(v, u);
        ghosts += (x >= 0 && y >= 0 && x <= lens.width - 1 && y <= lens.height - 1) ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(map.valid[0], 0);
  EXPECT_EQ(map.x[0], kOutsideSource);
  EXPECT_GT(beyond, view.width * view.height / 4);
  EXPECT_EQ(ghosts, beyond);  // what the map stops
}
#endif

// The inverse undoes the forward map: the exact undistortion (rectify.h) of
// a valid view pixel's source position lands back on the view pixel, to the
// float rounding of that position (times the lens's local magnification,
// which grows without bound at the fold: the rim is left out); and each
// valid entry of the inverse map, distorted again, lands back on its source
// pixel.
TEST(UndistortionMap, InverseAfterForwardGivesBackThePixel) {
  Lens skewed = navigationLens();
  skewed.K(0, 1) = 2.5f;
  for (const Lens& lens : {navigationLens(), foldedLens(), skewed}) {
    const PinholeView view = sameView(lens);
    UndistortionMap forward, inverse;
    ASSERT_TRUE(buildUndistortionMap(lens, view, &forward));
    ASSERT_TRUE(buildInverseUndistortionMap(lens, view, &inverse));
    const double rim = 0.9 * findSoundRegion(lens.distortion).radius;
    const Eigen::Matrix3d inverse_K = lens.K.cast<double>().inverse();
    double worst_back = 0.0;
    for (int v = 0; v < view.height; v += 9) {
      for (int u = 0; u < view.width; u += 9) {
        const size_t i = size_t(v) * view.width + u;
        if (!forward.valid[i] || rayRadius(view, u, v) > rim) continue;
        // rectifyPoint reads no skew: hand it the unskewed pixel.
        const Eigen::Vector3d d = inverse_K * Eigen::Vector3d(forward.x[i], forward.y[i], 1.0);
        const float unit[2] = {1.0f, 1.0f}, origin[2] = {0.0f, 0.0f};
        const RectifiedPoint p = rectifyPointWithStatus(
            lens.distortion.data(), origin, unit, Eigen::Vector2f(float(d.x()), float(d.y())));
        ASSERT_TRUE(p.converged);
        const Eigen::Vector3d back = view.K.cast<double>() * p.point.homogeneous();
        worst_back = std::max(worst_back, std::hypot(back.x() - u, back.y() - v));
      }
    }
    EXPECT_LT(worst_back, kOpenCVTolerance);
    // At whole source pixels the inverse is exact: distort its answer again.
    double worst = 0.0;
    for (int v = 0; v < lens.height; v += 7) {
      for (int u = 0; u < lens.width; u += 7) {
        const size_t i = size_t(v) * lens.width + u;
        if (!inverse.valid[i]) continue;
        const Eigen::Vector3d ray =
            view.K.cast<double>().inverse() * Eigen::Vector3d(inverse.x[i], inverse.y[i], 1.0);
        double xd, yd;
        distortNormalized(lens.distortion.data(), double(ray.x()), double(ray.y()), &xd, &yd);
        const double pu = double(lens.K(0, 0)) * xd + double(lens.K(0, 1)) * yd + lens.K(0, 2);
        const double pv = double(lens.K(1, 1)) * yd + lens.K(1, 2);
        worst = std::max(worst, std::hypot(pu - u, pv - v));
      }
    }
    EXPECT_LT(worst, kRoundTripTolerance);
  }
}

TEST(UndistortionMap, InverseMarksSourcePixelsBeyondTheFoldInvalid) {
  const Lens lens = foldedLens();
  UndistortionMap inverse;
  ASSERT_TRUE(buildInverseUndistortionMap(lens, sameView(lens), &inverse));
  // The fold's image lies 0.703 f = 351 px from the centre.
  const double fold_radius = findSoundRegion(lens.distortion).distorted_radius * 500.0;
  for (int v = 0; v < lens.height; v += 5) {
    for (int u = 0; u < lens.width; u += 5) {
      const double r = std::hypot(u - 640.0, v - 480.0);
      if (std::abs(r - fold_radius) < 1.0) continue;
      EXPECT_EQ(inverse.valid[size_t(v) * lens.width + u], r < fold_radius ? 1 : 0)
          << u << " " << v;
    }
  }
}

TEST(UndistortionMap, AlphaZeroIsAllValidAndAlphaOneKeepsEverySoundSourcePixel) {
  for (const Lens& lens : {navigationLens(), foldedLens()}) {
    PinholeView widest, narrowest;
    PixelRect rect;
    ASSERT_TRUE(choosePinholeView(lens, 0.0f, 800, 600, &widest, &rect));
    EXPECT_EQ(rect.x, 0);
    EXPECT_EQ(rect.y, 0);
    EXPECT_EQ(rect.width, 800);
    EXPECT_EQ(rect.height, 600);
    UndistortionMap map;
    ASSERT_TRUE(buildUndistortionMap(lens, widest, &map));
    for (const std::uint8_t valid : map.valid) ASSERT_EQ(valid, 1);

    ASSERT_TRUE(choosePinholeView(lens, 1.0f, 800, 600, &narrowest, &rect));
    EXPECT_LT(narrowest.K(0, 0), widest.K(0, 0));
    UndistortionMap inverse;
    ASSERT_TRUE(buildInverseUndistortionMap(lens, narrowest, &inverse));
    for (size_t i = 0; i < inverse.valid.size(); ++i) {
      if (!inverse.valid[i]) continue;
      ASSERT_GE(inverse.x[i], -0.01f);
      ASSERT_GE(inverse.y[i], -0.01f);
      ASSERT_LE(inverse.x[i], 799.01f);
      ASSERT_LE(inverse.y[i], 599.01f);
    }
    // The valid rectangle is all valid and each side is as far out as it goes.
    ASSERT_TRUE(buildUndistortionMap(lens, narrowest, &map));
    auto allValid = [&](int x0, int y0, int w, int h) {
      if (x0 < 0 || y0 < 0 || x0 + w > 800 || y0 + h > 600) return false;
      for (int v = y0; v < y0 + h; ++v) {
        for (int u = x0; u < x0 + w; ++u) {
          if (!map.valid[size_t(v) * 800 + u]) return false;
        }
      }
      return true;
    };
    ASSERT_GT(rect.width, 0);
    EXPECT_TRUE(allValid(rect.x, rect.y, rect.width, rect.height));
    EXPECT_FALSE(allValid(rect.x - 1, rect.y, 1, rect.height));
    EXPECT_FALSE(allValid(rect.x + rect.width, rect.y, 1, rect.height));
    EXPECT_FALSE(allValid(rect.x, rect.y - 1, rect.width, 1));
    EXPECT_FALSE(allValid(rect.x, rect.y + rect.height, rect.width, 1));
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

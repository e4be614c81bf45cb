// Undistortion maps of whole images: the forward map against OpenCV's, the
// exact inverse against the forward map, the folded lens, and the choice of
// the view; resampling at the source's edges (the samples themselves:
// remap_image_test.cpp), the fixed-point layout against OpenCV's, and the
// refusals of bad input by every whole-image function.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "calibration_utils/lens_soundness.h"
#include "calibration_utils/undistortion.h"
#include "support/log_capture.h"
#include "support/undistortion_lenses.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

namespace dravik::calibration {
namespace {

using namespace testing;

// The forward map in float against OpenCV's in double.
constexpr double kOpenCVTolerance = 1e-3;
// Inverse after forward: float rounding of positions near 1000 px.
constexpr double kRoundTripTolerance = 2e-4;

// The forward map of the lens onto its own view.
UndistortionMap mapOf(const Lens& lens) {
  UndistortionMap map;
  EXPECT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  return map;
}

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
  const UndistortionMap map = mapOf(lens);
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
  const UndistortionMap map = mapOf(lens);
  cv::Mat map_x, map_y;
  cvUndistortionMap(lens, view, &map_x, &map_y);
  int beyond = 0, ghosts = 0;
  forEachPixel(view.width, view.height, 1, [&](int u, int v, size_t i) {
    if (rayRadius(view, u, v) <= edge * (1 + 1e-6)) return;
    ++beyond;
    EXPECT_EQ(map.valid[i], 0) << u << " " << v;
    const float x = map_x.at<float>(v, u), y = map_y.at<float>(v, u);
    ghosts += (x >= 0 && y >= 0 && x <= lens.width() - 1 && y <= lens.height() - 1) ? 1 : 0;
  });
  EXPECT_EQ(map.x[0], kOutsideSource);  // the corner, beyond the fold
  EXPECT_GT(beyond, view.width * view.height / 4);
  EXPECT_EQ(ghosts, beyond);  // what the map stops
}
#endif

// The exact undistortion (Lens::normalize) of a valid view pixel's source position
// lands back on the view pixel, to the float rounding of that position times
// the lens's local magnification, which grows without bound at the fold (the
// rim is left out); each valid entry of the inverse map, distorted again,
// lands back on its source pixel.
TEST(UndistortionMap, InverseAfterForwardGivesBackThePixel) {
  Eigen::Matrix3f skewed_K = navigationLens().K();
  skewed_K(0, 1) = 2.5f;
  const Lens skewed = makeLens(1280, 960, skewed_K, navigationLens().distortion());
  for (const Lens& lens : {navigationLens(), foldedLens(), skewed}) {
    const PinholeView view = sameView(lens);
    UndistortionMap forward, inverse;
    ASSERT_TRUE(buildUndistortionMap(lens, view, &forward));
    ASSERT_TRUE(buildInverseUndistortionMap(lens, view, &inverse));
    const double rim = 0.9 * lens.soundRegion().radius;
    const Eigen::Matrix3d view_K = view.K.cast<double>();
    double worst_back = 0.0, worst = 0.0;
    forEachPixel(view.width, view.height, 9, [&](int u, int v, size_t i) {
      if (!forward.valid[i] || rayRadius(view, u, v) > rim) return;
      const RectifiedPoint p = lens.normalize(Eigen::Vector2d(forward.x[i], forward.y[i]));
      ASSERT_TRUE(p.converged);
      const Eigen::Vector3d back = view_K * p.point.homogeneous();
      worst_back = std::max(worst_back, std::hypot(back.x() - u, back.y() - v));
    });
    EXPECT_LT(worst_back, kOpenCVTolerance);
    // At whole source pixels the inverse is exact: distort its answer again.
    forEachPixel(lens.width(), lens.height(), 7, [&](int u, int v, size_t i) {
      if (!inverse.valid[i]) return;
      const Eigen::Vector2d p =
          lens.project(view_K.inverse() * Eigen::Vector3d(inverse.x[i], inverse.y[i], 1));
      worst = std::max(worst, std::hypot(p.x() - u, p.y() - v));
    });
    EXPECT_LT(worst, kRoundTripTolerance);
  }
}

// Both with pixels as the lens leaves them and with square ones (fx = fy,
// which the navigation camera's alpha-0 view would otherwise not have: fx
// 368, fy 433).
TEST(UndistortionMap, AlphaZeroIsAllValidAndAlphaOneKeepsEverySoundSourcePixel) {
  for (const bool square : {false, true}) {
    for (const Lens& lens : {navigationLens(), foldedLens()}) {
      SCOPED_TRACE(std::string(square ? "square pixels, " : "") + std::to_string(lens.K()(0, 0)));
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

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(UndistortionRemap, FixedPointLayoutIsOpenCVsConversionOfTheMap) {
  const UndistortionMap map = mapOf(navigationLens());
  FixedPointUndistortionMap fixed;
  ASSERT_TRUE(convertToFixedPoint(map, &fixed));
  cv::Mat xy, fraction;
  cv::convertMaps(cvPlane(map, map.x), cvPlane(map, map.y), xy, fraction, CV_16SC2);
  for (size_t i = 0; i < map.valid.size(); ++i) {
    ASSERT_EQ(fixed.xy[2 * i], map.valid[i] ? xy.ptr<std::int16_t>()[2 * i] : -32768) << i;
    if (!map.valid[i]) continue;
    ASSERT_EQ(fixed.xy[2 * i + 1], xy.ptr<std::int16_t>()[2 * i + 1]) << i;
    ASSERT_EQ(fixed.fraction[i], fraction.ptr<std::uint16_t>()[i]) << i;
  }
}
#endif

// The last column and row are reached without reading past the image, also
// in images of one pixel across.
TEST(UndistortionRemap, EdgesOfTheSourceAreResampledWithoutReadingBeyondThem) {
  for (const int width : {1, 2, 5}) {
    const int height = 3;
    std::vector<std::uint8_t> src(size_t(width) * height);
    for (size_t i = 0; i < src.size(); ++i) src[i] = std::uint8_t(10 * i + 1);
    UndistortionMap map{2, 1, {float(width - 1), -0.5f}, {float(height - 1), 0.0f}, {1, 1}};
    std::vector<std::uint8_t> dst(2, 0);
    ASSERT_TRUE(remapImage(src.data(), width, height, 1, size_t(width), map, dst.data(), 2, 9));
    EXPECT_EQ(dst[0], src.back());
    EXPECT_EQ(dst[1], 9);  // half a pixel left of the image
  }
}

TEST(UndistortionRemap, BadInputIsRefusedWithOneRecord) {
  const Lens good = navigationLens();
  const PinholeView view = sameView(good);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // The lens of no image (what stands where a lens was refused), and one of
  // an image too large for a map.
  const std::vector<std::function<void(Lens*)>> lens_faults = {
      [](Lens* l) { *l = Lens(); },
      [](Lens* l) { *l = makeLens(1 << 14, 1 << 14, l->K(), l->distortion()); }};
  UndistortionMap map = mapOf(good), short_map = map;
  short_map.valid.pop_back();
  PinholeView flat = view, chosen;
  flat.K(1, 1) = 0.0f;
  // A 3-channel image of the lens's size, resampled in place when the call is not refused.
  std::vector<std::uint8_t> image(size_t(good.width()) * good.height() * 3);
  std::uint8_t* const px = image.data();
  const int w = good.width(), h = good.height();
  const size_t s = size_t(w) * 3;
  // A call that must fail with one level-2 record, of `text` when one is named.
  const auto refused = [](const std::string& name, const std::function<bool()>& call,
                          const std::string& text = "") {
    SCOPED_TRACE(name);
    LogCapture capture;
    EXPECT_FALSE(call());
    const auto records = capture.recordsUpTo(3);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::tie(records[0].level, records[0].tag),
              std::make_tuple(2, std::string("calibration_utils")));
    EXPECT_TRUE(text.empty() || records[0].text == text) << records[0].text;
  };
  refused("view with fy 0", [&] { return buildUndistortionMap(good, flat, &map); });
  refused("no map", [&] { return buildUndistortionMap(good, view, nullptr); });
  refused("alpha NaN", [&] { return choosePinholeView(good, nan, 640, 480, &chosen); });
  refused("view size 0", [&] { return choosePinholeView(good, 0.0f, 0, 480, &chosen); });
  refused("no view", [&] { return choosePinholeView(good, 0.0f, 640, 480, nullptr); });
  refused("two channels", [&] { return remapImage(px, w, h, 2, s, map, px, s); });
  refused("short source stride", [&] { return remapImage(px, w, h, 3, s - 1, map, px, s); });
  refused("no source", [&] { return remapImage(nullptr, w, h, 3, s, map, px, s); });
  refused("map arrays short", [&] { return remapImage(px, w, h, 3, s, short_map, px, s); });
  refused("source size 0", [&] { return remapImage(px, 0, h, 3, s, map, px, s); });
  // A 640 x 480 frame, or a transposed one, through a map built for
  // 1280 x 960 would come out as three quarters border, silently: it is
  // refused naming both sizes, writing nothing.
  refused("source narrower than the map's",
          [&] { return remapImage(px, w / 2, h, 3, s, map, px, s); });
  refused(
      "source transposed",
      [&] {
        std::vector<std::uint8_t> out(image.size(), 5);
        return remapImage(px, 960, 1280, 1, 960, map, out.data(), 1280) ||
               std::count(out.begin(), out.end(), 5) != std::ptrdiff_t(out.size());
      },
      "The source image is 960 x 1280, the map was built for 1280 x 960");
  refused("map view without its arrays", [&] {
    UndistortionMapView empty{map.width, map.height, w, h};
    return remapImage(px, w, h, 3, s, empty, px, s);
  });
  refused("no fixed-point map", [&] { return convertToFixedPoint(map, nullptr); });
  for (size_t i = 0; i < lens_faults.size(); ++i) {
    SCOPED_TRACE("lens " + std::to_string(i));
    Lens lens = good;
    lens_faults[i](&lens);
    refused("forward map", [&] { return buildUndistortionMap(lens, view, &map); });
    refused("inverse map", [&] { return buildInverseUndistortionMap(lens, view, &map); });
    refused("view", [&] { return choosePinholeView(lens, 0.5f, 640, 480, &chosen); });
  }
}

}  // namespace
}  // namespace dravik::calibration

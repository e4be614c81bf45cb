// Resampling through an undistortion map against OpenCV's remap, the
// fixed-point layout, and the refusals of bad input by every whole-image function.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "calibration_utils/undistortion.h"
#include "support/log_capture.h"
#include "support/undistortion_lenses.h"

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

namespace dravik::calibration {
namespace {

using namespace testing;

// OpenCV's INTER_LINEAR weights are the products used here: equal results.
constexpr int kGreyLevelTolerance = 1;

UndistortionMap mapOf(const Lens& lens) {
  UndistortionMap map;
  EXPECT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  return map;
}
UndistortionMap navigationMap() { return mapOf(navigationLens()); }

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// The navigation lens has every pixel valid; the folded lens's corners lie
// beyond its fold and must come out as the border value.
TEST(UndistortionRemap, ResamplesAsOpenCVRemapForOneAndThreeChannels) {
  for (const Lens& lens : {navigationLens(), foldedLens()}) {
    SCOPED_TRACE(lens.K(0, 0));
    const UndistortionMap map = mapOf(lens);
    const cv::Mat valid = cvPlane(map, map.valid), invalid = valid == 0;
    for (const int channels : {1, 3, 4}) {
      SCOPED_TRACE(channels);
      std::vector<std::uint8_t> pixels = texturedImage(lens.width, lens.height, channels);
      const size_t stride = size_t(lens.width) * channels;
      cv::Mat ours(map.height, map.width, CV_8UC(channels)), theirs;
      ASSERT_TRUE(remapImage(pixels.data(), lens.width, lens.height, channels, stride, map,
                             ours.data, stride, 7));
      cv::remap(cv::Mat(lens.height, lens.width, CV_8UC(channels), pixels.data()), theirs,
                cvPlane(map, map.x), cvPlane(map, map.y), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
      EXPECT_LE(cv::norm(ours, theirs, cv::NORM_INF, valid), kGreyLevelTolerance);
      const cv::Mat blank(ours.size(), ours.type(), cv::Scalar::all(7));
      EXPECT_EQ(cv::norm(ours, blank, cv::NORM_INF, invalid), 0.0);
    }
    EXPECT_GT(cv::countNonZero(valid), map.width * map.height / 2);
  }
  const UndistortionMap folded = mapOf(foldedLens());
  EXPECT_GT(std::count(folded.valid.begin(), folded.valid.end(), 0), 0);
}

TEST(UndistortionRemap, FixedPointLayoutIsOpenCVsConversionOfTheMap) {
  const UndistortionMap map = navigationMap();
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
  const std::vector<std::function<void(Lens*)>> lens_faults = {
      [](Lens* l) { l->width = 0; },
      [](Lens* l) { l->height = -3; },
      [](Lens* l) { l->width = l->height = 1 << 14; },
      [&](Lens* l) { l->K(0, 2) = nan; },
      [](Lens* l) { l->K(0, 0) = 0.0f; },
      [](Lens* l) { l->K(1, 1) = -5.0f; },
      [](Lens* l) { l->distortion.pop_back(); },
      [&](Lens* l) { l->distortion[6] = nan; },
  };
  UndistortionMap map = navigationMap(), short_map = map;
  short_map.valid.pop_back();
  PinholeView flat = view, chosen;
  flat.K(1, 1) = 0.0f;
  std::vector<std::uint8_t> image(size_t(good.width) * good.height * 3);
  const size_t stride = size_t(good.width) * 3;
  // A remap of the good 3-channel image with one argument changed.
  const auto remap = [&](int channels, size_t src_stride, size_t dst_stride,
                         const std::uint8_t* src, std::uint8_t* dst, int width,
                         const UndistortionMap& with) {
    return remapImage(src, width, good.height, channels, src_stride, with, dst, dst_stride);
  };
  const std::uint8_t* src = image.data();
  std::uint8_t* dst = image.data();
  std::vector<std::pair<std::string, std::function<bool()>>> refusals = {
      {"view with fy 0", [&] { return buildUndistortionMap(good, flat, &map); }},
      {"no map", [&] { return buildUndistortionMap(good, view, nullptr); }},
      {"no inverse map", [&] { return buildInverseUndistortionMap(good, view, nullptr); }},
      {"alpha NaN", [&] { return choosePinholeView(good, nan, 640, 480, &chosen); }},
      {"view size 0", [&] { return choosePinholeView(good, 0.0f, 0, 480, &chosen); }},
      {"no view", [&] { return choosePinholeView(good, 0.0f, 640, 480, nullptr); }},
      {"two channels", [&] { return remap(2, stride, stride, src, dst, good.width, map); }},
      {"short source stride",
       [&] { return remap(3, stride - 1, stride, src, dst, good.width, map); }},
      {"short destination stride",
       [&] { return remap(3, stride, stride - 1, src, dst, good.width, map); }},
      {"no source", [&] { return remap(3, stride, stride, nullptr, dst, good.width, map); }},
      {"no destination", [&] { return remap(3, stride, stride, src, nullptr, good.width, map); }},
      {"map arrays short",
       [&] { return remap(3, stride, stride, src, dst, good.width, short_map); }},
      {"source size 0", [&] { return remap(3, stride, stride, src, dst, 0, map); }},
      {"no fixed-point map", [&] { return convertToFixedPoint(map, nullptr); }},
  };
  for (size_t i = 0; i < lens_faults.size(); ++i) {
    Lens lens = good;
    lens_faults[i](&lens);
    const std::string which = ", lens " + std::to_string(i);
    refusals.push_back(
        {"forward map" + which, [&, lens] { return buildUndistortionMap(lens, view, &map); }});
    refusals.push_back({"inverse map" + which,
                        [&, lens] { return buildInverseUndistortionMap(lens, view, &map); }});
    refusals.push_back(
        {"view" + which, [&, lens] { return choosePinholeView(lens, 0.5f, 640, 480, &chosen); }});
  }
  for (const auto& [name, call] : refusals) {
    SCOPED_TRACE(name);
    LogCapture capture;
    EXPECT_FALSE(call());
    const auto records = capture.recordsUpTo(3);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 2);
    EXPECT_EQ(records[0].tag, "calibration_utils");
  }
}

}  // namespace
}  // namespace dravik::calibration

// Resampling through an undistortion map against OpenCV's remap, the
// fixed-point layout, and the refusals of bad input by every whole-image function.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "../calibration_utils/src/remap_paths.h"
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

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
// The navigation lens has every pixel valid; the folded lens's corners lie
// beyond its fold (invalid, as the map tests hold) and must come out as the
// border value.
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
}

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
  UndistortionMap map = mapOf(navigationLens()), short_map = map;
  short_map.valid.pop_back();
  PinholeView flat = view, chosen;
  flat.K(1, 1) = 0.0f;
  std::vector<std::uint8_t> image(size_t(good.width) * good.height * 3);
  const int w = good.width;
  const size_t s = size_t(w) * 3;  // the row stride of the good 3-channel image
  // A remap of the good 3-channel image with one argument changed.
  const auto remap = [&](int channels, size_t src_stride, size_t dst_stride,
                         const std::uint8_t* src, std::uint8_t* dst, int width,
                         const UndistortionMap& with) {
    return remapImage(src, width, good.height, channels, src_stride, with, dst, dst_stride);
  };
  const std::uint8_t* src = image.data();
  std::uint8_t* dst = image.data();
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
  refused("no inverse map", [&] { return buildInverseUndistortionMap(good, view, nullptr); });
  refused("alpha NaN", [&] { return choosePinholeView(good, nan, 640, 480, &chosen); });
  refused("view size 0", [&] { return choosePinholeView(good, 0.0f, 0, 480, &chosen); });
  refused("no view", [&] { return choosePinholeView(good, 0.0f, 640, 480, nullptr); });
  refused("two channels", [&] { return remap(2, s, s, src, dst, w, map); });
  refused("short source stride", [&] { return remap(3, s - 1, s, src, dst, w, map); });
  refused("short destination stride", [&] { return remap(3, s, s - 1, src, dst, w, map); });
  refused("no source", [&] { return remap(3, s, s, nullptr, dst, w, map); });
  refused("no destination", [&] { return remap(3, s, s, src, nullptr, w, map); });
  refused("map arrays short", [&] { return remap(3, s, s, src, dst, w, short_map); });
  refused("source size 0", [&] { return remap(3, s, s, src, dst, 0, map); });
  // A 640 x 480 frame, or a transposed one, through a map built for
  // 1280 x 960 would come out as three quarters border, silently: it is
  // refused naming both sizes, writing nothing.
  refused("source narrower than the map's", [&] { return remap(3, s, s, src, dst, w / 2, map); });
  refused(
      "source transposed",
      [&] {
        std::vector<std::uint8_t> out(image.size(), 5);
        return remapImage(src, 960, 1280, 1, 960, map, out.data(), 1280) ||
               std::count(out.begin(), out.end(), 5) != std::ptrdiff_t(out.size());
      },
      "The source image is 960 x 1280, the map was built for 1280 x 960");
  refused("map view without its arrays", [&] {
    UndistortionMapView empty{map.width, map.height, w, good.height};
    return remapImage(src, w, good.height, 3, s, empty, dst, s);
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

// The vector path must give the scalar path's bytes exactly: positions all
// over the source and beyond it, fractions of every kind, the last column
// and row, invalid entries, on rows that end in every remainder of the four
// pixels of a vector and of a block, and sources of one pixel across.
TEST(UndistortionRemap, VectorAndScalarPathsGiveTheSameBytes) {
  std::uint32_t state = 12345;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (const int source_width : {1, 2, 7, 64}) {
    const int source_height = source_width == 1 ? 3 : 41;
    for (const int width : {1, 3, 4, 5, 7, 8, 255, 256, 257, 263}) {
      const int height = 3;
      UndistortionMap map;
      map.width = width;
      map.height = height;
      for (int i = 0; i < width * height; ++i) {
        // Within a pixel and a half of the source, whole positions and
        // fractions of 1/64 pixel, so that edges and roundings all occur.
        const float x = float(int(next() % ((source_width + 3) * 64)) - 96) / 64.0f;
        const float y = float(int(next() % ((source_height + 3) * 64)) - 96) / 64.0f;
        map.x.push_back(next() % 5 == 0 ? std::round(x) : x);
        map.y.push_back(next() % 7 == 0 ? float(source_height - 1) : y);
        map.valid.push_back(next() % 11 != 0);
      }
      const UndistortionMapView view{map.width,    map.height,      0, 0, map.x.data(),
                                     map.y.data(), map.valid.data()};
      for (const int channels : {1, 3, 4}) {
        const std::vector<std::uint8_t> src = texturedImage(source_width, source_height, channels);
        const size_t src_stride = size_t(source_width) * channels;
        const size_t dst_stride = size_t(width) * channels + 3;
        // Both start alike, so the padding after each row must stay alike too.
        std::vector<std::uint8_t> vector(dst_stride * height, 1), scalar = vector;
        ASSERT_TRUE(remapImageOnPath(RemapPath::kVector, src.data(), source_width, source_height,
                                     channels, src_stride, view, vector.data(), dst_stride, 9));
        ASSERT_TRUE(remapImageOnPath(RemapPath::kScalar, src.data(), source_width, source_height,
                                     channels, src_stride, view, scalar.data(), dst_stride, 9));
        ASSERT_EQ(vector, scalar) << "source " << source_width << ", width " << width << ", "
                                  << channels << " channels";
      }
    }
  }
}

}  // namespace
}  // namespace dravik::calibration

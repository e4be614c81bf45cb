// Resampling through an undistortion map against OpenCV's remap, the
// fixed-point layout, and the refusals of bad input by every whole-image
// function.
#include <gtest/gtest.h>

#include <cmath>
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

namespace dravik {
namespace calibration {
namespace {

using testing::navigationLens;
using testing::sameView;
using testing::texturedImage;

// OpenCV's INTER_LINEAR weights are the products used here: equal results.
constexpr int kGreyLevelTolerance = 1;

UndistortionMap navigationMap() {
  const Lens lens = navigationLens();
  UndistortionMap map;
  EXPECT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  return map;
}

#ifdef CAMERA_PARAMETERS_HAVE_OPENCV
TEST(UndistortionRemap, ResamplesAsOpenCVRemapForOneAndThreeChannels) {
  const Lens lens = navigationLens();
  const UndistortionMap map = navigationMap();
  const cv::Mat map_x(map.height, map.width, CV_32FC1, const_cast<float*>(map.x.data()));
  const cv::Mat map_y(map.height, map.width, CV_32FC1, const_cast<float*>(map.y.data()));
  for (const int channels : {1, 3, 4}) {
    SCOPED_TRACE(channels);
    std::vector<std::uint8_t> pixels = texturedImage(lens.width, lens.height, channels);
    const size_t stride = size_t(lens.width) * channels;
    std::vector<std::uint8_t> ours(size_t(map.height) * stride);
    ASSERT_TRUE(remapImage(pixels.data(), lens.width, lens.height, channels, stride, map,
                           ours.data(), stride, 7));
    const cv::Mat src(lens.height, lens.width, CV_8UC(channels), pixels.data());
    cv::Mat theirs;
    cv::remap(src, theirs, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    int worst = 0, compared = 0;
    for (int v = 0; v < map.height; ++v) {
      for (int u = 0; u < map.width; ++u) {
        const size_t i = size_t(v) * map.width + u;
        for (int c = 0; c < channels; ++c) {
          const int our = ours[i * channels + c];
          if (!map.valid[i]) {
            ASSERT_EQ(our, 7);
            continue;
          }
          ++compared;
          worst =
              std::max(worst, std::abs(our - int(theirs.ptr<std::uint8_t>(v)[u * channels + c])));
        }
      }
    }
    EXPECT_LE(worst, kGreyLevelTolerance);
    EXPECT_GT(compared, map.width * map.height * channels / 2);
  }
}

TEST(UndistortionRemap, FixedPointLayoutIsOpenCVsConversionOfTheMap) {
  const UndistortionMap map = navigationMap();
  FixedPointUndistortionMap fixed;
  ASSERT_TRUE(convertToFixedPoint(map, &fixed));
  const cv::Mat map_x(map.height, map.width, CV_32FC1, const_cast<float*>(map.x.data()));
  const cv::Mat map_y(map.height, map.width, CV_32FC1, const_cast<float*>(map.y.data()));
  cv::Mat xy, fraction;
  cv::convertMaps(map_x, map_y, xy, fraction, CV_16SC2);
  for (size_t i = 0; i < map.valid.size(); ++i) {
    if (!map.valid[i]) {
      ASSERT_EQ(fixed.xy[2 * i], -32768);
      continue;
    }
    ASSERT_EQ(fixed.xy[2 * i], xy.ptr<std::int16_t>()[2 * i]) << i;
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

struct Refusal {
  std::string name;
  std::function<bool()> call;
};

TEST(UndistortionRemap, BadInputIsRefusedWithOneRecord) {
  const Lens good = navigationLens();
  const PinholeView view = sameView(good);
  auto lensWith = [&](const std::function<void(Lens*)>& change) {
    Lens lens = good;
    change(&lens);
    return lens;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Lens> bad_lenses = {
      lensWith([](Lens* l) { l->width = 0; }),
      lensWith([](Lens* l) { l->height = -3; }),
      lensWith([](Lens* l) { l->width = l->height = 1 << 14; }),
      lensWith([&](Lens* l) { l->K(0, 2) = nan; }),
      lensWith([](Lens* l) { l->K(0, 0) = 0.0f; }),
      lensWith([](Lens* l) { l->K(1, 1) = -5.0f; }),
      lensWith([](Lens* l) { l->distortion.pop_back(); }),
      lensWith([&](Lens* l) { l->distortion[6] = nan; }),
  };
  UndistortionMap map = navigationMap();
  std::vector<std::uint8_t> image(size_t(good.width) * good.height * 3);
  std::vector<Refusal> refusals;
  for (size_t i = 0; i < bad_lenses.size(); ++i) {
    const Lens& lens = bad_lenses[i];
    refusals.push_back({"forward map, lens " + std::to_string(i),
                        [&, lens] { return buildUndistortionMap(lens, view, &map); }});
    refusals.push_back({"inverse map, lens " + std::to_string(i),
                        [&, lens] { return buildInverseUndistortionMap(lens, view, &map); }});
    refusals.push_back({"view, lens " + std::to_string(i), [&, lens] {
                          PinholeView chosen;
                          return choosePinholeView(lens, 0.5f, 640, 480, &chosen);
                        }});
  }
  PinholeView flat = view;
  flat.K(1, 1) = 0.0f;
  PinholeView chosen;
  const size_t stride = size_t(good.width) * 3;
  UndistortionMap short_map = map;
  short_map.valid.pop_back();
  const std::vector<Refusal> more = {
      {"view with fy 0", [&] { return buildUndistortionMap(good, flat, &map); }},
      {"no map", [&] { return buildUndistortionMap(good, view, nullptr); }},
      {"no inverse map", [&] { return buildInverseUndistortionMap(good, view, nullptr); }},
      {"alpha NaN", [&] { return choosePinholeView(good, nan, 640, 480, &chosen); }},
      {"view size 0", [&] { return choosePinholeView(good, 0.0f, 0, 480, &chosen); }},
      {"no view", [&] { return choosePinholeView(good, 0.0f, 640, 480, nullptr); }},
      {"two channels",
       [&] {
         return remapImage(image.data(), good.width, good.height, 2, stride, map, image.data(),
                           stride);
       }},
      {"short source stride",
       [&] {
         return remapImage(image.data(), good.width, good.height, 3, stride - 1, map, image.data(),
                           stride);
       }},
      {"short destination stride",
       [&] {
         return remapImage(image.data(), good.width, good.height, 3, stride, map, image.data(),
                           stride - 1);
       }},
      {"no source",
       [&] {
         return remapImage(nullptr, good.width, good.height, 3, stride, map, image.data(), stride);
       }},
      {"no destination",
       [&] {
         return remapImage(image.data(), good.width, good.height, 3, stride, map, nullptr, stride);
       }},
      {"map arrays short",
       [&] {
         return remapImage(image.data(), good.width, good.height, 3, stride, short_map,
                           image.data(), stride);
       }},
      {"source size 0",
       [&] {
         return remapImage(image.data(), 0, good.height, 3, stride, map, image.data(), stride);
       }},
      {"no fixed-point map", [&] { return convertToFixedPoint(map, nullptr); }},
  };
  refusals.insert(refusals.end(), more.begin(), more.end());
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    testing::LogCapture capture;
    EXPECT_FALSE(refusal.call());
    const auto records = capture.recordsUpTo(3);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 2);
    EXPECT_EQ(records[0].tag, "calibration_utils");
  }
}

}  // namespace
}  // namespace calibration
}  // namespace dravik

// Resampling through a forward map (remapImage): the exact bilinear sample
// of the map's positions over the test lenses, 8 and 16 bits, to the lens's
// size and to a smaller view; the same bytes on any number of threads and on
// the vector and portable paths; the refusals of the 16-bit form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../calibration_utils/src/remap_paths.h"
#include "calibration_utils/undistortion.h"
#include "support/log_capture.h"
#include "support/undistortion_lenses.h"

namespace dravik::calibration {
namespace {

using namespace testing;

// A frame of T samples: texturedImage's bytes (or, with `noise`, bytes of
// the full range at random, the steepest steps everywhere), widened to 16
// bits as byte * 257 + (pixel index) % 251, so that the low byte carries
// detail of its own.
template <typename T>
std::vector<T> frameOf(int width, int height, int channels, bool noise = false) {
  std::vector<std::uint8_t> bytes = texturedImage(width, height, channels);
  std::uint32_t state = 7;
  for (std::uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    if (noise) byte = std::uint8_t(state >> 24);
  }
  std::vector<T> frame(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    frame[i] = sizeof(T) == 1 ? T(bytes[i]) : T(std::min(65535, bytes[i] * 257 + int(i % 251)));
  }
  return frame;
}

// The exact bilinear sample of the image at (x, y) (inside it), in double.
template <typename T>
double exactSample(const std::vector<T>& image, int width, int height, int channels, int c,
                   double x, double y) {
  const int i = std::min(int(std::floor(x)), std::max(width - 2, 0));
  const int j = std::min(int(std::floor(y)), std::max(height - 2, 0));
  const double a = x - i, b = y - j;
  const auto p = [&](int u, int v) {
    return double(
        image[(size_t(std::min(v, height - 1)) * width + std::min(u, width - 1)) * channels + c]);
  };
  return (1 - b) * ((1 - a) * p(i, j) + a * p(i + 1, j)) +
         b * ((1 - a) * p(i, j + 1) + a * p(i + 1, j + 1));
}

struct Accuracy {
  long long samples = 0, equal = 0, border = 0;
  double worst = 0.0;  // grey levels from the exact sample, rounded
};

// remapImage of a textured frame through the map of the lens for the view,
// each sample against the exact one rounded half up.
template <typename T>
Accuracy accuracyOf(const Lens& lens, const PinholeView& view, int channels, bool noise) {
  UndistortionMap map;
  EXPECT_TRUE(buildUndistortionMap(lens, view, &map));
  const std::vector<T> src = frameOf<T>(lens.width(), lens.height(), channels, noise);
  std::vector<T> dst(size_t(map.width) * map.height * channels);
  const T border = T(7);
  EXPECT_TRUE(remapImage(src.data(), lens.width(), lens.height(), channels,
                         size_t(lens.width()) * channels * sizeof(T), map, dst.data(),
                         size_t(map.width) * channels * sizeof(T), border));
  Accuracy accuracy;
  for (size_t i = 0; i < map.valid.size(); ++i) {
    for (int c = 0; c < channels; ++c) {
      const T ours = dst[i * channels + c];
      if (!map.valid[i]) {
        EXPECT_EQ(ours, border) << i;  // beyond the fold: the border, not a ghost
        ++accuracy.border;
        continue;
      }
      const double exact = std::floor(
          exactSample(src, lens.width(), lens.height(), channels, c, map.x[i], map.y[i]) + 0.5);
      accuracy.worst = std::max(accuracy.worst, std::abs(double(ours) - exact));
      accuracy.equal += double(ours) == exact;
      ++accuracy.samples;
    }
  }
  return accuracy;
}

// The folded lens is the strongest of the test lenses (its map bends the
// most between neighbouring pixels); the navigation lens is the robot's.
// Every sample within one level of the exact one, 99.5 % equal.
TEST(RemapImage, SamplesAreTheExactBilinearSamplesOfTheMapsPositions) {
  struct Case {
    const char* name;
    Lens lens;
    int width, height, channels, bits;
    bool noise = false;
  };
  const std::vector<Case> cases = {
      {"folded, gray", foldedLens(), 1280, 960, 1, 8},
      {"folded, colour", foldedLens(), 1280, 960, 3, 8},
      {"folded, RGBA", foldedLens(), 1280, 960, 4, 8},
      {"folded, gray 16-bit", foldedLens(), 1280, 960, 1, 16},
      {"folded, colour 16-bit", foldedLens(), 1280, 960, 3, 16},
      {"navigation, colour", navigationLens(), 1280, 960, 3, 8},
      {"navigation to 640 x 480, gray", navigationLens(), 640, 480, 1, 8},
      {"folded to 640 x 480, colour", foldedLens(), 640, 480, 3, 8},
      {"folded, colour noise", foldedLens(), 1280, 960, 3, 8, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PinholeView view = sameView(c.lens);
    if (c.width != c.lens.width()) {
      ASSERT_TRUE(choosePinholeView(c.lens, 0.5f, c.width, c.height, &view));
    }
    const Accuracy a = c.bits == 8 ? accuracyOf<std::uint8_t>(c.lens, view, c.channels, c.noise)
                                   : accuracyOf<std::uint16_t>(c.lens, view, c.channels, c.noise);
    EXPECT_LE(a.worst, 1.0);
    // 8-bit samples are weighed at the position rounded to 1/8192 pixel;
    // 16-bit ones carry 8 more bits than single precision rounds away.
    EXPECT_GE(double(a.equal), 0.995 * double(a.samples)) << a.equal << " of " << a.samples;
    EXPECT_GT(a.samples, (long long)c.width * c.height * c.channels / 2);
    if (c.lens.distortion()[0] == foldedLens().distortion()[0]) {
      EXPECT_GT(a.border, 0);
    }
  }
}

// Rows split among threads: the same bytes for every count (0: every core),
// rows not a multiple of the count included.
TEST(RemapImage, EveryThreadCountGivesTheSameBytes) {
  const Lens lens = foldedLens();
  UndistortionMap map;
  ASSERT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  map.height = 333;  // a band of the map, so that rows split unevenly
  map.source_width = map.source_height = 0;
  const UndistortionMapView band{map.width,    map.height,      0, 0, map.x.data(),
                                 map.y.data(), map.valid.data()};
  // Frames of T samples: the bytes of each thread count against one thread's.
  const auto expectSameBytes = [&](auto sample, int channels) {
    using T = decltype(sample);
    const std::vector<T> src = frameOf<T>(lens.width(), lens.height(), channels);
    const size_t row = size_t(map.width) * channels, stride = row * sizeof(T);
    std::vector<T> one(row * map.height);
    ASSERT_TRUE(remapImage(src.data(), lens.width(), lens.height(), channels, stride, band,
                           one.data(), stride, 0, 1));
    for (const int threads : {0, 2, 3, 7, 1000}) {
      SCOPED_TRACE(std::to_string(channels) + " channels of " + std::to_string(8 * sizeof(T)) +
                   " bits, " + std::to_string(threads));
      std::vector<T> many(one.size(), 1);
      ASSERT_TRUE(remapImage(src.data(), lens.width(), lens.height(), channels, stride, band,
                             many.data(), stride, 0, threads));
      EXPECT_EQ(many, one);
    }
  };
  for (const int channels : {1, 3}) {
    expectSameBytes(std::uint8_t(), channels);
    expectSameBytes(std::uint16_t(), channels);
  }
}

// Callers on threads of their own share the worker threads: each gets its
// own frame's bytes.
TEST(RemapImage, CallersAtOnceShareTheWorkersAndGetTheirOwnBytes) {
  const Lens lens = navigationLens();
  UndistortionMap map;
  ASSERT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  map.height = 97;
  map.source_width = map.source_height = 0;
  const UndistortionMapView band{map.width,    map.height,      0, 0, map.x.data(),
                                 map.y.data(), map.valid.data()};
  const size_t row = size_t(map.width) * 3;
  std::vector<std::vector<std::uint8_t>> frames, expected, results(4);
  for (int k = 0; k < 4; ++k) {
    frames.push_back(frameOf<std::uint8_t>(lens.width(), lens.height(), 3));
    for (std::uint8_t& sample : frames[k]) sample = std::uint8_t(sample + 40 * k);
    expected.emplace_back(row * map.height);
    ASSERT_TRUE(remapImage(frames[k].data(), lens.width(), lens.height(), 3, row, band,
                           expected[k].data(), row, 0, 1));
  }
  std::vector<std::thread> callers;
  for (int k = 0; k < 4; ++k) {
    callers.emplace_back([&, k] {
      results[k].resize(row * map.height);
      for (int repeat = 0; repeat < 5; ++repeat) {
        remapImage(frames[k].data(), lens.width(), lens.height(), 3, row, band, results[k].data(),
                   row, 0, 3);
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(results, expected);
}

// The vector path must give the portable path's bytes exactly: positions
// all over the source and beyond it, whole and fractional, the last column
// and row, invalid entries, NaN, on rows that end in every remainder of the
// eight pixels of a vector, sources of one pixel across, 8 and 16 bits.
template <typename T>
void expectVectorPathIsThePortableOne() {
  std::uint32_t state = 12345;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  for (const int source_width : {1, 2, 7, 64}) {
    const int source_height = source_width == 1 ? 3 : 41;
    for (const int width : {1, 3, 7, 8, 9, 15, 16, 17, 263}) {
      const int height = 3;
      UndistortionMap map;
      map.width = width;
      map.height = height;
      for (int i = 0; i < width * height; ++i) {
        const float x = float(int(next() % ((source_width + 3) * 64)) - 96) / 64.0f;
        const float y = float(int(next() % ((source_height + 3) * 64)) - 96) / 64.0f;
        const bool nan = next() % 50 == 0;
        map.x.push_back(nan ? std::nanf("") : next() % 5 == 0 ? std::round(x) : x);
        map.y.push_back(next() % 7 == 0 ? float(source_height - 1) : y);
        map.valid.push_back(next() % 11 != 0);
      }
      const UndistortionMapView view{map.width,    map.height,      0, 0, map.x.data(),
                                     map.y.data(), map.valid.data()};
      for (const int channels : {1, 3, 4}) {
        const std::vector<T> src = frameOf<T>(source_width, source_height, channels);
        const size_t src_stride = size_t(source_width) * channels * sizeof(T);
        const size_t dst_stride = (size_t(width) * channels + 3) * sizeof(T);
        // Both start alike, so the padding after each row must stay alike too.
        std::vector<T> vector(dst_stride / sizeof(T) * height, 1), portable = vector;
        ASSERT_TRUE(remapImageOnPath(RemapPath::kVector, src.data(), source_width, source_height,
                                     channels, src_stride, view, vector.data(), dst_stride, T(9),
                                     1));
        ASSERT_TRUE(remapImageOnPath(RemapPath::kPortable, src.data(), source_width, source_height,
                                     channels, src_stride, view, portable.data(), dst_stride, T(9),
                                     1));
        ASSERT_EQ(vector, portable)
            << "source " << source_width << ", width " << width << ", " << channels << " channels";
        if constexpr (sizeof(T) == 1) {
          // The prepared map gives the float map's bytes on either path.
          CompactRemapMap compact;
          ASSERT_TRUE(
              prepareRemap(map, source_width, source_height, channels, src_stride, &compact));
          for (const RemapPath path : {RemapPath::kVector, RemapPath::kPortable}) {
            std::vector<T> prepared(vector.size(), 1);
            ASSERT_TRUE(remapImageOnPath(path, src.data(), source_width, source_height, channels,
                                         src_stride, compact, prepared.data(), dst_stride, T(9),
                                         1));
            ASSERT_EQ(prepared, portable) << "prepared, source " << source_width << ", width "
                                          << width << ", " << channels << " channels";
          }
        }
      }
    }
  }
}

TEST(RemapImage, VectorAndPortablePathsGiveTheSameBytes) {
  if (!remapHasVectorForm()) GTEST_SKIP() << "no vector form on this processor";
  expectVectorPathIsThePortableOne<std::uint8_t>();
  expectVectorPathIsThePortableOne<std::uint16_t>();
}

// 16-bit frames that do not fit the map, and 8-bit frames not of the
// prepared layout: refused with one record, nothing written.
TEST(RemapImage, BadInputIsRefusedWithOneRecord) {
  const Lens lens = navigationLens();
  UndistortionMap map;
  ASSERT_TRUE(buildUndistortionMap(lens, sameView(lens), &map));
  const int w = lens.width(), h = lens.height();
  const size_t s = size_t(w) * 3;
  std::vector<std::uint16_t> image16(s * h, 5);
  std::vector<std::uint8_t> image(s * h, 5);
  std::uint16_t* const px16 = image16.data();
  std::uint8_t* const px = image.data();
  CompactRemapMap compact, unprepared;
  ASSERT_TRUE(prepareRemap(map, w, h, 3, s, &compact));
  CompactRemapMap taken = compact;
  const CompactRemapMap moved = std::move(taken);
  EXPECT_EQ(moved.width(), w);
  const std::vector<std::pair<std::string, std::function<bool()>>> refusals = {
      {"16-bit source of another size",
       [&] { return remapImage(px16, w, h / 2, 3, 2 * s, map, px16, 2 * s); }},
      {"16-bit stride one sample short",
       [&] { return remapImage(px16, w, h, 3, 2 * s - 2, map, px16, 2 * s); }},
      {"16-bit odd stride", [&] { return remapImage(px16, w, h, 1, 2 * w + 1, map, px16, 2 * s); }},
      {"16-bit negative threads",
       [&] { return remapImage(px16, w, h, 3, 2 * s, map, px16, 2 * s, 0, -1); }},
      {"16-bit two channels", [&] { return remapImage(px16, w, h, 2, 2 * s, map, px16, 2 * s); }},
      {"prepared for another size", [&] { return prepareRemap(map, w, h / 2, 3, s, &compact); }},
      {"prepared with a short stride", [&] { return prepareRemap(map, w, h, 3, s - 1, &compact); }},
      {"not prepared", [&] { return remapImage(px, w, h, 3, s, unprepared, px, s); }},
      {"moved from", [&] { return remapImage(px, w, h, 3, s, taken, px, s); }},
      {"another stride", [&] { return remapImage(px, w, h, 3, s + 3, compact, px, s); }},
      {"another channel count", [&] { return remapImage(px, w, h, 1, s, compact, px, s); }},
      {"short destination stride", [&] { return remapImage(px, w, h, 3, s, compact, px, 3); }},
      {"prepared, negative threads",
       [&] { return remapImage(px, w, h, 3, s, compact, px, s, 0, -1); }},
  };
  for (const auto& [name, call] : refusals) {
    SCOPED_TRACE(name);
    LogCapture capture;
    EXPECT_FALSE(call());
    EXPECT_EQ(capture.recordsUpTo(3).size(), 1u);
  }
  EXPECT_EQ(std::count(image16.begin(), image16.end(), 5), std::ptrdiff_t(image16.size()));
  EXPECT_EQ(std::count(image.begin(), image.end(), 5), std::ptrdiff_t(image.size()));
  EXPECT_EQ(compact.sourceHeight(), h);  // a refused preparation leaves the map as it was
}

}  // namespace
}  // namespace dravik::calibration

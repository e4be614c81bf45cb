// camcal undistort and camcal ptz ... undistort on small PNG and JPEG
// images: the view and valid rectangle it prints, the image it writes, and
// the refusals that leave no output file behind.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "run_camcal.h"
#include "support/ptz_models.h"

namespace {

using namespace camcal_test;
using dravik::testing::ptzExamplePath;

const std::string color_png = fixture("navigation_64x48.png");
const std::string gray_jpeg = fixture("navigation_64x48_gray.jpg");

// The width and height in a PNG's header (bytes 16 to 23, big-endian).
std::pair<int, int> pngSize(const std::string& bytes) {
  auto word = [&](size_t at) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    return int(b[0]) << 24 | int(b[1]) << 16 | int(b[2]) << 8 | int(b[3]);
  };
  return bytes.size() >= 24 ? std::make_pair(word(16), word(20)) : std::make_pair(0, 0);
}

// A gray gradient PNG of the given size.
void writeGrayPng(const std::string& path, int width, int height) {
  std::vector<unsigned char> pixels(size_t(width) * height);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7);
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(width);
  image.height = png_uint_32(height);
  image.format = PNG_FORMAT_GRAY;
  ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

TEST(CamcalUndistort, WritesTheUndistortedImageAndPrintsTheView) {
  ScratchDir scratch;
  const std::string png = scratch.path("out.png"), jpeg = scratch.path("out.JPG");
  const std::string ptz_input = scratch.path("ptz.png"), ptz_output = scratch.path("ptz_out.png");
  writeGrayPng(ptz_input, 1920, 1080);
  expectRuns({
      // The camera's own K: the navigation lens's full frame scaled to 64x48.
      {{"undistort", "navigation", "64x48", color_png, "-o", png},
       0,
       {"view K 30.9125 0 32.085003\n", "\n 0 0 1\n", "valid rect x 0, y 0, 64x48\n",
        "written " + png + " (64x48, RGB)\n"}},
      {{"undistort", "navigation", "64x48", gray_jpeg, "-o", jpeg, "--alpha", "1"},
       0,
       {"view K", "valid rect x ", "written " + jpeg + " (64x48, gray)\n"}},
      {{"ptz", ptzExamplePath(), "--at", "0,0,1000", "undistort", ptz_input, "-o", ptz_output},
       0,
       {"view K", "written " + ptz_output + " (1920x1080, gray)\n"}},
  });
  EXPECT_EQ(pngSize(readFile(png)), std::make_pair(64, 48));
  EXPECT_EQ(pngSize(readFile(ptz_output)), std::make_pair(1920, 1080));
  EXPECT_EQ(readFile(jpeg).substr(0, 2), "\xFF\xD8");
}

TEST(CamcalUndistort, RefusesImagesThatAreNotWholeOrNotOfTheSize) {
  ScratchDir scratch;
  const std::string out = scratch.path("out.png");
  const std::string png_part = scratch.path("part.png"), jpeg_part = scratch.path("part.jpg");
  const std::string png_bytes = readFile(color_png), jpeg_bytes = readFile(gray_jpeg);
  std::ofstream(png_part, std::ios::binary) << png_bytes.substr(0, png_bytes.size() / 2);
  std::ofstream(jpeg_part, std::ios::binary) << jpeg_bytes.substr(0, jpeg_bytes.size() / 2);
  const std::string calibration = fixture("robot_calibration.txt");
  expectRuns({
      {{"undistort", "navigation", "640x480", color_png, "-o", out},
       kFailed,
       {},
       color_png + ": the image is 64x48, not the camera's 640x480"},
      {{"undistort", "navigation", "64x48", calibration, "-o", out},
       kFailed,
       {},
       calibration + ": not a PNG or JPEG image"},
      {{"undistort", "navigation", "64x48", png_part, "-o", out},
       kFailed,
       {},
       png_part + ": truncated or corrupt PNG image ("},
      {{"undistort", "navigation", "64x48", jpeg_part, "-o", out},
       kFailed,
       {},
       jpeg_part + ": truncated or corrupt JPEG image ("},
      {{"undistort", "navigation", "64x48", scratch.path("none.png"), "-o", out},
       kFailed,
       {},
       "none.png: cannot read: No such file or directory"},
      {{"undistort", "periscope", "64x48", color_png, "-o", out},
       kFailed,
       {},
       "unknown camera 'periscope'"},
      {{"undistort", "navigation", "64x48", color_png}, kUsage, {}, "--output is required"},
      {{"ptz", ptzExamplePath(), "undistort", color_png, "-o", out},
       kUsage,
       {},
       "ptz undistort needs --at PAN,TILT,ZOOM"},
      {{"ptz", ptzExamplePath(), "--at", "0,0,1000", "undistort", color_png, "-o", out},
       kFailed,
       {},
       color_png + ": the image is 64x48, not the camera's 1920x1080"},
  });
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace

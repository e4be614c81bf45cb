// camcal undistort and camcal ptz ... undistort on small PNG and JPEG images.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/undistortion.h"
#include "run_camcal.h"
#include "support/undistortion_lenses.h"

namespace {

using namespace camcal_test;

const std::string color_png = fixture("navigation_64x48.png");
const std::string gray_jpeg = fixture("navigation_64x48_gray.jpg");

TEST(CamcalUndistort, WritesTheUndistortedImageAndPrintsTheView) {
  ScratchDir scratch;
  const std::string png = scratch.path("out.png"), jpeg = scratch.path("out.JPG");
  const std::string ptz_input = scratch.path("ptz.png"), ptz_output = scratch.path("ptz_out.png");
  writeGrayPng(ptz_input, 1920, 1080, std::vector<std::uint8_t>(1920 * 1080, 90));
  expectRuns({
      // The camera's own K: the navigation lens's full frame scaled to 64x48.
      prints({"undistort", "navigation", "64x48", color_png, "-o", png},
             {"view K 30.9125 0 32.085003\n", "\n 0 0 1\n", "valid rect x 0, y 0, 64x48\n",
              "written " + png + " (64x48, RGB)\n"}),
      prints({"undistort", "navigation", "64x48", gray_jpeg, "-o", jpeg, "--alpha", "1"},
             {"view K", "valid rect x ", "written " + jpeg + " (64x48, gray)\n"}),
      prints({"ptz", kPtzCal, "--at", "0,0,1000", "undistort", ptz_input, "-o", ptz_output},
             {"view K", "written " + ptz_output + " (1920x1080, gray)\n"}),
  });
  EXPECT_EQ(pngSize(png), std::make_pair(64, 48));
  EXPECT_EQ(pngSize(ptz_output), std::make_pair(1920, 1080));
  EXPECT_EQ(readFile(jpeg).substr(0, 2), "\xFF\xD8");
}

// The gray pixels of an 8-bit PNG image; empty when it cannot be read.
std::vector<std::uint8_t> readGrayPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_GRAY;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  return pixels;
}

// camcal's output is the library's resampling through the navigation lens's
// map (the camera's own K), byte for byte, the border 0 (the samples
// themselves against the exact bilinear ones: remap_image_test.cpp).
TEST(CamcalUndistort, WritesTheLibrarysResamplingThroughTheLenssMap) {
  ScratchDir scratch;
  const std::string in = scratch.path("in.png"), out = scratch.path("out.png");
  const int width = 64, height = 48;
  const std::vector<std::uint8_t> frame = dravik::testing::texturedImage(width, height, 1);
  writeGrayPng(in, width, height, frame);
  expectRuns({prints({"undistort", "navigation", "64x48", in, "-o", out}, {"written " + out})});
  const dravik::calibration::Lens lens =
      dravik::calibration::CameraParametersSet().getCamera("navigation")->getLens(width, height);
  dravik::calibration::UndistortionMap map;
  ASSERT_TRUE(dravik::calibration::buildUndistortionMap(lens, {width, height, lens.K()}, &map));
  ASSERT_GT(std::count(map.valid.begin(), map.valid.end(), 1), width * height / 2);
  std::vector<std::uint8_t> expected(frame.size());
  ASSERT_TRUE(dravik::calibration::remapImage(frame.data(), width, height, 1, size_t(width), map,
                                              expected.data(), size_t(width), 0));
  EXPECT_EQ(readGrayPng(out), expected);
}

// Hostile images are refused from their header or at the scan limit, before
// they cost more than the camera's image; a 16-bit image is not narrowed; the
// output's extension picks its codec, checked before any work.
TEST(CamcalUndistort, RefusesImagesThatAreNotWholeNotOfTheSizeOrHostile) {
  const std::string hostile = CAMERA_PARAMETERS_SOURCE_DIR "/fuzz/regressions/image_input_fuzzer/";
  ScratchDir scratch;
  const std::string out = scratch.path("out.png"), bmp = scratch.path("out.bmp");
  const auto first_half = [&](const std::string& name, const std::string& whole) {
    return scratch.write(name, readFile(whole).substr(0, readFile(whole).size() / 2));
  };
  const std::string png_part = first_half("part.png", color_png),
                    jpeg_part = first_half("part.jpg", gray_jpeg), deep = scratch.path("deep.png");
  writeGrayPng(deep, 64, 48, std::vector<std::uint16_t>(64 * 48, 40000));
  const auto navigation = [&](const std::string& size, const std::string& image,
                              const std::string& output = "") {
    return Args{"undistort", "navigation", size, image, "-o", output.empty() ? out : output};
  };
  const std::string not_the_size = ": the image is 8192x8192, not the camera's 1280x960";
  expectRuns({
      fails(kFailed, navigation("640x480", color_png),
            color_png + ": the image is 64x48, not the camera's 640x480"),
      fails(kFailed, navigation("64x48", kRobotCal), kRobotCal + ": not a PNG or JPEG image"),
      fails(kFailed, navigation("64x48", png_part),
            png_part + ": truncated or corrupt PNG image ("),
      fails(kFailed, navigation("64x48", jpeg_part),
            jpeg_part + ": truncated or corrupt JPEG image ("),
      fails(kUsage, {"undistort", "navigation", "64x48", color_png}, "--output is required"),
      fails(kFailed, navigation("1280x960", hostile + "progressive_scan_bomb_1280x960.jpg"),
            "progressive_scan_bomb_1280x960.jpg: truncated or corrupt JPEG image (more than 100 "
            "scans)"),
      fails(kFailed, navigation("1280x960", hostile + "progressive_scan_bomb_8192x8192.jpg"),
            "progressive_scan_bomb_8192x8192.jpg" + not_the_size),
      fails(kFailed, navigation("1280x960", hostile + "png_header_lies_8192x8192.png"),
            "png_header_lies_8192x8192.png" + not_the_size),
      fails(kFailed, navigation("1280x960", hostile + "png_zip_bomb_idat_1280x960.png"),
            "png_zip_bomb_idat_1280x960.png: truncated or corrupt PNG image (Too much image "
            "data)"),
      fails(kFailed, navigation("64x48", deep),
            deep + ": a 16-bit PNG image: camcal undistorts 8-bit images only"),
      fails(kFailed, navigation("64x48", color_png, bmp),
            "cannot tell the image format of '" + bmp +
                "': name the output NAME.png, NAME.jpg or NAME.jpeg"),
  });
  EXPECT_FALSE(std::filesystem::exists(out) || std::filesystem::exists(bmp));
}

}  // namespace

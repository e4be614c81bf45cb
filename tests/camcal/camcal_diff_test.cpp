// camcal diff on calibrations with known differences.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "run_camcal.h"

namespace {

using namespace camcal_test;
using nlohmann::json;

// A shift of the principal point is exact to the rounding of a sum of pixels.
constexpr double kPixelTolerance = 1e-9;
// Poses pass through float in the library.
constexpr double kDegreeTolerance = 1e-4;
constexpr double kMillimetreTolerance = 1e-3;

// camcal -q diff ARGS... --format json, parsed.
json diffJson(const Args& args, int expected_status) {
  const camcal_test::Run run = runCamcal(cat(cat({"-q", "diff"}, args), {"--format", "json"}));
  EXPECT_EQ(run.status, expected_status) << run.err;
  return json::parse(run.out, nullptr, false);
}

const json& cameraNamed(const json& diff, const std::string& name) {
  for (const json& camera : diff["cameras"])
    if (camera["name"] == name) return camera;
  static const json none;
  ADD_FAILURE() << "no camera " << name;
  return none;
}

// `text` with every occurrence of each of `paths` left out: what a check of
// the report's own figures reads, whatever the checkout's path holds.
std::string withoutPaths(std::string text, const Args& paths) {
  for (const std::string& path : paths)
    for (std::size_t at; (at = text.find(path)) != std::string::npos;) text.erase(at, path.size());
  return text;
}

TEST(CamcalDiff, APrincipalPointOnePixelOverMovesEveryRayByOnePixel) {
  // cx 638.5 and 639.5 are exact in float, so the shift is exactly 1.
  ScratchDir scratch;
  const std::string a = scratch.variant("a.txt", kRobotCal, "cx: 638.9", "cx: 638.5");
  const std::string b = scratch.variant("b.txt", kRobotCal, "cx: 638.9", "cx: 639.5");
  const json diff = diffJson({a, b}, 1);
  const json& full_frame = cameraNamed(diff, "navigation")["sizes"][0];
  EXPECT_TRUE(full_frame["width"] == 1280 && full_frame["height"] == 960);
  for (const char* key : {"max_px", "median_px", "p99_px", "cx_change"})
    EXPECT_NEAR(full_frame[key].get<double>(), 1.0, kPixelTolerance) << key;
  // Every size of the model scales the shift, and every ray moves alike.
  for (const json& size : cameraNamed(diff, "navigation")["sizes"]) {
    EXPECT_NEAR(size["max_px"].get<double>(), size["median_px"].get<double>(), 1e-6);
    EXPECT_NEAR(size["max_px"].get<double>(), size["cx_change"].get<double>(), 1e-6);
  }
  EXPECT_EQ(cameraNamed(diff, "front")["sizes"][0]["max_px"], 0.0);

  // The exit status on both sides of the threshold, and the text's verdict.
  expectRuns(
      {prints({"-q", "diff", a, b, "--max-px", "1.001"}, {}),
       {{"-q", "diff", a, b, "--max-px", "0.999"},
        kFailed,
        {"\n 1280x960 1.000 1.000 1.000 ", "largest displacement 1.000 px: over --max-px 0.999"}}});
}

TEST(CamcalDiff, ACameraTurnedByATenthOfADegreeMovesItsCentreRayByFTanTheAngle) {
  // front turned about its own y axis by 0.1 degree, its centre kept.
  Eigen::Matrix<double, 3, 4, Eigen::RowMajor> pose;
  pose << 0, -1, 0, 3.1, 0, 0, -1, 1098.4, 1, 0, 0, -181.7;
  const double angle = 0.1 * M_PI / 180.0;
  pose = Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitY()).matrix() * pose;
  std::ostringstream values;
  values << pose.format(Eigen::IOFormat(17, Eigen::DontAlignCols, ", ", ", "));
  ScratchDir scratch;
  const std::string b =
      scratch.variant("turned.txt", kRobotCal,
                      "a: [0, -1, 0, 3.1,\n        0, 0, -1, 1098.4,\n        1, 0, 0, -181.7]",
                      "a: [" + values.str() + "]");
  const json diff = diffJson({kRobotCal, b}, 1);
  const json& front = cameraNamed(diff, "front");
  EXPECT_NEAR(front["pose"]["rotation_deg"].get<double>(), 0.1, kDegreeTolerance);
  EXPECT_NEAR(front["pose"]["centre_moved_mm"].get<double>(), 0.0, kMillimetreTolerance);
  // A turn about y moves the ray on the axis by fx tan(angle) = 4.32 px, rays
  // off the axis by (1 + x^2) times as much: up to 1.3 times here.
  const double on_axis = 2476.3 * std::tan(angle);
  const json& full_frame = front["sizes"][0];
  EXPECT_GT(full_frame["max_px"].get<double>(), on_axis * 0.999);
  EXPECT_LT(full_frame["max_px"].get<double>(), on_axis * 1.5);
  EXPECT_NEAR(full_frame["median_px"].get<double>(), on_axis, 0.15 * on_axis);
  EXPECT_EQ(cameraNamed(diff, "navigation")["pose"]["rotation_deg"], 0.0);
}

// The grid runs over the pixel centres 0 to W - 1 and 0 to H - 1: a change of
// k1 moves the corner farthest from the principal point most, the top right
// one of the navigation camera (cx 638.9, cy 482.6).
TEST(CamcalDiff, TheGridSamplesPixelCentresFromZeroToTheSizeLessOne) {
  ScratchDir scratch;
  const std::string b = scratch.variant("k1.txt", kRobotCal, "k: [-0.205,", "k: [-0.2,");
  const json diff = diffJson({kRobotCal, b}, 1);
  for (const json& size : cameraNamed(diff, "navigation")["sizes"])
    EXPECT_EQ(size["max_at"], json::array({size["width"].get<int>() - 1, 0})) << size["width"];
}

// A lens that folds well inside the image cannot see A's outer rays: they
// are "no ray" in the table, counted, and fail the comparison, and no
// displacement beyond the image appears.
TEST(CamcalDiff, RaysThatBCannotSeeAreNoRayCountedAndFailTheComparison) {
  ScratchDir scratch;
  const std::string folding = scratch.variant("fold.txt", kRobotCal, "k: [-0.205,", "k: [-0.9,");
  const json diff = diffJson({kRobotCal, folding, "--max-px", "1000000"}, 1);
  const json& full_frame = cameraNamed(diff, "navigation")["sizes"][0];
  EXPECT_TRUE(diff["within_threshold"] == false && diff["largest_px"].is_null() &&
              full_frame["max_px"].is_null());
  const int unseen = full_frame["rays_not_seen_by_b"].get<int>();
  EXPECT_TRUE(unseen > 0 && full_frame["rays"] > 0);  // the centre is still seen
  EXPECT_GE(diff["rays_not_seen_by_b"].get<int>(), unseen);
  EXPECT_EQ(cameraNamed(diff, "front")["sizes"][0]["rays_not_seen_by_b"], 0);

  const camcal_test::Run run = runCamcal({"-q", "diff", kRobotCal, folding});
  EXPECT_EQ(run.status, kFailed);
  const std::string out = std::regex_replace(run.out, std::regex(" +"), " ");
  for (const std::string& part :
       {std::string("\n 1280x960 no ray "), std::to_string(unseen) + " rays that B cannot see)",
        "\nno ray: " + diff["rays_not_seen_by_b"].dump() + " rays of A that B cannot see"})
    EXPECT_NE(out.find(part), std::string::npos) << part << " not in\n" << out;
  // No distance of a ray that B cannot see (a huge or sentinel number) in the table.
  EXPECT_FALSE(
      std::regex_search(withoutPaths(run.out, {kRobotCal, folding}), std::regex("[0-9]{7}")))
      << run.out;
}

TEST(CamcalDiff, CamerasOfOnlyOneFileAreListedAndFailTheComparison) {
  ScratchDir scratch;
  const std::string rear =
      readFile(kRobotCal).substr(readFile(kRobotCal).find("camera {\n  name: \"rear\""));
  const std::string without_rear = scratch.variant("without_rear.txt", kRobotCal, rear, "");
  const camcal_test::Run run = runCamcal({"-q", "diff", kRobotCal, without_rear});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "camcal: " + without_rear + ": has no camera 'rear' of " + kRobotCal + "\n");
  EXPECT_NE(run.out.find("only in A: rear\n"), std::string::npos) << run.out;
  const json diff = diffJson({without_rear, kRobotCal}, 1);
  EXPECT_TRUE(diff["only_in_a"] == json::array() && diff["only_in_b"] == json::array({"rear"}) &&
              diff["cameras"].size() == 2u);
}

TEST(CamcalDiff, PtzCalibrationsAreComparedAtEveryZoomSample) {
  ScratchDir scratch;
  // Sample 2 (zoom 4000) one pixel longer: only zooms between its neighbours move.
  const std::string longer = scratch.variant("longer.txt", kPtzCal, "f: 2290", "f: 2291");
  const json diff = diffJson({kPtzCal, longer}, 0);
  const json& samples = diff["cameras"][0]["zoom_samples"];
  ASSERT_TRUE(diff["kind"] == "ptz" && samples.size() == 9u && samples[2]["zoom"] == 4000) << diff;
  EXPECT_NEAR(samples[2]["fx_change"].get<double>(), 1.0, 1e-3);
  // A focal length one pixel longer moves a ray by its distorted normalized
  // radius: about 0.48 at the corners of the zoom-4000 image.
  EXPECT_GT(samples[2]["max_px"].get<double>(), 0.45);
  EXPECT_LT(samples[2]["max_px"].get<double>(), 0.5);
  EXPECT_TRUE(samples[1]["max_px"] == 0.0 && samples[3]["max_px"] == 0.0);
  EXPECT_EQ(runCamcal({"-q", "diff", kPtzCal, longer, "--max-px", "0.4"}).status, 1);
}

TEST(CamcalDiff, BadInputIsOneLineNamingTheFile) {
  const std::string missing = fixture("no_such_calibration.txt");
  expectRuns({
      fails(kFailed, {"diff", kRobotCal, missing}, missing + ": cannot read: No such file"),
      fails(kFailed, {"diff", kBaseCal, kRobotCal},
            "is a base calibration; diff compares robot or PTZ calibrations"),
      fails(kFailed, {"diff", kRobotCal, kPtzCal}, "is a PTZ calibration, not a robot calibration"),
      fails(kUsage, {"diff", kRobotCal, kRobotCal, "--max-px", "-1"},
            "--max-px: must be at least 0, not -1"),
      fails(kUsage, {"diff", kRobotCal}, "B is required"),
  });
}

}  // namespace

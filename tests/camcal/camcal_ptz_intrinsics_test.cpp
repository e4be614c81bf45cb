// camcal ptz intrinsics: K and distortion of the PTZ camera at a setting, at
// a zoom sample and between two, in each format of `camcal intrinsics`.
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <nlohmann/json.hpp>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/undistortion.h"
#include "run_camcal.h"
#include "support/ptz_models.h"

namespace {

using namespace camcal_test;
using dravik::testing::ptzExamplePath;
using namespace dravik::calibration;

// K and distortion as the configuration's interpolation documents them:
// f, cx and cy linear in zoom between the samples A and B that bracket it.
struct Expected {
  std::vector<float> K;
  std::vector<float> distortion;
};

Expected expectedAt(const PTZCameraParameters& params, int zoom) {
  const auto& samples = params.intrinsics().samples();
  const int step = params.intrinsics().zoom_step();
  const int below = std::min(zoom / step, samples.size() - 1);
  const int above = std::min(below + 1, samples.size() - 1);
  const auto &A = samples[below], &B = samples[above];
  const double a1 = below == above ? 1.0 : (B.zoom() - zoom) / (B.zoom() - A.zoom());
  const double a2 = 1.0 - a1;
  const float f = float(a1 * A.f() + a2 * B.f());
  const float cx = float(a1 * A.cx() + a2 * B.cx()), cy = float(a1 * A.cy() + a2 * B.cy());
  auto model = std::make_shared<PTZCameraModel>(params);
  const PTZCameraModelConfiguration configuration(model, 0, 0, zoom);
  // The formula and the configuration's own K agree.
  const Eigen::Matrix3f K = configuration.getLens().K;
  EXPECT_EQ(std::vector<float>(K.data(), K.data() + 9),
            std::vector<float>({f, 0, cx, 0, f, cy, 0, 0, 1}));
  return {{f, 0, cx, 0, f, cy, 0, 0, 1}, configuration.distortion()};
}

TEST(CamcalPtzIntrinsics, AreTheConfigurationsAtASampleAndBetweenTwo) {
  PTZCameraParameters params;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(readFile(ptzExamplePath()), &params));
  // Zoom 4000 is sample 2; 5000 lies halfway between samples 2 and 3, 4500 a
  // quarter of the way; the pan and tilt do not change K.
  for (const int zoom : {4000, 5000, 4500, 0, 16000}) {
    SCOPED_TRACE(zoom);
    const Expected expected = expectedAt(params, zoom);
    const std::string at = "3600,1200," + std::to_string(zoom);
    const camcal_test::Run json_run =
        runCamcal({"ptz", ptzExamplePath(), "--at", at, "intrinsics", "-f", "json"});
    ASSERT_EQ(json_run.status, 0) << json_run.err;
    const auto json = nlohmann::json::parse(json_run.out);
    std::vector<float> K;
    for (const auto& row : json["camera_matrix"])
      for (const double value : row) K.push_back(float(value));
    EXPECT_EQ(K, expected.K);
    std::vector<float> distortion;
    for (const double value : json["distortion_coefficients"]) distortion.push_back(float(value));
    EXPECT_EQ(distortion, expected.distortion);
    EXPECT_EQ(json["zoom"], zoom);
    EXPECT_EQ(json["image_width"], 1920);

    const camcal_test::Run ros =
        runCamcal({"ptz", ptzExamplePath(), "--at", at, "intrinsics", "-f", "ros-yaml"});
    std::vector<float> ros_K;
    for (const double value :
         YAML::Load(ros.out)["camera_matrix"]["data"].as<std::vector<double>>())
      ros_K.push_back(float(value));
    EXPECT_EQ(ros_K, expected.K);
  }
  EXPECT_EQ(expectedAt(params, 5000).K[0], 2675.0f);
  expectRuns({
      {{"ptz", ptzExamplePath(), "--at", "0,0,4000", "intrinsics"},
       0,
       {"camera ptz, PTZ camera\n",
        "image size 1920x1080, the calibration image at pan 0, tilt 0, "
        "zoom 4000 (steps)\n",
        "K 2290 0 962.9\n 0 2290 539.4\n 0 0 1\n"}},
      {{"ptz", ptzExamplePath(), "intrinsics"},
       kUsage,
       {},
       "ptz intrinsics needs --at PAN,TILT,ZOOM"},
      {{"ptz", ptzExamplePath(), "--at", "0,0,4000", "intrinsics", "-f", "xml"}, kUsage, {}, "xml"},
  });
}

}  // namespace

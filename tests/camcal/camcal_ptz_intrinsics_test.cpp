// camcal ptz intrinsics: K and distortion of the PTZ camera at a setting, at
// a zoom sample and between two, in each format of `camcal intrinsics`.
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "calibration_common/ptz_camera_model.h"
#include "calibration_utils/undistortion.h"
#include "run_camcal.h"
#include "support/ptz_models.h"

namespace {

using namespace camcal_test;
using dravik::testing::ptzExamplePath;
using namespace dravik::calibration;

// K, distortion and image size as camcal intrinsics prints them, by the
// configuration's documented interpolation: f, cx and cy linear in zoom between
// the samples A and B that bracket it; the configuration's own K agrees.
std::vector<float> expectedAt(const PTZCameraParameters& params, int zoom) {
  const auto& samples = params.intrinsics().samples();
  const int below = std::min(zoom / params.intrinsics().zoom_step(), samples.size() - 1);
  const int above = std::min(below + 1, samples.size() - 1);
  const auto &A = samples[below], &B = samples[above];
  const double a1 = below == above ? 1.0 : (B.zoom() - zoom) / (B.zoom() - A.zoom());
  const double a2 = 1.0 - a1;
  const float f = float(a1 * A.f() + a2 * B.f());
  const float cx = float(a1 * A.cx() + a2 * B.cx()), cy = float(a1 * A.cy() + a2 * B.cy());
  std::vector<float> expected = {f, 0, cx, 0, f, cy, 0, 0, 1};
  const PTZCameraModelConfiguration configuration(std::make_shared<PTZCameraModel>(params), 0, 0,
                                                  zoom);
  const Eigen::Matrix3f K = configuration.getLens().K;
  EXPECT_EQ(std::vector<float>(K.data(), K.data() + 9), expected);
  for (const float c : configuration.distortion()) expected.push_back(c);
  expected.insert(expected.end(), {1920.0f, 1080.0f});
  return expected;
}

TEST(CamcalPtzIntrinsics, AreTheConfigurationsAtASampleAndBetweenTwo) {
  PTZCameraParameters params;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(readFile(ptzExamplePath()), &params));
  // Zoom 4000 is sample 2; 5000 lies halfway between samples 2 and 3, 4500 a
  // quarter of the way; the pan and tilt do not change K.
  for (const int zoom : {4000, 5000, 4500, 0, 16000}) {
    const std::vector<float> expected = expectedAt(params, zoom);
    for (const std::string format : {"json", "ros-yaml"}) {
      SCOPED_TRACE(std::to_string(zoom) + " " + format);
      const camcal_test::Run run =
          runCamcal({"ptz", ptzExamplePath(), "--at", "3600,1200," + std::to_string(zoom),
                     "intrinsics", "-f", format});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(readIntrinsics(format, run.out), expected);
      if (format == "json") {
        EXPECT_EQ(nlohmann::json::parse(run.out)["zoom"], zoom);
      }
    }
  }
  EXPECT_EQ(expectedAt(params, 5000)[0], 2675.0f);
  expectRuns({
      prints({"ptz", ptzExamplePath(), "--at", "0,0,4000", "intrinsics"},
             {"camera ptz, PTZ camera\n",
              "image size 1920x1080, the calibration image at pan 0, tilt 0, zoom 4000 (steps)\n",
              "K 2290 0 962.9\n 0 2290 539.4\n 0 0 1\n"}),
      fails(kUsage, {"ptz", ptzExamplePath(), "intrinsics"},
            "ptz intrinsics needs --at PAN,TILT,ZOOM"),
      fails(kUsage, {"ptz", ptzExamplePath(), "--at", "0,0,4000", "intrinsics", "-f", "xml"},
            "xml"),
  });
}

}  // namespace

// camcal answers with the library's values, each printed float reading back
// as the same float.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "calibration_common/camera_parameters.h"
#include "calibration_common/ptz_camera_model.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using namespace dravik::calibration;
using namespace dravik::testing;
using Answers = std::map<std::string, std::vector<float>>;

// The intrinsics as readIntrinsics reads them back.
std::vector<float> intrinsicsOf(const Eigen::Matrix3f& K, const std::vector<float>& distortion,
                                int width, int height) {
  std::vector<float> values(K.data(), K.data() + 9);  // row-major storage
  values.insert(values.end(), distortion.begin(), distortion.end());
  values.insert(values.end(), {float(width), float(height)});
  return values;
}

TEST(CamcalIntrinsics, EachFormatHoldsTheLibrarysValuesForEveryCameraAndSize) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(kRobotCal));
  for (const auto& proto : set.getRawCalData().camera()) {
    const auto camera = set.getCamera(proto.name());
    std::vector<std::pair<int, int>> sizes = {{333, 250}};  // one off every table
    for (const auto& entry : camera->getIntrinsicsTable())
      sizes.emplace_back(entry.width, entry.height);
    for (const auto& [width, height] : sizes) {
      const std::vector<float> expected =
          intrinsicsOf(camera->getIntrinsics(width, height), camera->getDistortion(width, height),
                       width, height);
      const std::string size = std::to_string(width) + "x" + std::to_string(height);
      for (const std::string format : {"json", "opencv-yaml", "ros-yaml"}) {
        const auto run =
            runCamcal({"-q", "intrinsics", "-c", kRobotCal, proto.name(), size, "-f", format});
        EXPECT_EQ(readIntrinsics(format, run.out), expected) << proto.name() << size << format;
      }
    }
  }
}

// The intrinsics of the configuration at zoom.
std::vector<float> expectedAt(const PTZCameraParameters& params, int zoom) {
  const PTZCameraModelConfiguration configuration(std::make_shared<PTZCameraModel>(params), 0, 0,
                                                  zoom);
  return intrinsicsOf(configuration.getLens().K, configuration.distortion(), 1920, 1080);
}

TEST(CamcalPtzIntrinsics, AreTheConfigurationsAtASampleAndBetweenTwo) {
  const PTZCameraParameters params = ptzExampleParameters();
  // Zoom 4000 is sample 2; 5000 lies halfway between samples 2 and 3, 4500 a
  // quarter of the way; the pan and tilt do not change K. The formats are the
  // robot cameras' (CamcalIntrinsics).
  for (const int zoom : {4000, 5000, 4500, 0, 16000}) {
    const std::string out = outputOf(
        {"ptz", kPtzCal, "--at", "3600,1200," + std::to_string(zoom), "intrinsics", "-f", "json"});
    EXPECT_EQ(readIntrinsics("json", out), expectedAt(params, zoom)) << zoom;
    EXPECT_EQ(nlohmann::json::parse(out)["zoom"], zoom);
  }
  // Halfway between f 2290 and 3060.
  EXPECT_EQ(expectedAt(params, 5000)[0], 2675.0f);
  expectRuns({
      prints({"ptz", kPtzCal, "--at", "0,0,4000", "intrinsics"},
             {"camera ptz, PTZ camera\n",
              "image size 1920x1080, the calibration image at pan 0, tilt 0, zoom 4000 (steps)\n",
              "K 2290 0 962.9\n 0 2290 539.4\n 0 0 1\n"}),
      fails(kUsage, {"ptz", kPtzCal, "intrinsics"}, "ptz intrinsics needs --at PAN,TILT,ZOOM"),
  });
}

// The ray camcal reports and the direction to the point it projected agree
// to float rounding of the pixel and of the undistortion.
constexpr float kRayAngleTolerance = 1e-4f;

// The numbers of each answer line "name  v1 v2 ...  unit" of camcal ptz, by name.
Answers answers(const Args& action) {
  Answers values;
  std::istringstream lines(outputOf(cat({"ptz", kPtzCal, "--at", "3600,1200,4000"}, action)));
  for (std::string line; std::getline(lines, line);) {
    const auto name_end = line.find("  ");
    std::istringstream words(line.substr(name_end));
    for (float value; words >> value;) values[line.substr(0, name_end)].push_back(value);
  }
  return values;
}

TEST(CamcalPtz, EachActionAnswersAsTheModel) {
  const auto model = sharedModel(ptzExampleParameters());
  const PTZCameraModelConfiguration at(model, 3600, 1200, 4000);
  int pan = 0, tilt = 0, region_pan = 0, region_tilt = 0, zoom = 0;
  float point_pan = 0.0f, point_tilt = 0.0f;
  ASSERT_TRUE(at.getPanTilt(Eigen::Vector2f(1400.0f, 300.0f), &pan, &tilt));
  ASSERT_TRUE(at.getPanTilt(Eigen::Vector3f(3.0f, 0.2f, 1.0f), Eigen::Vector2f(960.0f, 540.0f),
                            &point_pan, &point_tilt));
  ASSERT_TRUE(at.getPanTiltZoom(Eigen::Vector2f(700.0f, 300.0f), Eigen::Vector2f(1300.0f, 800.0f),
                                &region_pan, &region_tilt, &zoom));
  const std::vector<std::pair<std::vector<std::string>, Answers>> table = {
      {{"zoom-factor", "-100"}, {{"zoom x factor", {model->stepsToZoomXFactor(-100)}}}},
      {{"zoom-factor", "5000"}, {{"zoom x factor", {model->stepsToZoomXFactor(5000)}}}},
      {{"zoom-steps", "0.5"}, {{"zoom", {float(model->zoomXFactorToSteps(0.5f))}}}},
      {{"zoom-steps", "2.5"}, {{"zoom", {float(model->zoomXFactorToSteps(2.5f))}}}},
      {{"aim-pixel", "1400", "300"}, {{"pan", {float(pan)}}, {"tilt", {float(tilt)}}}},
      {{"aim-point", "3", "0.2", "1", "960", "540"},
       {{"pan", {point_pan}}, {"tilt", {point_tilt}}}},
      {{"aim-region", "700", "300", "1300", "800"},
       {{"pan", {float(region_pan)}}, {"tilt", {float(region_tilt)}}, {"zoom", {float(zoom)}}}},
  };
  for (const auto& [action, expected] : table)
    EXPECT_EQ(answers(action), expected) << ::testing::PrintToString(action);
}

TEST(CamcalPtz, TheRayOfAProjectedPointLeadsBackToThePoint) {
  const PTZCameraModelConfiguration at(sharedModel(ptzExampleParameters()), 3600, 1200, 4000);
  for (const Eigen::Vector3f& point :
       {Eigen::Vector3f(5.0f, -1.0f, 1.5f), Eigen::Vector3f(2.0f, 0.5f, 0.3f)}) {
    const Eigen::Vector2f pixel = at.project3dToCamera(point);
    ASSERT_EQ(answers({"project", std::to_string(point.x()), std::to_string(point.y()),
                       std::to_string(point.z())})["pixel"],
              std::vector<float>({pixel.x(), pixel.y()}));
    auto ray = answers({"ray", std::to_string(pixel.x()), std::to_string(pixel.y())});
    ASSERT_TRUE(ray["origin"].size() == 3 && ray["direction"].size() == 3) << ray.size();
    const Eigen::Vector3f o = Eigen::Vector3f::Map(ray["origin"].data());
    const Eigen::Vector3f d = Eigen::Vector3f::Map(ray["direction"].data());
    EXPECT_NEAR(d.norm(), 1.0f, kRayAngleTolerance);
    EXPECT_NEAR(d.cross((point - o).normalized()).norm(), 0.0f, kRayAngleTolerance);
  }
}

}  // namespace

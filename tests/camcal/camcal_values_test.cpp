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

// One camera on and off its table: the path from the library to each format
// does not depend on the camera.
TEST(CamcalIntrinsics, EachFormatHoldsTheLibrarysValues) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(kRobotCal));
  const auto camera = set.getCamera("navigation");
  for (const auto& [width, height] : {std::pair{640, 480}, {333, 250}}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    for (const std::string format : {"json", "opencv-yaml", "ros-yaml"})
      EXPECT_EQ(readIntrinsics(format, runCamcal({"-q", "intrinsics", "-c", kRobotCal, "navigation",
                                                  size, "-f", format})
                                           .out),
                intrinsicsOf(camera->getIntrinsics(width, height),
                             camera->getDistortion(width, height), width, height))
          << size << format;
  }
}

// Zoom 5000 lies halfway between samples 2 and 3; the pan and tilt do not change K.
// The formats are the robot cameras' (CamcalIntrinsics).
TEST(CamcalPtzIntrinsics, AreTheConfigurationsAtASampleAndBetweenTwo) {
  const PTZCameraModelConfiguration at(sharedModel(ptzExampleParameters()), 0, 0, 5000);
  const std::string out =
      outputOf({"ptz", kPtzCal, "--at", "3600,1200,5000", "intrinsics", "-f", "json"});
  EXPECT_EQ(readIntrinsics("json", out),
            intrinsicsOf(at.getLens().K(), at.getLens().distortionList(), 1920, 1080));
  EXPECT_EQ(nlohmann::json::parse(out)["zoom"], 5000);
  EXPECT_EQ(at.getLens().K()(0, 0), 2675.0f);  // halfway between f 2290 and 3060
  expectRuns({
      prints({"ptz", kPtzCal, "--at", "0,0,4000", "intrinsics"},
             {"camera ptz, PTZ camera\n",
              "image size 1920x1080, the calibration image at pan 0, tilt 0, zoom 4000 (steps)\n",
              "K 2290 0 962.9\n 0 2290 539.4\n 0 0 1\n"}),
      fails(kUsage, {"ptz", kPtzCal, "intrinsics"}, "ptz intrinsics needs --at PAN,TILT,ZOOM"),
  });
}

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
  const Eigen::Vector2f pixel = at.project3dToCamera(Eigen::Vector3f(5.0f, -1.0f, 1.5f));
  const Eigen::Vector3f centre = at.getCameraCenter(),
                        ray = at.projectPixelToRay(Eigen::Vector2f(1400.0f, 300.0f)).normalized();
  const std::vector<std::pair<std::vector<std::string>, Answers>> table = {
      {{"zoom-factor", "5000"}, {{"zoom x factor", {model->stepsToZoomXFactor(5000)}}}},
      {{"zoom-steps", "2.5"}, {{"zoom", {float(model->zoomXFactorToSteps(2.5f))}}}},
      {{"aim-pixel", "1400", "300"}, {{"pan", {float(pan)}}, {"tilt", {float(tilt)}}}},
      {{"aim-point", "3", "0.2", "1", "960", "540"},
       {{"pan", {point_pan}}, {"tilt", {point_tilt}}}},
      {{"aim-region", "700", "300", "1300", "800"},
       {{"pan", {float(region_pan)}}, {"tilt", {float(region_tilt)}}, {"zoom", {float(zoom)}}}},
      {{"project", "5", "-1", "1.5"}, {{"pixel", {pixel.x(), pixel.y()}}}},
      {{"ray", "1400", "300"},
       {{"origin", {centre.x(), centre.y(), centre.z()}},
        {"direction", {ray.x(), ray.y(), ray.z()}}}},
  };
  for (const auto& [action, expected] : table)
    EXPECT_EQ(answers(action), expected) << ::testing::PrintToString(action);
}

}  // namespace

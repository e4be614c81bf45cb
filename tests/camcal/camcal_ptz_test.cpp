// camcal ptz: each action answers as the library does, in the units it
// names, and round trips between projection and back-projection.
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <map>
#include <sstream>

#include "calibration_common/ptz_camera_model.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using dravik::calibration::PTZCameraModel;

// The ray camcal reports and the direction to the point it projected agree
// to float rounding of the pixel and of the undistortion.
constexpr float kRayAngleTolerance = 1e-4f;

class CamcalPtz : public ::testing::Test {
 protected:
  void SetUp() override {
    dravik::calibration::PTZCameraParameters params;
    ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(readFile(ptzExample()), &params));
    model_ = std::make_shared<PTZCameraModel>(params);
    ASSERT_TRUE(model_->valid());
  }

  // The numbers of each answer line "name  v1 v2 ...  unit", by name, for
  // the camera at pan 3600, tilt 1200, zoom 4000. camcal prints each float
  // so that it reads back as the same float.
  std::map<std::string, std::vector<float>> answers(const std::vector<std::string>& action) {
    std::vector<std::string> args = {"ptz", ptzExample(), "--at", "3600,1200,4000"};
    args.insert(args.end(), action.begin(), action.end());
    const auto run = runCamcal(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::vector<float>> values;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const auto name_end = line.find("  ");
      std::istringstream words(line.substr(name_end));
      auto& numbers = values[line.substr(0, name_end)];
      for (float value; words >> value;) numbers.push_back(value);  // up to the unit
    }
    return values;
  }

  dravik::calibration::PTZCameraModelConfiguration setting() const {
    return dravik::calibration::PTZCameraModelConfiguration(model_, 3600, 1200, 4000);
  }

  std::shared_ptr<PTZCameraModel> model_;
};

TEST_F(CamcalPtz, ZoomConversionsAnswerAsTheModel) {
  for (int steps : {-100, 0, 1000, 5000, 15999, 20000}) {
    EXPECT_EQ(answers({"zoom-factor", std::to_string(steps)})["zoom x factor"],
              std::vector<float>{model_->stepsToZoomXFactor(steps)})
        << steps;
  }
  for (float x : {0.5f, 1.0f, 2.5f, 7.25f, 20.0f}) {
    EXPECT_EQ(answers({"zoom-steps", std::to_string(x)})["zoom"],
              std::vector<float>{float(model_->zoomXFactorToSteps(x))})
        << x;
  }
}

TEST_F(CamcalPtz, TheRayOfAProjectedPointLeadsBackToThePoint) {
  for (const Eigen::Vector3f& point :
       {Eigen::Vector3f(3.0f, 0.2f, 1.0f), Eigen::Vector3f(5.0f, -1.0f, 1.5f),
        Eigen::Vector3f(2.0f, 0.5f, 0.3f)}) {
    const Eigen::Vector2f expected = setting().project3dToCamera(point);
    const auto pixel = answers({"project", std::to_string(point.x()), std::to_string(point.y()),
                                std::to_string(point.z())})["pixel"];
    ASSERT_EQ(pixel, std::vector<float>({expected.x(), expected.y()}));

    auto ray = answers({"ray", std::to_string(pixel[0]), std::to_string(pixel[1])});
    ASSERT_EQ(ray["origin"].size(), 3u);
    ASSERT_EQ(ray["direction"].size(), 3u);
    const Eigen::Vector3f o(ray["origin"][0], ray["origin"][1], ray["origin"][2]);
    const Eigen::Vector3f d(ray["direction"][0], ray["direction"][1], ray["direction"][2]);
    EXPECT_NEAR(d.norm(), 1.0f, kRayAngleTolerance);
    EXPECT_NEAR(d.cross((point - o).normalized()).norm(), 0.0f, kRayAngleTolerance);
  }
}

TEST_F(CamcalPtz, AimingAnswersAsTheLibrary) {
  int pan = 0, tilt = 0, zoom = 0;
  ASSERT_TRUE(setting().getPanTilt(Eigen::Vector2f(1400.0f, 300.0f), &pan, &tilt));
  auto aim = answers({"aim-pixel", "1400", "300"});
  EXPECT_EQ(aim["pan"], std::vector<float>{float(pan)});
  EXPECT_EQ(aim["tilt"], std::vector<float>{float(tilt)});

  float pan_f = 0.0f, tilt_f = 0.0f;
  ASSERT_TRUE(setting().getPanTilt(Eigen::Vector3f(3.0f, 0.2f, 1.0f),
                                   Eigen::Vector2f(960.0f, 540.0f), &pan_f, &tilt_f));
  aim = answers({"aim-point", "3", "0.2", "1", "960", "540"});
  EXPECT_EQ(aim["pan"], std::vector<float>{pan_f});
  EXPECT_EQ(aim["tilt"], std::vector<float>{tilt_f});

  ASSERT_TRUE(setting().getPanTiltZoom(Eigen::Vector2f(700.0f, 300.0f),
                                       Eigen::Vector2f(1300.0f, 800.0f), &pan, &tilt, &zoom));
  aim = answers({"aim-region", "700", "300", "1300", "800"});
  EXPECT_EQ(aim["pan"], std::vector<float>{float(pan)});
  EXPECT_EQ(aim["tilt"], std::vector<float>{float(tilt)});
  EXPECT_EQ(aim["zoom"], std::vector<float>{float(zoom)});
}

}  // namespace

// camcal ptz: each action answers as the library does, in the units it
// names, and round trips between projection and back-projection.
#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cstdlib>
#include <sstream>

#include "calibration_common/ptz_camera_model.h"
#include "run_camcal.h"

namespace {

using camcal_test::runCamcal;
using dravik::calibration::PTZCameraModel;
using dravik::calibration::PTZCameraModelConfiguration;

// The ray camcal reports and the direction to the point it projected agree
// to float rounding of the pixel and of the undistortion.
constexpr float kRayAngleTolerance = 1e-4f;

const int kPan = 3600, kTilt = 1200, kZoom = 4000;
const char kAt[] = "3600,1200,4000";

class CamcalPtz : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = camcal_test::repositoryFile("data/ptz_camera_example.txt");
    if (!camcal_test::fileExists(path_)) GTEST_SKIP() << "no example PTZ calibration";
    dravik::calibration::PTZCameraParameters params;
    ASSERT_TRUE(
        google::protobuf::TextFormat::ParseFromString(camcal_test::readFile(path_), &params));
    model_ = std::make_shared<PTZCameraModel>(params);
    ASSERT_TRUE(model_->valid());
  }

  // The numbers of the answer line `name`: "name  v1 v2 ...  unit".
  std::vector<double> answer(const std::vector<std::string>& action, const std::string& name) {
    std::vector<std::string> args = {"ptz", path_, "--at", kAt};
    args.insert(args.end(), action.begin(), action.end());
    const auto run = runCamcal(args);
    EXPECT_EQ(run.status, 0) << run.err;
    for (const auto& line : camcal_test::lines(run.out)) {
      if (line.rfind(name + "  ", 0) != 0) continue;
      std::istringstream in(line.substr(name.size()));
      std::vector<double> values;
      for (std::string word; in >> word;) {
        char* end = nullptr;
        const double value = std::strtod(word.c_str(), &end);
        if (*end != '\0') break;
        values.push_back(value);
      }
      return values;
    }
    ADD_FAILURE() << "no line '" << name << "' in:\n" << run.out;
    return {};
  }

  PTZCameraModelConfiguration configuration() const {
    return PTZCameraModelConfiguration(model_, kPan, kTilt, kZoom);
  }

  std::string path_;
  std::shared_ptr<PTZCameraModel> model_;
};

TEST_F(CamcalPtz, ZoomConversionsAnswerAsTheModel) {
  for (int steps : {-100, 0, 1000, 5000, 15999, 20000}) {
    const auto factor = answer({"zoom-factor", std::to_string(steps)}, "zoom x factor");
    ASSERT_EQ(factor.size(), 1u);
    EXPECT_EQ(static_cast<float>(factor[0]), model_->stepsToZoomXFactor(steps)) << steps;
  }
  for (float x : {0.5f, 1.0f, 2.5f, 7.25f, 20.0f}) {
    const auto steps = answer({"zoom-steps", std::to_string(x)}, "zoom");
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0], model_->zoomXFactorToSteps(x)) << x;
  }
}

TEST_F(CamcalPtz, TheRayOfAProjectedPointLeadsBackToThePoint) {
  const auto setting = configuration();
  for (const Eigen::Vector3f& point :
       {Eigen::Vector3f(3.0f, 0.2f, 1.0f), Eigen::Vector3f(5.0f, -1.0f, 1.5f),
        Eigen::Vector3f(2.0f, 0.5f, 0.3f)}) {
    std::vector<std::string> xyz;
    for (int i = 0; i < 3; ++i) xyz.push_back(std::to_string(point[i]));
    const auto pixel = answer({"project", xyz[0], xyz[1], xyz[2]}, "pixel");
    ASSERT_EQ(pixel.size(), 2u);
    const Eigen::Vector2f expected = setting.project3dToCamera(point);
    EXPECT_EQ(static_cast<float>(pixel[0]), expected.x());
    EXPECT_EQ(static_cast<float>(pixel[1]), expected.y());

    const auto origin =
        answer({"ray", std::to_string(pixel[0]), std::to_string(pixel[1])}, "origin");
    const auto direction =
        answer({"ray", std::to_string(pixel[0]), std::to_string(pixel[1])}, "direction");
    ASSERT_EQ(origin.size(), 3u);
    ASSERT_EQ(direction.size(), 3u);
    const Eigen::Vector3f o(origin[0], origin[1], origin[2]);
    const Eigen::Vector3f d(direction[0], direction[1], direction[2]);
    EXPECT_NEAR(d.norm(), 1.0f, kRayAngleTolerance);
    EXPECT_NEAR(d.cross((point - o).normalized()).norm(), 0.0f, kRayAngleTolerance);
  }
}

TEST_F(CamcalPtz, AimingAnswersAsTheLibrary) {
  const auto setting = configuration();
  int pan = 0, tilt = 0, zoom = 0;
  ASSERT_TRUE(setting.getPanTilt(Eigen::Vector2f(1400.0f, 300.0f), &pan, &tilt));
  EXPECT_EQ(answer({"aim-pixel", "1400", "300"}, "pan"), std::vector<double>{double(pan)});
  EXPECT_EQ(answer({"aim-pixel", "1400", "300"}, "tilt"), std::vector<double>{double(tilt)});

  float pan_f = 0.0f, tilt_f = 0.0f;
  ASSERT_TRUE(setting.getPanTilt(Eigen::Vector3f(3.0f, 0.2f, 1.0f), Eigen::Vector2f(960.0f, 540.0f),
                                 &pan_f, &tilt_f));
  const auto point_pan = answer({"aim-point", "3", "0.2", "1", "960", "540"}, "pan");
  ASSERT_EQ(point_pan.size(), 1u);
  EXPECT_EQ(static_cast<float>(point_pan[0]), pan_f);

  ASSERT_TRUE(setting.getPanTiltZoom(Eigen::Vector2f(700.0f, 300.0f),
                                     Eigen::Vector2f(1300.0f, 800.0f), &pan, &tilt, &zoom));
  const std::vector<std::string> region = {"aim-region", "700", "300", "1300", "800"};
  EXPECT_EQ(answer(region, "pan"), std::vector<double>{double(pan)});
  EXPECT_EQ(answer(region, "tilt"), std::vector<double>{double(tilt)});
  EXPECT_EQ(answer(region, "zoom"), std::vector<double>{double(zoom)});
}

TEST_F(CamcalPtz, RefusesAMissingOrMalformedSettingAndAnInvalidModel) {
  const auto missing = runCamcal({"ptz", path_, "project", "1", "2", "3"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "camcal: ptz project needs --at PAN,TILT,ZOOM\n");
  const auto malformed = runCamcal({"ptz", path_, "--at", "1,2", "ray", "1", "2"});
  EXPECT_EQ(malformed.status, 2);
  EXPECT_EQ(malformed.err,
            "camcal: malformed --at '1,2': expected PAN,TILT,ZOOM in whole motor steps, e.g. "
            "0,0,1000\n");

  camcal_test::ScratchDir scratch;
  camcal_test::writeFile(scratch.path("no_samples.txt"), "intrinsics { cal_width: 1920 }\n");
  const auto invalid = runCamcal({"ptz", scratch.path("no_samples.txt"), "zoom-factor", "100"});
  EXPECT_EQ(invalid.status, 1);
  EXPECT_EQ(invalid.err, "camcal: " + scratch.path("no_samples.txt") +
                             ": not a valid PTZ calibration: Invalid intrinsics\n");
  const auto robot =
      runCamcal({"ptz", camcal_test::fixture("robot_calibration.txt"), "zoom-factor", "1"});
  EXPECT_EQ(robot.status, 1);
  EXPECT_EQ(robot.err, "camcal: " + camcal_test::fixture("robot_calibration.txt") +
                           ": is a robot calibration, not a PTZ calibration\n");
}

TEST_F(CamcalPtz, ValidateChecksTheZoomTable) {
  EXPECT_EQ(runCamcal({"validate", path_}).out,
            path_ + ": valid PTZ calibration (text, 9 zoom samples)\n");
  // Two samples swapped: the lookups assume rising zoom and focal length.
  std::string text = camcal_test::readFile(path_);
  const auto swap_at = text.find("zoom: 2000");
  ASSERT_NE(swap_at, std::string::npos);
  text.replace(swap_at, 10, "zoom: 4500");
  camcal_test::ScratchDir scratch;
  camcal_test::writeFile(scratch.path("ptz.txt"), text);
  const auto run = runCamcal({"validate", "--strict", scratch.path("ptz.txt")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("warning: zoom sample 1 (zoom 4500) is off the zoom grid zoom_offset + 1 "
                         "zoom_step = 2000"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("warning: zoom sample 2 (zoom 4000): samples must rise in zoom and "
                         "strictly in f"),
            std::string::npos)
      << run.out;
}

}  // namespace

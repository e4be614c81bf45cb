// camcal calibrate on chessboard images rendered here through a known lens,
// and on corners files made from known poses.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "calibration_common/camera_parameters.h"
#include "calibration_utils/lens.h"
#include "run_camcal.h"
#include "support/rendered_board.h"

namespace {

using namespace camcal_test;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::Lens;
using dravik::testing::boardCorners;
using dravik::testing::boardPose;
using dravik::testing::BoardRenderer;
using dravik::testing::Chessboard;
using nlohmann::json;

const std::string kHeadCalibration =
    std::string(CAMERA_PARAMETERS_SOURCE_DIR) + "/embedded_files/calibration/default_head_cal.txt";

// The recovered lens against the truth over the whole image, pixels.
constexpr double kRecoveredLensTolerance = 0.3;

Lens lensOf(const std::string& calibration, const std::string& camera, int width, int height) {
  CameraParametersSet set;
  EXPECT_TRUE(set.loadFromFile(calibration));
  return set.getCamera(camera)->getLens(width, height);
}

// Twelve poses over the whole image: a 3 x 3 grid, each turned 0.3 rad to
// face the camera (farther in the corners), and three at the centre.
std::vector<Eigen::Matrix4d> spreadPoses(const Lens& lens, const Chessboard& board,
                                         double distance) {
  constexpr double kTilt = 0.3;
  std::vector<Eigen::Matrix4d> poses;
  for (int k = 0; k < 12; ++k) {
    const int i = k % 3, j = k / 3 % 3;
    const bool corner = k < 9 && i != 1 && j != 1;
    const double inset = corner ? 0.2 : 0.15;
    const double u = lens.width * (k < 9 ? 0.5 + (i - 1) * (0.5 - inset) : 0.5);
    const double v = lens.height * (k < 9 ? 0.5 + (j - 1) * (0.5 - inset) : 0.5);
    double tilt_x = (1 - j) * kTilt, tilt_y = (i - 1) * kTilt;
    if (k == 4) tilt_x = kTilt;
    if (k >= 9) tilt_x = (k - 10) * kTilt, tilt_y = (k % 2 ? 1 : -1) * kTilt;
    const double scale = k >= 9 ? 0.8 : corner ? 1.6 : 1.0;
    poses.push_back(boardPose(lens, board, {u, v}, scale * distance, tilt_x, tilt_y));
  }
  return poses;
}

// The largest distance, pixels, between where two lenses see the rays of the
// pixels out to half the half-diagonal, where the corners are dense; beyond,
// a rational lens rests on few corners.
double largestDisplacement(const Lens& truth, const Lens& fitted) {
  double largest = 0.0;
  const Eigen::Vector2d centre(0.5 * (truth.width - 1), 0.5 * (truth.height - 1));
  const double radius = 0.5 * centre.norm();
  for (int y = 0; y < truth.height; y += 4)
    for (int x = 0; x < truth.width; x += 4) {
      const Eigen::Vector2d pixel(x, y), ray = truth.normalize(pixel).point;
      if ((pixel - centre).norm() <= radius)
        largest = std::max(largest, (fitted.project({ray.x(), ray.y(), 1.0}) - pixel).norm());
    }
  return largest;
}

// A corners file of the board at the poses, with Gaussian noise of `noise` pixels.
std::string cornersFile(const Lens& lens, const Chessboard& board,
                        const std::vector<Eigen::Matrix4d>& poses, double noise) {
  std::mt19937 random(7);
  std::normal_distribution<double> gaussian(0.0, noise);
  json views = json::array();
  for (size_t k = 0; k < poses.size(); ++k) {
    std::vector<Eigen::Vector3d> target;
    json image_points = json::array(), target_points = json::array();
    for (const Eigen::Vector2d& p : boardCorners(lens, board, poses[k], &target))
      image_points.push_back({p.x() + gaussian(random), p.y() + gaussian(random)});
    for (const Eigen::Vector3d& P : target) target_points.push_back({P.x(), P.y(), P.z()});
    views.push_back({{"name", "view" + std::to_string(k)},
                     {"image_points", image_points},
                     {"target_points", target_points}});
  }
  return json{{"image_width", lens.width}, {"image_height", lens.height}, {"views", views}}.dump(1);
}

TEST(CamcalCalibrate, RecoversTheLensFromRenderedBoardImages) {
  ScratchDir scratch;
  const Lens truth = lensOf(kRobotCal, "navigation", 640, 480);
  const Chessboard board{9, 6, 0.045};
  const BoardRenderer renderer(truth, 3);
  const auto poses = spreadPoses(truth, board, 0.5);
  Args images = {"calibrate", "--board", "9x6", "--square", "0.045"};
  for (size_t k = 0; k < poses.size(); ++k) {
    images.push_back(scratch.path("board" + std::to_string(k) + ".png"));
    writeGrayPng(images.back(), 640, 480, renderer.render(board, poses[k], 2.0, unsigned(k + 1)));
  }
  // An image without the board (the fourth) is listed and skipped.
  const std::string wall = *images.insert(images.begin() + 8, scratch.path("wall.png"));
  writeGrayPng(wall, 640, 480, std::vector<std::uint8_t>(640 * 480, 140));
  const std::string robot = scratch.write("robot.txt", readFile(kRobotCal));
  const auto calibrate = [&](const Args& args, const std::string& output, const Args& more) {
    return runCamcal(cat(cat(args, {"--camera", "navigation", "--into", robot, "-o",
                                    scratch.path(output), "--format", "json"}),
                         more));
  };
  const camcal_test::Run run = calibrate(
      images, "fitted.txt",
      {"--report", scratch.path("report/"), "--save-corners", scratch.path("corners.json")});
  ASSERT_EQ(run.status, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["views"], 12);
  EXPECT_TRUE(report["images"][3]["found"] == false && report["images"][4]["name"] == images[9]);
  EXPECT_EQ(report["images"][3]["reason"], "no 9x6 board found");
  EXPECT_LT(report["rms_px"], 0.5);
  EXPECT_TRUE(report["sound_region"]["sound_over_image"]);
  EXPECT_LT(largestDisplacement(truth, lensOf(scratch.path("fitted.txt"), "navigation", 640, 480)),
            kRecoveredLensTolerance);
  for (const char* picture : {"coverage", "residuals", "uncertainty", "lens"})
    EXPECT_GT(pngSize(scratch.path("report/") + picture + ".png").first, 600) << picture;
  EXPECT_EQ(readFile(robot), readFile(kRobotCal));

  // The saved corners give the same calibration; one thread finds the same
  // corners in the same order.
  EXPECT_EQ(
      calibrate({"calibrate", "--corners", scratch.path("corners.json")}, "again.txt", {}).status,
      0);
  EXPECT_EQ(readFile(scratch.path("again.txt")), readFile(scratch.path("fitted.txt")));
  EXPECT_EQ(calibrate(images, "one_thread.txt",
                      {"--threads", "1", "--save-corners", scratch.path("one_thread.json")})
                .out,
            run.out);
  EXPECT_EQ(readFile(scratch.path("one_thread.json")), readFile(scratch.path("corners.json")));
}

// The head camera calibrated from its 1280x720 band (the full frame's rows
// 120 to 839); the navigation camera's scaled size: RecoversTheLens.
TEST(CamcalCalibrate, IntoReplacesTheIntrinsicsKeepingPoseModelAndTheOldFile) {
  ScratchDir scratch;
  const Chessboard board{9, 6, 0.06};
  const Lens truth = lensOf(kHeadCalibration, "head", 1280, 720);
  const std::string corners =
      scratch.write("head.json", cornersFile(truth, board, spreadPoses(truth, board, 0.9), 0.02));
  const std::string original = readFile(kHeadCalibration);
  const std::string robot = scratch.write("head_cal.txt", original);
  const std::string out =
      outputOf({"calibrate", "--corners", corners, "--camera", "head", "--into", robot});
  EXPECT_NE(out.find("moved         largest displacement "), std::string::npos) << out;
  EXPECT_EQ(readFile(robot + ".bak"), original);

  CameraParametersSet before, after;
  ASSERT_TRUE(before.loadFromFile(kHeadCalibration) && after.loadFromFile(robot));
  const auto old_camera = before.getCamera("head"), new_camera = after.getCamera("head");
  EXPECT_EQ(new_camera->getModel(), old_camera->getModel());
  EXPECT_EQ(new_camera->getTransform().getTransform(), old_camera->getTransform().getTransform());
  // The truth that made the corners, at the size they were seen at: the
  // library derives that size from the full frame, so a wrong crop shows here
  // by many pixels.
  EXPECT_LT(largestDisplacement(truth, lensOf(robot, "head", 1280, 720)), 1.0);
  const auto& intrinsics = new_camera->getCalibration().intrinsics();
  EXPECT_TRUE(intrinsics.sample_points_size() == 54 && intrinsics.sample_width() == 9 &&
              intrinsics.sample_height() == 6);
  EXPECT_FLOAT_EQ(intrinsics.sample_scalar(), 0.001f);
  // In full-frame pixels: the band starts at row 120.
  for (const auto& sample : intrinsics.sample_points()) EXPECT_GT(sample.pixel_y(), 120.0f);
}

TEST(CamcalCalibrate, WarnsOfFewViewsUncoveredCellsFacingViewsAndAnOutlyingView) {
  ScratchDir scratch;
  const Lens lens = lensOf(kRobotCal, "navigation", 640, 480);
  const Chessboard board{9, 6, 0.03};
  std::vector<Eigen::Matrix4d> poses;
  for (int k = 0; k < 5; ++k)
    poses.push_back(boardPose(lens, board, {300.0 + 10 * k, 230.0 + 5 * k}, 0.6, 0.01 * k, 0.0));
  // View 4 measured badly: every other corner 1.2 px off.
  json corners = json::parse(cornersFile(lens, board, poses, 0.05));
  int parity = 0;
  for (auto& point : corners["views"][4]["image_points"])
    point[0] = double(point[0]) + (parity++ % 2 ? 1.2 : -1.2);
  const Args args = {"calibrate", "--corners", scratch.write("few.json", corners.dump()), "--lens",
                     "plumb-bob"};
  const camcal_test::Run run = runCamcal(args);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* warning :
       {"camcal: warning: calibrate: only 5 usable views; a calibration wants 10 or more\n",
        " of the 12 cells of a 4 x 3 grid over the image; none in top left, ",
        "every view is within 10 deg of facing the camera",
        "camcal: warning: calibrate: view view4: rms "})
    EXPECT_NE(run.err.find(warning), std::string::npos) << warning << " not in\n" << run.err;
  const camcal_test::Run quiet = runCamcal(cat({"-q"}, args));
  EXPECT_TRUE(quiet.status == 0 && quiet.err.empty() && quiet.out == run.out) << quiet.err;
}

TEST(CamcalCalibrate, RefusesBadInputWithOneLineAndWritesNothing) {
  ScratchDir scratch;
  const Lens lens = lensOf(kRobotCal, "navigation", 640, 480);
  const Chessboard board{9, 6, 0.045};
  const std::string corners =
      scratch.write("corners.json", cornersFile(lens, board, spreadPoses(lens, board, 0.5), 0.1));
  const std::string wide =
      scratch.variant("wide.json", corners, "\"image_width\": 640", "\"image_width\": 800");
  json two_views = json::parse(readFile(corners)), unequal = two_views;
  two_views["views"] = json::array({two_views["views"][0], two_views["views"][1]});
  const std::string too_few = scratch.write("two.json", two_views.dump());
  unequal["views"][1]["target_points"].erase(53);
  const std::string unequal_file = scratch.write("unequal.json", unequal.dump(1));
  const std::string broken = scratch.write("broken.json", "{\n  \"image_width\": 640,\n  oops\n}");
  const std::string small = scratch.path("small.png"), other = scratch.path("other.png");
  writeGrayPng(small, 40, 30, std::vector<std::uint8_t>(40 * 30, 90));
  writeGrayPng(other, 32, 24, std::vector<std::uint8_t>(32 * 24, 90));
  const std::string robot = scratch.write("robot.txt", readFile(kRobotCal));
  const std::string head = scratch.write("head.txt", readFile(kHeadCalibration));
  const auto board_of = [](const std::string& size, const std::string& square, const Args& files) {
    return cat({"calibrate", "--board", size, "--square", square}, files);
  };
  const auto into = [&](const std::string& file, const std::string& camera,
                        const std::string& target) {
    return Args{"calibrate", "--corners", file, "--camera", camera, "--into", target};
  };
  expectRuns({
      fails(kFailed, board_of("9x6", "0.03", {scratch.dir}),
            scratch.dir + ": cannot read: Is a directory"),
      fails(kFailed, board_of("9x6", "0.03", {small, other}),
            other + ": the image is 32x24, not 40x30 as " + small + " is"),
      fails(kFailed, board_of("9x6", "0.03", {small, small}),
            "2 images: no board found in any image"),
      fails(kFailed, board_of("9by6", "0.03", {small}),
            "malformed board size '9by6': expected COLSxROWS"),
      fails(kFailed, board_of("9x6", "-0.03", {small}),
            "malformed square size '-0.03': expected a positive number of metres"),
      fails(kFailed, {"calibrate", "--corners", broken},
            broken + ": not a corners file (JSON, line 3, column 3: "),
      fails(kFailed, {"calibrate", "--corners", unequal_file},
            "view 1 (view1) has 54 image points and 53 target points"),
      fails(kFailed, {"calibrate", "--corners", too_few},
            too_few + ": cannot calibrate from 2 usable views: "),
      fails(kFailed, into(corners, "periscope", robot),
            robot + ": no camera 'periscope' (cameras: navigation, front, rear)"),
      fails(kFailed, into(wide, "navigation", robot),
            robot + ": the images are 800x480, not a size of camera 'navigation' (kv007n "
                    "(navigation camera)): 1280x960, 640x480, 1280x720"),
      fails(kFailed, into(corners, "head", head),
            head + ": the images are 640x480, the sensor-remapped mode of camera 'head' (kv006h "
                   "(head camera)), which is recomputed from its sample points: calibrate from "
                   "images of 1280x960 or 1280x720"),
      fails(kFailed, {"calibrate", "--corners", corners, "-o", scratch.path("none/camera.txt")},
            "none/camera.txt: cannot write: No such file or directory"),
      fails(kUsage, {"calibrate", "--corners", corners, "--board", "9x6"},
            "give board images (--board, --square, IMAGE...) or --corners FILE, not both"),
      fails(kUsage, {"calibrate", "--corners", corners, "--into", robot},
            "--into needs --camera NAME"),
  });
  EXPECT_EQ(readFile(robot), readFile(kRobotCal));
  EXPECT_EQ(readFile(head), readFile(kHeadCalibration));
  EXPECT_FALSE(std::filesystem::exists(robot + ".bak") || std::filesystem::exists(head + ".bak"));
}

}  // namespace

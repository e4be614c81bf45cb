// camcal calibrate on chessboard images rendered here through a known lens,
// and on corners files made from known poses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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
    const double u = lens.width() * (k < 9 ? 0.5 + (i - 1) * (0.5 - inset) : 0.5);
    const double v = lens.height() * (k < 9 ? 0.5 + (j - 1) * (0.5 - inset) : 0.5);
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
  const Eigen::Vector2d centre(0.5 * (truth.width() - 1), 0.5 * (truth.height() - 1));
  const double radius = 0.5 * centre.norm();
  for (int y = 0; y < truth.height(); y += 4)
    for (int x = 0; x < truth.width(); x += 4) {
      const Eigen::Vector2d pixel(x, y), ray = truth.normalize(pixel).point;
      if ((pixel - centre).norm() <= radius)
        largest = std::max(largest, (fitted.project({ray.x(), ray.y(), 1.0}) - pixel).norm());
    }
  return largest;
}

// A corners file of the board at the poses, with Gaussian noise of `noise`
// pixels; a pose whose board leaves the image is left out, as a detector
// finds no board there.
std::string cornersFile(const Lens& lens, const Chessboard& board,
                        const std::vector<Eigen::Matrix4d>& poses, double noise) {
  std::mt19937 random(7);
  std::normal_distribution<double> gaussian(0.0, noise);
  json views = json::array();
  for (size_t k = 0; k < poses.size(); ++k) {
    std::vector<Eigen::Vector3d> target;
    json image_points = json::array(), target_points = json::array();
    const std::vector<Eigen::Vector2d> corners = boardCorners(lens, board, poses[k], &target);
    if (!std::all_of(corners.begin(), corners.end(), [&](const Eigen::Vector2d& p) {
          return p.minCoeff() >= 1.0 && p.x() <= lens.width() - 2.0 && p.y() <= lens.height() - 2.0;
        }))
      continue;
    for (const Eigen::Vector2d& p : corners)
      image_points.push_back({p.x() + gaussian(random), p.y() + gaussian(random)});
    for (const Eigen::Vector3d& P : target) target_points.push_back({P.x(), P.y(), P.z()});
    views.push_back({{"name", "view" + std::to_string(k)},
                     {"image_points", image_points},
                     {"target_points", target_points}});
  }
  return json{{"image_width", lens.width()}, {"image_height", lens.height()}, {"views", views}}
      .dump(1);
}

// The navigation camera's 640 x 480 mode seen at the twelve spread poses,
// with 0.1 px of noise: a good set of views, which the cases below spoil.
json goodViews() {
  const Lens lens = lensOf(kRobotCal, "navigation", 640, 480);
  const Chessboard board{9, 6, 0.045};
  return json::parse(cornersFile(lens, board, spreadPoses(lens, board, 0.5), 0.1));
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
  // An image given again by another path is read once, with a warning.
  const std::string again = scratch.dir + "/./board1.png";
  images.push_back(again);
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
  EXPECT_NE(
      run.err.find("warning: calibrate: image " + again + " is " + images[6] + " again: read once"),
      std::string::npos)
      << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["views"], 12);
  EXPECT_EQ(report["images"].size(), 13u);
  EXPECT_TRUE(report["images"][3]["found"] == false && report["images"][4]["name"] == images[9]);
  EXPECT_EQ(report["images"][3]["reason"], "no 9x6 board found");
  EXPECT_LT(report["rms_px"], 0.5);
  EXPECT_EQ(report["converged"], true);
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

// ChArUco corners found on rendered pictures of the navigation camera, 12
// of the 24 boards over the image's corners and cut by both edges there:
// from its start the fit leaves some of those boards tilted the other way
// about their line of sight, which fits them nearly as well with the lens
// bent 20 px at the image's corners; mirrored back, the lens the pictures
// were rendered through is recovered.
TEST(CamcalCalibrate, BoardsOverTheImageCornersInTheirMirroredPoseAreTurnedBack) {
  ScratchDir scratch;
  const std::string robot = scratch.write("robot.txt", readFile(kRobotCal));
  outputOf({"calibrate", "--corners", fixture("charuco_corner_views.json"), "--camera",
            "navigation", "--into", robot});
  EXPECT_LT(largestDisplacement(lensOf(kRobotCal, "navigation", 1280, 960),
                                lensOf(robot, "navigation", 1280, 960)),
            1.0);
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
  // Views this alike leave the fit crawling: it stops before converging, and
  // is written only with --force.
  const Args refused = {"calibrate", "--corners", scratch.write("few.json", corners.dump()),
                        "--lens", "plumb-bob"};
  expectRuns({fails(kFailed, refused, "the fit stopped before converging after ")});
  const Args args = cat(refused, {"--force"});
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
  const std::string corners = scratch.write("corners.json", goodViews().dump(1));
  const std::string wide =
      scratch.variant("wide.json", corners, "\"image_width\": 640", "\"image_width\": 800");
  json two_views = json::parse(readFile(corners)), unequal = two_views;
  two_views["views"] = json::array({two_views["views"][0], two_views["views"][1]});
  const std::string too_few = scratch.write("two.json", two_views.dump());
  unequal["views"][1]["target_points"].erase(53);
  const std::string unequal_file = scratch.write("unequal.json", unequal.dump(1));
  json repeated = json::parse(readFile(corners));
  repeated["views"][1]["image_points"][40] = repeated["views"][1]["image_points"][7];
  const std::string repeated_file = scratch.write("repeated.json", repeated.dump());
  const std::string broken = scratch.write("broken.json", "{\n  \"image_width\": 640,\n  oops\n}");
  const std::string small = scratch.path("small.png"), other = scratch.path("other.png");
  writeGrayPng(small, 40, 30, std::vector<std::uint8_t>(40 * 30, 90));
  writeGrayPng(other, 32, 24, std::vector<std::uint8_t>(32 * 24, 90));
  const std::string blank = scratch.path("blank.png");
  writeGrayPng(blank, 40, 30, std::vector<std::uint8_t>(40 * 30, 200));
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
      fails(kFailed, board_of("9x6", "0.03", {small, blank}),
            "2 images: no board found in any image"),
      fails(kUsage, board_of("9by6", "0.03", {small}),
            "malformed board size '9by6': expected COLSxROWS"),
      fails(kUsage, board_of("9x6", "-0.03", {small}),
            "malformed square size '-0.03': expected a positive number of metres"),
      fails(kFailed, {"calibrate", "--corners", broken},
            broken + ": not a corners file (JSON, line 3, column 3: "),
      fails(kFailed, {"calibrate", "--corners", unequal_file},
            "view 1 (view1) has 54 image points and 53 target points"),
      fails(kFailed, {"calibrate", "--corners", repeated_file},
            "usable views: image view1: points 7 and 40 have the same image point"),
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

size_t entriesIn(const std::string& directory) {
  return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
}

// A fit that should not be trusted is refused, naming why, and nothing is
// written; --force writes it with the reason as a warning.
TEST(CamcalCalibrate, RefusesABadFitUnlessForced) {
  ScratchDir scratch;
  json shifted = goodViews(), small = goodViews(), curved = goodViews();
  for (auto& view : shifted["views"])
    for (auto& point : view["image_points"]) point[0] = double(point[0]) + 5000.0;
  small["image_width"] = 64;
  small["image_height"] = 48;
  for (auto& view : curved["views"]) {
    int parity = 0;
    for (auto& point : view["target_points"]) point[2] = parity++ % 2 ? 0.05 : -0.05;
  }
  const std::string good = scratch.write("good.json", goodViews().dump());
  const struct {
    Args args;
    std::string reason;
  } rows[] = {
      {{"--corners", scratch.write("shifted.json", shifted.dump())},
       "648 of 648 image points lie outside the declared 640x480 image (the first: view view0 "
       "point 0 at (5102.8, 81.0))"},
      {{"--corners", scratch.write("small.json", small.dump())},
       "648 of 648 image points lie outside the declared 64x48 image"},
      {{"--corners", scratch.write("curved.json", curved.dump())},
       "the target of view view0 is not planar: a point lies 0.0541 m off its plane, 25% of its "
       "extent"},
      {{"--corners", good, "--outlier-sigma", "0.5"},
       "the outlier rejection kept 72 of 648 corners, fewer than half"},
      {{"--corners", good, "--max-rms", "0.05"}, "px exceeds --max-rms 0.05 px"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reason);
    const std::string out = scratch.path("camera.json");
    const Args args = cat(cat({"calibrate"}, row.args), {"-o", out, "--format", "json"});
    expectRuns({fails(kFailed, args, "the calibration is refused: "),
                fails(kFailed, args, "(--force writes it anyway)"),
                fails(kFailed, args, row.reason)});
    EXPECT_FALSE(std::filesystem::exists(out));
    const camcal_test::Run forced = runCamcal(cat(args, {"--force"}));
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(forced.err.find("warning: calibrate: written with --force although "),
              std::string::npos)
        << forced.err;
    EXPECT_TRUE(std::filesystem::exists(out));
    std::filesystem::remove(out);
  }

  // The principal point of a shifted fit lies far off the image: refused
  // by calibrate, and by validate in a robot calibration.
  const camcal_test::Run forced = runCamcal(
      {"calibrate", "--corners", scratch.path("shifted.json"), "--force", "--format", "json"});
  EXPECT_NE(forced.err.find("although the principal point ("), std::string::npos) << forced.err;
  const std::string off_centre =
      scratch.variant("off_centre.txt", kRobotCal, "cx: 638.9", "cx: 5661.8");
  expectRuns({{{"validate", off_centre},
               kFailed,
               {off_centre + ": INVALID robot calibration (text, 3 cameras): camera "
                             "\"navigation\": the principal point (5661.8, 482.6) lies outside "
                             "the 1280x960 image"}}});
}

// A view given twice, or whose corners coincide with another's within
// 0.01 px, and a view the library drops (seen edge-on), are listed as
// dropped with the reason and warned of; the rest is fitted.
TEST(CamcalCalibrate, DropsDuplicateAndDegenerateViewsNamingThem) {
  ScratchDir scratch;
  json views = goodViews();
  json again = views["views"][2], nearly = views["views"][5], edge_on = views["views"][6];
  again["name"] = "again";
  nearly["name"] = "nearly";
  for (auto& point : nearly["image_points"]) point[1] = double(point[1]) + 0.004;
  edge_on["name"] = "edge-on";
  double u = 100.0;
  for (auto& point : edge_on["image_points"]) point = {u, 0.5 * u + 20.0}, u += 5.0;
  for (const json& view : {again, nearly, edge_on}) views["views"].push_back(view);
  const size_t count = views["views"].size();
  const camcal_test::Run run = runCamcal(
      {"calibrate", "--corners", scratch.write("views.json", views.dump()), "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["views"], count - 3);
  const struct {
    size_t image;
    std::string reason;
  } rows[] = {
      {count - 3, "the same corners as view2: dropped"},
      {count - 2, "the same corners as view5: dropped"},
      {count - 1, "dropped by the fit: the board is seen edge-on (its homography is degenerate)"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(report["images"][row.image]["found"], false) << row.reason;
    EXPECT_EQ(report["images"][row.image]["reason"], row.reason);
  }
  for (const char* warning : {"warning: calibrate: view again has the same corners as view2",
                              "warning: calibrate: view nearly has the same corners as view5",
                              "warning: calibrate: view edge-on: dropped by the fit"})
    EXPECT_NE(run.err.find(warning), std::string::npos) << warning << " not in\n" << run.err;
}

// An output that names an input or another output, by any path, is refused
// before any work; nothing is written.
TEST(CamcalCalibrate, RefusesOutputsThatNameInputsOrEachOther) {
  ScratchDir scratch;
  const std::string corners = scratch.write("c.json", goodViews().dump());
  const std::string robot = scratch.write("robot.txt", readFile(kRobotCal));
  std::filesystem::create_symlink("c.json", scratch.path("link.json"));
  std::filesystem::create_directory(scratch.path("report"));
  std::filesystem::create_symlink("../robot.txt", scratch.path("report/lens.png"));
  const std::string image = scratch.path("board03.png");
  writeGrayPng(image, 40, 30, std::vector<std::uint8_t>(40 * 30, 90));
  const Args from_corners = {"calibrate", "--corners", corners};
  const Args into = cat(from_corners, {"--camera", "navigation", "--into", robot});
  const std::string is_input = ": an output never replaces an input";
  expectRuns({
      fails(kUsage, cat(from_corners, {"--save-corners", corners}),
            "--save-corners " + corners + " is --corners " + corners + is_input),
      fails(kUsage, cat(from_corners, {"-o", scratch.dir + "/./c.json"}), is_input),
      fails(kUsage, cat(from_corners, {"-o", scratch.path("link.json")}), is_input),
      fails(kUsage,
            cat(from_corners,
                {"--save-corners", scratch.path("x.json"), "-o",
                 scratch.dir + "/../" + std::filesystem::path(scratch.dir).filename().string() +
                     "/x.json"}),
            " name the same file"),
      fails(kUsage, cat(into, {"--save-corners", robot}), "is --into " + robot + is_input),
      fails(kUsage, cat(into, {"--report", scratch.path("report")}),
            "--report " + scratch.path("report") + "/lens.png is --into " + robot + is_input),
      fails(kUsage, cat(into, {"--save-corners", robot + ".bak"}),
            "the backup " + robot + ".bak and --save-corners " + robot + ".bak name the same file"),
      fails(kUsage, {"calibrate", "--board", "9x6", "--square", "0.03", image, "-o", image},
            "-o " + image + " is the image " + image + is_input),
  });
  EXPECT_EQ(readFile(corners), goodViews().dump());
  EXPECT_EQ(readFile(robot), readFile(kRobotCal));
  EXPECT_EQ(entriesIn(scratch.dir), 5u);
}

// --into keeps every calibration it replaces: the first backup is never
// overwritten, later ones take the next free name, none is written through a
// link nor readable by more users than the original; -o naming the file
// itself (by any path) is the same in-place write.
TEST(CamcalCalibrate, BackupsKeepEveryOriginal) {
  ScratchDir scratch;
  const std::string corners = scratch.write("c.json", goodViews().dump());
  const std::string robot = scratch.write("robot.txt", readFile(kRobotCal));
  ::chmod(robot.c_str(), 0600);
  std::filesystem::create_symlink("robot.txt", scratch.path("link.txt"));
  const Args into = {"calibrate", "--corners", corners, "--camera", "navigation", "--into", robot};
  const camcal_test::Run first = runCamcal(into);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.err.find("note: " + robot + ": its comments are not carried over"),
            std::string::npos)
      << first.err;
  const std::string fitted = readFile(robot);
  const struct {
    Args more;
    std::string backup;
  } rows[] = {
      {{}, ".bak.1"},
      {{"-o", robot}, ".bak.2"},
      {{"-o", scratch.dir + "/./robot.txt"}, ".bak.3"},
      {{"-o", scratch.path("link.txt")}, ".bak.4"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.backup);
    EXPECT_EQ(runCamcal(cat(into, row.more)).status, 0);
    EXPECT_EQ(readFile(robot + row.backup), fitted);
    struct stat status {};
    EXPECT_EQ(::lstat((robot + row.backup).c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(readFile(robot + ".bak"), readFile(kRobotCal));
  EXPECT_EQ(std::filesystem::read_symlink(scratch.path("link.txt")), "robot.txt");

  // A backup name that is a link (planted, or stale) is refused, never followed.
  ScratchDir shared;
  const std::string victim = shared.write("victim.txt", "not a calibration\n");
  const std::string other = shared.write("robot.txt", readFile(kRobotCal));
  std::filesystem::create_symlink(victim, other + ".bak");
  expectRuns({fails(
      kFailed, {"calibrate", "--corners", corners, "--camera", "navigation", "--into", other},
      other + ".bak: is a symbolic link, and a backup is never written through one")});
  EXPECT_EQ(readFile(victim), "not a calibration\n");
  EXPECT_EQ(readFile(other), readFile(kRobotCal));
}

// A failure while the outputs are written, or a signal then, leaves every
// existing file as it was and no temporary file behind: a file size limit
// stops the writes part way, as an error (SIGXFSZ ignored) and as the
// signal itself (which camcal handles as it does SIGINT and SIGTERM).
TEST(CamcalCalibrate, AFailureOrASignalWhileWritingWritesNothing) {
  ScratchDir scratch;
  const std::string corners = scratch.write("c.json", goodViews().dump());
  const std::string original = readFile(kRobotCal);
  const std::string robot = scratch.write("robot.txt", original);
  const std::string saved = scratch.write("saved.json", "old");
  const std::string command =
      std::string("'") + CAMCAL_INSTALLED_BINARY + "' calibrate --corners '" + corners +
      "' --camera navigation --into '" + robot + "' --save-corners '" + saved + "' --report '" +
      scratch.path("report") + "' >/dev/null 2>'" + scratch.path("err") + "'";
  // 140 blocks of 512 bytes: room for the saved corners (about 50 kB), not
  // for every picture (each about 100 kB).
  const struct {
    std::string prefix;
    int status;  // of the shell
    std::string err;
  } rows[] = {
      {"trap '' XFSZ; ", kFailed, ".png: cannot write: File too large"},
      {"", 128 + SIGXFSZ, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.prefix);
    const std::string shell =
        "env -u LD_LIBRARY_PATH sh -c \"" + row.prefix + "ulimit -f 140; exec " + command + "\"";
    // The shell's own note of the signal goes to /dev/null; camcal's stderr to err.
    const int status = std::system(("exec 2>/dev/null; " + shell).c_str());
    // A shell reports a child killed by a signal as 128 + the signal, or dies of it itself.
    const int reported = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    EXPECT_EQ(reported, row.status) << readFile(scratch.path("err"));
    EXPECT_NE(readFile(scratch.path("err")).find(row.err), std::string::npos)
        << readFile(scratch.path("err"));
    EXPECT_EQ(readFile(robot), original);
    EXPECT_EQ(readFile(saved), "old");
    EXPECT_FALSE(std::filesystem::exists(scratch.path("report")));
    EXPECT_FALSE(std::filesystem::exists(robot + ".bak"));
    std::filesystem::remove(scratch.path("err"));
    EXPECT_EQ(entriesIn(scratch.dir), 3u);  // c.json, robot.txt, saved.json
  }
}

// SIGTERM (as SIGINT) ends camcal by that signal, its outputs unwritten:
// here while it waits on a corners FIFO that the test holds open.
TEST(CamcalCalibrate, ASignalEndsTheRunByThatSignalWritingNothing) {
  ScratchDir scratch;
  const std::string fifo = scratch.path("corners.fifo"), saved = scratch.path("saved.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::execl(CAMCAL_INSTALLED_BINARY, "camcal", "-q", "calibrate", "--corners", fifo.c_str(),
              "--save-corners", saved.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Opened once camcal reads it: its handlers are in place by then.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ::kill(child, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(writer);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(entriesIn(scratch.dir), 1u);  // the FIFO alone
  }
}

// The number of views is bounded, and every numeric option names its bound.
TEST(CamcalCalibrate, BoundsAndMessagesOfOptionValues) {
  ScratchDir scratch;
  const std::string corners = scratch.write("c.json", goodViews().dump());
  const Args from_corners = {"calibrate", "--corners", corners};
  const std::string named = scratch.write(std::string("a\x1b[2Jb.json"), "{");
  // Cut inside its seventh view: the limit refuses it before the cut is read.
  const std::string text = goodViews().dump();
  size_t cut = 0;
  for (int view = 0; view < 7; ++view) cut = text.find("\"image_points\"", cut + 1);
  const std::string cut_short = scratch.write("cut.json", text.substr(0, cut + 20));
  expectRuns({
      fails(kFailed, cat(from_corners, {"--max-views", "5"}),
            corners + ": 6 views or more, more than --max-views 5 (read no further)"),
      fails(kFailed, {"calibrate", "--corners", cut_short, "--max-views", "6"},
            cut_short + ": 7 views or more, more than --max-views 6"),
      fails(kFailed, {"calibrate", "--corners", cut_short}, cut_short + ": not a corners file"),
      fails(kUsage, cat(from_corners, {"--threads", "0"}), "--threads: must be at least 1, not 0"),
      fails(kUsage, cat(from_corners, {"--max-views", "0"}),
            "--max-views: must be at least 1, not 0"),
      fails(kUsage, cat(from_corners, {"--max-rms", "0"}), "--max-rms: must be above 0, not 0"),
      fails(kUsage, cat(from_corners, {"--outlier-sigma", "-1"}),
            "--outlier-sigma: must be at least 0, not -1"),
      fails(kUsage, cat(from_corners, {"--outlier-sigma", "nan"}),
            "--outlier-sigma: must be a finite number"),
      fails(kFailed, {"calibrate", "--corners", named},
            scratch.dir + "/a\\x1b[2Jb.json: not a corners file"),
  });
}

}  // namespace

#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "calibration_common/base_calibration_data.h"
#include "run_camcal.h"
#include "support/rig_scene.h"

namespace {

using namespace camcal_test;
using dravik::calibration::CameraParametersSet;
using dravik::calibration::RigMoment;
using dravik::testing::RigCamera;
using json = nlohmann::json;

constexpr int kWidth = 640, kHeight = 480;

std::string momentName(size_t m) {
  char name[32];
  std::snprintf(name, sizeof name, "%04zu", m);
  return name;
}

// The rig corners file of the moments (the layout camcal rig reads).
std::string cornersJson(const std::vector<RigCamera>& cameras,
                        const std::vector<RigMoment>& moments) {
  json root;
  for (size_t c = 0; c < cameras.size(); ++c) {
    json views = json::array();
    for (size_t m = 0; m < moments.size(); ++m) {
      for (const auto& view : moments[m].views) {
        if (view.camera != c) continue;
        json image = json::array(), target = json::array();
        for (const Eigen::Vector2d& p : view.image_points) image.push_back({p.x(), p.y()});
        for (const Eigen::Vector3d& p : view.target_points) target.push_back({p.x(), p.y(), p.z()});
        views.push_back(
            {{"name", momentName(m)}, {"image_points", image}, {"target_points", target}});
      }
    }
    root["cameras"][cameras[c].name] = {{"image_width", cameras[c].lens.width()},
                                        {"image_height", cameras[c].lens.height()},
                                        {"views", views}};
  }
  return root.dump();
}

// The calibration at `path`, with the test's base calibration applied when asked.
CameraParametersSet loaded(const std::string& path, bool with_base) {
  CameraParametersSet set;
  EXPECT_TRUE(set.loadFromString(readFile(path)));
  if (with_base) {
    dravik::calibration::BaseCalibrationData base;
    EXPECT_TRUE(base.loadFromString(readFile(kBaseCal)));
    set.adjustUsingBaseCalibration(base);
  }
  return set;
}

// The navigation and front cameras of the test calibration at 640 x 480,
// the front camera's true pose moved from the file's by 20 mm and half a
// degree; with a base calibration, the poses it gives.
std::vector<RigCamera> trueRig(bool with_base) {
  const CameraParametersSet set = loaded(kRobotCal, with_base);
  std::vector<RigCamera> cameras =
      dravik::testing::rigCameras(set, {"navigation", "front"}, kWidth, kHeight);
  Eigen::Matrix4d moved = Eigen::Matrix4d::Identity();
  moved.topLeftCorner<3, 3>() =
      Eigen::AngleAxisd(0.5 / 57.29577951308232, Eigen::Vector3d::UnitY()).toRotationMatrix();
  moved.topRightCorner<3, 1>() = Eigen::Vector3d(0.02, 0.0, 0.0);
  cameras[1].camera_from_robot = moved * cameras[1].camera_from_robot;
  return cameras;
}

std::vector<RigMoment> rigMoments(const std::vector<RigCamera>& cameras) {
  const dravik::testing::RigSceneOptions scene;
  return dravik::testing::rigMoments(cameras, dravik::testing::rigBoardPoses(scene), scene, 3);
}

Eigen::Matrix4d poseIn(const std::string& path, const std::string& camera, bool with_base) {
  return loaded(path, with_base).getCamera(camera)->getTransform().getTransform().cast<double>();
}

// How far two poses lie apart: the camera centres (mm), the orientations (degrees).
std::pair<double, double> apart(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b) {
  const Eigen::Matrix4d d = a * b.inverse();
  return {1e3 * (a.inverse().topRightCorner<3, 1>() - b.inverse().topRightCorner<3, 1>()).norm(),
          57.29577951308232 * Eigen::AngleAxisd(Eigen::Matrix3d(d.topLeftCorner<3, 3>())).angle()};
}

// The poses written are the file's own: loaded with the base calibration the
// run was measured with, they give the measured poses; the reference keeps
// its pose, and the report says how far the other moved.
TEST(CamcalRig, WritesMeasuredPosesBackThroughTheBaseCalibration) {
  for (const bool with_base : {false, true}) {
    ScratchDir scratch;
    const std::vector<RigCamera> truth = trueRig(with_base);
    const std::string corners =
        scratch.write("corners.json", cornersJson(truth, rigMoments(truth)));
    const std::string out = scratch.path("rig.txt");
    Args args = {"rig",        "--corners", corners, "--into",   kRobotCal, "--reference",
                 "navigation", "-o",        out,     "--format", "json"};
    if (with_base) args = cat(args, {"--base", kBaseCal});
    const auto run = runCamcal(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const json report = json::parse(run.out);
    EXPECT_EQ(report["reference"], "navigation");
    ASSERT_EQ(report["cameras"].size(), 2u);
    for (const json& camera : report["cameras"]) {
      const size_t c = camera["camera"] == "navigation" ? 0 : 1;
      const auto [mm, deg] =
          apart(truth[c].camera_from_robot, poseIn(kRobotCal, truth[c].name, with_base));
      EXPECT_NEAR(camera["moved_mm"].get<double>(), mm, 0.5) << truth[c].name;
      EXPECT_NEAR(camera["moved_deg"].get<double>(), deg, 0.02) << truth[c].name;
      EXPECT_EQ(camera["moments"], report["pairs"][0]["shared_moments"]);
    }
    EXPECT_LT(report["rms_px"].get<double>(), 0.3);
    if (!with_base) {
      // A fit above --max-rms is not written, unless forced.
      const std::string gated = scratch.path("gated.txt");
      args[8] = gated;
      expectRuns({fails(kFailed, cat(args, {"--max-rms", "0.01"}),
                        "rig: the calibration is refused: the rms")});
      EXPECT_FALSE(std::filesystem::exists(gated));
      const auto forced = runCamcal(cat(args, {"--max-rms", "0.01", "--force"}));
      EXPECT_EQ(forced.status, 0) << forced.err;
      EXPECT_NE(forced.err.find("written with --force although the rms"), std::string::npos);
    }
    for (size_t c = 0; c < truth.size(); ++c) {
      const auto [mm, deg] =
          apart(poseIn(out, truth[c].name, with_base), truth[c].camera_from_robot);
      EXPECT_LT(mm, 1.0) << truth[c].name << " base " << with_base;
      EXPECT_LT(deg, 0.03) << truth[c].name << " base " << with_base;
    }
  }
}

// A fixture moment gives the reference's pose in the robot frame too.
TEST(CamcalRig, FixtureGivesTheReferencesPose) {
  ScratchDir scratch;
  std::vector<RigCamera> truth = trueRig(false);
  truth[0].camera_from_robot.topRightCorner<3, 1>() += Eigen::Vector3d(0.0, 0.015, 0.0);
  const std::string corners = scratch.write("corners.json", cornersJson(truth, rigMoments(truth)));
  const Eigen::Matrix4d board = dravik::testing::rigBoardPoses({}).at(4);
  json fixture;
  for (int r = 0; r < 4; ++r) {
    fixture["fixture"][0]["robot_from_board"][r] = {board(r, 0), board(r, 1), board(r, 2),
                                                    board(r, 3)};
  }
  fixture["fixture"][0]["moment"] = momentName(4);
  const std::string fixture_file = scratch.write("fixture.json", fixture.dump());
  const std::string out = scratch.path("rig.txt");
  const auto run = runCamcal({"rig", "--corners", corners, "--into", kRobotCal, "--fixture",
                              fixture_file, "--reference", "navigation", "-o", out});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("navigation (its pose from the fixture)"), std::string::npos) << run.out;
  for (const RigCamera& camera : truth) {
    const auto [mm, deg] = apart(poseIn(out, camera.name, false), camera.camera_from_robot);
    EXPECT_LT(mm, 3.0) << camera.name;
    EXPECT_LT(deg, 0.1) << camera.name;
  }
}

// From images: one folder per camera, images named by moment, the corners
// found by the chessboard detector; the corners it saves give the same
// calibration through --corners. --report writes the rig's picture and each
// camera's coverage.
TEST(CamcalRig, FindsTheCornersOnEachCamerasImagesNamedByMoment) {
  ScratchDir scratch;
  const std::vector<RigCamera> truth = trueRig(false);
  dravik::testing::RigSceneOptions scene;
  scene.moments = 4;
  const std::vector<Eigen::Matrix4d> boards = dravik::testing::rigBoardPoses(scene);
  for (const RigCamera& camera : truth) {
    std::filesystem::create_directories(scratch.path("rig/" + camera.name));
    const dravik::testing::BoardRenderer renderer(camera.lens, 2);
    for (size_t m = 0; m < boards.size(); ++m) {
      writeGrayPng(
          scratch.path("rig/" + camera.name + "/" + momentName(m) + ".png"), kWidth, kHeight,
          renderer.render(scene.board, camera.camera_from_robot * boards[m], 1.0, unsigned(m)));
    }
  }
  const std::string saved = scratch.path("corners.json");
  const Args common = {"rig",      "--into", kRobotCal, "-o", scratch.path("rig.txt"),
                       "--format", "json"};
  const auto run =
      runCamcal(cat(common, {"--board", "9x6", "--square", "0.06", scratch.path("rig"),
                             "--save-corners", saved, "--report", scratch.path("report")}));
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string picture : {"rig.png", "coverage_navigation.png", "coverage_front.png"}) {
    EXPECT_EQ(readFile(scratch.path("report/" + picture)).substr(1, 3), "PNG") << picture;
  }
  const json report = json::parse(run.out);
  EXPECT_EQ(report["pairs"][0]["shared_moments"], 4);
  EXPECT_LT(report["rms_px"].get<double>(), 0.3);
  const auto again = runCamcal(cat(common, {"--corners", saved}));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, run.out);
}

// Bad input: one line naming the camera, exit 1, nothing written.
TEST(CamcalRig, RefusesBadInputNamingTheCameraAndWritesNothing) {
  ScratchDir scratch;
  const std::vector<RigCamera> truth = trueRig(false);
  const std::vector<RigMoment> moments = rigMoments(truth);
  const std::string robot = scratch.write("robot.txt", readFile(kRobotCal));
  const std::string out = scratch.path("out.txt");
  // A folder naming no camera; a camera's folder without images.
  for (const std::string dir : {"unknown/navigation", "unknown/wrist", "empty/navigation"}) {
    std::filesystem::create_directories(scratch.path(dir));
    writeGrayPng<std::uint8_t>(scratch.path(dir + "/0000.png"), kWidth, kHeight,
                               std::vector<std::uint8_t>(kWidth * kHeight, 128));
  }
  std::filesystem::create_directories(scratch.path("empty/front"));
  // Front's moments renamed, so that it shares none with navigation.
  std::vector<RigMoment> apart_moments(2 * moments.size());
  for (size_t m = 0; m < moments.size(); ++m) {
    for (const auto& view : moments[m].views) {
      apart_moments[2 * m + view.camera].views.push_back(view);
    }
  }
  std::vector<RigCamera> wrong_size = truth;
  const dravik::calibration::Lens front = truth[1].lens;
  ASSERT_TRUE(dravik::calibration::Lens::fromIntrinsics(front.K(), front.distortion(), 700,
                                                        front.height(), &wrong_size[1].lens));
  const std::string board = "9x6";
  const Args images = {"rig", "--board", board, "--square", "0.06", "--into", robot, "-o", out};
  const Args corners = {"rig", "--into", robot, "-o", out, "--corners"};
  const std::string good = scratch.write("good.json", cornersJson(truth, moments));
  expectRuns({
      fails(kFailed, cat(images, {scratch.path("unknown")}),
            "unknown/wrist: names no camera of " + robot),
      fails(kFailed, cat(images, {scratch.path("empty")}), "camera 'front': no images in"),
      fails(kFailed, cat(corners, {scratch.write("apart.json", cornersJson(truth, apart_moments))}),
            "camera 'front' shares no moment with the reference camera 'navigation'"),
      fails(kFailed, cat(corners, {scratch.write("size.json", cornersJson(wrong_size, moments))}),
            "the images are 700x480, not a size of camera 'front'"),
      fails(kUsage, cat(images, {scratch.path("empty"), "--report", scratch.path("empty/front")}),
            "is the images of front"),
      fails(kUsage,
            cat(corners, {good, "--report", scratch.path("report"), "--save-corners",
                          scratch.path("report/rig.png")}),
            "report/rig.png is --save-corners"),
  });
  EXPECT_FALSE(std::filesystem::exists(scratch.path("report")));
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(robot + ".bak"));
  EXPECT_EQ(readFile(robot), readFile(kRobotCal));
}

}  // namespace

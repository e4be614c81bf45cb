#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <string>

#include "run_camcal.h"
#include "support/board_imaging.h"
#include "support/head_board_views.h"
#include "support/ptz_models.h"

namespace {

using namespace camcal_test;

TEST(CamcalPtzHead, RefusesBadPositionsAndOutputsOverInputsBeforeAnyFit) {
  ScratchDir scratch;
  const std::string header_only = scratch.write("header.csv", "image,pan,tilt,zoom\n");
  const std::string bad_header = scratch.write("header2.csv", "image,pan,tilt\nview.png,1,2\n");
  const std::string fractional = scratch.write("steps.csv", "image,pan,tilt,zoom\nv.png,1.5,2,0\n");
  const std::string missing = scratch.write("missing.csv", "image,pan,tilt,zoom\nv.png,1,2,0\n");
  const std::string other = scratch.write("other.txt", "");
  const auto head = [&](const std::string& positions, Args more = {}) {
    Args args = {"ptz-head",    "--board", "9x6",           "--square", "0.1",
                 "--positions", positions, "--calibration", kPtzCal};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  expectRuns({
      fails(kFailed, head(header_only), "header.csv: no picture listed"),
      fails(kFailed, head(bad_header), "header2.csv:1: expected the header image,pan,tilt,zoom"),
      fails(kFailed, head(fractional), "steps.csv:2: the motor positions must be whole steps"),
      fails(kFailed, head(missing), "v.png: cannot read"),
      fails(kUsage, head(missing, {"-o", missing}), "an output never replaces an input"),
      fails(kUsage, head(missing, {"--into", other}), "is not the --calibration file"),
  });
}

// Pictures of the board rendered through a head whose tilt offset moved by
// 40 steps and whose camera turned by a degree, fitted with --into: the file
// written holds a head that sees the board's corners, at positions not
// pictured, where the true head sees them.
TEST(CamcalPtzHead, WritesAHeadThatSeesTheBoardWhereTheTrueHeadSeesIt) {
  namespace testing = dravik::testing;
  namespace calibration = dravik::calibration;
  using calibration::PTZCameraModel;
  using calibration::PTZCameraModelConfiguration;
  ScratchDir scratch;
  const calibration::PTZCameraParameters file = testing::ptzExampleParameters();
  const calibration::PTZCameraParameters truth = testing::movedHead(file, 0.0f, 40.0f, 1.0);
  const auto true_model = std::make_shared<PTZCameraModel>(truth);
  calibration::PanTiltModel true_head;
  ASSERT_TRUE(true_head.readFromPB(truth.pan_tilt()));
  const calibration::Lens lens = PTZCameraModelConfiguration(true_model, 0, 0, 0).getLens();
  const testing::BoardRenderer renderer(lens, 1);
  const testing::Chessboard board{9, 6, 0.1};
  std::string positions = "image,pan,tilt,zoom\n";
  for (int r = 0; r < 5; ++r) {
    for (int c = 0; c < 6; ++c) {
      const Eigen::Vector2i at = testing::aimedAtBoard(truth, (2 * c - 5) * 60, (r - 2) * 80);
      const Eigen::Matrix4d camera_from_board =
          true_head.getFullTransform(float(at.x()), float(at.y())).getTransform().cast<double>() *
          testing::boardInWorld();
      const std::string name = "view" + std::to_string(6 * r + c) + ".png";
      ASSERT_TRUE(cv::imwrite(
          scratch.path(name),
          testing::takePicture(
              renderer.renderPattern(testing::ChessboardPattern{board}, camera_from_board),
              lens.width(), lens.height(), testing::ordinaryImaging(), unsigned(6 * r + c))));
      positions += name + "," + std::to_string(at.x()) + "," + std::to_string(at.y()) + ",0\n";
    }
  }
  const std::string ptz = scratch.write("ptz.txt", readFile(kPtzCal));
  const std::string csv = scratch.write("positions.csv", positions);
  const Args head = {"ptz-head", "--board",       "9x6", "--square", "0.1", "--positions",
                     csv,        "--calibration", ptz,   "--into",   ptz};
  const auto run = runCamcal(cat(head, {"--report", scratch.path("report")}));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_GT(pngSize(scratch.path("report/aiming_error.png")).first, 600);
  const calibration::PTZCameraParameters fitted = testing::ptzParameters(ptz);
  // Above --max-rms nothing is written.
  const std::string written = readFile(ptz);
  expectRuns({fails(kFailed, cat(head, {"--max-rms", "0.05"}),
                    "ptz-head: the calibration is refused: the rms")});
  EXPECT_EQ(readFile(ptz), written);
  // The tilt offset takes the file's 40 steps and the part of D's turn about
  // the tilt axis, which pictures cannot tell apart.
  EXPECT_GT(fitted.pan_tilt().tilt_offset() - file.pan_tilt().tilt_offset(), 30.0);
  const auto fitted_model = std::make_shared<PTZCameraModel>(fitted);
  double worst = 0.0;
  for (const Eigen::Vector2i& at :
       {testing::aimedAtBoard(truth, -150, 100), testing::aimedAtBoard(truth, 150, -100),
        testing::aimedAtBoard(truth, 30, 40)}) {
    const PTZCameraModelConfiguration seen(true_model, at.x(), at.y(), 0);
    const PTZCameraModelConfiguration aimed(fitted_model, at.x(), at.y(), 0);
    for (const Eigen::Vector3d& corner : testing::boardCorners()) {
      const Eigen::Vector3d world = (testing::boardInWorld() * corner.homogeneous()).head<3>();
      Eigen::Vector2d truly, fitted_pixel;
      seen.projectPoints(world.data(), 1, truly.data());
      aimed.projectPoints(world.data(), 1, fitted_pixel.data());
      worst = std::max(worst, (truly - fitted_pixel).norm());
    }
  }
  EXPECT_LT(worst, 1.0);
}

}  // namespace

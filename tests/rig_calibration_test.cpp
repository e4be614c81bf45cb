// The calibration messages (rig_scene.h) come in before the rig calibration,
// whose header brings camera_calibration.h's CameraCalibration.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/rig_scene.h"

namespace {

using dravik::calibration::calibrateRig;
using dravik::calibration::FixtureMoment;
using dravik::calibration::RigCalibration;
using dravik::calibration::RigCalibrationOptions;
using dravik::calibration::RigMoment;
using dravik::testing::LogCapture;
using dravik::testing::RigCamera;
using dravik::testing::RigSceneOptions;

constexpr double kDegreesPerRadian = 57.29577951308232;

// The error of a fitted camera_from_frame against the truth, as the
// covariance orders it: the orientation's rotation vector (in the frame's
// axes, radians), then the centre (metres).
Eigen::Matrix<double, 6, 1> poseError(const Eigen::Matrix4d& fitted, const Eigen::Matrix4d& truth) {
  const Eigen::Matrix4d frame_from_fitted = fitted.inverse(), frame_from_truth = truth.inverse();
  const Eigen::AngleAxisd turn(Eigen::Matrix3d(frame_from_fitted.topLeftCorner<3, 3>() *
                                               frame_from_truth.topLeftCorner<3, 3>().transpose()));
  Eigen::Matrix<double, 6, 1> error;
  error << turn.angle() * turn.axis(),
      frame_from_fitted.topRightCorner<3, 1>() - frame_from_truth.topRightCorner<3, 1>();
  return error;
}

Eigen::Matrix4d relative(const RigCamera& camera, const RigCamera& reference) {
  return camera.camera_from_robot * reference.camera_from_robot.inverse();
}

// The cameras' views of the test scene's boards, with noise of `seed`.
std::vector<RigMoment> sceneMoments(const std::vector<RigCamera>& cameras, unsigned seed,
                                    const RigSceneOptions& scene = {}) {
  return dravik::testing::rigMoments(cameras, dravik::testing::rigBoardPoses(scene), scene, seed);
}

// Every part of a pose error within 3 of its standard deviations, none of them zero.
void expectWithin3Sigma(const Eigen::Matrix<double, 6, 1>& error,
                        const dravik::calibration::PoseCovariance& covariance,
                        const std::string& what) {
  for (int i = 0; i < 6; ++i) {
    const double sigma = std::sqrt(covariance(i, i));
    EXPECT_GT(sigma, 0.0) << what << " axis " << i;
    EXPECT_LT(std::abs(error(i)), 3.0 * sigma) << what << " axis " << i;
  }
}

struct RigCase {
  std::vector<std::string> cameras;
};

class RigCalibrationRendered : public ::testing::TestWithParam<RigCase> {};

// Over 20 noise draws of one rig: every pose within 3 standard deviations
// of the truth at the first draw, no more of the errors beyond 3 standard
// deviations over all draws than a normal distribution puts there (0.27 %:
// at most one in a hundred, and none beyond 4), and the standard deviations,
// pooled over each camera's three axes, within 20 % of the spread of the
// errors.
TEST_P(RigCalibrationRendered, PosesLieWithinTheirStandardDeviationsOfTheTruth) {
  const std::vector<RigCamera> cameras = dravik::testing::robotRigCameras(GetParam().cameras);
  const RigSceneOptions scene;
  const std::vector<Eigen::Matrix4d> boards = dravik::testing::rigBoardPoses(scene);
  constexpr int kDraws = 20;
  std::vector<Eigen::Matrix<double, 6, 1>> squared_error(cameras.size()), variance(cameras.size());
  for (size_t c = 0; c < cameras.size(); ++c) {
    squared_error[c].setZero();
    variance[c].setZero();
  }
  int beyond = 0, errors = 0;
  for (int draw = 0; draw < kDraws; ++draw) {
    const std::vector<RigMoment> moments =
        dravik::testing::rigMoments(cameras, boards, scene, 100 + draw);
    RigCalibration rig;
    ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, {}, &rig));
    EXPECT_GT(rig.rms_px, 0.15);
    EXPECT_LT(rig.rms_px, 0.3);
    for (size_t c = 1; c < cameras.size(); ++c) {
      const Eigen::Matrix<double, 6, 1> error =
          poseError(rig.cameras[c].camera_from_reference, relative(cameras[c], cameras[0]));
      for (int i = 0; i < 6; ++i) {
        const double sigma = std::sqrt(rig.cameras[c].covariance(i, i));
        if (draw == 0) {
          EXPECT_LT(std::abs(error(i)), 3.0 * sigma) << cameras[c].name << " " << i;
        }
        EXPECT_LT(std::abs(error(i)), 4.0 * sigma) << cameras[c].name << " " << draw << " " << i;
        beyond += std::abs(error(i)) > 3.0 * sigma;
        ++errors;
        squared_error[c](i) += error(i) * error(i) / kDraws;
        variance[c](i) += sigma * sigma / kDraws;
      }
    }
  }
  EXPECT_LE(100 * beyond, errors);
  for (size_t c = 1; c < cameras.size(); ++c) {
    for (const int part : {0, 3}) {  // the orientation, then the centre
      const double spread = std::sqrt(squared_error[c].segment<3>(part).sum());
      const double sigma = std::sqrt(variance[c].segment<3>(part).sum());
      EXPECT_NEAR(sigma / spread, 1.0, 0.2) << cameras[c].name << (part ? " centre" : " rotation");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RobotCameras, RigCalibrationRendered,
                         ::testing::Values(RigCase{{"navigation", "head"}},
                                           RigCase{{"navigation", "head", "front"}}));

// Five cameras, the reference in the middle of the list: the robot's three
// and two more beside the head and the front camera, each a copy of that
// lens turned 5 degrees and moved 12 cm. One noise draw.
TEST(RigCalibration, FiveCamerasAroundAMiddleReference) {
  std::vector<RigCamera> cameras =
      dravik::testing::robotRigCameras({"navigation", "head", "front", "head", "front"});
  for (size_t c = 3; c < cameras.size(); ++c) {
    Eigen::Matrix4d moved = Eigen::Matrix4d::Identity();
    moved.topLeftCorner<3, 3>() =
        Eigen::AngleAxisd(0.09, Eigen::Vector3d(0.3, 1.0, 0.2).normalized()).toRotationMatrix();
    moved.topRightCorner<3, 1>() = Eigen::Vector3d(c == 3 ? 0.12 : -0.12, 0.02, 0.0);
    cameras[c].camera_from_robot = moved * cameras[c].camera_from_robot;
  }
  const std::vector<RigMoment> moments = sceneMoments(cameras, 7);
  RigCalibrationOptions options;
  options.reference = 2;
  RigCalibration rig;
  ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, options, &rig));
  ASSERT_EQ(rig.cameras.size(), cameras.size());
  EXPECT_LT(rig.rms_px, 0.3);
  EXPECT_EQ(rig.cameras[2].covariance, (Eigen::Matrix<double, 6, 6>::Zero()));
  for (size_t c = 0; c < cameras.size(); ++c) {
    if (c == options.reference) continue;
    expectWithin3Sigma(
        poseError(rig.cameras[c].camera_from_reference, relative(cameras[c], cameras[2])),
        rig.cameras[c].covariance, std::to_string(c));
  }
}

// Without a fixture the reference keeps its pose in the robot calibration,
// and every camera's pose in the robot frame follows with the reference's
// uncertainty left out.
TEST(RigCalibration, ReferenceKeepsItsRobotPoseWithoutAFixture) {
  const std::vector<RigCamera> cameras = dravik::testing::robotRigCameras({"head", "navigation"});
  const std::vector<RigMoment> moments = sceneMoments(cameras, 3);
  RigCalibrationOptions options;
  options.reference_from_robot = cameras[0].camera_from_robot;
  RigCalibration rig;
  ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, options, &rig));
  EXPECT_TRUE(rig.cameras[0].camera_from_robot.isApprox(cameras[0].camera_from_robot, 1e-12));
  EXPECT_EQ(rig.cameras[0].robot_covariance.norm(), 0.0);
  expectWithin3Sigma(poseError(rig.cameras[1].camera_from_robot, cameras[1].camera_from_robot),
                     rig.cameras[1].robot_covariance, cameras[1].name);
  EXPECT_NEAR(rig.cameras[1].robot_centre_sigma_mm.norm(), rig.cameras[1].centre_sigma_mm.norm(),
              1e-6);
}

// A fixture (the board at a known pose in the robot frame at some moments)
// gives every camera's pose in the robot frame, the reference's included,
// within 3 standard deviations of the truth, over several noise draws.
TEST(RigCalibration, FixtureGivesEveryPoseInTheRobotFrame) {
  const std::vector<RigCamera> cameras =
      dravik::testing::robotRigCameras({"navigation", "head", "front"});
  const RigSceneOptions scene;
  const std::vector<Eigen::Matrix4d> boards = dravik::testing::rigBoardPoses(scene);
  for (const std::vector<size_t>& fixture_moments :
       std::vector<std::vector<size_t>>{{0}, {2, 5, 9}}) {
    for (unsigned draw = 0; draw < 5; ++draw) {
      const std::vector<RigMoment> moments =
          dravik::testing::rigMoments(cameras, boards, scene, 200 + draw);
      RigCalibrationOptions options;
      for (const size_t m : fixture_moments) options.fixture.push_back(FixtureMoment{m, boards[m]});
      RigCalibration rig;
      ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, options, &rig));
      for (size_t c = 0; c < cameras.size(); ++c)
        expectWithin3Sigma(
            poseError(rig.cameras[c].camera_from_robot, cameras[c].camera_from_robot),
            rig.cameras[c].robot_covariance,
            cameras[c].name + " fixture of " + std::to_string(fixture_moments.size()));
      // More fixture moments pin the reference more tightly.
      EXPECT_LT(rig.cameras[0].robot_centre_sigma_mm.norm(), 5.0);
    }
  }
}

TEST(RigCalibration, OutliersAreDroppedAndThePosesKept) {
  const std::vector<RigCamera> cameras = dravik::testing::robotRigCameras({"navigation", "head"});
  std::vector<RigMoment> moments = sceneMoments(cameras, 4);
  moments[1].views[0].image_points[7] += Eigen::Vector2d(9.0, -6.0);
  moments[3].views.back().image_points[20] += Eigen::Vector2d(-8.0, 8.0);
  RigCalibrationOptions options;
  options.outlier_sigma = 4.0;
  RigCalibration rig;
  ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, options, &rig));
  EXPECT_EQ(rig.kept[1][0][7], 0);
  EXPECT_EQ(rig.kept[3][moments[3].views.size() - 1][20], 0);
  EXPECT_LT(rig.rms_px, 0.3);
  const Eigen::Matrix<double, 6, 1> error =
      poseError(rig.cameras[1].camera_from_reference, relative(cameras[1], cameras[0]));
  EXPECT_LT(error.head<3>().norm() * kDegreesPerRadian, 0.05);
  EXPECT_LT(error.tail<3>().norm(), 0.002);
}

// With refine_intrinsics each camera's lens is fitted too: the rig's rms
// falls or stays, and every lens stays sound over its image. (Boards two
// metres away tell little of the lens: the poses are held to the truth
// loosely.)
TEST(RigCalibration, RefinedIntrinsicsStaySoundAndFitNoWorse) {
  const std::vector<RigCamera> cameras =
      dravik::testing::robotRigCameras({"navigation", "head", "front"});
  RigSceneOptions scene;
  scene.moments = 30;
  const std::vector<RigMoment> moments = sceneMoments(cameras, 6, scene);
  RigCalibration fixed, refined;
  ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, {}, &fixed));
  RigCalibrationOptions options;
  options.refine_intrinsics = true;
  ASSERT_TRUE(calibrateRig(dravik::testing::lensesOf(cameras), moments, options, &refined));
  EXPECT_LE(refined.rms_px, fixed.rms_px);
  for (size_t c = 0; c < cameras.size(); ++c) {
    EXPECT_TRUE(refined.cameras[c].lens.isSoundOverImage()) << cameras[c].name;
    if (c == 0) continue;
    const Eigen::Matrix<double, 6, 1> error =
        poseError(refined.cameras[c].camera_from_reference, relative(cameras[c], cameras[0]));
    EXPECT_LT(error.head<3>().norm() * kDegreesPerRadian, 0.5) << cameras[c].name;
    EXPECT_LT(error.tail<3>().norm(), 0.02) << cameras[c].name;
  }
}

// Refused inputs: false, a level-2 record saying why, the result untouched.
TEST(RigCalibration, RefusesUnusableInput) {
  const std::vector<RigCamera> cameras =
      dravik::testing::robotRigCameras({"navigation", "head", "front"});
  struct Input {
    std::vector<dravik::calibration::Lens> lenses;
    std::vector<RigMoment> moments;
    RigCalibrationOptions options;
  };
  const Input good{dravik::testing::lensesOf(cameras), sceneMoments(cameras, 5), {}};
  // Keeps the views of moment m for which keep(view, m) holds.
  const auto keepViews = [](Input* in, const auto& keep) {
    for (size_t m = 0; m < in->moments.size(); ++m) {
      std::vector<dravik::calibration::RigView> kept;
      for (auto& view : in->moments[m].views)
        if (keep(view, m)) kept.push_back(view);
      in->moments[m].views = kept;
    }
  };
  // Camera `camera` keeps its first `keep` views.
  const auto dropCamera = [&](Input* in, size_t camera, size_t keep) {
    size_t seen = 0;
    keepViews(in, [&](const auto& view, size_t) { return view.camera != camera || seen++ < keep; });
  };
  const std::pair<std::function<void(Input*)>, std::string> cases[] = {
      // The front camera keeps its views only at moments the others miss.
      {[&](Input* in) {
         keepViews(in,
                   [](const auto& view, size_t m) { return (view.camera == 2) == (m % 2 == 0); });
       },
       "not connected to the reference camera 0 by shared moments: 2"},
      {[&](Input* in) { dropCamera(in, 1, 1); },
       "Camera 1 sees the target at 1 moments, at least 2"},
      {[&](Input* in) { dropCamera(in, 2, 0); }, "Camera 2 sees the target at 0 moments"},
      {[](Input* in) { in->moments[2].views[0].image_points[3].x() = NAN; }, "points not finite"},
      {[](Input* in) { in->moments[2].views[0].target_points.pop_back(); },
       "image and target points differ in number"},
      {[](Input* in) {
         in->moments[2].views[0].image_points.resize(5);
         in->moments[2].views[0].target_points.resize(5);
       },
       "too few points"},
      {[](Input* in) { in->moments[0].views[0].camera = 7; }, "not a camera of the rig"},
      {[](Input* in) { in->moments[0].views.push_back(in->moments[0].views[0]); }, "seen twice"},
      {[](Input* in) { in->lenses.clear(); }, "A rig of no cameras"},
      {[](Input* in) { in->options.reference = 3; }, "Reference camera 3 of 3"},
      {[](Input* in) {
         const dravik::calibration::Lens lens = in->lenses[1];
         Eigen::Matrix3f K = lens.K();
         K(0, 1) = 0.5f;  // skew
         dravik::calibration::Lens::fromIntrinsics(K, lens.distortion(), lens.width(),
                                                   lens.height(), &in->lenses[1]);
       },
       "Camera 1: lens not usable"},
      {[](Input* in) {
         in->options.fixture.push_back(
             FixtureMoment{in->moments.size(), Eigen::Matrix4d::Identity()});
       },
       "is not a moment at which a camera sees the target"},
      {[](Input* in) {
         FixtureMoment fixture;
         fixture.robot_from_target(0, 0) = 2.0;
         in->options.fixture.push_back(fixture);
       },
       "not a rigid transform"},
  };
  for (const auto& [spoil, reason] : cases) {
    Input in = good;
    spoil(&in);
    RigCalibration rig;
    rig.rms_px = -1.0;
    LogCapture log(2);
    EXPECT_FALSE(calibrateRig(in.lenses, in.moments, in.options, &rig)) << reason;
    EXPECT_TRUE(rig.rms_px == -1.0 && rig.cameras.empty()) << reason;
    const auto records = log.recordsUpTo(2);
    ASSERT_EQ(records.size(), 1u) << reason;
    EXPECT_NE(records[0].text.find(reason), std::string::npos) << records[0].text;
  }
  LogCapture log(2);
  EXPECT_FALSE(calibrateRig(good.lenses, good.moments, {}, nullptr));
  EXPECT_EQ(log.recordsUpTo(2).size(), 1u);
}

}  // namespace

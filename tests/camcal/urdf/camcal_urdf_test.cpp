// camcal urdf read by check_urdf, urdfdom and KDL against the library's own
// poses; camcal ptz's motor and joint positions.
#include <gtest/gtest.h>
#include <urdf_parser/urdf_parser.h>

#include <Eigen/Geometry>
#include <cstdlib>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include <random>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "calibration_common/pan_tilt_model.h"
#include "run_camcal.h"

namespace camcal_test {
namespace {

using dravik::calibration::PanTiltModel;
using dravik::calibration::PTZCameraParameters;
using dravik::testing::ptzParameters;

// Where the URDF and the library must agree.
constexpr double kCameraTolerance = 1e-6;  // metres, radians
constexpr double kHeadTolerance = 1e-5;

// camcal urdf ARGS -o a scratch file, which check_urdf must accept; its text.
std::string writeUrdf(const ScratchDir& scratch, const Args& args) {
  const std::string path = scratch.path("robot.urdf");
  const camcal_test::Run run = runCamcal(cat(cat({"urdf"}, args), {"-o", path}));
  EXPECT_TRUE(run.status == 0 && run.err.empty()) << run.err;
  const std::string check = std::string(CHECK_URDF) + " '" + path + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(check.c_str()), 0) << readFile(path);
  return readFile(path);
}

// The frame `tip` in the frame `root` (tip to root coordinates), by KDL, at
// the joint positions q of the chain between them.
Eigen::Matrix4d kdlPose(const KDL::Tree& tree, const std::string& root, const std::string& tip,
                        const std::vector<double>& q = {}) {
  KDL::Chain chain;
  EXPECT_TRUE(tree.getChain(root, tip, chain)) << tip;
  EXPECT_EQ(chain.getNrOfJoints(), q.size()) << tip;
  KDL::JntArray positions(chain.getNrOfJoints());
  for (size_t i = 0; i < q.size() && i < positions.rows(); ++i) positions(i) = q[i];
  KDL::Frame frame;
  KDL::ChainFkSolverPos_recursive(chain).JntToCart(positions, frame);
  Eigen::Matrix<double, 4, 4, Eigen::RowMajor> pose;
  frame.Make4x4(pose.data());
  return pose;
}

// The rotation between two poses and their origins' distance are within tolerance.
void expectPosesNear(const Eigen::Matrix4d& a, const Eigen::Matrix4f& b, double tolerance,
                     const std::string& what) {
  const Eigen::Matrix4d bd = b.cast<double>();
  const Eigen::Matrix3d relative = a.topLeftCorner<3, 3>().transpose() * bd.topLeftCorner<3, 3>();
  EXPECT_LE(Eigen::AngleAxisd(relative).angle(), tolerance) << what;
  EXPECT_LE((a.col(3) - bd.col(3)).norm(), tolerance) << what;
}

// Cameras at the singular pitch of roll-pitch-yaw: straight down (also turned
// about the vertical), straight up, and a hair off straight down.
std::string verticalCameras() {
  const auto camera = [](const std::string& name, const Eigen::Matrix3d& R,
                         const Eigen::Vector3d& t) {
    std::string a;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c) a += (a.empty() ? "" : ", ") + exactText(c < 3 ? R(r, c) : t(r));
    return "camera {\n  name: \"" + name +
           "\" model: \"ov-rear-2\"\n  intrinsics {\n    fx: 1052.7 fy: 1051.9 skew: 0 cx: 961.3 "
           "cy: 538.4\n    k: [-0.281, 0.0712, 0, 0, 0, 0] p: [0.0002, 0.0004]\n    width: 1920 "
           "height: 1080\n  }\n  extrinsics { a: [" +
           a + "] }\n}\n";
  };
  Eigen::Matrix3d down, up;
  down << 0, -1, 0, -1, 0, 0, 0, 0, -1;
  up << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  const Eigen::Matrix3d turned_down =
      down * Eigen::AngleAxisd(0.7, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  const Eigen::Matrix3d nearly_down =
      down * Eigen::AngleAxisd(1e-7, Eigen::Vector3d(1, 2, 0).normalized()).toRotationMatrix();
  return camera("down", down, {10, -20, 1500}) + camera("up", up, {0, 0, -300}) +
         camera("turned_down", turned_down, {-40, 5, 700}) +
         camera("nearly_down", nearly_down, {1, 2, 3});
}

// KDL's pose of NAME_optical_frame in the robot frame is the inverse of the
// library's robot-to-camera pose, for the default adjusted by a base
// calibration (beside the head) and for cameras looking straight down or up.
TEST(CamcalUrdf, EveryOpticalFrameSitsAtItsCamerasPose) {
  ScratchDir scratch;
  const std::string vertical = scratch.write("vertical.txt", verticalCameras());
  const struct {
    std::string calibration, base;
    size_t cameras;
  } cases[] = {{"", kBaseCal, 3}, {vertical, "", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.calibration + " " + c.base);
    Args args = {"--robot-frame", "chassis"};
    dravik::calibration::CameraParametersSet set;
    if (!c.calibration.empty()) {
      args.insert(args.end(), {"-c", c.calibration});
      ASSERT_TRUE(set.loadFromFile(c.calibration));
    }
    if (!c.base.empty()) {
      args.insert(args.end(), {"--base", c.base, "--ptz", kPtzCal});
      dravik::calibration::BaseCalibrationData adjustment;
      ASSERT_TRUE(adjustment.loadFromString(readFile(c.base)));
      set.adjustUsingBaseCalibration(adjustment);
    }
    const std::string urdf = writeUrdf(scratch, args);
    KDL::Tree tree;
    ASSERT_TRUE(kdl_parser::treeFromString(urdf, tree));
    const auto model = urdf::parseURDF(urdf);
    ASSERT_TRUE(model);
    size_t cameras = 0;
    for (const auto& [link, unused] : model->links_) {
      const size_t at = link.rfind("_optical_frame");
      if (at == std::string::npos || link.rfind("ptz_", 0) == 0) continue;
      const std::string name = link.substr(0, at);
      ASSERT_TRUE(set.hasCamera(name)) << name;
      expectPosesNear(kdlPose(tree, "chassis", link),
                      set.getCamera(name)->getTransform().getInverseTransform(), kCameraTolerance,
                      name);
      ++cameras;
    }
    EXPECT_EQ(cameras, c.cameras);
  }
}

// At random motor positions inside the limits the joints at jointPositions
// put ptz_optical_frame at the head's pose, and motorSteps takes the joint
// positions back to the motor positions.
TEST(CamcalUrdf, HeadChainFollowsThePanTiltModel) {
  ScratchDir scratch;
  KDL::Tree tree;
  ASSERT_TRUE(kdl_parser::treeFromString(writeUrdf(scratch, {"--ptz", kPtzCal}), tree));
  const PTZCameraParameters params = ptzParameters(kPtzCal);
  const auto& head = params.pan_tilt();
  ASSERT_TRUE(head.has_pan_min() && head.has_pan_max() && head.has_tilt_min() &&
              head.has_tilt_max());
  PanTiltModel model;
  ASSERT_TRUE(model.readFromPB(head));
  std::mt19937 random(3);
  std::uniform_int_distribution<int> pan_steps(head.pan_min(), head.pan_max()),
      tilt_steps(head.tilt_min(), head.tilt_max());
  for (int i = 0; i < 50; ++i) {
    const int pan = pan_steps(random), tilt = tilt_steps(random);
    const Eigen::Vector2f joints = model.jointPositions(float(pan), float(tilt));
    expectPosesNear(kdlPose(tree, "base_link", "ptz_optical_frame", {joints.x(), joints.y()}),
                    model.getFullTransform(float(pan), float(tilt)).getInverseTransform(),
                    kHeadTolerance, std::to_string(pan) + " " + std::to_string(tilt));
    float pan_back = 0.0f, tilt_back = 0.0f;
    int pan_whole = 0, tilt_whole = 0;
    ASSERT_TRUE(model.motorSteps(joints.x(), joints.y(), &pan_back, &tilt_back));
    ASSERT_TRUE(dravik::calibration::roundAndLimitMotorSteps(head, pan_back, tilt_back, &pan_whole,
                                                             &tilt_whole));
    EXPECT_EQ(std::make_pair(pan_whole, tilt_whole), std::make_pair(pan, tilt));
  }
}

// The revolute joints' limits are the motor limits as joint positions, lower
// first; a motor without limits turns continuously, one with a single limit
// is bounded by the int range of motor positions on the other side (the
// example's pan: 3600 steps at 0, 0.000872664626 rad a step).
TEST(CamcalUrdf, JointLimitsAreTheMotorLimitsAsJointPositions) {
  ScratchDir scratch;
  constexpr float kPan = 2.9670596f, kTiltLow = -1.0471976f, kTiltHigh = 0.5235988f;
  const struct {
    std::string from, to;
    std::vector<float> pan, tilt;  // lower and upper; none for a continuous joint
  } cases[] = {
      {"", "", {-kPan, kPan}, {kTiltLow, kTiltHigh}},
      {"pan_min: 200\n  pan_max: 7000\n", "", {}, {kTiltLow, kTiltHigh}},
      {"pan_max: 7000", "", {-kPan, 1874029.9f}, {kTiltLow, kTiltHigh}},
      {"pan_scale: 0.000872664626",
       "pan_scale: -0.000872664626",
       {-kPan, kPan},
       {kTiltLow, kTiltHigh}},
      {"tilt_min: 0", "tilt_min: 5000", {-kPan, kPan}, {kTiltHigh, kTiltHigh}},  // above the max
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    const std::string path =
        c.from.empty() ? kPtzCal : scratch.variant("ptz.txt", kPtzCal, c.from, c.to);
    const auto description = urdf::parseURDF(writeUrdf(scratch, {"--ptz", path}));
    ASSERT_TRUE(description);
    for (const auto& [name, limits] :
         {std::pair{"ptz_pan_joint", c.pan}, std::pair{"ptz_tilt_joint", c.tilt}}) {
      const auto joint = description->getJoint(name);
      ASSERT_TRUE(joint) << name;
      EXPECT_EQ(joint->type, limits.empty() ? urdf::Joint::CONTINUOUS : urdf::Joint::REVOLUTE);
      if (limits.empty()) continue;
      ASSERT_TRUE(joint->limits) << name;
      EXPECT_EQ(std::vector<float>({float(joint->limits->lower), float(joint->limits->upper)}),
                limits)
          << name;
    }
  }
}

TEST(CamcalUrdf, RefusesWhatCannotBeARobotDescriptionAndWritesNothing) {
  ScratchDir scratch;
  const std::string digit = scratch.variant("digit.txt", kRobotCal, "\"rear\"", "\"2nd\"");
  const std::string ptz_camera =
      scratch.variant("ptz_camera.txt", kRobotCal, "\"rear\"", "\"ptz\"");
  const std::string pan_camera =
      scratch.variant("pan_camera.txt", kRobotCal, "\"rear\"", "\"ptz_pan\"");
  const std::string short_head =
      scratch.variant("short_head.txt", kPtzCal, "a: 0.999990480721", "");
  const std::string output = scratch.path("never.urdf");
  const struct {
    Args args;
    int status;
    std::string error;
  } cases[] = {
      {{"-c", digit}, kFailed, "camera '2nd' cannot be a frame name"},
      {{"-c", ptz_camera, "--ptz", kPtzCal},
       kFailed,
       "the joint 'ptz_optical_joint' of the PTZ head would appear twice: camera 'ptz' has it"},
      {{"-c", pan_camera, "--ptz", kPtzCal},
       kFailed,
       "the joint 'ptz_pan_joint' of the PTZ head would appear twice: camera 'ptz_pan' has it"},
      {{"--ptz", short_head}, kFailed, "not a valid PTZ calibration"},
      {{"--robot-frame", "base link"}, kUsage, "--robot-frame 'base link' cannot be a frame name"},
      {{"--robot-frame", "navigation_link"},
       kFailed,
       "the link 'navigation_link' of camera 'navigation' would appear twice: the robot frame "
       "has it"},
  };
  for (const auto& c : cases) {
    expectRuns({fails(c.status, cat({"urdf", "-o", output}, c.args), c.error)});
    EXPECT_FALSE(std::filesystem::exists(output)) << c.error;
  }
}

// The library loads a PTZ calibration holding NaN or infinity and computes
// NaN with it: validate refuses it naming the field, and urdf and ptz refuse
// to use it, writing nothing.
TEST(CamcalPtz, AValueThatIsNotFiniteIsRefusedNamingItsField) {
  ScratchDir scratch;
  const struct {
    std::string from, to, field;
  } cases[] = {
      {"pan_scale: 0.000872664626", "pan_scale: nan", "pan_tilt.pan_scale (nan)"},
      {"tilt_scale: 0.000872664626", "tilt_scale: -inf", "pan_tilt.tilt_scale (-inf)"},
      {"pan_offset: 3600", "pan_offset: inf", "pan_tilt.pan_offset (inf)"},
      {"tilt_offset: 1200", "tilt_offset: nan", "pan_tilt.tilt_offset (nan)"},
      {"a: -113.408675357", "a: nan", "pan_tilt.pan_ext.a[3] (nan)"},
      {"a: 0.999996573056", "a: inf", "pan_tilt.tilt_ext.a[0] (inf)"},
      {"a: -45.9507030152", "a: nan", "pan_tilt.device_ext.a[11] (nan)"},
      {"f: 2290", "f: nan", "intrinsics.samples[2].f (nan)"},
  };
  const std::string output = scratch.path("never.out");
  // Each case through validate, urdf and one of the ptz actions in turn.
  const Args actions[] = {{"joints", "3600", "1200"},
                          {"steps", "--joints", "0", "0"},
                          {"--at", "3600,1200,4000", "project", "3", "0.2", "1"},
                          {"--at", "3600,1200,4000", "intrinsics", "-o", output}};
  size_t turn = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    const std::string path = scratch.variant("ptz.txt", kPtzCal, c.from, c.to);
    const std::string fault =
        path + ": not a valid PTZ calibration: a value is not finite: " + c.field;
    expectRuns({{{"validate", path},
                 kFailed,
                 {path +
                  ": INVALID PTZ calibration (text, 9 zoom samples): a value is not "
                  "finite: " +
                  c.field}},
                fails(kFailed, {"urdf", "--ptz", path, "-o", output}, fault),
                fails(kFailed, cat({"ptz", path}, actions[turn++ % 4]), fault)});
    EXPECT_FALSE(std::filesystem::exists(output));
  }
}

// Values that load and give numbers, but a frozen joint or an empty motor
// range: valid, with a warning naming them.
TEST(CamcalPtz, AZeroScaleOrInvertedLimitsAreValidWithAWarning) {
  ScratchDir scratch;
  const struct {
    std::string from, to, warning;
  } cases[] = {
      {"pan_scale: 0.000872664626", "pan_scale: 0",
       "pan_scale is 0: the pan joint does not move with its motor"},
      {"tilt_scale: 0.000872664626", "", "tilt_scale is 0: the tilt joint does not move"},
      {"pan_min: 200", "pan_min: 7001",
       "pan_min 7001 is above pan_max 7000: every aimed pan is limited to 7000"},
      {"tilt_max: 1800", "tilt_max: -1", "tilt_min 0 is above tilt_max -1"},
  };
  for (const auto& c : cases) {
    const std::string path = scratch.variant("ptz.txt", kPtzCal, c.from, c.to);
    expectRuns({prints({"validate", path},
                       {path + ": valid PTZ calibration (text, 9 zoom samples), 1 warning",
                        "warning: " + c.warning})});
    expectRuns({fails(kFailed, {"validate", "--strict", path}, "")});
  }
}

// Positions given on the command line are finite (as float) or refused.
TEST(CamcalPtz, JointsAndStepsRefusePositionsThatAreNotFinite) {
  expectRuns({
      fails(kFailed, {"ptz", kPtzCal, "joints", "nan", "1000"},
            "the motor positions nan 1000 steps are not finite numbers"),
      fails(kFailed, {"ptz", kPtzCal, "joints", "3600", "1e39"},
            "the motor positions 3600 1e+39 steps are not finite numbers"),
      fails(kFailed, {"ptz", kPtzCal, "steps", "--joints", "inf", "0"},
            "the joint positions inf 0 rad are not finite numbers"),
  });
}

// A joint position beyond the motor limits is limited, with a note.
TEST(CamcalPtz, JointsAndStepsConvertBetweenMotorAndJointPositions) {
  expectRuns({
      prints({"ptz", kPtzCal, "joints", "3600", "1200"},
             {"ptz_pan_joint 0 rad", "ptz_tilt_joint 0 rad"}),
      prints({"ptz", kPtzCal, "steps", "--joints", "1.0471976", "-0.5235988"},
             {"pan 4800 steps", "tilt 600 steps"}),
      prints({"ptz", kPtzCal, "steps", "--joints", "0", "-2", "-f", "json"},
             {"{\"pan\": 3600, \"tilt\": 0}\n"},
             "steps 3600 -1092 are beyond the motor limits: limited to 3600 0"),
      fails(kUsage, {"ptz", kPtzCal, "steps", "--joints", "0.5"}, "--joints"),
  });
}

}  // namespace
}  // namespace camcal_test

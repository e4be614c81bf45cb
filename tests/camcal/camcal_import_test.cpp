// camcal import of exported and of hand-written YAML, and its refusals.
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "calibration_common/camera_parameters.h"
#include "inputs/yaml_fields.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using dravik::calibration::CameraParameters;
using dravik::calibration::CameraParametersSet;
using google::protobuf::util::MessageDifferencer;

std::shared_ptr<const CameraParameters> loadCamera(const std::string& path,
                                                   const std::string& name) {
  auto set = std::make_shared<CameraParametersSet>();
  EXPECT_TRUE(set->loadFromFile(path)) << path;
  return set->getCamera(name);
}

// Exported, then imported into the calibration (whose pose and model a
// replaced camera keeps unless told otherwise) and alone (model and pose
// given): the same record, field for field.
TEST(CamcalImport, ExportedCamerasImportBackAsTheSameCameras) {
  CameraParametersSet set;
  ASSERT_TRUE(set.loadFromFile(kRobotCal));
  ScratchDir scratch;
  for (const auto& camera : set.getRawCalData().camera()) {
    const std::string& name = camera.name();
    const auto& full = set.getCamera(name)->getFullFrame();
    const std::string size = std::to_string(full.width) + "x" + std::to_string(full.height);
    for (const std::string format : {"opencv-yaml", "ros-yaml"}) {
      SCOPED_TRACE(name + " " + format);
      const std::string yaml = scratch.path(name + "." + format);
      outputOf({"intrinsics", "-c", kRobotCal, name, size, "-f", format, "-o", yaml});
      const Args import = {"import", "--from", format, yaml, "--name", name};
      Args pose = {"-q", "--model", camera.model(), "--extrinsics"};
      for (double value : camera.extrinsics().a()) pose.push_back(exactText(value));
      expectRuns({prints(cat(import, {"--into", kRobotCal, "-o", yaml + ".txt"}), {}),
                  prints(cat(cat(import, pose), {"-o", yaml + ".alone.txt"}), {})});
      CameraParametersSet into, only;
      ASSERT_TRUE(into.loadFromFile(yaml + ".txt") && only.loadFromFile(yaml + ".alone.txt"));
      EXPECT_TRUE(MessageDifferencer::Equals(into.getRawCalData(), set.getRawCalData()));
      ASSERT_EQ(only.getRawCalData().camera_size(), 1);
      EXPECT_TRUE(MessageDifferencer::Equals(only.getRawCalData().camera(0), camera))
          << only.getRawCalData().DebugString();
    }
  }
}

// A file byte for byte as OpenCV's FileStorage writes one (5x1 plumb-bob, "0."):
// the fixture lacks the directive line, which camcal spells once.
std::string writeHandWrittenOpenCv(const ScratchDir& scratch) {
  return scratch.write("rear_opencv.yml", std::string(camcal::yaml_field::kOpenCvDirective) + "\n" +
                                              readFile(fixture("rear_opencv.yml")));
}
const std::string hand_written_ros = fixture("wrist_ros.yaml");

TEST(CamcalImport, HandWrittenYamlOfEachFormatBecomesTheCameraItDescribes) {
  ScratchDir scratch;
  const std::string opencv = writeHandWrittenOpenCv(scratch), out = scratch.path("imported.txt");
  // The replaced camera's model, and its pose or the identity as asked.
  for (const char* pose : {"--keep-pose", "--identity-pose"}) {
    SCOPED_TRACE(pose);
    outputOf({"-q", "import", "--from", "opencv-yaml", opencv, "--name", "rear", "--into",
              kRobotCal, pose, "-o", out});
    const auto rear = loadCamera(out, "rear");
    ASSERT_TRUE(rear);
    EXPECT_EQ(rear->getModel(), "ov-rear-2");
    EXPECT_EQ(rear->getFullFrameIntrinsics(),
              (Eigen::Matrix3f() << 1052.7f, 0, 961.3f, 0, 1051.9f, 538.4f, 0, 0, 1).finished());
    EXPECT_EQ(rear->getFullFrameDistortion(),
              std::vector<float>({-0.281f, 0.0712f, 0.0002f, 0.0004f, 0.0015f, 0, 0, 0}));
    EXPECT_EQ(rear->getTransform().getTransform(),
              pose[2] == 'k' ? loadCamera(kRobotCal, "rear")->getTransform().getTransform()
                             : Eigen::Matrix4f::Identity());
  }
  // A new camera without a pose gets the identity, with a note.
  const camcal_test::Run run =
      runCamcal({"import", "--from", "ros-yaml", hand_written_ros, "--name", "wrist"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "camcal: note: no pose given (--extrinsics): the new camera 'wrist' has the identity "
            "pose\n");
  const auto wrist = loadCamera(scratch.write("wrist.txt", run.out), "wrist");
  ASSERT_TRUE(wrist);
  EXPECT_EQ(wrist->getFullFrameIntrinsics(),
            (Eigen::Matrix3f() << 520.5f, 0.25f, 321.5f, 0, 519.75f, 241.25f, 0, 0, 1).finished());
  EXPECT_EQ(wrist->getFullFrameDistortion(),
            std::vector<float>({-0.25f, 0.0625f, 0.001f, -0.002f, 0, 0.125f, 0, 0}));
  EXPECT_TRUE(wrist->getFullFrame().width == 640 &&
              wrist->getTransform().getTransform() == Eigen::Matrix4f::Identity());
}

// A camera imported without a model is a generic camera, whose one size is
// its full frame: no model's table is named.
TEST(CamcalImport, AnImportedGenericCameraIsDescribedAsOne) {
  ScratchDir scratch;
  const std::string arm = scratch.write("arm.txt", outputOf({"-q", "import", "--from", "ros-yaml",
                                                             hand_written_ros, "--name", "arm"}));
  expectRuns({
      prints({"intrinsics", "-c", arm, "arm", "640x480"},
             {"camera arm, generic camera\n",
              "image size 640x480, the full frame (a generic camera: no table of sizes)\n"}),
      prints({"intrinsics", "-c", arm, "arm", "320x240"},
             {"image size 320x240, the full frame scaled to it (a generic camera: no table of "
              "sizes)\n"},
             "note: 320x240 is not an image size of camera 'arm' (a generic camera: only its full "
             "frame); K is its full frame 640x480 scaled to 320x240\n"),
      prints({"intrinsics", "-c", arm, "arm", "640x480", "-f", "json"},
             {"\"model\": \"\"", "\"from_table\": false"}),
      prints({"cameras", arm}, {"arm\n model generic camera\n"}),
  });
}

TEST(CamcalImport, BadYamlIsOneLineNamingTheFileAndLeavesNoOutput) {
  ScratchDir scratch;
  const std::string &ros = hand_written_ros, opencv = writeHandWrittenOpenCv(scratch);
  const std::string fisheye =
      scratch.variant("fisheye.yaml", ros, "rational_polynomial", "equidistant");
  const std::string four = scratch.variant(
      "four.yaml", ros, "cols: 8\n  data: [-0.25, 0.0625, 0.001, -0.002, 0.0, 0.125, 0.0, 0.0]",
      "cols: 4\n  data: [-0.25, 0.0625, 0.001, -0.002]");
  const std::string no_k = scratch.variant("no_k.yaml", ros, "camera_matrix:", "camera_matrx:");
  const std::string not_yaml = scratch.write("not.yaml", "image_width: [640\n");
  const std::string out = scratch.path("out.txt");
  const auto import = [&](const std::string& format, const std::string& file,
                          const Args& more = {}) {
    return cat(cat({"import", "--from", format, file, "--name", "c"}, more), {"-o", out});
  };
  expectRuns({
      fails(kFailed, import("ros-yaml", fisheye),
            fisheye +
                ": distortion_model 'equidistant' is neither rational_polynomial nor plumb_bob"),
      fails(kFailed, import("ros-yaml", four),
            four + ": 4 distortion coefficients: at least 5 needed (k1 k2 p1 p2 k3)"),
      fails(kFailed, import("ros-yaml", no_k),
            no_k + ": no camera_matrix (not a complete ROS camera_info YAML)"),
      fails(kFailed, import("ros-yaml", not_yaml), not_yaml + ": not YAML (line "),
      fails(kFailed, import("opencv-yaml", ros),
            ros + ": a ROS camera_info YAML (it has distortion_model), not OpenCV's: use --from "
                  "ros-yaml"),
      fails(kFailed, import("ros-yaml", opencv),
            opencv + ": an OpenCV FileStorage YAML (it starts with %YAML:), not ROS's: use --from "
                     "opencv-yaml"),
      fails(kFailed,
            {"import", "--from", "ros-yaml", ros, "--name", "wrist", "--into", kRobotCal,
             "--keep-pose", "-o", out},
            kRobotCal + ": has no camera 'wrist' whose pose to keep"),
      fails(kUsage, import("ros-yaml", ros, {"--keep-pose"}), "--keep-pose needs --into ROBOT_CAL"),
      fails(kUsage,
            import("ros-yaml", ros, {"--into", kRobotCal, "--identity-pose", "--keep-pose"}),
            "excludes --identity-pose"),
  });
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace

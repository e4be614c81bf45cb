// camcal's failures: one line on stderr naming the input, exit status 1 for
// a failed operation and 2 for a usage error, and no partial output files.
#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using camcal_test::fixture;
using camcal_test::runCamcal;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

// A failure prints nothing on stdout and exactly one line on stderr.
void expectFailure(const camcal_test::Run& run, int status, const std::string& message) {
  EXPECT_EQ(run.status, status);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "camcal: " + message + "\n");
}

TEST(CamcalErrors, AMissingFileFailsAndNamesTheFile) {
  const std::string missing = fixture("no_such_calibration.txt");
  const std::string message = missing + ": cannot read: No such file or directory";
  expectFailure(runCamcal({"cameras", missing}), kFailed, message);
  expectFailure(runCamcal({"intrinsics", "-c", missing, "front", "640x480"}), kFailed, message);
  expectFailure(runCamcal({"convert", missing, "--to", "text"}), kFailed, message);
  expectFailure(runCamcal({"base", missing}), kFailed, message);
  expectFailure(runCamcal({"cameras", CAMCAL_TEST_DATA}), kFailed,
                std::string(CAMCAL_TEST_DATA) + ": cannot read: Is a directory");
}

TEST(CamcalErrors, AnUnknownCameraFailsAndListsTheCamerasOfTheFile) {
  std::string default_cameras;
  for (const auto& name : dravik::calibration::CameraParametersSet().getCameraNames()) {
    default_cameras += (default_cameras.empty() ? "" : ", ") + name;
  }
  expectFailure(runCamcal({"intrinsics", "Navigation", "640x480"}), kFailed,
                "unknown camera 'Navigation' in the embedded default calibration (cameras: " +
                    default_cameras + ")");
  // A camera of the default that the file does not name is unknown too.
  expectFailure(runCamcal({"intrinsics", "-c", fixture("robot_calibration_lens_faults.txt"),
                           "front", "640x480"}),
                kFailed,
                "unknown camera 'front' in " + fixture("robot_calibration_lens_faults.txt") +
                    " (cameras: wide, pole)");
}

TEST(CamcalErrors, AMalformedSizeIsAUsageError) {
  for (const std::string size :
       {"640", "640x", "x480", "640x480x3", "-640x480", "0x480", "640 x 480", "1234567x480"}) {
    expectFailure(runCamcal({"intrinsics", "navigation", size}), kUsage,
                  "malformed image size '" + size + "': expected WIDTHxHEIGHT, e.g. 640x480");
  }
}

TEST(CamcalErrors, AMalformedFileFailsWithTheLineOfItsFirstError) {
  expectFailure(runCamcal({"cameras", fixture("robot_calibration_malformed.txt")}), kFailed,
                fixture("robot_calibration_malformed.txt") +
                    ": not a robot calibration (neither wire nor text format; as text, line 7, "
                    "column 8: Expected \":\", found \"2474.9\".)");
  expectFailure(runCamcal({"cameras", fixture("robot_calibration_short_k.txt")}), kFailed,
                fixture("robot_calibration_short_k.txt") +
                    ": not a valid robot calibration: camera \"front\": Parameter list too short "
                    "in name: \"front\" ...");
  expectFailure(
      runCamcal({"cameras", fixture("base_calibration.txt")}), kFailed,
      fixture("base_calibration.txt") + ": is a base calibration, not a robot calibration");
  expectFailure(
      runCamcal({"adjust", fixture("robot_calibration.txt"), fixture("robot_calibration.txt")}),
      kFailed,
      fixture("robot_calibration.txt") + ": is a robot calibration, not a base calibration");
}

TEST(CamcalErrors, ACommandLineMistakeIsAUsageError) {
  const auto unknown = runCamcal({"frobnicate"});
  expectFailure(unknown, kUsage, "unknown command 'frobnicate' (see 'camcal --help')");
  const auto missing = runCamcal({"intrinsics", "navigation"});
  expectFailure(missing, kUsage, "intrinsics: SIZE is required (see 'camcal intrinsics --help')");
  const auto format = runCamcal({"intrinsics", "navigation", "640x480", "-f", "xml"});
  EXPECT_EQ(format.status, kUsage);
  EXPECT_EQ(format.err.find('\n'), format.err.size() - 1) << format.err;
  EXPECT_EQ(runCamcal({"convert", fixture("base_calibration.txt")}).status, kUsage);
}

TEST(CamcalErrors, AFailedConversionLeavesNoFileBehind) {
  camcal_test::ScratchDir scratch;
  const std::string out = scratch.path("out.bin");
  EXPECT_EQ(
      runCamcal({"convert", fixture("robot_calibration_malformed.txt"), "--to", "wire", "-o", out})
          .status,
      kFailed);
  EXPECT_TRUE(scratch.entries().empty());

  // An earlier result stays as it was.
  camcal_test::writeFile(out, "earlier result");
  EXPECT_EQ(runCamcal({"adjust", fixture("robot_calibration_short_k.txt"),
                       fixture("base_calibration.txt"), "-o", out})
                .status,
            kFailed);
  EXPECT_EQ(camcal_test::readFile(out), "earlier result");
  EXPECT_EQ(scratch.entries(), std::vector<std::string>{"out.bin"});

  expectFailure(runCamcal({"convert", fixture("base_calibration.txt"), "--to", "text", "-o",
                           scratch.path("no_such_dir/out.txt")}),
                kFailed,
                scratch.path("no_such_dir/out.txt") + ": cannot write: No such file or directory");
}

TEST(CamcalErrors, HelpAndVersionSucceed) {
  const auto version = runCamcal({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("camcal ", 0), 0u) << version.out;
  for (const std::string command :
       {"cameras", "intrinsics", "validate", "convert", "base", "adjust", "ptz"}) {
    const auto help = runCamcal({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find("Usage:"), std::string::npos) << command;
  }
}

}  // namespace

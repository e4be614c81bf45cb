// camcal's commands on the fixtures; round trips and adjust against the library.
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "calibration_common/base_calibration_data.h"
#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;
using namespace dravik::calibration;
using google::protobuf::util::MessageDifferencer;

const std::string short_k = fixture("robot_calibration_short_k.txt"),
                  malformed = fixture("robot_calibration_malformed.txt"),
                  missing = fixture("no_such_calibration.txt");

TEST(Camcal, ListingCommandsShowTheDefaultOrAFile) {
  expectRuns({
      prints({"cameras", kRobotCal},
             {"navigation\n model kv007n (navigation camera)",
              "\n 1280x720 621.4 620.8 0 638.9 362.6\n", "front\n model b910 (B910 camera)",
              "rear\n model ov-rear-2 (generic camera)"}),
      prints({"intrinsics", "navigation", "640x480"},
             {"image size 640x480, from the model's table"}),
      // A size off the table: the full frame scaled, and a note.
      prints({"intrinsics", "navigation", "800x600"},
             {"image size 800x600, not in the model's table"},
             "note: 800x600 is not an image size of camera 'navigation' (its model's table); K is "
             "its full frame 1280x960 scaled to 800x600\n"),
      prints({"base"}, {"(validity \"factory default\")"}),
      // The translation column in metres: (10, -20, 5) millimetres.
      prints({"base", kBaseCal}, {"wheel base 0.412\n", "| 0.01\n", "| -0.02\n", "| 0.005\n"}),
      // Zooms outside the table: the library takes the nearest sample alone.
      prints({"ptz", kPtzCal, "--at", "3600,1200,40000", "intrinsics"},
             {"zoom 40000 (steps)\nK 13400 0 966.4\n"},
             "note: zoom 40000 is beyond the zoom table (samples at 0 to 16000): clamped to its "
             "last sample, zoom 16000\n"),
      prints({"ptz", kPtzCal, "--at", "3600,1200,-10", "project", "3", "0.2", "1"}, {"pixel"},
             "note: zoom -10 is below the zoom table (samples at 0 to 16000): clamped to its "
             "first sample, zoom 0\n"),
  });
}

TEST(Camcal, FailuresExitWithTheirStatusAndOneLineNamingTheInput) {
  ScratchDir scratch;
  const std::string no_samples =
      scratch.write("no_samples.txt", "intrinsics { cal_width: 1920 }\n");
  const std::string unwritable = fixture("no/out");
  expectRuns({
      // A camera of the default that the file does not name is unknown.
      fails(kFailed, {"intrinsics", "-c", kLensFaults, "front", "640x480"},
            "unknown camera 'front' in " + kLensFaults + " (cameras: wide, pole)"),
      fails(kFailed, {"cameras", malformed},
            malformed + ": not a robot calibration (neither wire nor text format; as text, line "
                        "7, column 8: Expected \":\", found \"2474.9\".)"),
      fails(kFailed, {"cameras", short_k},
            short_k + ": not a valid robot calibration: camera \"front\": Parameter list too "
                      "short in name: \"front\" ..."),
      fails(kFailed, {"adjust", kRobotCal, kRobotCal},
            kRobotCal + ": is a robot calibration, not a base calibration"),
      fails(kFailed, {"convert", kBaseCal, "--to", "text", "-o", unwritable},
            unwritable + ": cannot write: No such file or directory"),
      fails(kFailed, {"ptz", no_samples, "zoom-factor", "100"},
            no_samples + ": not a valid PTZ calibration: Invalid intrinsics"),
      fails(kUsage, {"frobnicate"}, "unknown command 'frobnicate' (see 'camcal --help')"),
      fails(kUsage, {"intrinsics", "navigation"},
            "intrinsics: SIZE is required (see 'camcal intrinsics --help')"),
      fails(kUsage, {"intrinsics", "navigation", "640x480", "-f", "xml"}, "xml"),
      fails(kUsage, {"ptz", kPtzCal, "--at", "1,2", "ray", "1", "2"},
            "malformed --at '1,2': expected PAN,TILT,ZOOM in whole motor steps, e.g. 0,0,1000"),
      // The image-size parser's other cases: camcal_helpers_test.
      fails(kUsage, {"intrinsics", "navigation", "640x"},
            "malformed image size '640x': expected WIDTHxHEIGHT, e.g. 640x480"),
      fails(kUsage, {"intrinsics", "navigation", "64000000x48000000"},
            "image size '64000000x48000000' out of range: width and height are 1 to 999999 pixels"),
  });
}

TEST(CamcalValidate, GivesEachFileAVerdictWithItsReasons) {
  ScratchDir scratch;
  // A front lens folding 20 degrees off axis, inside every B910 image size.
  const std::string folding =
      scratch.variant("folding.txt", kRobotCal, "k: [0.058, -0.137", "k: [-2.5, 0.0");
  const std::string folds = "the radial mapping is not monotone: it turns back at ";
  expectRuns({
      prints({"validate", kRobotCal, kBaseCal, kPtzCal},
             {kRobotCal + ": valid robot calibration (text, 3 cameras)\n",
              kBaseCal + ": valid base calibration (text)\n",
              kPtzCal + ": valid PTZ calibration (text, 9 zoom samples)\n"}),
      prints(
          {"validate", kLensFaults},
          {"valid robot calibration (text, 2 cameras), 2 warnings\n",
           "\n warning: camera \"wide\" at 1280x960 (full frame): " + folds + "46.5 deg off axis",
           "\n warning: camera \"pole\" at 1280x960 (full frame): the rational denominator 1 + k4 "
           "r^2 + k5 r^4 + k6 r^6 falls below 0.1 at 45.0 deg off axis, 94% of the way"}),
      {{"validate", "--strict", kLensFaults}, kFailed, {"2 warnings: INVALID with --strict"}},
      // Every image size is checked; the sizes that share a finding share a warning.
      prints({"validate", folding},
             {"\n warning: camera \"front\" at 640x480, 800x600, 1024x768, 1280x960: " + folds +
              "20.1 deg off axis, 43% of the way from the principal point to the farthest image "
              "corner"}),
      // Unreadable and invalid files are reported, and validate goes on; the
      // library's own record explains a fallback, so it is not repeated on stderr.
      {{"validate", missing, malformed, short_k, kBaseCal},
       kFailed,
       {missing + ": INVALID: cannot read: No such file or directory\n",
        malformed + ": INVALID: not a robot, base or PTZ calibration (neither wire nor text",
        short_k + ": INVALID robot calibration (text, 1 camera): camera \"front\": Parameter",
        kBaseCal + ": valid base calibration"}},
      {{"validate", "--kind", "base", kRobotCal}, kFailed, {": INVALID: not a base calibration ("}},
  });
}

// validate names a wire file's kind: wire format keeps unknown fields, so a
// base calibration would also parse as a robot calibration without cameras.
// Its text, also from standard input, is the original's.
TEST(CamcalConvert, TextToWireToTextGivesBackEachKindOfCalibration) {
  ScratchDir scratch;
  for (const auto& [path, kind] :
       {std::pair{kRobotCal, "robot"}, {kBaseCal, "base"}, {kPtzCal, "PTZ"}}) {
    const std::string wire = scratch.path(std::string(kind) + ".bin");
    outputOf({"convert", path, "--to", "wire", "-o", wire});
    const std::string verdict = outputOf({"validate", wire});
    EXPECT_EQ(verdict.rfind(wire + ": valid " + kind + " calibration (wire", 0), 0u) << verdict;
    EXPECT_EQ(runCamcal({"convert", "-", "--to", "text"}, wire).out,
              outputOf({"convert", path, "--to", "text"}));
  }
}

TEST(CamcalAdjust, WritesTheCalibrationTheLibraryAdjusts) {
  CameraParametersSet set;
  BaseCalibrationData base_data;
  ASSERT_TRUE(set.loadFromFile(kRobotCal) && base_data.loadFromString(readFile(kBaseCal)));
  set.adjustUsingBaseCalibration(base_data);
  const auto run = runCamcal({"adjust", kRobotCal, kBaseCal});
  RobotCalibration written;
  ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(run.out, &written));
  EXPECT_TRUE(MessageDifferencer::Equals(written, set.getRawCalData()));
}

}  // namespace

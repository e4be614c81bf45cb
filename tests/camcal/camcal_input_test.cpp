// camcal on input that would lose or corrupt a robot's calibration.
#include <gtest/gtest.h>

#include "calibration_common/camera_parameters.h"
#include "run_camcal.h"

namespace {

using namespace camcal_test;

// Input that is empty, only white space or holds no camera is refused, and
// the good calibration at -o is left as it was. Every command reads its files
// through one reader (adjust's robot and base calibrations too) and writes a
// robot calibration through one encoder, so convert stands for them.
TEST(CamcalInput, EmptyInputNeverReplacesACalibration) {
  ScratchDir scratch;
  const std::string empty = scratch.write("empty.txt", "");
  const std::string blank = scratch.write("blank.txt", " \n\t\n");
  const std::string no_camera = scratch.write("no_camera.txt", "# nothing but a comment\n");
  const std::string out = scratch.write("cal.txt", readFile(kRobotCal));
  expectRuns({
      fails(kFailed, {"convert", empty, "--to", "text", "-o", out}, empty + ": is empty"),
      fails(kFailed, {"convert", blank, "--to", "text", "-o", out},
            blank + ": is empty (nothing but white space)"),
      fails(kFailed, {"convert", no_camera, "--to", "wire", "-o", out},
            no_camera + ": holds no camera; a robot calibration without cameras is written only "
                        "with --allow-empty"),
      {{"validate", no_camera},
       kFailed,
       {no_camera + ": INVALID robot calibration (text, 0 cameras): it holds no camera"}},
  });
  EXPECT_EQ(readFile(out), readFile(kRobotCal));
  const std::string written = scratch.write("empty_on_purpose.bin", "old");
  outputOf({"convert", no_camera, "--to", "wire", "--allow-empty", "-o", written});
  EXPECT_EQ(readFile(written), "");
}

// A wire file with a field of a newer schema (field 99) converts to wire as it
// is; to text only without the field, and only when asked: the output of an
// in-place conversion always loads.
TEST(CamcalConvert, FieldsOfANewerSchemaAreNeverWrittenAsUnloadableText) {
  ScratchDir scratch;
  const std::string cal = scratch.path("cal.bin");
  outputOf({"convert", kRobotCal, "--to", "wire", "-o", cal});
  std::ofstream(cal, std::ios::binary | std::ios::app) << "\x98\x06\x01";
  const std::string with_field = readFile(cal);
  expectRuns({
      fails(kFailed, {"convert", cal, "--to", "text", "-o", cal},
            cal + ": holds fields this version does not know (99), which text format cannot keep: "
                  "convert to wire, or leave them out with --drop-unknown"),
      prints({"convert", cal, "--to", "wire", "-o", scratch.path("copy.bin")}, {}),
  });
  EXPECT_EQ(readFile(cal), with_field);
  EXPECT_EQ(readFile(scratch.path("copy.bin")), with_field);
  expectRuns({prints({"convert", cal, "--to", "text", "--drop-unknown", "-o", cal}, {})});
  dravik::calibration::CameraParametersSet set;
  EXPECT_TRUE(set.loadFromFile(cal));
  EXPECT_TRUE(set.hasCamera("rear"));
}

// A base value that is not finite, and a rotation that is not a rotation.
TEST(CamcalAdjust, RefusesABaseThatWouldCorruptEveryPose) {
  ScratchDir scratch;
  const std::string nan_base =
      scratch.variant("nan_base.txt", kBaseCal, "a: [0.99939082701910", "a: [nan");
  const std::string scaled = scratch.variant("scaled_base.txt", kBaseCal,
                                             "a: [0.99939082701910, -0.03489949670250, 0, 10,",
                                             "a: [999.39082701910, -34.89949670250, 0, 10,");
  const std::string out = scratch.path("out.txt");
  expectRuns({
      fails(kFailed, {"adjust", kRobotCal, nan_base, "-o", out},
            nan_base + ": not a valid base calibration: Base calibration value is not finite: "
                       "global_transform.params.a[0] (nan)"),
      fails(kFailed, {"adjust", kRobotCal, scaled, "-o", out},
            scaled + ": the rotation of the global transform is not a rotation: R^T R departs "
                     "from the identity by "),
  });
  EXPECT_FALSE(std::filesystem::exists(out));
}

// A file that never ends is read up to the library's limit, then refused.
TEST(CamcalInput, EndlessFilesAreRefusedAtTheReadLimit) {
  expectRuns({{{"validate", "/dev/zero"},
               kFailed,
               {"/dev/zero: INVALID: cannot read: larger than 256 MiB\n"}}});
}

}  // namespace

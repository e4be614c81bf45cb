// camcal validate: verdicts, reasons from the library's records, lens
// warnings and exit statuses.
#include <gtest/gtest.h>

#include "run_camcal.h"

namespace {

using camcal_test::fixture;
using camcal_test::lines;
using camcal_test::runCamcal;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CamcalValidate, PassesSoundCalibrationsOfEachKind) {
  const auto run =
      runCamcal({"validate", fixture("robot_calibration.txt"), fixture("base_calibration.txt")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, fixture("robot_calibration.txt") +
                         ": valid robot calibration (text, 3 cameras)\n" +
                         fixture("base_calibration.txt") + ": valid base calibration (text)\n");
  EXPECT_EQ(run.err, "");
}

TEST(CamcalValidate, WarnsAboutLensModelsThatFoldOrNearAPoleInsideTheImage) {
  const auto run = runCamcal({"validate", fixture("robot_calibration_lens_faults.txt")});
  EXPECT_EQ(run.status, 0);
  const auto out = lines(run.out);
  ASSERT_EQ(out.size(), 3u) << run.out;
  EXPECT_TRUE(contains(out[0], "valid robot calibration (text, 2 cameras), 2 warnings"));
  EXPECT_TRUE(contains(out[1],
                       "warning: camera \"wide\" at 1280x960 (full frame): the radial "
                       "mapping is not monotone: it turns back at 46.5 deg off axis"))
      << out[1];
  EXPECT_TRUE(contains(out[2],
                       "warning: camera \"pole\" at 1280x960 (full frame): the rational "
                       "denominator 1 + k4 r^2 + k5 r^4 + k6 r^6 falls to 0.0"))
      << out[2];

  const auto strict =
      runCamcal({"validate", "--strict", fixture("robot_calibration_lens_faults.txt")});
  EXPECT_EQ(strict.status, 1);
  EXPECT_TRUE(contains(strict.out, "2 warnings: INVALID with --strict"));
}

TEST(CamcalValidate, ChecksEveryImageSizeACameraServes) {
  // A front camera whose lens folds 20 degrees off axis: inside the full
  // frame and inside the crop that every B910 streaming size scales. The
  // sizes that share a finding share a warning.
  camcal_test::ScratchDir scratch;
  std::string text = camcal_test::readFile(fixture("robot_calibration.txt"));
  const std::string sound = "k: [0.058, -0.137, 0.0, 0.0, 0.0, 0.0]";
  text.replace(text.find(sound), sound.size(), "k: [-2.5, 0.0, 0.0, 0.0, 0.0, 0.0]");
  camcal_test::writeFile(scratch.path("folding_front.txt"), text);
  const auto run = runCamcal({"validate", scratch.path("folding_front.txt")});
  EXPECT_EQ(run.status, 0);
  const auto out = lines(run.out);
  ASSERT_EQ(out.size(), 3u) << run.out;
  EXPECT_EQ(out[1],
            "  warning: camera \"front\" at 2592x1944 (full frame): the radial mapping is not "
            "monotone: it turns back at 20.1 deg off axis, 37% of the way from the principal "
            "point to the farthest image corner");
  EXPECT_EQ(out[2],
            "  warning: camera \"front\" at 640x480, 800x600, 1024x768, 1280x960: the radial "
            "mapping is not monotone: it turns back at 20.1 deg off axis, 43% of the way from the "
            "principal point to the farthest image corner");
}

TEST(CamcalValidate, ExplainsAFallbackWithTheLibrarysOwnRecord) {
  const auto run = runCamcal(
      {"validate", fixture("robot_calibration.txt"), fixture("robot_calibration_short_k.txt")});
  EXPECT_EQ(run.status, 1);
  const auto out = lines(run.out);
  ASSERT_EQ(out.size(), 2u) << run.out;
  EXPECT_EQ(out[1], fixture("robot_calibration_short_k.txt") +
                        ": INVALID robot calibration (text, 1 camera): camera \"front\": "
                        "Parameter list too short in name: \"front\" ...");
  // The library's records explain the verdict; they are not repeated on stderr.
  EXPECT_EQ(run.err, "");
}

TEST(CamcalValidate, NamesAGenericCameraWithoutAUsableSize) {
  camcal_test::ScratchDir scratch;
  camcal_test::writeFile(scratch.path("no_size.txt"), R"(
    camera {
      name: "rear" model: "ov-rear-2"
      intrinsics { fx: 1000 fy: 1000 cx: 960 cy: 540 k: [0, 0, 0, 0, 0, 0] p: [0, 0]
                   width: 1920 height: 0 }
      extrinsics { a: [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0] }
    })");
  const auto run = runCamcal({"validate", scratch.path("no_size.txt")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.out,
                       "INVALID robot calibration (text, 1 camera): camera \"rear\": a "
                       "generic camera needs a positive intrinsics width and height"))
      << run.out;
}

TEST(CamcalValidate, ReportsUnreadableAndMalformedFilesAndGoesOn) {
  const std::string missing = fixture("no_such_calibration.txt");
  const auto run = runCamcal({"validate", missing, fixture("robot_calibration_malformed.txt"),
                              fixture("base_calibration.txt")});
  EXPECT_EQ(run.status, 1);
  const auto out = lines(run.out);
  ASSERT_EQ(out.size(), 3u) << run.out;
  EXPECT_EQ(out[0], missing + ": INVALID: cannot read: No such file or directory");
  EXPECT_EQ(out[1], fixture("robot_calibration_malformed.txt") +
                        ": INVALID: not a robot, base or PTZ calibration (neither wire nor text "
                        "format; as text, line 7, column 8: Expected \":\", found \"2474.9\".)");
  EXPECT_TRUE(contains(out[2], "valid base calibration"));
}

TEST(CamcalValidate, ReadsTheKindChosenWithAFlag) {
  const auto run = runCamcal({"validate", "--kind", "base", fixture("robot_calibration.txt")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.out,
                       ": INVALID: not a base calibration (neither wire nor text format; "
                       "as text, line 5, column 8: Message type "
                       "\"dravik.calibration.BaseCalibrationProto\" has no field named "
                       "\"camera\".)"))
      << run.out;
  EXPECT_EQ(runCamcal({"validate", "--kind", "robot", fixture("robot_calibration.txt")}).status, 0);
}

}  // namespace
